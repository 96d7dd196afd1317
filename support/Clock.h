// The local wall clock the plug-in reads for session idle times and for the
// date texts of a card. Tests fix or advance it instead of waiting.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace tessaran {

// Local date and time now, to the millisecond: the real clock, or the test's.
SYSTEMTIME ClockNow() noexcept;

// Seconds from `earlier` to `later` (negative when `later` comes first);
// an invalid date counts as no time passed.
int64_t ClockSecondsBetween(const SYSTEMTIME& earlier, const SYSTEMTIME& later) noexcept;

// "%Y-%m-%d %H:%M:%S.0", the form the card service keeps dates in (21
// characters). Returns the length, or -1 when the buffer is too small.
int FormatClockText(const SYSTEMTIME& time, wchar_t* buffer, size_t capacity) noexcept;
int FormatClockText(const SYSTEMTIME& time, char* buffer, size_t capacity) noexcept;

// For tests: the clock stands still at `time` until advanced or reset.
void ClockSetForTest(const SYSTEMTIME& time) noexcept;
// For tests: moves the clock on by `seconds`; a running clock keeps running
// from the new offset.
void ClockAdvanceForTest(int64_t seconds) noexcept;
// For tests: back to the real local clock.
void ClockResetForTest() noexcept;

}  // namespace tessaran
