#include "ui/FTPStatusDlg.h"

#include <commctrl.h>

#include <new>

#include "support/Localize.h"
#include "support/Result.h"
#include "ui/resource.h"

namespace tessaran {

CFTPStatusDlg::CFTPStatusDlg(CStatusDlgThread* thread) noexcept
    : CDialogBase(IDD_FTPSTATUS, nullptr), m_thread(thread) {}

void CFTPStatusDlg::ReleaseStarter() noexcept {
    if (!m_hStartEvent) return;
    ::SetEvent(m_hStartEvent);
    m_hStartEvent = nullptr;
}

BOOL CFTPStatusDlg::OnInitDialog() {
    try {
        CDialogBase::OnInitDialog();
        ::SetWindowTextW(m_hWnd, LocalizeText("Scanmoor plug-in for Veltrano").c_str());
        SetItemText(IDC_FTPSTATUS_CANCEL, L"キャンセル");
        SetItemText(IDC_FTPSTATUS_TEXT, L"送信中...");
    } catch (...) {
        // A dialog that could not be set up must neither keep the starter
        // waiting nor linger where the run cannot reach it to end it.
        ReportFailure(L"CFTPStatusDlg OnInitDialog", HResultFromCaughtException());
        EndDialog(-1);
        ReleaseStarter();
        return TRUE;
    }

    // No taskbar button, and above the host's windows.
    LONG_PTR exStyle = ::GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE);
    exStyle = (exStyle & ~static_cast<LONG_PTR>(WS_EX_APPWINDOW)) | WS_EX_TOOLWINDOW;
    ::SetWindowLongPtrW(m_hWnd, GWL_EXSTYLE, exStyle);
    ::SetWindowPos(m_hWnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);

    // The starter runs again from here on and finds the dialog at once.
    if (m_thread) m_thread->SetMainWindow(m_hWnd);
    ReleaseStarter();

    ::SendDlgItemMessageW(m_hWnd, IDC_FTPSTATUS_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    ::SendDlgItemMessageW(m_hWnd, IDC_FTPSTATUS_PROGRESS, PBM_SETPOS, 0, 0);
    return TRUE;
}

bool CFTPStatusDlg::OnCommand(UINT id, UINT notifyCode) {
    if (id == IDC_FTPSTATUS_CANCEL && notifyCode == BN_CLICKED) {
        // The request in flight is given up at once, the files after it at
        // the run's next check; the dialog stays until the run ends it.
        SetItemText(IDC_FTPSTATUS_TEXT, L"キャンセル中です。しばらくお待ちください...");
        if (m_thread) {
            m_thread->m_cancelled.store(1);
            if (m_thread->m_cancelEvent) ::SetEvent(m_thread->m_cancelEvent.get());
        }
        return true;
    }
    return false;
}

bool CFTPStatusDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    switch (message) {
        case WM_STATUSDLG_END:
            EndDialog(0);
            result = 0;
            return true;
        case WM_STATUSDLG_TEXT:
            // Handled here, on the dialog's thread, so that no text the run
            // sent before the cancel can land after it.
            if (!Cancelled()) SetItemText(IDC_FTPSTATUS_TEXT, reinterpret_cast<const wchar_t*>(lParam));
            result = 0;
            return true;
        case WM_STATUSDLG_BAR:
            // The bar stays where the cancel found it.
            if (!Cancelled()) ::SendDlgItemMessageW(m_hWnd, IDC_FTPSTATUS_PROGRESS, PBM_SETPOS, wParam, 0);
            result = 0;
            return true;
        case WM_STATUSDLG_SHOW:
            m_showCommand = static_cast<int>(wParam);
            ::ShowWindow(m_hWnd, m_showCommand);
            result = 0;
            return true;
        case WM_WINDOWPOSCHANGING:
            // The dialog manager shows a modal dialog the first time its queue
            // runs empty, which can come after the run asked to hide it (for the
            // logon dialog). While the run's last word is a hide, nothing shows
            // the dialog or makes it active.
            if (m_showCommand == SW_HIDE && lParam) {
                auto* position = reinterpret_cast<WINDOWPOS*>(lParam);
                if (position->flags & SWP_SHOWWINDOW) {
                    position->flags = (position->flags & ~SWP_SHOWWINDOW) | SWP_NOACTIVATE;
                }
            }
            return false;
        case WM_DESTROY:
            if (m_thread) m_thread->SetMainWindow(nullptr);
            return false;
        default:
            return false;
    }
}

bool CFTPStatusDlg::Cancelled() const noexcept { return m_thread && m_thread->m_cancelled.load() != 0; }

void CFTPStatusDlg::ReportFailure(const wchar_t* step, HRESULT hr) noexcept {
    if (m_thread) {
        m_thread->HandOverFailure(step, hr);
    } else {
        CDialogBase::ReportFailure(step, hr);
    }
}

BOOL CStatusDlgThread::InitInstance() {
    CFTPStatusDlg dialog(this);
    dialog.m_pParent = m_pParent;
    dialog.m_hStartEvent = m_hStartEvent;
    m_hStartEvent = nullptr;  // the starter closes it once released
    dialog.DoModal();
    // A dialog that failed before its initialisation never released the starter.
    dialog.ReleaseStarter();
    SetMainWindow(nullptr);
    return FALSE;
}

