#include <gtest/gtest.h>

#include "upload/ServiceResult.h"

using namespace tessaran;

namespace {

std::wstring SystemText(HRESULT hr) {
    wchar_t buffer[512] = {};
    const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                     static_cast<DWORD>(hr), 0, buffer, 512, nullptr);
    std::wstring text(buffer, n);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n')) text.pop_back();
    return text;
}

}  // namespace

TEST(ServiceHResult, CodesMapIntoFacilityEF) {
    EXPECT_EQ(MakeServiceHResult(401), static_cast<HRESULT>(0x80EF0579));
    EXPECT_EQ(MakeServiceHResult(500), static_cast<HRESULT>(0x80EF05DC));
    EXPECT_EQ(MakeServiceHResult(-101), static_cast<HRESULT>(0x80EF0383));
    EXPECT_EQ(MakeServiceHResult(-121), static_cast<HRESULT>(0x80EF036F));
    EXPECT_EQ(MakeServiceHResult(-1), static_cast<HRESULT>(0x80EF03E7));
    EXPECT_EQ(MakeServiceHResult(0), static_cast<HRESULT>(0x80EF03E8));  // negative even for success
    EXPECT_TRUE(IsServiceHResult(MakeServiceHResult(-999)));
    EXPECT_EQ(ServiceCodeOf(MakeServiceHResult(-999)), -999);
    EXPECT_FALSE(IsServiceHResult(static_cast<HRESULT>(0x800704C7)));
    EXPECT_FALSE(IsServiceHResult(static_cast<HRESULT>(0x00EF0579)));
}

TEST(MessageTexts, EveryCodeHasItsMessageAndTitle) {
    struct Row {
        int code;
        const wchar_t* text;
    };
    const Row rows[] = {
        {0, L"正常に終了しました。\n[成功:0000]"},
        {1, L"操作がキャンセルされました。\n[エラー:0001]"},
        {-1, L"初期化されていません。\n[エラー:-001]"},
        {-2, L"既に初期化されています。\n[エラー:-002]"},
        {-3, L"パラメーターが間違っています。処理を継続することができません。\n[エラー:-003]"},
        {-4, L"接続処理中にセッションエラーが発生しました。処理を継続することができません。\n[エラー:-004]"},
        {-5, L"接続処理中にエラーが発生しました。処理を継続することができません。\n[エラー:-005]"},
        {-6, L"メモリーが不足しています。処理を継続することができません。\n[エラー:-006]"},
        {-7, L"接続先のサービスから応答がありません。処理を継続することができません。\n[エラー:-007]"},
        {-8, L"操作がキャンセルされました。\n[エラー:-008]"},
        {-101, L"リクエスト処理時にエラーが発生しました。処理を継続することができません。\n[エラー:-101]"},
        {-102, L"レスポンス処理時にエラーが発生しました。処理を継続することができません。\n[エラー:-102]"},
        {400, L"リクエストが正しくありません。処理を継続することができません。\n[エラー:0400]"},
        {401, L"ログインできません。ログイン情報を正しく設定しているか確認して下さい。\n[エラー:0401]"},
        {403, L"要求に対して接続許可されていません。\n[エラー:0403]"},
        {404, L"名刺が見つかりません。\n[エラー:0404]"},
        {409, L"他のセッションで使用中です。\n[エラー:0409]"},
        {412, L"これ以上登録することができません。\n[エラー:0412]"},
        {500, L"接続先のサービスでエラーが発生しています。\n[エラー:0500]"},
        {-121, L"接続先のサービスから不明なエラーが返ってきました。\n[エラー:-121]"},
        {-999, L"接続先のサービスから不明なエラーが返ってきました。\n[エラー:-999]"},
        {302, L"接続先のサービスから不明なエラーが返ってきました。\n[エラー:0302]"},
        {12345, L"接続先のサービスから不明なエラーが返ってきました。\n[エラー:12345]"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.code);
        // Without the localisation library the titles are the keys themselves.
        EXPECT_EQ(GetMessageText(row.code), row.text);
        EXPECT_EQ(GetResultText(MakeServiceHResult(row.code)), row.text);
    }
}

TEST(ResultTexts, SuccessHasNoText) {
    EXPECT_EQ(GetResultText(S_OK), L"");
    EXPECT_EQ(GetResultText(S_FALSE), L"");
    EXPECT_EQ(GetResultText(0x7FFFFFFF), L"");
}

TEST(ResultTexts, OtherFailuresShowTheSystemsOwnWords) {
    const std::wstring cancelled = GetResultText(static_cast<HRESULT>(0x800704C7));
    EXPECT_FALSE(cancelled.empty());
    EXPECT_EQ(cancelled, SystemText(static_cast<HRESULT>(0x800704C7)));
    EXPECT_EQ(cancelled.find(L'['), std::wstring::npos);
    EXPECT_NE(cancelled.back(), L'\n');
    EXPECT_EQ(GetResultText(static_cast<HRESULT>(0x80070002)), SystemText(static_cast<HRESULT>(0x80070002)));

    // HRESULTs the system has no words for.
    if (SystemText(static_cast<HRESULT>(0x8004FFFE)).empty()) {
        EXPECT_EQ(GetResultText(static_cast<HRESULT>(0x8004FFFE)), L"IDispatch error #65022");
    }
    if (SystemText(static_cast<HRESULT>(0x8123ABCD)).empty()) {
        EXPECT_EQ(GetResultText(static_cast<HRESULT>(0x8123ABCD)), L"Unknown error 0x8123ABCD");
    }
}
