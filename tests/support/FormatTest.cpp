#include <gtest/gtest.h>

#include "support/Format.h"
#include "support/Result.h"

using namespace tessaran;

TEST(Format, WideStringsInWideFormats) {
    wchar_t buffer[64];
    EXPECT_EQ(Format(buffer, 64, L"%s: error = %08X", L"CreateID AddItem", 0x80070002u), 34);
    EXPECT_STREQ(L"CreateID AddItem: error = 80070002", buffer);
}

TEST(Format, CutsAtCapacityAndTerminates) {
    wchar_t buffer[8];
    wmemset(buffer, L'#', 8);
    EXPECT_EQ(Format(buffer, 8, L"%s", L"0123456789"), -1);
    EXPECT_STREQ(L"0123456", buffer);
    EXPECT_EQ(FormatString(4, L"%d-%d", 12, 34), L"12-3");
}

TEST(Result, Win32ErrorsBecomeHResults) {
    EXPECT_EQ(HResultFromWin32(2), static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(HResultFromWin32(0x12345), static_cast<HRESULT>(0x80072345));
    EXPECT_EQ(HResultFromWin32(0), S_OK);
    EXPECT_EQ(HResultFromWin32(-5), -5);
    ::SetLastError(0);
    EXPECT_EQ(LastErrorHResult(), E_FAIL);
    ::SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(LastErrorHResult(), static_cast<HRESULT>(0x80070005));
}
