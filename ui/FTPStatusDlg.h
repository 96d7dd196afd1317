// The progress dialog of an upload run and the thread it runs on. The run's
// thread reaches the dialog only through window messages: sent for the text,
// the bar and show or hide; posted for the end. The user's cancel reaches the
// run as a flag and an event, so that a request in flight can be given up at
// once.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "ui/DialogBase.h"
#include "ui/UiThread.h"

namespace tessaran {

constexpr UINT WM_STATUSDLG_END = WM_APP + 0x64;        // ends the dialog with result 0
// Shows or hides the dialog (wParam: the show command) on its own thread; the
// dialog keeps the command, so that its own first show cannot undo a hide.
constexpr UINT WM_STATUSDLG_SHOW = WM_APP + 0x66;
// The run's status line (lParam: the text) and bar position (wParam). Once
// the user has cancelled, the dialog keeps saying so and takes neither.
constexpr UINT WM_STATUSDLG_TEXT = WM_APP + 0x67;
constexpr UINT WM_STATUSDLG_BAR = WM_APP + 0x68;

class CStatusDlgThread;

class CFTPStatusDlg : public CDialogBase {
public:
    explicit CFTPStatusDlg(CStatusDlgThread* thread) noexcept;

    HWND m_pParent = nullptr;        // the run's window; kept, not used as owner
    HANDLE m_hStartEvent = nullptr;  // signalled once the dialog exists

    // Releases a starter still waiting (the dialog could not be created).
    void ReleaseStarter() noexcept;

protected:
    BOOL OnInitDialog() override;
    bool OnCommand(UINT id, UINT notifyCode) override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    // Handed to the thread: the host's thread logs it.
    void ReportFailure(const wchar_t* step, HRESULT hr) noexcept override;

private:
    bool Cancelled() const noexcept;

    CStatusDlgThread* m_thread;
    int m_showCommand = -1;  // the run's last show command; -1 before its first
};

class CStatusDlgThread : public CUiThread {
public:
    HWND m_pParent = nullptr;
    HANDLE m_hStartEvent = nullptr;
    // Set by the dialog, read by the run's thread without a message to wait for.
    std::atomic<LONG> m_cancelled{0};
    // The run's cancel event, set with the flag; the thread's own handle to
    // it, so that a thread that outlives its owner never sets a closed one.
    UniqueHandleNull m_cancelEvent;

protected:
    BOOL InitInstance() override;
    int ExitInstance() override { return CUiThread::ExitInstance(); }
};

// Owner of the progress thread for one controller: the progress operations
// of an upload run, all on the run's thread. None of them reports an error.
class CStatusDlgHost {
public:
    CStatusDlgHost() noexcept = default;
    ~CStatusDlgHost();
    CStatusDlgHost(const CStatusDlgHost&) = delete;
    CStatusDlgHost& operator=(const CStatusDlgHost&) = delete;

    // Starts the thread and returns once its dialog exists (or could not be
    // made). Does nothing while a dialog of this owner runs.
    void StartStatusDlg(HWND parent) noexcept;
    void SetStatusText(const wchar_t* text, int position) noexcept;
    BOOL IsCancelRequested() noexcept;
    // Set when the user presses Cancel in the dialog of this run (manual
    // reset); valid until the next start, null without a dialog started.
    HANDLE CancelEvent() const noexcept { return m_cancelEvent.get(); }
    void ShowStatusDlg(int showCommand) noexcept;
    // Ends the dialog and waits for its thread; a thread that does not end in
    // time is kept and cleaned up by a later Start or End, or by the owner's end.
    void EndStatusDlg() noexcept;

    // How long EndStatusDlg waits for the thread (30 s unless a test shortens it).
    void SetEndWait(DWORD milliseconds) noexcept { m_endWait = milliseconds; }
    // Texts and bar positions sent to the dialog's thread so far.
    unsigned long StatusMessagesSent() const noexcept { return m_statusMessages; }
    bool HasThread() const noexcept { return m_pStatusThread != nullptr; }

private:
    HWND Dialog() const noexcept;
    // Logs what went wrong on the dialog's thread, here on the run's thread.
    void LogThreadFailure() noexcept;
    // Deletes a thread that ended after its end request, or hands a still
    // running one over to itself.
    void ReleaseThread() noexcept;

    CStatusDlgThread* m_pStatusThread = nullptr;
    UniqueHandleNull m_cancelEvent;  // one per dialog started
    bool m_endRequested = false;
    DWORD m_endWait = 30000;
    // What this dialog shows as the run last set it; m_shown is false until
    // the run set both.
    std::wstring m_shownText;
    int m_shownPosition = 0;
    bool m_shown = false;
    unsigned long m_statusMessages = 0;
};

}  // namespace tessaran
