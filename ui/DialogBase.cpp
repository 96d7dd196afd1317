#include "ui/DialogBase.h"

#include <vector>

#include "host/Module.h"
#include "support/Result.h"

namespace tessaran {

namespace {

// The progress bar and the result list are common controls; their window
// classes must exist before a template that names them is created.
void EnsureCommonControls() noexcept {
    static const BOOL registered = [] {
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS | ICC_LISTVIEW_CLASSES};
        return ::InitCommonControlsEx(&controls);
    }();
    (void)registered;
}

}  // namespace

void CDialogControl::EnableWindow(bool enable) const noexcept {
    if (m_hWnd) ::EnableWindow(m_hWnd, enable ? TRUE : FALSE);
}

int CComboBoxControl::AddString(const wchar_t* text) const noexcept {
    return static_cast<int>(::SendMessageW(m_hWnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)));
}

bool CComboBoxControl::SetItemData(int index, DWORD_PTR data) const noexcept {
    return ::SendMessageW(m_hWnd, CB_SETITEMDATA, static_cast<WPARAM>(index), static_cast<LPARAM>(data)) != CB_ERR;
}

DWORD_PTR CComboBoxControl::GetItemData(int index) const noexcept {
    return static_cast<DWORD_PTR>(::SendMessageW(m_hWnd, CB_GETITEMDATA, static_cast<WPARAM>(index), 0));
}

int CComboBoxControl::GetCount() const noexcept {
    return static_cast<int>(::SendMessageW(m_hWnd, CB_GETCOUNT, 0, 0));
}

int CComboBoxControl::GetCurSel() const noexcept {
    return static_cast<int>(::SendMessageW(m_hWnd, CB_GETCURSEL, 0, 0));
}

void CComboBoxControl::SetCurSel(int index) const noexcept {
    ::SendMessageW(m_hWnd, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int CListViewControl::InsertColumn(int column, const wchar_t* heading, int format, int width,
                                   int subItem) const noexcept {
    LVCOLUMNW info = {};
    info.mask = LVCF_TEXT | LVCF_FMT | LVCF_WIDTH | LVCF_SUBITEM;
    info.fmt = format;
    info.cx = width;
    info.pszText = const_cast<wchar_t*>(heading);
    info.iSubItem = subItem;
    return static_cast<int>(
        ::SendMessageW(m_hWnd, LVM_INSERTCOLUMNW, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&info)));
}

void CListViewControl::SetImageList(HIMAGELIST images, int which) const noexcept {
    ::SendMessageW(m_hWnd, LVM_SETIMAGELIST, static_cast<WPARAM>(which), reinterpret_cast<LPARAM>(images));
}

void CListViewControl::SetExtendedStyle(DWORD style) const noexcept {
    ::SendMessageW(m_hWnd, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, static_cast<LPARAM>(style));
}

int CListViewControl::InsertItem(int row, const wchar_t* text, int image) const noexcept {
    LVITEMW item = {};
    item.mask = LVIF_TEXT | LVIF_IMAGE;
    item.iItem = row;
    item.pszText = const_cast<wchar_t*>(text);
    item.iImage = image;
    return static_cast<int>(::SendMessageW(m_hWnd, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
}

bool CListViewControl::SetItemText(int row, int column, const wchar_t* text) const noexcept {
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = const_cast<wchar_t*>(text);
    return ::SendMessageW(m_hWnd, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item)) != 0;
}

CDialogBase::CDialogBase(UINT templateId, HWND parent) noexcept : m_templateId(templateId), m_parent(parent) {}

CDialogBase::~CDialogBase() = default;

HRESULT CDialogBase::RunModal(INT_PTR& result) noexcept {
    EnsureCommonControls();
    m_created = false;
    result = ::DialogBoxParamW(ModuleInstance(), MAKEINTRESOURCEW(m_templateId), m_parent, &CDialogBase::DialogProc,
                               reinterpret_cast<LPARAM>(this));
    m_hWnd = nullptr;
    if (result != -1 || m_created) return S_OK;
    const HRESULT failure = LastErrorHResult();
    ReportFailure(L"DialogBoxParam", failure);
    return failure;
}

INT_PTR CDialogBase::DoModal() noexcept {
    INT_PTR result = -1;
    return SUCCEEDED(RunModal(result)) ? result : -1;
}

void CDialogBase::ReportFailure(const wchar_t* step, HRESULT hr) noexcept { LogFailure(step, hr); }

void CDialogBase::EndDialog(INT_PTR result) noexcept {
    if (m_hWnd) ::EndDialog(m_hWnd, result);
}

void CDialogBase::BindControl(int id, CDialogControl& control) const noexcept { control.Attach(GetItem(id)); }

std::wstring CDialogBase::GetItemText(int id) const {
    HWND item = GetItem(id);
    if (!item) return {};
    const int length = ::GetWindowTextLengthW(item);
    if (length <= 0) return {};
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
    const int copied = ::GetWindowTextW(item, buffer.data(), length + 1);
    return std::wstring(buffer.data(), static_cast<size_t>(copied > 0 ? copied : 0));
}

void CDialogBase::SetItemText(int id, const wchar_t* text) const noexcept { ::SetDlgItemTextW(m_hWnd, id, text); }

int CDialogBase::MessageBox(const wchar_t* text, const wchar_t* caption, UINT type) const noexcept {
    return ::MessageBoxW(m_hWnd, text, caption, type);
}

bool CDialogBase::OnCommand(UINT, UINT) { return false; }

bool CDialogBase::OnMessage(UINT, WPARAM, LPARAM, LRESULT&) { return false; }

INT_PTR CALLBACK CDialogBase::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    CDialogBase* dialog = nullptr;
    if (message == WM_INITDIALOG) {
        dialog = reinterpret_cast<CDialogBase*>(lParam);
        ::SetWindowLongPtrW(window, DWLP_USER, lParam);
        if (dialog) {
            dialog->m_hWnd = window;
            dialog->m_created = true;
        }
    } else {
        dialog = reinterpret_cast<CDialogBase*>(::GetWindowLongPtrW(window, DWLP_USER));
    }
    if (!dialog) return FALSE;
    try {
        const INT_PTR handled = dialog->Dispatch(message, wParam, lParam);
        if (message == WM_NCDESTROY) {
            ::SetWindowLongPtrW(window, DWLP_USER, 0);
            dialog->m_hWnd = nullptr;
        }
        return handled;
    } catch (...) {
        dialog->ReportFailure(L"DialogProc", HResultFromCaughtException());
        return FALSE;
    }
}

INT_PTR CDialogBase::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            DoDataExchange();
            return OnInitDialog();
        case WM_COMMAND: {
            const UINT id = LOWORD(wParam);
            const UINT code = HIWORD(wParam);
            if (id == IDOK && code == BN_CLICKED) {
                OnOK();
                return TRUE;
            }
            if (id == IDCANCEL && code == BN_CLICKED) {
                OnCancel();
                return TRUE;
            }
            return OnCommand(id, code) ? TRUE : FALSE;
        }
        default: {
            LRESULT result = 0;
            if (!OnMessage(message, wParam, lParam, result)) return FALSE;
            ::SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, result);
            return TRUE;
        }
    }
}

UINT ErrorMessageBoxStyle() noexcept {
    UINT style = MB_ICONEXCLAMATION;
    if ((::GetUserDefaultLangID() & 0x3FF) == LANG_ARABIC) style |= MB_RTLREADING;
    return style;
}

bool IsHelpRequest(UINT message, WPARAM wParam) noexcept {
    if (message == WM_HELP) return true;
    return message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CONTEXTHELP;
}

}  // namespace tessaran
