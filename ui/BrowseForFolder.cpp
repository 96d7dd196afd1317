#include "ui/BrowseForFolder.h"

#include "support/Handles.h"
#include "support/Localize.h"

namespace tessaran {

CBrowseForFolder::CBrowseForFolder(HWND owner, PCIDLIST_ABSOLUTE root, const std::wstring& initialFolder)
    : m_info(), m_path(), m_strInitial(initialFolder), m_strTitle(LocalizeText("Please select save location.")) {
    m_info.hwndOwner = owner;
    m_info.pidlRoot = root;
    m_info.pszDisplayName = m_path;
    m_info.lpszTitle = m_strTitle.c_str();
    m_info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    m_info.lpfn = &CBrowseForFolder::BrowseCallback;
    m_info.lParam = reinterpret_cast<LPARAM>(this);
}

bool CBrowseForFolder::BFFModal() {
    PIDLIST_ABSOLUTE picked = ::SHBrowseForFolderW(&m_info);
    if (!picked) {
        m_hWndBrowse = nullptr;
        return false;
    }
    m_strSelected.clear();
    if (::SHGetPathFromIDListW(picked, m_path)) {
        m_strSelected = m_path;
    } else {
        // The buffer holds the item's display name, which is no path to save into.
        m_path[0] = L'\0';
    }
    ComPtr<IMalloc> allocator;
    if (SUCCEEDED(::SHGetMalloc(allocator.put()))) allocator->Free(picked);
    m_hWndBrowse = nullptr;
    return true;
}

int CALLBACK CBrowseForFolder::BrowseCallback(HWND window, UINT message, LPARAM parameter, LPARAM self) noexcept {
    auto* browser = reinterpret_cast<CBrowseForFolder*>(self);
    if (!browser) return 0;
    try {
        browser->m_hWndBrowse = window;
        if (message == BFFM_INITIALIZED) {
            browser->OnInitialized();
        } else if (message == BFFM_SELCHANGED) {
            browser->OnSelChanged(reinterpret_cast<PCIDLIST_ABSOLUTE>(parameter));
        }
    } catch (...) {
        // The picker goes on without the initial selection or the OK check.
    }
    return 0;
}

void CBrowseForFolder::OnInitialized() {
    m_strSelected = m_strInitial;
    ::SendMessageW(m_hWndBrowse, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(m_strSelected.c_str()));
}

void CBrowseForFolder::OnSelChanged(PCIDLIST_ABSOLUTE item) {
    wchar_t path[MAX_PATH] = {};
    if (!item || !::SHGetPathFromIDListW(item, path)) path[0] = L'\0';
    m_strSelected = path;
    if (m_strSelected.empty()) ::SendMessageW(m_hWndBrowse, BFFM_ENABLEOK, 0, 0);
}

}  // namespace tessaran
