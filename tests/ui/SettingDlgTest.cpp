// The settings dialog through the real dialog seam: what it shows for a job's
// item, the pairing check box, the checks of OK and of the account
// information button in their order, and what OK gives back.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include "PluginDialogs.h"
#include "common/DialogDriver.h"
#include "common/SettingsPlaces.h"
#include "common/TestPaths.h"
#include "controller/MeishiServiceCtrl.h"
#include "controller/UploadDialogs.h"

using tessaran::SettingItem;
using tessaran_test::DialogDriver;
using tessaran_test::RunWithDriver;

namespace {

constexpr wchar_t kEnterMail[] = L"メールアドレスを入力してください。";
constexpr wchar_t kEnterToken[] = L"アプリケーショントークンを入力してください。";
constexpr wchar_t kBadMail[] = L"メールアドレスの形式が正しくありません。";
constexpr wchar_t kBadToken[] = L"アプリケーショントークンの形式が正しくありません。";

SettingItem Item(const wchar_t* mail, const wchar_t* token, int even, int front, int back) {
    SettingItem item;
    item.SetMailAddress(mail);
    item.SetUsername(L"kept-user");
    item.SetAppToken(token);
    item.SetEvenNumberImageToBackPage(even);
    item.SetOCRLangID(front);
    item.SetOCRLangBackID(back);
    return item;
}

int Selection(HWND dialog, int combo) {
    return static_cast<int>(::SendDlgItemMessageW(dialog, combo, CB_GETCURSEL, 0, 0));
}

std::wstring SelectedText(HWND dialog, int combo) {
    wchar_t text[64] = {};
    const int index = Selection(dialog, combo);
    ::SendDlgItemMessageW(dialog, combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text));
    return text;
}

bool Enabled(HWND dialog, int id) { return ::IsWindowEnabled(::GetDlgItem(dialog, id)) != FALSE; }

// Puts both texts into the fields as a program or a paste may (control
// characters too), presses the button and checks the one message it shows.
void ExpectRefused(DialogDriver& d, HWND dialog, int button, const std::wstring& mail, const std::wstring& token,
                   const wchar_t* message) {
    SCOPED_TRACE("button " + std::to_string(button) + " mail '" + tessaran_test::ToUtf8(mail) + "' token '" +
                 tessaran_test::ToUtf8(token) + "'");
    ::SetDlgItemTextW(dialog, 1002, mail.c_str());
    ::SetDlgItemTextW(dialog, 1003, token.c_str());
    DialogDriver::Click(dialog, button);
    const auto box = d.WaitForMessageBox(dialog);
    ASSERT_NE(box.window, nullptr);
    EXPECT_EQ(box.text, message);
    EXPECT_EQ(box.caption, L"Error");
    EXPECT_TRUE(box.exclamationIcon);
    DialogDriver::Answer(box, IDOK);
    ASSERT_TRUE(d.WaitGone(box.window));
    EXPECT_TRUE(::IsWindowVisible(dialog));
}

struct Outcome {
    bool ok = false;
    SettingItem item;
};

Outcome Edit(const SettingItem& start, bool sendingMode, const std::function<void(DialogDriver&, HWND)>& script) {
    auto dialogs = tessaran::CreateRealUploadDialogs();
    Outcome outcome;
    outcome.item = start;
    RunWithDriver(
        [&] {
            outcome.ok = dialogs->RunSettingsDialog(outcome.item, sendingMode) == S_OK;
            return 0;
        },
        [&](DialogDriver& d) {
            HWND dialog = d.WaitForDialog(L"詳細設定");
            ASSERT_NE(dialog, nullptr);
            script(d, dialog);
        });
    return outcome;
}

