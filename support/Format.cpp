#include "support/Format.h"

#include <cstdio>
#include <vector>

namespace tessaran {

int FormatV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) noexcept {
    if (!buffer || capacity == 0) return -1;
    // The msvcrt variant: %s is wide here. It does not terminate a cut text.
    const int written = ::_vsnwprintf(buffer, capacity, format, args);
    if (written < 0 || static_cast<size_t>(written) >= capacity) {
        buffer[capacity - 1] = L'\0';
        return -1;
    }
    return written;
}

int Format(wchar_t* buffer, size_t capacity, const wchar_t* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    const int written = FormatV(buffer, capacity, format, args);
    va_end(args);
    return written;
}

std::wstring FormatString(size_t maxChars, const wchar_t* format, ...) {
    std::vector<wchar_t> buffer(maxChars + 1);
    va_list args;
    va_start(args, format);
    FormatV(buffer.data(), buffer.size(), format, args);
    va_end(args);
    return std::wstring(buffer.data());
}

}  // namespace tessaran
