// The four text routines, byte by byte, including how they stop at capacity.

#include <gtest/gtest.h>

#include <string>

#include "service/TextCodec.h"

using namespace tessaran;

namespace {

std::string Bytes(const char* data, int count) { return std::string(data, static_cast<size_t>(count)); }

}  // namespace

TEST(EncodeUtf8, MeasuresAndWritesEveryLength) {
    EXPECT_EQ(EncodeUtf8(L"", nullptr, 0), 1);
    char untouched[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(EncodeUtf8(L"", untouched, 0), -1);
    EXPECT_EQ(untouched[0], '#');

    const wchar_t text[] = {L'A', 0x00E9, 0x3042, 0xD83D, 0xDE00, 0};
    EXPECT_EQ(EncodeUtf8(text, nullptr, 0), 11);
    char out[16];
    ASSERT_EQ(EncodeUtf8(text, out, 16), 11);
    EXPECT_EQ(Bytes(out, 11), std::string("\x41\xC3\xA9\xE3\x81\x82\xF0\x9F\x98\x80", 10) + '\0');
}

TEST(EncodeUtf8, SurrogatesTakeTheBitsTheyFind) {
    // A high surrogate takes whatever follows; that unit is then encoded again.
    const wchar_t highThenA[] = {0xD800, L'A', 0};
    char out[16];
    ASSERT_EQ(EncodeUtf8(highThenA, out, 16), 6);
    EXPECT_EQ(Bytes(out, 6), std::string("\xF0\x90\x81\x81\x41", 5) + '\0');

    const wchar_t loneLow[] = {L'x', 0xDC00, L'y', 0};
    ASSERT_EQ(EncodeUtf8(loneLow, out, 16), 3);
    EXPECT_EQ(Bytes(out, 3), std::string("xy", 2) + '\0');
}

TEST(EncodeUtf8, TerminatorHasItsOwnCapacityTest) {
    char out[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(EncodeUtf8(L"ab", out, 2), -1);
    EXPECT_EQ(Bytes(out, 3), "ab#");
    EXPECT_EQ(EncodeUtf8(L"ab", out, 3), 3);
    EXPECT_EQ(Bytes(out, 3), std::string("ab") + '\0');

    // A sequence that does not fit whole is not started.
    char two[3] = {'#', '#', '#'};
    const wchar_t hiragana[] = {L'a', 0x3042, 0};
    EXPECT_EQ(EncodeUtf8(hiragana, two, 3), -1);
    EXPECT_EQ(Bytes(two, 3), "a##");
}

TEST(DecodeUtf8, FourByteSequenceAgainstCapacity) {
    const char* smile = "\xF0\x9F\x98\x80";
    wchar_t out[4] = {L'#', L'#', L'#', L'#'};
    EXPECT_EQ(DecodeUtf8(smile, nullptr, 0), 3);
    ASSERT_EQ(DecodeUtf8(smile, out, 3), 3);
    EXPECT_EQ(out[0], 0xD83D);
    EXPECT_EQ(out[1], 0xDE00);
    EXPECT_EQ(out[2], 0);

    wchar_t two[3] = {L'#', L'#', L'#'};
    EXPECT_EQ(DecodeUtf8(smile, two, 2), -1);
    EXPECT_EQ(two[0], 0xD83D);
    EXPECT_EQ(two[1], 0xDE00);
    EXPECT_EQ(two[2], L'#');

    wchar_t one[2] = {L'#', L'#'};
    EXPECT_EQ(DecodeUtf8(smile, one, 1), -1);
    EXPECT_EQ(one[0], L'#');
}

TEST(DecodeUtf8, SkipsOverlongFormsAndStrayBytes) {
    wchar_t out[8];
    EXPECT_EQ(DecodeUtf8("\xC0\x80", out, 8), 1);
    EXPECT_EQ(out[0], 0);
    ASSERT_EQ(DecodeUtf8("a\x80" "b\xF8", out, 8), 3);
    EXPECT_EQ(std::wstring(out), L"ab");
    ASSERT_EQ(DecodeUtf8("\xC3\xA9\xE3\x81\x82", out, 8), 3);
    EXPECT_EQ(out[0], 0x00E9);
    EXPECT_EQ(out[1], 0x3042);
    // Encoded surrogates, and code points past U+10FFFF, are no characters.
    ASSERT_EQ(DecodeUtf8("a\xED\xA0\x80" "b\xED\xBF\xBF\xF4\x90\x80\x80", out, 8), 3);
    EXPECT_EQ(std::wstring(out), L"ab");
    ASSERT_EQ(DecodeUtf8("\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF", out, 8), 5);
    EXPECT_EQ(std::wstring(out), L"\xD7FF\xE000\xDBFF\xDFFF");
}

TEST(DecodeUtf8, NeverReadsPastTheTerminator) {
    // The text ends inside a sequence; what lies behind the zero must not count.
    const char cut[] = {'a', '\xE3', '\x81', 0, '\x82', 'z', 0};
    wchar_t out[8];
    ASSERT_EQ(DecodeUtf8(cut, out, 8), 2);
    EXPECT_EQ(std::wstring(out), L"a");
    const char cutEarly[] = {'\xF0', 0, '\x9F', '\x98', '\x80', 0};
    EXPECT_EQ(DecodeUtf8(cutEarly, out, 8), 1);
}

TEST(DecodeUtf8, FixedFieldKeepsWholeUnitsWhenCut) {
    // The callers' way: zero the field, decode, cut at N-1 on -1.
    wchar_t field[4] = {};
    const char* text = "abc\xF0\x9F\x98\x80";
    EXPECT_EQ(DecodeUtf8(text, field, 4), -1);
    field[3] = 0;
    EXPECT_EQ(std::wstring(field), L"abc");
}

TEST(EscapeJsonString, EscapesQuotesSlashesAndControlBytes) {
    char out[64];
    ASSERT_EQ(EscapeJsonString("a\"b/", out, 64), 6);
    EXPECT_EQ(std::string(out), "a\\\"b\\/");
    ASSERT_EQ(EscapeJsonString("\x01", out, 64), 6);
    EXPECT_EQ(std::string(out), "\\u0001");
    ASSERT_EQ(EscapeJsonString("\x7F", out, 64), 6);
    EXPECT_EQ(std::string(out), "\\u007f");
    ASSERT_EQ(EscapeJsonString("\xC3\xA9", out, 64), 2);
    EXPECT_EQ(std::string(out), "\xC3\xA9");
    ASSERT_EQ(EscapeJsonString("\b\t\n\f\r\\\x1F", out, 64), 18);
    EXPECT_EQ(std::string(out), "\\b\\t\\n\\f\\r\\\\\\u001f");
    EXPECT_EQ(EscapeJsonString("a\"b/", nullptr, 0), 6);
}

TEST(EscapeJsonString, KeepsRoomForTheTerminator) {
    char out[8];
    EXPECT_EQ(EscapeJsonString("a\"b/", out, 7), 6);
    EXPECT_EQ(std::string(out), "a\\\"b\\/");
    EXPECT_EQ(EscapeJsonString("a\"b/", out, 6), -1);
    EXPECT_EQ(EscapeJsonString("\x01", out, 6), -1);
    // An empty text still needs its terminator, and a buffer of nothing holds none.
    char none[1] = {'#'};
    EXPECT_EQ(EscapeJsonString("", none, 0), -1);
    EXPECT_EQ(none[0], '#');
    EXPECT_EQ(EscapeJsonString("", none, 1), 0);
    EXPECT_EQ(none[0], 0);
}

TEST(EscapeFormValue, EscapesOnlyWhatAFormDecoderWouldMisread) {
    EXPECT_EQ(EscapeFormValue(L"a=b&c%"), L"a%3Db%26c%25");
    EXPECT_EQ(EscapeFormValue(L"50% off"), L"50%25 off");
    EXPECT_EQ(EscapeFormValue(L"x+y z\x3042"), L"x%2By z\x3042");
    EXPECT_EQ(EscapeFormValue(L"%26"), L"%2526");
}
