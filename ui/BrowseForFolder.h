// The shell's folder picker, opened on an initial folder, for choosing where
// unsent files are saved.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <string>

namespace tessaran {

class CBrowseForFolder {
public:
    CBrowseForFolder(HWND owner, PCIDLIST_ABSOLUTE root, const std::wstring& initialFolder);
    virtual ~CBrowseForFolder() = default;
    CBrowseForFolder(const CBrowseForFolder&) = delete;
    CBrowseForFolder& operator=(const CBrowseForFolder&) = delete;

    // True when the user picked a folder with OK.
    bool BFFModal();
    // The picked folder's full path; empty when the picked item has no path in
    // the file system.
    std::wstring GetFolderPath() const { return m_path; }

protected:
    virtual void OnInitialized();
    virtual void OnSelChanged(PCIDLIST_ABSOLUTE item);

    HWND m_hWndBrowse = nullptr;
    std::wstring m_strSelected;

private:
    static int CALLBACK BrowseCallback(HWND window, UINT message, LPARAM parameter, LPARAM self) noexcept;

    BROWSEINFOW m_info;
    wchar_t m_path[MAX_PATH + 1];
    std::wstring m_strInitial;
    std::wstring m_strTitle;
};

}  // namespace tessaran
