#include "support/Clock.h"

#include <atomic>
#include <cstdio>

#include "support/Format.h"

namespace tessaran {

namespace {

constexpr int64_t kTicksPerSecond = 10000000;  // FILETIME counts 100 ns

// A test's clock: a fixed starting point (0: the real clock) plus an offset.
std::atomic<int64_t> g_fixedTicks{0};
std::atomic<int64_t> g_offsetTicks{0};

int64_t ToTicks(const SYSTEMTIME& time, bool* valid) noexcept {
    FILETIME ft;
    *valid = ::SystemTimeToFileTime(&time, &ft) != FALSE;
    if (!*valid) return 0;
    return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

SYSTEMTIME FromTicks(int64_t ticks) noexcept {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
    SYSTEMTIME time{};
    ::FileTimeToSystemTime(&ft, &time);
    return time;
}

}  // namespace

SYSTEMTIME ClockNow() noexcept {
    const int64_t fixed = g_fixedTicks.load();
    const int64_t offset = g_offsetTicks.load();
    if (fixed == 0 && offset == 0) {
        SYSTEMTIME now;
        ::GetLocalTime(&now);
        return now;
    }
    int64_t base = fixed;
    if (base == 0) {
        SYSTEMTIME now;
        ::GetLocalTime(&now);
        bool valid;
        base = ToTicks(now, &valid);
    }
    return FromTicks(base + offset);
}

int64_t ClockSecondsBetween(const SYSTEMTIME& earlier, const SYSTEMTIME& later) noexcept {
    bool validEarlier, validLater;
    const int64_t a = ToTicks(earlier, &validEarlier);
    const int64_t b = ToTicks(later, &validLater);
    if (!validEarlier || !validLater) return 0;
    return (b - a) / kTicksPerSecond;
}

int FormatClockText(const SYSTEMTIME& t, wchar_t* buffer, size_t capacity) noexcept {
    return Format(buffer, capacity, L"%04u-%02u-%02u %02u:%02u:%02u.0", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond);
}

int FormatClockText(const SYSTEMTIME& t, char* buffer, size_t capacity) noexcept {
    if (!buffer || capacity == 0) return -1;
    const int n = std::snprintf(buffer, capacity, "%04u-%02u-%02u %02u:%02u:%02u.0", t.wYear, t.wMonth, t.wDay,
                                t.wHour, t.wMinute, t.wSecond);
    return (n < 0 || static_cast<size_t>(n) >= capacity) ? -1 : n;
}

void ClockSetForTest(const SYSTEMTIME& time) noexcept {
    bool valid;
    const int64_t ticks = ToTicks(time, &valid);
    if (!valid) return;
    g_offsetTicks = 0;
    g_fixedTicks = ticks;
}

void ClockAdvanceForTest(int64_t seconds) noexcept { g_offsetTicks += seconds * kTicksPerSecond; }

void ClockResetForTest() noexcept {
    g_fixedTicks = 0;
    g_offsetTicks = 0;
}

}  // namespace tessaran