CStatusDlgHost::~CStatusDlgHost() {
    // A thread already asked to end has had its wait (the controller's own end
    // comes just before this one); waiting again would only freeze the host.
    if (!m_endRequested) EndStatusDlg();
    if (m_pStatusThread) ReleaseThread();
}

HWND CStatusDlgHost::Dialog() const noexcept {
    // A dialog asked to end is no longer talked to: its thread may be stuck.
    if (!m_pStatusThread || m_endRequested) return nullptr;
    return m_pStatusThread->MainWindow();
}

void CStatusDlgHost::StartStatusDlg(HWND parent) noexcept {
    if (m_pStatusThread) {
        if (!m_endRequested) return;
        // The thread of an earlier run did not end in time.
        ReleaseThread();
    }
    auto* thread = new (std::nothrow) CStatusDlgThread;
    if (!thread) {
        LogFailure(L"StartStatusDlg CStatusDlgThread new", E_OUTOFMEMORY);
        return;
    }
    if (!thread->CreateThread(CREATE_SUSPENDED)) {
        delete thread;
        return;
    }
    m_pStatusThread = thread;
    m_endRequested = false;
    m_shown = false;
    thread->m_pParent = parent;
    // A new event for each dialog: an old thread that ended late can never
    // cancel a later run.
    m_cancelEvent.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE threadsOwn = nullptr;
    if (!m_cancelEvent || !::DuplicateHandle(::GetCurrentProcess(), m_cancelEvent.get(), ::GetCurrentProcess(),
                                             &threadsOwn, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        // The cancel is then seen between cards only.
        LogFailure(L"StartStatusDlg cancel event", LastErrorHResult());
        m_cancelEvent.reset();
    }
    thread->m_cancelEvent.reset(threadsOwn);
    UniqueHandleNull started(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!started) LogFailure(L"StartStatusDlg CreateEvent", LastErrorHResult());
    thread->m_hStartEvent = started.get();
    thread->ResumeThread();
    if (started) {
        // Released by the dialog once it exists, or by the thread's end if it never came up.
        HANDLE waits[2] = {started.get(), thread->ThreadHandle()};
        ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    }
    LogThreadFailure();
}

// Each message waits for the dialog's thread, so what the dialog already
// shows is not sent again: a stack of 300 cards moves the bar 100 times.
void CStatusDlgHost::SetStatusText(const wchar_t* text, int position) noexcept {
    HWND dialog = Dialog();
    if (!dialog) return;
    // After a cancel the dialog says so until it closes.
    if (m_pStatusThread->m_cancelled.load() != 0) return;
    const wchar_t* shown = text ? text : L"";
    const bool sameLine = m_shown && m_shownText == shown;
    const bool samePosition = m_shown && m_shownPosition == position;
    if (!sameLine) {
        ::SendMessageW(dialog, WM_STATUSDLG_TEXT, 0, reinterpret_cast<LPARAM>(shown));
        ++m_statusMessages;
    }
    if (!samePosition) {
        ::SendMessageW(dialog, WM_STATUSDLG_BAR, static_cast<WPARAM>(position), 0);
        ++m_statusMessages;
    }
    try {
        if (!sameLine) m_shownText = shown;
        m_shownPosition = position;
        m_shown = true;
    } catch (...) {
        m_shown = false;  // unknown: the next texts are sent
    }
}

BOOL CStatusDlgHost::IsCancelRequested() noexcept {
    // Read without a message: the flag is all the dialog's answer would be.
    if (!Dialog()) return FALSE;
    return m_pStatusThread->m_cancelled.load() != 0 ? TRUE : FALSE;
}

void CStatusDlgHost::ShowStatusDlg(int showCommand) noexcept {
    if (HWND dialog = Dialog()) ::SendMessageW(dialog, WM_STATUSDLG_SHOW, static_cast<WPARAM>(showCommand), 0);
}

void CStatusDlgHost::EndStatusDlg() noexcept {
    if (!m_pStatusThread) return;
    if (!m_endRequested) {
        if (HWND dialog = m_pStatusThread->MainWindow()) ::PostMessageW(dialog, WM_STATUSDLG_END, 0, 0);
        m_endRequested = true;
    }
    const DWORD waited = ::WaitForSingleObject(m_pStatusThread->ThreadHandle(), m_endWait);
    if (waited != WAIT_OBJECT_0) {
        LogFailure(L"EndStatusDlg WaitForSingleObject",
                   waited == WAIT_TIMEOUT ? HResultFromWin32(WAIT_TIMEOUT) : LastErrorHResult());
        return;
    }
    LogThreadFailure();
    delete m_pStatusThread;
    m_pStatusThread = nullptr;
    m_endRequested = false;
}

void CStatusDlgHost::LogThreadFailure() noexcept {
    const wchar_t* step = nullptr;
    HRESULT hr = S_OK;
    if (m_pStatusThread && m_pStatusThread->TakeFailure(step, hr)) LogFailure(step, hr);
}

void CStatusDlgHost::ReleaseThread() noexcept {
    if (::WaitForSingleObject(m_pStatusThread->ThreadHandle(), 0) == WAIT_OBJECT_0) {
        LogThreadFailure();
        delete m_pStatusThread;
    } else {
        m_pStatusThread->Abandon();
    }
    m_pStatusThread = nullptr;
    m_endRequested = false;
}

}  // namespace tessaran
