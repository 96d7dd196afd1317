// Result codes of the service clients as the user sees them: the HRESULT a
// file carries after a failed step, and the Japanese text for a code.
#pragma once

#include <windows.h>

#include <string>

namespace tessaran {

// Facility of the HRESULTs that carry a service result code.
constexpr unsigned kServiceFacility = 0xEF;

// 0x80EF0000 | (code + 1000): negative even for the success code 0, so only
// failure codes are turned into file results.
constexpr HRESULT MakeServiceHResult(int code) noexcept {
    return static_cast<HRESULT>(0x80EF0000u | (static_cast<unsigned>(code + 1000) & 0xFFFFu));
}

constexpr bool IsServiceHResult(HRESULT hr) noexcept {
    return hr < 0 && ((static_cast<unsigned>(hr) >> 16) & 0x1FFFu) == kServiceFacility;
}

// The code a service HRESULT carries.
constexpr int ServiceCodeOf(HRESULT hr) noexcept { return static_cast<int>(static_cast<unsigned>(hr) & 0xFFFFu) - 1000; }


// "<message>\n[<title>:<code>]" for a message box; the title is translated.
std::wstring GetMessageText(int code);

// The text for a file's result in the result list: empty for 0 and above, the
// table's text for a service HRESULT, the system's text for any other.
std::wstring GetResultText(HRESULT hr);

}  // namespace tessaran
