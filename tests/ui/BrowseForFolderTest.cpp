// The folder picker for saving unsent files: it opens on the folder it was
// given, OK hands back that folder's path, and Cancel hands back nothing.
#include <gtest/gtest.h>
#include <windows.h>

#include "common/DialogDriver.h"
#include "common/TestPaths.h"
#include "ui/BrowseForFolder.h"

using tessaran::CBrowseForFolder;
using tessaran_test::DialogDriver;
using tessaran_test::RunWithDriver;

namespace {

// Runs the picker and answers it with the button once it has settled.
bool Pick(CBrowseForFolder& browser, int button) {
    return RunWithDriver([&] { return browser.BFFModal() ? 1 : 0; },
                         [&](DialogDriver& d) {
                             HWND picker = d.WaitForDialog(L"");
                             ASSERT_NE(picker, nullptr);
                             ASSERT_NE(::GetDlgItem(picker, button), nullptr);
                             // Let the initial selection and its callbacks run first.
                             ::Sleep(300);
                             DialogDriver::Click(picker, button);
                             EXPECT_TRUE(d.WaitGone(picker));
                         }) != 0;
}

TEST(FolderBrowser, OkReturnsTheInitialFolderItOpenedOn) {
    tessaran_test::ScratchDir target(L"pick");
    CBrowseForFolder browser(nullptr, nullptr, target.path());
    ASSERT_TRUE(Pick(browser, IDOK));
    EXPECT_EQ(::lstrcmpiW(browser.GetFolderPath().c_str(), target.path().c_str()), 0)
        << tessaran_test::ToUtf8(browser.GetFolderPath());
}

TEST(FolderBrowser, CancelReturnsFalseAndNoPath) {
    tessaran_test::ScratchDir target(L"pick");
    CBrowseForFolder browser(nullptr, nullptr, target.path());
    EXPECT_FALSE(Pick(browser, IDCANCEL));
    EXPECT_EQ(browser.GetFolderPath(), L"");
}

}  // namespace