TEST(SettingsDialog, UnknownStoredValuesOpenOnTheDefaultsAndOkStoresThem) {
    const SettingItem unknown = Item(L"user@example.com", L"token-1", 2, 7, 9);
    const Outcome outcome = Edit(unknown, false, [](DialogDriver& d, HWND dialog) {
        EXPECT_EQ(DialogDriver::ItemText(dialog, IDOK), L"OK");
        EXPECT_EQ(DialogDriver::ItemText(dialog, 1002), L"user@example.com");
        EXPECT_EQ(DialogDriver::ItemText(dialog, 1003), L"token-1");
        EXPECT_EQ(::SendDlgItemMessageW(dialog, 1006, BM_GETCHECK, 0, 0), BST_UNCHECKED);
        EXPECT_EQ(SelectedText(dialog, 1005), L"日本語");
        EXPECT_EQ(SelectedText(dialog, 1007), L"英語");
        EXPECT_EQ(::SendDlgItemMessageW(dialog, 1005, CB_GETCOUNT, 0, 0), 2);
        EXPECT_EQ(::SendDlgItemMessageW(dialog, 1007, CB_GETITEMDATA, 0, 0), 1);
        EXPECT_EQ(::SendDlgItemMessageW(dialog, 1007, CB_GETITEMDATA, 1, 0), 2);
        EXPECT_TRUE(Enabled(dialog, 1007));
        EXPECT_TRUE(Enabled(dialog, 207));
        DialogDriver::Click(dialog, IDOK);
        EXPECT_TRUE(d.WaitGone(dialog));
    });
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.item.GetEvenNumberImageToBackPage(), 0);
    EXPECT_EQ(outcome.item.GetOCRLangID(), 1);
    EXPECT_EQ(outcome.item.GetOCRLangBackID(), 2);
    EXPECT_EQ(outcome.item.GetUsername(), L"kept-user");
}

TEST(SettingsDialog, StoredLanguagesAreSelectedAndPairingDisablesTheEvenPageLanguage) {
    const Outcome outcome = Edit(Item(L"", L"", 1, 2, 1), false, [](DialogDriver& d, HWND dialog) {
        EXPECT_EQ(::SendDlgItemMessageW(dialog, 1006, BM_GETCHECK, 0, 0), BST_CHECKED);
        EXPECT_EQ(SelectedText(dialog, 1005), L"英語");
        EXPECT_EQ(SelectedText(dialog, 1007), L"日本語");
        EXPECT_FALSE(Enabled(dialog, 1007));
        EXPECT_FALSE(Enabled(dialog, 207));
        DialogDriver::ClickNow(dialog, 1006);
        EXPECT_TRUE(Enabled(dialog, 1007));
        EXPECT_TRUE(Enabled(dialog, 207));
        DialogDriver::ClickNow(dialog, 1006);
        EXPECT_FALSE(Enabled(dialog, 1007));
        EXPECT_FALSE(Enabled(dialog, 207));
        // The disabled selection is still what OK stores.
        ::SendDlgItemMessageW(dialog, 1007, CB_SETCURSEL, 1, 0);
        ::SendDlgItemMessageW(dialog, 1005, CB_SETCURSEL, 0, 0);
        DialogDriver::Click(dialog, IDOK);
        EXPECT_TRUE(d.WaitGone(dialog));
    });
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.item.GetEvenNumberImageToBackPage(), 1);
    EXPECT_EQ(outcome.item.GetOCRLangID(), 1);
    EXPECT_EQ(outcome.item.GetOCRLangBackID(), 2);
    EXPECT_EQ(outcome.item.GetMailAddress(), L"");
}

