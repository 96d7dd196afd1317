#include "AllocationLimit.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> g_limit{0};

void* Allocate(std::size_t size) {
    const std::size_t limit = g_limit.load();
    if (limit != 0 && size >= limit) throw std::bad_alloc();
    if (void* memory = std::malloc(size ? size : 1)) return memory;
    throw std::bad_alloc();
}

}  // namespace

namespace upload_test {

void FailAllocationsFrom(std::size_t bytes) { g_limit.store(bytes); }

}  // namespace upload_test

// The whole program's allocations, the plug-in's code included, go through
// these; the nothrow forms of the runtime call them in turn.
void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
