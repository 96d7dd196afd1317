// Wide printf-style formatting with the Windows convention that %s takes a
// wide string in a wide format (the C99 functions of this toolchain treat it
// as narrow). The result is always terminated and never longer than the buffer.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

namespace tessaran {

// Formats into buffer[capacity]; returns the length written, or -1 when the
// text had to be cut (the buffer then holds the first capacity-1 characters).
int FormatV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) noexcept;
int Format(wchar_t* buffer, size_t capacity, const wchar_t* format, ...) noexcept;

// Formats into a string of at most maxChars characters.
std::wstring FormatString(size_t maxChars, const wchar_t* format, ...);

}  // namespace tessaran