TEST(SettingsDialog, OkChecksTheAccountInOrderAndAcceptsNoAccount) {
    const Outcome outcome = Edit(Item(L"a@b", L"t", 0, 1, 2), false, [](DialogDriver& d, HWND dialog) {
        ExpectRefused(d, dialog, IDOK, L"", L"token", kEnterMail);
        ExpectRefused(d, dialog, IDOK, L"no-at-sign", L"", kEnterToken);
        ExpectRefused(d, dialog, IDOK, L"user@example.com", L"", kEnterToken);
        ExpectRefused(d, dialog, IDOK, L"no-at-sign", L"token", kBadMail);
        // Characters neither field may hold: those a settings file cannot
        // hold, and line breaks, which the one-line field hides.
        ExpectRefused(d, dialog, IDOK, L"a@b\r\nc", L"token", kBadMail);
        ExpectRefused(d, dialog, IDOK, L"a\xD800@b", L"tok\x01" L"en", kBadMail);
        ExpectRefused(d, dialog, IDOK, L"a@b", L"tok\xFFFE", kBadToken);
        // Longer than typing allows: put there by another program.
        ExpectRefused(d, dialog, IDOK, L"@" + std::wstring(64, L'm'), L"token", kBadMail);
        DialogDriver::ClearEdit(::GetDlgItem(dialog, 1002));
        DialogDriver::ClearEdit(::GetDlgItem(dialog, 1003));
        DialogDriver::Click(dialog, IDOK);
        EXPECT_TRUE(d.WaitGone(dialog));
    });
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.item.GetMailAddress(), L"");
    EXPECT_EQ(outcome.item.GetAppToken(), L"");
}

TEST(SettingsDialog, AccountInformationNeedsBothFieldsInItsOwnOrder) {
    const Outcome outcome = Edit(Item(L"", L"", 0, 1, 2), false, [](DialogDriver& d, HWND dialog) {
        ExpectRefused(d, dialog, 1000, L"", L"", kEnterMail);
        ExpectRefused(d, dialog, 1000, L"", L"token", kEnterMail);
        ExpectRefused(d, dialog, 1000, L"no-at-sign", L"", kEnterToken);
        ExpectRefused(d, dialog, 1000, L"no-at-sign", L"token", kBadMail);
        ExpectRefused(d, dialog, 1000, L"a@b", L"tok\ten", kBadToken);
        d.PressKey(dialog, VK_ESCAPE);
        EXPECT_TRUE(d.WaitGone(dialog));
    });
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.item.GetMailAddress(), L"");
}

TEST(SettingsDialog, SendingModeLabelsOkAndTypingStopsAtSixtyFour) {
    const Outcome outcome = Edit(Item(L"", L"", 0, 1, 2), true, [](DialogDriver& d, HWND dialog) {
        EXPECT_EQ(DialogDriver::ItemText(dialog, IDOK), L"送信(&L)");
        DialogDriver::Type(::GetDlgItem(dialog, 1002), L"@" + std::wstring(70, L'm'));
        DialogDriver::Type(::GetDlgItem(dialog, 1003), std::wstring(70, L't'));
        EXPECT_EQ(DialogDriver::ItemText(dialog, 1002).size(), 64u);
        EXPECT_EQ(DialogDriver::ItemText(dialog, 1003).size(), 64u);
        DialogDriver::Click(dialog, IDOK);
        EXPECT_TRUE(d.WaitGone(dialog));
    });
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.item.GetMailAddress(), L"@" + std::wstring(63, L'm'));
    EXPECT_EQ(outcome.item.GetAppToken(), std::wstring(64, L't'));
}

TEST(SettingsDialog, CancelLeavesTheItemAlone) {
    const Outcome outcome = Edit(Item(L"keep@example.com", L"keep", 0, 2, 2), false, [](DialogDriver& d, HWND dialog) {
        DialogDriver::ClearEdit(::GetDlgItem(dialog, 1002));
        DialogDriver::Type(::GetDlgItem(dialog, 1002), L"other@example.com");
        DialogDriver::ClickNow(dialog, 1006);
        DialogDriver::Click(dialog, IDCANCEL);
        EXPECT_TRUE(d.WaitGone(dialog));
    });
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.item.GetMailAddress(), L"keep@example.com");
    EXPECT_EQ(outcome.item.GetEvenNumberImageToBackPage(), 0);
    EXPECT_EQ(outcome.item.GetOCRLangID(), 2);
}

