#include "ui/AccountChecks.h"

#include "settings/SettingItem.h"
#include "support/Format.h"

namespace tessaran {

namespace {
constexpr wchar_t kEnterMailAddress[] = L"メールアドレスを入力してください。";
constexpr wchar_t kEnterAppToken[] = L"アプリケーショントークンを入力してください。";
constexpr wchar_t kBadMailAddress[] = L"メールアドレスの形式が正しくありません。";
// None of the others says that a token was typed but cannot be one.
constexpr wchar_t kBadAppToken[] = L"アプリケーショントークンの形式が正しくありません。";

// One "@" anywhere is the whole format rule.
bool HasAtSign(const std::wstring& mailAddress) noexcept { return mailAddress.find(L'@') != std::wstring::npos; }

// Neither a mail address nor a token holds a line break, a tab or any other
// control character (a pasted line break would also hide the rest from the
// one-line field that shows it), nor what the settings file cannot hold.
bool IsAccountText(const std::wstring& text) noexcept {
    for (const wchar_t c : text) {
        if (c < 0x20) return false;
    }
    return SettingsFileCanHold(text);
}

// The checks both kinds share, after their own: the characters of each field,
// and its length. Typing and pasting stop at the limit; a longer text was put
// there by another program, and a token that long could not be stored.
const wchar_t* CheckAccountTexts(const std::wstring& mailAddress, const std::wstring& appToken) noexcept {
    const size_t limit = static_cast<size_t>(kAccountFieldLimit);
    if (mailAddress.size() > limit || !IsAccountText(mailAddress)) return kBadMailAddress;
    if (appToken.size() > limit || !IsAccountText(appToken)) return kBadAppToken;
    return nullptr;
}
}  // namespace

const wchar_t* CheckAccountBothRequired(const std::wstring& mailAddress, const std::wstring& appToken) noexcept {
    if (mailAddress.empty()) return kEnterMailAddress;
    if (appToken.empty()) return kEnterAppToken;
    if (!HasAtSign(mailAddress)) return kBadMailAddress;
    return CheckAccountTexts(mailAddress, appToken);
}

const wchar_t* CheckAccountOptional(const std::wstring& mailAddress, const std::wstring& appToken) noexcept {
    if (!mailAddress.empty() && appToken.empty()) return kEnterAppToken;
    if (mailAddress.empty() && !appToken.empty()) return kEnterMailAddress;
    if (!mailAddress.empty() && !HasAtSign(mailAddress)) return kBadMailAddress;
    return CheckAccountTexts(mailAddress, appToken);
}

std::wstring SystemMessageText(HRESULT hr) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&text), 0,
        nullptr);
    std::wstring result;
    if (length > 0 && text) {
        result.assign(text, length);
        while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r')) result.pop_back();
    }
    if (text) ::LocalFree(text);
    if (result.empty()) result = FormatString(64, L"Unknown error 0x%0lX", static_cast<unsigned long>(hr));
    return result;
}

}  // namespace tessaran
