#include "ui/AccountChecks.h"

#include "support/Format.h"

namespace tessaran {

namespace {
constexpr wchar_t kEnterMailAddress[] = L"メールアドレスを入力してください。";
constexpr wchar_t kEnterAppToken[] = L"アプリケーショントークンを入力してください。";
constexpr wchar_t kBadMailAddress[] = L"メールアドレスの形式が正しくありません。";

// One "@" anywhere is the whole format rule.
bool HasAtSign(const std::wstring& mailAddress) noexcept { return mailAddress.find(L'@') != std::wstring::npos; }
}  // namespace

const wchar_t* CheckAccountBothRequired(const std::wstring& mailAddress, const std::wstring& appToken) noexcept {
    if (mailAddress.empty()) return kEnterMailAddress;
    if (appToken.empty()) return kEnterAppToken;
    if (!HasAtSign(mailAddress)) return kBadMailAddress;
    return nullptr;
}

const wchar_t* CheckAccountOptional(const std::wstring& mailAddress, const std::wstring& appToken) noexcept {
    if (!mailAddress.empty() && appToken.empty()) return kEnterAppToken;
    if (mailAddress.empty() && !appToken.empty()) return kEnterMailAddress;
    if (!mailAddress.empty() && !HasAtSign(mailAddress)) return kBadMailAddress;
    return nullptr;
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
