// The account checks shared by the logon and settings dialogs, and texts for
// their message boxes.
#pragma once

#include <windows.h>

#include <string>

namespace tessaran {

// Both account fields take at most this many characters.
constexpr int kAccountFieldLimit = 64;

// Both fields required, checked in the order mail empty, token empty, mail
// without "@", then a character that neither field may hold (a control
// character, or one the settings file cannot hold) or more than
// kAccountFieldLimit characters, mail first. The message of the first failed
// check, or null.
const wchar_t* CheckAccountBothRequired(const std::wstring& mailAddress, const std::wstring& appToken) noexcept;

// Both fields empty is accepted (the job then keeps no account); otherwise
// checked in the order token missing, mail missing, mail without "@", then
// the characters as above.
const wchar_t* CheckAccountOptional(const std::wstring& mailAddress, const std::wstring& appToken) noexcept;

// The system's text for an HRESULT, without its line end; a fixed text when
// the system has none.
std::wstring SystemMessageText(HRESULT hr);

}  // namespace tessaran
