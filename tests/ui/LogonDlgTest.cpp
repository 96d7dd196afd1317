// The logon dialog as the run shows it: preset values, the three checks in
// their order, the 64-character limit, OK and Cancel.
#include <gtest/gtest.h>

#include <cwchar>

#include "PluginDialogs.h"
#include "common/DialogDriver.h"
#include "common/LogCapture.h"
#include "common/TestPaths.h"
#include "controller/MeishiServiceCtrl.h"
#include "controller/UploadDialogs.h"
#include "controller/UploadFileList.h"
#include "support/Handles.h"
#include "ui/MeishiServiceLogonDlg.h"

using tessaran_test::DialogDriver;
using tessaran_test::LogCapture;
using tessaran_test::RunWithDriver;

namespace {

constexpr wchar_t kEnterMail[] = L"メールアドレスを入力してください。";
constexpr wchar_t kEnterToken[] = L"アプリケーショントークンを入力してください。";
constexpr wchar_t kBadMail[] = L"メールアドレスの形式が正しくありません。";
constexpr wchar_t kBadToken[] = L"アプリケーショントークンの形式が正しくありません。";

// Presses OK with the given texts in the fields (as a paste may put them,
// control characters too) and checks the one message shown.
void ExpectRefused(DialogDriver& d, HWND dialog, const std::wstring& mail, const std::wstring& token,
                   const wchar_t* message) {
    SCOPED_TRACE("mail '" + tessaran_test::ToUtf8(mail) + "' token '" + tessaran_test::ToUtf8(token) + "'");
    ::SetDlgItemTextW(dialog, 1002, mail.c_str());
    ::SetDlgItemTextW(dialog, 1003, token.c_str());
    DialogDriver::Click(dialog, IDOK);
    const auto box = d.WaitForMessageBox(dialog);
    ASSERT_NE(box.window, nullptr);
    EXPECT_EQ(box.text, message);
    EXPECT_EQ(box.caption, L"Error");
    EXPECT_TRUE(box.exclamationIcon);
    EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
    DialogDriver::Answer(box, IDOK);
    ASSERT_TRUE(d.WaitGone(box.window));
    // The dialog stays, with the input as typed.
    EXPECT_TRUE(::IsWindowVisible(dialog));
    EXPECT_EQ(DialogDriver::ItemText(dialog, 1002), mail);
    EXPECT_EQ(DialogDriver::ItemText(dialog, 1003), token);
}

TEST(LogonDialog, ChecksInOrderThenAcceptsOneAtSign) {
    auto dialogs = tessaran::CreateRealUploadDialogs();
    std::wstring mail = L"preset@example.com";
    std::wstring token;
    bool accepted = false;
    RunWithDriver(
        [&] {
            accepted = dialogs->RunLogonDialog(mail, token) == S_OK;
            return 0;
        },
        [](DialogDriver& d) {
            HWND dialog = d.WaitForDialog(L"ログオン");
            ASSERT_NE(dialog, nullptr);
            EXPECT_FALSE(::GetWindowLongPtrW(dialog, GWL_STYLE) & WS_SYSMENU);
            EXPECT_EQ(DialogDriver::ItemText(dialog, 1002), L"preset@example.com");
            EXPECT_EQ(DialogDriver::ItemText(dialog, 1003), L"");
            ExpectRefused(d, dialog, L"", L"", kEnterMail);
            ExpectRefused(d, dialog, L"", L"token", kEnterMail);
            ExpectRefused(d, dialog, L"no-at-sign", L"", kEnterToken);
            ExpectRefused(d, dialog, L"a@b\nc", L"token", kBadMail);
            ExpectRefused(d, dialog, L"a@b", L"tok\xFFFF", kBadToken);
            ExpectRefused(d, dialog, L"no-at-sign", L"token", kBadMail);
            DialogDriver::ClearEdit(::GetDlgItem(dialog, 1002));
            DialogDriver::Type(::GetDlgItem(dialog, 1002), L"@");
            DialogDriver::Click(dialog, IDOK);
            EXPECT_TRUE(d.WaitGone(dialog));
        });
    EXPECT_TRUE(accepted);
    EXPECT_EQ(mail, L"@");
    EXPECT_EQ(token, L"token");
}

TEST(LogonDialog, TypingStopsAtSixtyFourCharacters) {
    tessaran::CMeishiServiceLogonDlg dialog;
    const INT_PTR result = RunWithDriver([&] { return dialog.DoModal(); },
                                         [](DialogDriver& d) {
                                             HWND window = d.WaitForDialog(L"ログオン");
                                             ASSERT_NE(window, nullptr);
                                             DialogDriver::Type(::GetDlgItem(window, 1002),
                                                                std::wstring(60, L'm') + L"@abcdefghij");
                                             DialogDriver::Type(::GetDlgItem(window, 1003), std::wstring(70, L't'));
                                             EXPECT_EQ(DialogDriver::ItemText(window, 1002).size(), 64u);
                                             EXPECT_EQ(DialogDriver::ItemText(window, 1003).size(), 64u);
                                             DialogDriver::Click(window, IDOK);
                                         });
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(dialog.m_strMailAddress, std::wstring(60, L'm') + L"@abc");
    EXPECT_EQ(dialog.m_strAppToken, std::wstring(64, L't'));
}

TEST(LogonDialog, CancelAfterRefusedOkKeepsTheValuesSetBefore) {
    tessaran::CMeishiServiceLogonDlg dialog;
    dialog.m_strMailAddress = L"before@example.com";
    dialog.m_strAppToken = L"old";
    const INT_PTR result = RunWithDriver([&] { return dialog.DoModal(); },
                                         [](DialogDriver& d) {
                                             HWND window = d.WaitForDialog(L"ログオン");
                                             ASSERT_NE(window, nullptr);
                                             ExpectRefused(d, window, L"changed", L"new", kBadMail);
                                             d.PressKey(window, VK_ESCAPE);
                                             EXPECT_TRUE(d.WaitGone(window));
                                         });
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(dialog.m_strMailAddress, L"before@example.com");
    EXPECT_EQ(dialog.m_strAppToken, L"old");
}

// A logon dialog that never appeared is no cancel by the user: the run's files
// carry the failure instead of "cancelled".
TEST(LogonDialog, ThatCannotBeCreatedGivesEveryFileItsFailure) {
    tessaran::ComPtr<tessaran::ISMRUploadFileList> list(new tessaran::CSMRUploadFileList);
    for (const wchar_t* name : {L"a.jpg", L"b.jpg"}) {
        auto* file = new tessaran::CSMRUploadFile;
        file->AddRef();
        file->SetFilePath((std::wstring(L"C:\\scans\\") + name).c_str());
        file->SetFileName(name);
        file->SetStatus(tessaran::UPLOAD_FILE_PENDING);  // as the list file's reader leaves it
        list->Add(file);
    }
    tessaran::SettingItem item;
    item.SetMailAddress(L"taro@example.jp");  // no token: the run asks for the account
    tessaran::CMeishiServiceCtrl controller;
    LogCapture log;
    HRESULT hr = S_OK;
    {
        ui_test::TemplatesMissing missing;
        hr = controller.UploadFiles(nullptr, item, list.get());
    }
    ASSERT_TRUE(FAILED(ui_test::TemplatesMissing::Failure()));
    EXPECT_EQ(hr, ui_test::TemplatesMissing::Failure());
    for (INT_PTR i = 0; i < list->GetCount(); ++i) {
        EXPECT_EQ(list->GetAt(i)->GetResult(), hr);
        EXPECT_EQ(list->GetAt(i)->GetStatus(), tessaran::UPLOAD_FILE_FINISHED);
    }
    wchar_t line[64] = {};
    ::swprintf(line, 64, L"Dlg.DoModal(): error = %08X", static_cast<unsigned>(hr));
    EXPECT_TRUE(log.Has(3, line));
    EXPECT_EQ(log.Count(L"IDCANCEL == Dlg.DoModal(): error = 800704C7"), 0);
}

}  // namespace
