// Out of memory on demand: the test program's own operator new refuses every
// allocation of at least a given size, so that a test can make one exact step
// of the plug-in (a large OCR answer being parsed) run out of memory.
#pragma once

#include <cstddef>

namespace upload_test {

// 0 lifts the limit.
void FailAllocationsFrom(std::size_t bytes);

// Sets the limit for its lifetime.
class AllocationLimit {
public:
    explicit AllocationLimit(std::size_t bytes) { FailAllocationsFrom(bytes); }
    ~AllocationLimit() { FailAllocationsFrom(0); }
    AllocationLimit(const AllocationLimit&) = delete;
    AllocationLimit& operator=(const AllocationLimit&) = delete;
};

}  // namespace upload_test
