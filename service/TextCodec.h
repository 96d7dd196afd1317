// Text between the plug-in (UTF-16) and the web services (UTF-8).
//
// The three converters share one calling form, measure or write: without a
// destination they return the size that writing needs and touch nothing; with
// one they write from its start, each output sequence only when it fits whole,
// and return -1 as soon as one does not (what was written stays, and no
// terminator follows). A caller reading into a fixed field of N units zeroes
// it, converts with capacity N and on -1 sets unit N-1 to zero, which keeps
// the first N-1 units.
#pragma once

#include <string>

namespace tessaran {

// UTF-16 to UTF-8. Returns the bytes written including the terminating zero,
// or -1. A null source counts as the empty text.
int EncodeUtf8(const wchar_t* source, char* destination, int capacity) noexcept;

// UTF-8 to UTF-16. Returns the units written including the terminating zero,
// or -1. Never reads past the source's terminating zero.
int DecodeUtf8(const char* source, wchar_t* destination, int capacity) noexcept;

// The content of a JSON string for UTF-8 text (the quotes are the caller's).
// Returns the bytes written without the terminating zero, or -1; the strict
// capacity tests keep room for the zero, which is always written on success.
int EscapeJsonString(const char* source, char* destination, int capacity) noexcept;

// A value of a URL-encoded form: "%" "&" "=" "+" become "%25" "%26" "%3D" "%2B";
// nothing else changes (the caller converts the whole body to UTF-8).
std::wstring EscapeFormValue(const std::wstring& value);

}  // namespace tessaran
