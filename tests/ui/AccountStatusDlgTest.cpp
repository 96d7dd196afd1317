// The account status dialog shows the use count first, then the maximum, and
// replaces every placeholder.
#include <gtest/gtest.h>

#include "common/DialogDriver.h"
#include "ui/MeishiServiceStatusDlg.h"

using tessaran_test::DialogDriver;
using tessaran_test::RunWithDriver;

namespace {

TEST(AccountStatusDialog, ShowsNamesAndUseCountBeforeMaximum) {
    tessaran::CMeishiServiceStatusDlg dialog;
    dialog.m_strAccountName = L"山田太郎の名刺";
    dialog.m_strUserName = L"yamada";
    dialog.m_nUseCount = 12;
    dialog.m_nMaxCount = 100;
    const INT_PTR result = RunWithDriver([&] { return dialog.DoModal(); },
                                         [](DialogDriver& d) {
                                             HWND window = d.WaitForDialog(L"登録情報");
                                             ASSERT_NE(window, nullptr);
                                             EXPECT_EQ(DialogDriver::ItemText(window, 1007), L"山田太郎の名刺");
                                             EXPECT_EQ(DialogDriver::ItemText(window, 1008), L"yamada");
                                             EXPECT_EQ(DialogDriver::ItemText(window, 1009), L"12 / 100");
                                             d.PressKey(window, VK_RETURN);
                                             EXPECT_TRUE(d.WaitGone(window));
                                         });
    EXPECT_EQ(result, IDOK);
}

TEST(AccountStatusDialog, EmptyNamesReplaceThePlaceholders) {
    tessaran::CMeishiServiceStatusDlg dialog;
    const INT_PTR result = RunWithDriver([&] { return dialog.DoModal(); },
                                         [](DialogDriver& d) {
                                             HWND window = d.WaitForDialog(L"登録情報");
                                             ASSERT_NE(window, nullptr);
                                             EXPECT_EQ(DialogDriver::ItemText(window, 1007), L"");
                                             EXPECT_EQ(DialogDriver::ItemText(window, 1008), L"");
                                             EXPECT_EQ(DialogDriver::ItemText(window, 1009), L"0 / 0");
                                             d.PressKey(window, VK_ESCAPE);
                                             EXPECT_TRUE(d.WaitGone(window));
                                         });
    EXPECT_EQ(result, IDCANCEL);
}

}  // namespace
