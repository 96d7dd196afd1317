// A small modal dialog base for the plug-in's dialogs: runs a template of the
// plug-in module with DialogBoxParamW, binds the few child controls the
// dialogs use, and dispatches messages to virtual handlers. Every message is
// handled inside a catch-all, so no exception leaves the dialog procedure.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>

namespace tessaran {

// A child control of a running dialog, bound by the dialog's data exchange.
class CDialogControl {
public:
    HWND GetSafeHwnd() const noexcept { return m_hWnd; }
    void Attach(HWND window) noexcept { m_hWnd = window; }
    void EnableWindow(bool enable) const noexcept;

protected:
    HWND m_hWnd = nullptr;
};

class CComboBoxControl : public CDialogControl {
public:
    int AddString(const wchar_t* text) const noexcept;
    bool SetItemData(int index, DWORD_PTR data) const noexcept;
    DWORD_PTR GetItemData(int index) const noexcept;  // CB_ERR when the index is invalid
    int GetCount() const noexcept;
    int GetCurSel() const noexcept;
    void SetCurSel(int index) const noexcept;
};

class CListViewControl : public CDialogControl {
public:
    int InsertColumn(int column, const wchar_t* heading, int format, int width, int subItem) const noexcept;
    void SetImageList(HIMAGELIST images, int which) const noexcept;
    void SetExtendedStyle(DWORD style) const noexcept;
    // The new row's index, or -1 when the row could not be inserted.
    int InsertItem(int row, const wchar_t* text, int image) const noexcept;
    bool SetItemText(int row, int column, const wchar_t* text) const noexcept;
};

class CDialogBase {
public:
    CDialogBase(UINT templateId, HWND parent) noexcept;
    virtual ~CDialogBase();
    CDialogBase(const CDialogBase&) = delete;
    CDialogBase& operator=(const CDialogBase&) = delete;

    // Runs the dialog modally on the calling thread: S_OK with the end code in
    // result, or the failure of a dialog that could not be created (reported
    // through ReportFailure), which is no answer of the user.
    HRESULT RunModal(INT_PTR& result) noexcept;
    // The end code, or -1 when the dialog could not be created.
    INT_PTR DoModal() noexcept;

    HWND GetSafeHwnd() const noexcept { return m_hWnd; }

protected:
    // Binds child controls (BindControl) before OnInitDialog runs.
    virtual void DoDataExchange() {}
    // True lets the dialog manager set the default focus.
    virtual BOOL OnInitDialog() { return TRUE; }
    // OK (ID 1, also Enter when OK is the default) and Cancel (ID 2, Esc, the close box).
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    // WM_COMMAND other than OK and Cancel; true when handled.
    virtual bool OnCommand(UINT id, UINT notifyCode);
    // Any other message; true when handled, with result as the message's result.
    virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
    // A failure of the dialog itself; logged here. A dialog on a thread of its
    // own hands it to the thread that logs.
    virtual void ReportFailure(const wchar_t* step, HRESULT hr) noexcept;

    void EndDialog(INT_PTR result) noexcept;
    void BindControl(int id, CDialogControl& control) const noexcept;
    HWND GetItem(int id) const noexcept { return ::GetDlgItem(m_hWnd, id); }
    std::wstring GetItemText(int id) const;
    void SetItemText(int id, const wchar_t* text) const noexcept;
    int MessageBox(const wchar_t* text, const wchar_t* caption, UINT type) const noexcept;

    HWND m_hWnd = nullptr;

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
    INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

    UINT m_templateId;
    HWND m_parent;
    bool m_created = false;  // WM_INITDIALOG came: a -1 is then the dialog's own end code
};

// Message box style for validation and service messages: the exclamation
// icon, read right to left when the user's language is Arabic.
UINT ErrorMessageBoxStyle() noexcept;

// The help command of a dialog that offers help.
constexpr UINT ID_HELP_COMMAND = 0xE146;

// The other help requests such a dialog answers with its help: F1 (WM_HELP)
// and the caption's help button (SC_CONTEXTHELP, in place of the pointer mode).
bool IsHelpRequest(UINT message, WPARAM wParam) noexcept;

}  // namespace tessaran
