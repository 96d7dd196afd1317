// The folder picker for saving unsent files: it opens on the folder it was
// given, OK hands back that folder's path, and Cancel hands back nothing.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "common/DialogDriver.h"
#include "common/TestPaths.h"
#include "ui/BrowseForFolder.h"

using tessaran::CBrowseForFolder;
using tessaran_test::DialogDriver;
using tessaran_test::RunWithDriver;

namespace {

// The text of the folder tree's selected item; the picker runs in this process,
// so the tree can be asked directly.
BOOL CALLBACK FindTree(HWND child, LPARAM found) {
    wchar_t cls[32] = {};
    ::GetClassNameW(child, cls, 32);
    if (::lstrcmpiW(cls, WC_TREEVIEWW) != 0) return TRUE;
    *reinterpret_cast<HWND*>(found) = child;
    return FALSE;
}

std::wstring SelectedTreeText(HWND picker) {
    HWND tree = nullptr;
    ::EnumChildWindows(picker, FindTree, reinterpret_cast<LPARAM>(&tree));
    if (!tree) return {};
    const auto item = reinterpret_cast<HTREEITEM>(::SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
    if (!item) return {};
    wchar_t text[MAX_PATH] = {};
    TVITEMW data = {};
    data.mask = TVIF_TEXT;
    data.hItem = item;
    data.pszText = text;
    data.cchTextMax = MAX_PATH;
    ::SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&data));
    return text;
}

// Runs the picker and answers it with the button once the tree shows the
// initial folder (its last path component) as selected.
bool Pick(CBrowseForFolder& browser, const std::wstring& initial, int button) {
    const std::wstring leaf = initial.substr(initial.find_last_of(L'\\') + 1);
    return RunWithDriver([&] { return browser.BFFModal() ? 1 : 0; },
                         [&](DialogDriver& d) {
                             HWND picker = d.WaitForDialog(L"");
                             ASSERT_NE(picker, nullptr);
                             ASSERT_NE(::GetDlgItem(picker, button), nullptr);
                             EXPECT_TRUE(d.WaitUntil([&] { return SelectedTreeText(picker) == leaf; }))
                                 << "the picker never selected its initial folder; it shows "
                                 << tessaran_test::ToUtf8(SelectedTreeText(picker));
                             DialogDriver::Click(picker, button);
                             EXPECT_TRUE(d.WaitGone(picker));
                         }) != 0;
}

// A folder for the picker to open on, right below C:\ and removed afterwards.
// Wine's picker, told to open on a folder inside the user's profile (where the
// temporary folder is), sometimes stops at the profile folder itself; a folder
// outside the profile it reaches every time.
class PickTarget {
public:
    PickTarget() {
        static int counter = 0;
        m_path = L"C:\\tessaran-pick-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        ::CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~PickTarget() { tessaran_test::RemoveTree(m_path); }
    PickTarget(const PickTarget&) = delete;
    PickTarget& operator=(const PickTarget&) = delete;
    const std::wstring& path() const { return m_path; }

private:
    std::wstring m_path;
};

TEST(FolderBrowser, OkReturnsTheInitialFolderItOpenedOn) {
    PickTarget target;
    CBrowseForFolder browser(nullptr, nullptr, target.path());
    ASSERT_TRUE(Pick(browser, target.path(), IDOK));
    EXPECT_EQ(::lstrcmpiW(browser.GetFolderPath().c_str(), target.path().c_str()), 0)
        << tessaran_test::ToUtf8(browser.GetFolderPath());
}

TEST(FolderBrowser, CancelReturnsFalseAndNoPath) {
    PickTarget target;
    CBrowseForFolder browser(nullptr, nullptr, target.path());
    EXPECT_FALSE(Pick(browser, target.path(), IDCANCEL));
    EXPECT_EQ(browser.GetFolderPath(), L"");
}

}  // namespace
