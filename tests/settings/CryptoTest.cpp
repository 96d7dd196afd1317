// The token cipher: the exact text that settings files already hold, its
// round trip, and refusals instead of writes past the caller's buffers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "common/SettingsPlaces.h"
#include "settings/SMRCrypto.h"

using namespace tessaran;
using namespace tessaran_test;
using ::testing::ElementsAre;

namespace {

constexpr wchar_t kPassPhrase[] = L"K3QW9ZT5MN2XR8VJ4HBD6LFC";
constexpr HRESULT kTooSmall = static_cast<HRESULT>(0x8007007A);

std::wstring Encode(const std::wstring& token, const wchar_t* passPhrase = kPassPhrase) {
    wchar_t plain[256] = {};
    std::wmemcpy(plain, token.c_str(), token.size());
    wchar_t out[256];
    std::wmemset(out, L'#', 256);
    const HRESULT hr = CSMRCrypto::EnCode(plain, passPhrase, out, 256);
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    return SUCCEEDED(hr) ? out : L"";
}

std::wstring Decode(const std::wstring& text, const wchar_t* passPhrase = kPassPhrase) {
    wchar_t out[256];
    std::wmemset(out, L'#', 256);
    const HRESULT hr = CSMRCrypto::DeCode(text.c_str(), passPhrase, out, 256);
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    return SUCCEEDED(hr) ? out : L"?";
}

TEST(Cipher, GivesTheTextThatStoredSettingsHoldAndReadsItBack) {
    EXPECT_EQ(Encode(L"my-secret-token"), L"oQ1oVaW8yO0PuhkhJXzpTbl/sgobl++HG9FOjpWO");
    EXPECT_EQ(Decode(L"oQ1oVaW8yO0PuhkhJXzpTbl/sgobl++HG9FOjpWO"), L"my-secret-token");
    // No state between calls: the same token always gives the same text.
    EXPECT_EQ(Encode(L"my-secret-token"), Encode(L"my-secret-token"));
    const std::wstring japanese = L"トークン-日本語";
    EXPECT_EQ(Decode(Encode(japanese)), japanese);
}

TEST(Cipher, KeysOnlyOnTheFirstTwelveCharactersOfThePassPhrase) {
    // The key is hashed from as many bytes as the pass phrase has characters.
    EXPECT_EQ(Encode(L"token", L"K3QW9ZT5MN2XR8VJ4HBD6LFC"), Encode(L"token", L"K3QW9ZT5MN2Xzzzzzzzzzzzz"));
    EXPECT_NE(Encode(L"token", L"K3QW9ZT5MN2XR8VJ4HBD6LFC"), Encode(L"token", L"K3QW9ZT5MN2YR8VJ4HBD6LFC"));
}

TEST(Cipher, SixtyFourCharacterTokenGives172Base64Characters) {
    std::wstring token;
    for (int i = 0; i < 64; ++i) token += static_cast<wchar_t>(L'A' + i % 26);
    const std::wstring text = Encode(token);
    ASSERT_EQ(text.size(), 172u);
    EXPECT_EQ(text.back(), L'=');
    EXPECT_NE(text[170], L'=') << "128 bytes end in a group of 2 bytes: one '='";
    EXPECT_EQ(text.find_first_of(L"\r\n"), std::wstring::npos);
    EXPECT_EQ(Decode(text), token);
}

TEST(Cipher, MalformedBase64FailsAtTheFirstConversionStep) {
    LogCapture log;
    ASSERT_TRUE(log.Loaded());
    wchar_t out[256];
    const HRESULT hr = CSMRCrypto::DeCode(L"not*base64!", kPassPhrase, out, 256);
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    EXPECT_EQ(HRESULT_FACILITY(hr), FACILITY_WIN32);
    char expected[64];
    std::snprintf(expected, sizeof(expected), "CryptStringToBinary 1: error = %08X", static_cast<unsigned>(hr));
    EXPECT_THAT(log.Failures(), ElementsAre(expected));
    EXPECT_EQ(out[0], L'\0') << "the output reads as an empty text";
}

TEST(Cipher, ValidBase64ThatWasNeverEncipheredDecodesToMeaninglessText) {
    const std::wstring text = Decode(L"QUJDREVGR0g=");  // "ABCDEFGH"
    EXPECT_NE(text, L"ABCDEFGH");
    EXPECT_NE(text, L"?");
}

TEST(Cipher, RefusesResultsThatDoNotFitTheBuffers) {
    LogCapture log;
    // 15 characters give 40 Base64 characters and the terminator.
    wchar_t plain[256] = L"my-secret-token";
    wchar_t out[48];
    std::wmemset(out, L'#', 48);
    EXPECT_EQ(CSMRCrypto::EnCode(plain, kPassPhrase, out, 40), kTooSmall);
    EXPECT_EQ(out[40], L'#') << "written past the buffer";
    std::wmemcpy(plain, L"my-secret-token", 16);
    EXPECT_EQ(CSMRCrypto::EnCode(plain, kPassPhrase, out, 41), S_OK);
    EXPECT_EQ(std::wstring(out), L"oQ1oVaW8yO0PuhkhJXzpTbl/sgobl++HG9FOjpWO");

    // 30 bytes of plain text need 15 units and one more for the terminator.
    std::wmemset(out, L'#', 48);
    EXPECT_EQ(CSMRCrypto::DeCode(L"oQ1oVaW8yO0PuhkhJXzpTbl/sgobl++HG9FOjpWO", kPassPhrase, out, 15), kTooSmall);
    EXPECT_EQ(out[15], L'#') << "written past the buffer";
    EXPECT_EQ(CSMRCrypto::DeCode(L"oQ1oVaW8yO0PuhkhJXzpTbl/sgobl++HG9FOjpWO", kPassPhrase, out, 16), S_OK);
    EXPECT_EQ(std::wstring(out), L"my-secret-token");
    EXPECT_THAT(log.Failures(), ElementsAre("CryptBinaryToString 2: error = 8007007A",
                                            "CryptStringToBinary 2: error = 8007007A"));
}

}  // namespace
