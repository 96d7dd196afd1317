// The upload result dialog through the real dialog seam: only the failed
// files, in list order, with their texts; Enter retries; Esc, the close box
// and Finish ask first and finish only on Yes.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include "common/DialogDriver.h"
#include "common/TestPaths.h"
#include "controller/UploadDialogs.h"
#include "controller/UploadFileList.h"
#include "support/Handles.h"
#include "upload/ServiceResult.h"

using tessaran::ComPtr;
using tessaran::ISMRUploadFileList;
using tessaran_test::DialogDriver;
using tessaran_test::MessageBoxInfo;
using tessaran_test::RunWithDriver;

namespace {

constexpr wchar_t kConfirm[] = L"送信していないファイルは削除されますが、よろしいですか?";
const HRESULT kLogonRefused = tessaran::MakeServiceHResult(401);
const HRESULT kCancelled = static_cast<HRESULT>(0x800704C7);

// Five files of which the second and fourth failed.
ComPtr<ISMRUploadFileList> FiveFilesTwoFailed() {
    ComPtr<ISMRUploadFileList> list(new tessaran::CSMRUploadFileList);
    const wchar_t* names[] = {L"a.jpg", L"b.jpg", L"c.jpg", L"d.jpg", L"e.jpg"};
    const HRESULT results[] = {S_OK, kLogonRefused, S_OK, kCancelled, S_OK};
    for (int i = 0; i < 5; ++i) {
        auto* file = new tessaran::CSMRUploadFile;
        file->AddRef();
        file->SetFilePath((std::wstring(L"C:\\scans\\") + names[i]).c_str());
        file->SetFileName(names[i]);
        file->SetStatus(tessaran::UPLOAD_FILE_FINISHED);
        file->SetResult(results[i]);
        list->Add(file);
    }
    return list;
}

std::wstring CellText(HWND listView, int row, int column) {
    wchar_t text[1024] = {};
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = 1024;
    ::SendMessageW(listView, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    return text;
}

std::wstring ColumnHeading(HWND listView, int column) {
    wchar_t text[256] = {};
    LVCOLUMNW info = {};
    info.mask = LVCF_TEXT;
    info.pszText = text;
    info.cchTextMax = 256;
    ::SendMessageW(listView, LVM_GETCOLUMNW, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&info));
    return text;
}

int ShowResult(ISMRUploadFileList* list, const std::function<void(DialogDriver&, HWND)>& script) {
    auto dialogs = tessaran::CreateRealUploadDialogs();
    return static_cast<int>(RunWithDriver([&] { return dialogs->ShowUploadResult(nullptr, list); },
                                          [&](DialogDriver& d) {
                                              HWND dialog = d.WaitForDialog(L"送信結果");
                                              ASSERT_NE(dialog, nullptr);
                                              script(d, dialog);
                                          }));
}

MessageBoxInfo ExpectConfirmation(DialogDriver& d, HWND dialog) {
    MessageBoxInfo box = d.WaitForMessageBox(dialog);
    EXPECT_NE(box.window, nullptr);
    EXPECT_EQ(box.text, kConfirm);
    EXPECT_EQ(box.caption, L"確認");
    EXPECT_EQ(box.buttons, (std::vector<int>{IDYES, IDNO}));
    EXPECT_EQ(box.defaultButton, IDNO);
    return box;
}

TEST(UploadResultDialog, ListsOnlyTheFailedFilesInListOrderAndEnterRetries) {
    auto list = FiveFilesTwoFailed();
    const int choice = ShowResult(list.get(), [](DialogDriver& d, HWND dialog) {
        HWND files = ::GetDlgItem(dialog, 1026);
        ASSERT_EQ(::SendMessageW(files, LVM_GETITEMCOUNT, 0, 0), 2);
        EXPECT_EQ(CellText(files, 0, 0), L"b.jpg");
        EXPECT_EQ(CellText(files, 0, 1), tessaran::GetResultText(kLogonRefused));
        EXPECT_EQ(CellText(files, 1, 0), L"d.jpg");
        // A cancelled file shows the system's words, not a message of the service table.
        EXPECT_EQ(CellText(files, 1, 1), tessaran::GetResultText(kCancelled));
        EXPECT_EQ(CellText(files, 1, 1).find(L"[エラー:"), std::wstring::npos);
        EXPECT_NE(CellText(files, 0, 1).find(L"[エラー:0401]"), std::wstring::npos);

        EXPECT_EQ(ColumnHeading(files, 0), L"ファイル名");
        EXPECT_EQ(ColumnHeading(files, 1), L"送信結果");
        EXPECT_EQ(::SendMessageW(files, LVM_GETCOLUMNWIDTH, 0, 0), 140);
        EXPECT_EQ(::SendMessageW(files, LVM_GETCOLUMNWIDTH, 1, 0), 290);
        EXPECT_EQ(::SendMessageW(files, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) & 0x23, 0x23);
        auto images = reinterpret_cast<HIMAGELIST>(::SendMessageW(files, LVM_GETIMAGELIST, LVSIL_SMALL, 0));
        ASSERT_NE(images, nullptr);
        EXPECT_EQ(::ImageList_GetImageCount(images), 1);
        int cx = 0, cy = 0;
        ::ImageList_GetIconSize(images, &cx, &cy);
        EXPECT_EQ(cx, 24);
        EXPECT_EQ(cy, 24);
        LVITEMW row = {};
        row.mask = LVIF_IMAGE;
        row.iItem = 1;
        row.iImage = -1;
        ::SendMessageW(files, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&row));
        EXPECT_EQ(row.iImage, 0);

        d.PressKey(dialog, VK_RETURN);
        EXPECT_TRUE(d.WaitGone(dialog));
    });
    EXPECT_EQ(choice, tessaran::UPLOAD_RESULT_RETRY);
}

