#include "upload/ServiceResult.h"

#include "support/Format.h"
#include "support/Handles.h"
#include "support/Localize.h"

namespace tessaran {

namespace {

struct ServiceMessage {
    int code;
    const wchar_t* text;
};

constexpr ServiceMessage kMessages[] = {
    {0, L"正常に終了しました。"},
    {1, L"操作がキャンセルされました。"},
    {-1, L"初期化されていません。"},
    {-2, L"既に初期化されています。"},
    {-3, L"パラメーターが間違っています。処理を継続することができません。"},
    {-4, L"接続処理中にセッションエラーが発生しました。処理を継続することができません。"},
    {-5, L"接続処理中にエラーが発生しました。処理を継続することができません。"},
    {-6, L"メモリーが不足しています。処理を継続することができません。"},
    {-7, L"接続先のサービスから応答がありません。処理を継続することができません。"},
    {-8, L"操作がキャンセルされました。"},
    {-101, L"リクエスト処理時にエラーが発生しました。処理を継続することができません。"},
    {-102, L"レスポンス処理時にエラーが発生しました。処理を継続することができません。"},
    {400, L"リクエストが正しくありません。処理を継続することができません。"},
    {401, L"ログインできません。ログイン情報を正しく設定しているか確認して下さい。"},
    {403, L"要求に対して接続許可されていません。"},
    {404, L"名刺が見つかりません。"},
    {409, L"他のセッションで使用中です。"},
    {412, L"これ以上登録することができません。"},
    {500, L"接続先のサービスでエラーが発生しています。"},
};
constexpr wchar_t kUnknownMessage[] = L"接続先のサービスから不明なエラーが返ってきました。";

constexpr wchar_t kSuccessTitle[] = L"成功";
constexpr wchar_t kErrorTitle[] = L"エラー";
// The same titles as Shift-JIS keys of the localisation library.
constexpr char kSuccessKey[] = "\x90\xAC\x8C\xF7";
constexpr char kErrorKey[] = "\x83\x47\x83\x89\x81\x5B";

const wchar_t* MessageOf(int code) noexcept {
    for (const ServiceMessage& message : kMessages) {
        if (message.code == code) return message.text;
    }
    return kUnknownMessage;
}

std::wstring Compose(const wchar_t* message, const wchar_t* title, int code) {
    // The longest message and title fit many times over.
    return FormatString(1023, L"%s\n[%s:%04d]", message, title, code);
}

std::wstring SystemMessage(HRESULT hr) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), reinterpret_cast<wchar_t*>(&buffer), 0,
        nullptr);
    UniqueHLocal owner(buffer);
    if (length == 0 || !buffer) return {};
    std::wstring text(buffer, length);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    return text;
}

}  // namespace

std::wstring GetMessageText(int code) {
    const std::wstring title = LocalizeText(code == 0 ? kSuccessKey : kErrorKey);
    return Compose(MessageOf(code), title.c_str(), code);
}

std::wstring GetResultText(HRESULT hr) {
    if (hr >= 0) return {};
    if (IsServiceHResult(hr)) {
        const int code = ServiceCodeOf(hr);
        return Compose(MessageOf(code), code == 0 ? kSuccessTitle : kErrorTitle, code);
    }
    std::wstring text = SystemMessage(hr);
    if (!text.empty()) return text;
    const unsigned value = static_cast<unsigned>(hr);
    if (value >= 0x80040201u && value <= 0x8004FFFFu) {
        return FormatString(64, L"IDispatch error #%d", static_cast<int>(value - 0x80040200u));
    }
    return FormatString(64, L"Unknown error 0x%0lX", static_cast<unsigned long>(value));
}

}  // namespace tessaran
