// A user-interface thread of our own: created suspended by its owner, it runs
// InitInstance and, if that returns true, a message loop until WM_QUIT; the
// exit code comes from ExitInstance.
//
// The owner deletes the object once the thread has ended. An owner that
// cannot wait any longer hands the object over with Abandon: the thread then
// deletes it when it ends. While it runs, the thread holds a reference to the
// module that contains its code, so the code stays loaded even if the host
// lets the plug-in go meanwhile.
#pragma once

#include <windows.h>

#include <atomic>

#include "support/Handles.h"

namespace tessaran {

class CUiThread {
public:
    CUiThread() noexcept;
    virtual ~CUiThread();
    CUiThread(const CUiThread&) = delete;
    CUiThread& operator=(const CUiThread&) = delete;

    // Starts the thread with the given creation flags (CREATE_SUSPENDED to let
    // the owner prepare it); normal priority, default stack and security.
    bool CreateThread(DWORD flags) noexcept;
    DWORD ResumeThread() noexcept;
    HANDLE ThreadHandle() const noexcept { return m_thread.get(); }

    // The thread's main window, readable from any thread; null when it has none.
    HWND MainWindow() const noexcept { return m_mainWindow.load(); }
    void SetMainWindow(HWND window) noexcept { m_mainWindow.store(window); }

    // Hands the object to its own thread, which deletes it when it ends; if the
    // thread has already ended, the object is deleted now. The caller must not
    // use the object afterwards.
    void Abandon() noexcept;

    // A failure seen on the thread, for the owner's thread to log: every log
    // line comes from the host's thread. One failure waits at a time; what
    // comes while one waits is dropped. step must be a text that lives on.
    void HandOverFailure(const wchar_t* step, HRESULT hr) noexcept;
    // On the owner's thread: the failure waiting, if any, which is then taken.
    bool TakeFailure(const wchar_t*& step, HRESULT& hr) noexcept;

    // Objects of this class alive in the process (for leak checks).
    static LONG LiveCount() noexcept;

protected:
    // Runs on the new thread; false ends it without a message loop.
    virtual BOOL InitInstance() = 0;
    virtual int ExitInstance() { return 0; }

private:
    static DWORD WINAPI ThreadStart(void* parameter) noexcept;
    int Run() noexcept;

    enum State : int { kRunning, kEnded, kAbandoned };

    UniqueHandleNull m_thread;
    DWORD m_threadId = 0;
    HMODULE m_codeModule = nullptr;  // the thread's reference, released as it exits
    std::atomic<HWND> m_mainWindow{nullptr};
    std::atomic<int> m_state{kRunning};

    enum Mailbox : int { kEmpty, kBusy, kFull };
    std::atomic<int> m_mailbox{kEmpty};
    const wchar_t* m_failureStep = nullptr;
    HRESULT m_failure = S_OK;
};

}  // namespace tessaran