TEST(UploadResultDialog, EscAndFinishAskFirstAndFinishOnlyOnYes) {
    auto list = FiveFilesTwoFailed();
    const int choice = ShowResult(list.get(), [](DialogDriver& d, HWND dialog) {
        d.PressKey(dialog, VK_ESCAPE);
        DialogDriver::Answer(ExpectConfirmation(d, dialog), IDNO);
        EXPECT_TRUE(d.NoMessageBox(dialog));
        EXPECT_TRUE(::IsWindowVisible(dialog));

        DialogDriver::Click(dialog, 1029);
        DialogDriver::Answer(ExpectConfirmation(d, dialog), IDNO);
        EXPECT_TRUE(d.NoMessageBox(dialog));
        EXPECT_TRUE(::IsWindowVisible(dialog));

        // The close box asks the same.
        ::PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
        DialogDriver::Answer(ExpectConfirmation(d, dialog), IDNO);
        EXPECT_TRUE(d.NoMessageBox(dialog));
        EXPECT_TRUE(::IsWindowVisible(dialog));

        DialogDriver::Click(dialog, 1029);
        DialogDriver::Answer(ExpectConfirmation(d, dialog), IDYES);
        EXPECT_TRUE(d.WaitGone(dialog));
    });
    EXPECT_EQ(choice, tessaran::UPLOAD_RESULT_FINISH);
}

TEST(UploadResultDialog, EscAnsweredYesFinishesAndSaveSaves) {
    auto list = FiveFilesTwoFailed();
    EXPECT_EQ(ShowResult(list.get(),
                         [](DialogDriver& d, HWND dialog) {
                             d.PressKey(dialog, VK_ESCAPE);
                             DialogDriver::Answer(ExpectConfirmation(d, dialog), IDYES);
                             EXPECT_TRUE(d.WaitGone(dialog));
                         }),
              tessaran::UPLOAD_RESULT_FINISH);
    EXPECT_EQ(ShowResult(list.get(),
                         [](DialogDriver& d, HWND dialog) {
                             DialogDriver::Click(dialog, 1028);
                             EXPECT_TRUE(d.WaitGone(dialog));
                         }),
              tessaran::UPLOAD_RESULT_SAVE);
}

}  // namespace