// A mail address with U+FFFF, as a paste brings it in, once made the
// settings of every job unreadable. It is refused in the dialog,
// and every job keeps its settings.
TEST(SettingsDialog, AMailAddressTheFileCannotHoldLeavesEveryJobItsSettings) {
    tessaran_test::StoreLocation place;
    tessaran::CMeishiServiceCtrl controller;
    controller.DataStore().SetCsidl(CSIDL_LOCAL_APPDATA);
    SettingItem a = Item(L"a@example.jp", L"token-a", 0, 1, 2);
    SettingItem b = Item(L"b@example.jp", L"token-b", 0, 1, 2);
    const GUID ids[2] = {{0x6B0C1F52, 0x3D2A, 0x4E59, {0x9C, 0x3B, 0x52, 0xD1, 0xB5, 0xA7, 0xE0, 0x0A}},
                         {0x6B0C1F52, 0x3D2A, 0x4E59, {0x9C, 0x3B, 0x52, 0xD1, 0xB5, 0xA7, 0xE0, 0x0B}}};
    a.SetGuid(ids[0]);
    b.SetGuid(ids[1]);
    ASSERT_EQ(controller.DataStore().AddItem(a), S_OK);
    ASSERT_EQ(controller.DataStore().AddItem(b), S_OK);
    const std::string before = tessaran_test::ReadFileBytes(place.settingsFile);
    HRESULT shown = E_FAIL;
    RunWithDriver(
        [&] {
            shown = controller.ShowSettingDlg(ids[0], nullptr);
            return 0;
        },
        [](DialogDriver& d) {
            HWND dialog = d.WaitForDialog(L"詳細設定");
            ASSERT_NE(dialog, nullptr);
            ExpectRefused(d, dialog, IDOK, L"a\xFFFF@example.jp", L"token-a", kBadMail);
            d.PressKey(dialog, VK_ESCAPE);
            EXPECT_TRUE(d.WaitGone(dialog));
        });
    EXPECT_EQ(shown, S_OK);
    EXPECT_EQ(tessaran_test::ReadFileBytes(place.settingsFile), before);
    BSTR summary = nullptr;
    ASSERT_EQ(controller.SettingsSummary(ids[1], &summary), S_OK);
    EXPECT_STREQ(summary, L"Email : b@example.jp");
    ::SysFreeString(summary);
    GUID created = GUID_NULL;
    EXPECT_EQ(controller.CreateID(&created), S_OK);
}

// The host's settings button: a dialog that could not be created is neither
// OK nor Cancel, so the host hears of the failure and the job keeps its item.
TEST(SettingsDialog, ThatCannotBeCreatedFailsTheHostsCall) {
    tessaran::CMeishiServiceCtrl controller;
    controller.DataStore().SetCsidl(CSIDL_LOCAL_APPDATA);  // a folder no host session uses
    SettingItem item = Item(L"taro@example.jp", L"token", 0, 1, 2);
    const GUID id = {0x6B0C1F52, 0x3D2A, 0x4E59, {0x9C, 0x3B, 0x52, 0xD1, 0xB5, 0xA7, 0xE0, 0x09}};
    item.SetGuid(id);
    ASSERT_EQ(controller.DataStore().AddItem(item), S_OK);
    wchar_t settingsFile[MAX_PATH] = {};
    ASSERT_EQ(controller.DataStore().GetSettingsFilePath(settingsFile), S_OK);
    const std::string before = tessaran_test::ReadFileBytes(settingsFile);
    HRESULT hr = S_OK;
    {
        ui_test::TemplatesMissing missing;
        hr = controller.ShowSettingDlg(id, nullptr);
    }
    ASSERT_TRUE(FAILED(ui_test::TemplatesMissing::Failure()));
    EXPECT_EQ(hr, ui_test::TemplatesMissing::Failure());
    EXPECT_EQ(tessaran_test::ReadFileBytes(settingsFile), before);
    ::DeleteFileW(settingsFile);
}

}  // namespace
