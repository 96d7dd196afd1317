// The progress dialog on its own thread, driven through the controller's
// progress operations with the real dialogs, and the thread's end in the
// hard cases: a dialog that cannot be created, a thread that does not end in
// time, an owner that goes away meanwhile.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PluginDialogs.h"
#include "common/DialogDriver.h"
#include "common/LogCapture.h"
#include "controller/MeishiServiceCtrl.h"
#include "host/Module.h"
#include "ui/FTPStatusDlg.h"
#include "ui/UiThread.h"

using tessaran::CUiThread;
using tessaran_test::DialogDriver;
using tessaran_test::LogCapture;

namespace {

constexpr wchar_t kTitle[] = L"Scanmoor plug-in for Veltrano";

HWND ProgressWindow(DWORD timeoutMs = 5000) { return DialogDriver::WaitForProcessWindow(kTitle, timeoutMs); }

int BarPosition(HWND dialog) {
    return static_cast<int>(::SendDlgItemMessageW(dialog, 202, PBM_GETPOS, 0, 0));
}

bool WaitForLiveThreads(LONG count) {
    DialogDriver any(0);
    return any.WaitUntil([&] { return CUiThread::LiveCount() == count; }, 10000);
}

TEST(ProgressDialog, TextsBarCancelLineAndVisibility) {
    tessaran::CMeishiServiceCtrl controller;
    controller.StartStatusDlg(nullptr);
    // The start returns only once the dialog exists: the first text already reaches it.
    controller.SetStatusText(L"first", 7);
    HWND dialog = ProgressWindow();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(DialogDriver::ItemText(dialog, 201), L"first");
    EXPECT_EQ(BarPosition(dialog), 7);
    EXPECT_NE(::GetWindowThreadProcessId(dialog, nullptr), ::GetCurrentThreadId());
    EXPECT_EQ(::SendDlgItemMessageW(dialog, 202, PBM_GETRANGE, TRUE, 0), 0);
    EXPECT_EQ(::SendDlgItemMessageW(dialog, 202, PBM_GETRANGE, FALSE, 0), 100);
    const LONG_PTR exStyle = ::GetWindowLongPtrW(dialog, GWL_EXSTYLE);
    EXPECT_TRUE(exStyle & WS_EX_TOOLWINDOW);
    EXPECT_TRUE(exStyle & WS_EX_TOPMOST);
    EXPECT_FALSE(exStyle & WS_EX_APPWINDOW);
    EXPECT_EQ(::GetWindow(dialog, GW_OWNER), nullptr);

    controller.SetStatusText(L"サービス へ接続中...", 0);
    EXPECT_EQ(DialogDriver::ItemText(dialog, 201), L"サービス へ接続中...");
    controller.SetUploadProgress(5, 0);
    EXPECT_EQ(DialogDriver::ItemText(dialog, 201), L"5個のファイルをアップロード中 : 0%完了");
    EXPECT_EQ(BarPosition(dialog), 0);
    controller.SetUploadProgress(5, 3);
    EXPECT_EQ(DialogDriver::ItemText(dialog, 201), L"5個のファイルをアップロード中 : 60%完了");
    EXPECT_EQ(BarPosition(dialog), 60);
    // A run without files must not divide by zero.
    controller.SetUploadProgress(0, 1);
    EXPECT_EQ(DialogDriver::ItemText(dialog, 201), L"0個のファイルをアップロード中 : 0%完了");
    EXPECT_EQ(BarPosition(dialog), 0);

    EXPECT_EQ(controller.IsCancelRequested(), FALSE);
    ASSERT_NE(controller.CancelEvent(), nullptr);
    EXPECT_EQ(::WaitForSingleObject(controller.CancelEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    controller.SetUploadProgress(4, 2);
    DialogDriver::ClickNow(dialog, 207);
    EXPECT_EQ(DialogDriver::ItemText(dialog, 201), L"キャンセル中です。しばらくお待ちください...");
    EXPECT_EQ(controller.IsCancelRequested(), TRUE);
    // The event the run's requests wait on is set by the press itself.
    EXPECT_EQ(::WaitForSingleObject(controller.CancelEvent(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(::IsWindowVisible(dialog));
    // From the press on, the dialog says it is cancelling and the bar stays.
    controller.SetUploadProgress(4, 4);
    EXPECT_EQ(DialogDriver::ItemText(dialog, 201), L"キャンセル中です。しばらくお待ちください...");
    EXPECT_EQ(BarPosition(dialog), 50);

    controller.ShowStatusDlg(SW_HIDE);
    EXPECT_FALSE(::IsWindowVisible(dialog));
    controller.ShowStatusDlg(SW_SHOW);
    EXPECT_TRUE(::IsWindowVisible(dialog));

    // A second start while the dialog runs changes nothing.
    controller.StartStatusDlg(nullptr);
    EXPECT_EQ(ProgressWindow(), dialog);
    EXPECT_EQ(CUiThread::LiveCount(), 1);

    controller.EndStatusDlg();
    EXPECT_FALSE(::IsWindow(dialog));
    EXPECT_EQ(CUiThread::LiveCount(), 0);

    // Without a dialog every operation does nothing.
    controller.SetStatusText(L"nobody", 10);
    controller.SetUploadProgress(3, 1);
    controller.ShowStatusDlg(SW_SHOW);
    EXPECT_EQ(controller.IsCancelRequested(), FALSE);
    controller.EndStatusDlg();
    EXPECT_EQ(DialogDriver::FindProcessWindow(kTitle, true), nullptr);
}

// What the dialog already shows is not sent again: each message waits for
// the dialog's thread, and most cards of a large stack change neither.
TEST(ProgressDialog, OnlyATextOrPositionThatChangesIsSent) {
    tessaran::CStatusDlgHost host;
    host.StartStatusDlg(nullptr);
    HWND dialog = ProgressWindow();
    ASSERT_NE(dialog, nullptr);
    host.SetStatusText(L"300個のファイルをアップロード中 : 0%完了", 0);
    EXPECT_EQ(host.StatusMessagesSent(), 2u);
    host.SetStatusText(L"300個のファイルをアップロード中 : 0%完了", 0);
    host.SetStatusText(L"300個のファイルをアップロード中 : 1%完了", 1);
    EXPECT_EQ(host.StatusMessagesSent(), 4u);
    host.SetStatusText(L"another line", 1);
    EXPECT_EQ(host.StatusMessagesSent(), 5u);
    EXPECT_EQ(DialogDriver::ItemText(dialog, 201), L"another line");
    EXPECT_EQ(BarPosition(dialog), 1);
    host.EndStatusDlg();

    // A new dialog starts from its own texts: the first ones all go.
    host.StartStatusDlg(nullptr);
    dialog = ProgressWindow();
    ASSERT_NE(dialog, nullptr);
    host.SetStatusText(L"another line", 1);
    EXPECT_EQ(host.StatusMessagesSent(), 7u);
    EXPECT_EQ(DialogDriver::ItemText(dialog, 201), L"another line");
    host.EndStatusDlg();
}

// Records, on the progress dialog's thread, what it is told about being shown
// or hidden, in order: WM_SHOWWINDOW ("show", "hide"), a position change that
// asks to show or hide it ("showing", "hiding"), and one that did ("shown",
// "hidden"). A handler that takes the show out of a change leaves "showing"
// without "shown".
class VisibilityLog {
public:
    explicit VisibilityLog(HWND dialog) {
        s_dialog = dialog;
        s_events.clear();
        s_asked = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        const DWORD thread = ::GetWindowThreadProcessId(dialog, nullptr);
        m_before = ::SetWindowsHookExW(WH_CALLWNDPROC, &Before, nullptr, thread);
        m_after = ::SetWindowsHookExW(WH_CALLWNDPROCRET, &After, nullptr, thread);
    }
    ~VisibilityLog() {
        if (m_before) ::UnhookWindowsHookEx(m_before);
        if (m_after) ::UnhookWindowsHookEx(m_after);
        ::CloseHandle(s_asked);
        s_dialog = nullptr;
    }
    bool Hooked() const { return m_before && m_after; }
    std::vector<std::string> Events() const {
        std::lock_guard<std::mutex> lock(s_lock);
        return s_events;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(s_lock);
        s_events.clear();
        ::ResetEvent(s_asked);
    }
    // True once a position change asked to show or hide the dialog.
    bool WaitAsked() const { return ::WaitForSingleObject(s_asked, 15000) == WAIT_OBJECT_0; }

private:
    static void Add(const char* event) {
        std::lock_guard<std::mutex> lock(s_lock);
        s_events.push_back(event);
    }
    static LRESULT CALLBACK Before(int code, WPARAM wParam, LPARAM lParam) {
        const auto* message = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (code == HC_ACTION && message->hwnd == s_dialog && message->message == WM_WINDOWPOSCHANGING) {
            const UINT flags = reinterpret_cast<const WINDOWPOS*>(message->lParam)->flags;
            if (flags & (SWP_SHOWWINDOW | SWP_HIDEWINDOW)) {
                Add(flags & SWP_SHOWWINDOW ? "showing" : "hiding");
                ::SetEvent(s_asked);
            }
        }
        return ::CallNextHookEx(nullptr, code, wParam, lParam);
    }
    static LRESULT CALLBACK After(int code, WPARAM wParam, LPARAM lParam) {
        const auto* message = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
        if (code == HC_ACTION && message->hwnd == s_dialog) {
            if (message->message == WM_SHOWWINDOW && message->lParam == 0) Add(message->wParam ? "show" : "hide");
            if (message->message == WM_WINDOWPOSCHANGED) {
                const UINT flags = reinterpret_cast<const WINDOWPOS*>(message->lParam)->flags;
                if (flags & SWP_SHOWWINDOW) Add("shown");
                if (flags & SWP_HIDEWINDOW) Add("hidden");
            }
        }
        return ::CallNextHookEx(nullptr, code, wParam, lParam);
    }
    static inline HWND s_dialog = nullptr;
    static inline HANDLE s_asked = nullptr;
    static inline std::mutex s_lock;
    static inline std::vector<std::string> s_events;
    HHOOK m_before = nullptr;
    HHOOK m_after = nullptr;
};

using Events = std::vector<std::string>;

// The run hides the dialog for the logon right after starting it. The dialog
// manager shows a modal dialog the first time its queue runs empty, which may
// come before or after that hide; either way the dialog stays hidden until
// the run shows it again. Several rounds, since the order is the threads'.
TEST(ProgressDialog, HideRightAfterTheStartHoldsUntilTheRunShowsItAgain) {
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        tessaran::CStatusDlgHost host;
        host.StartStatusDlg(nullptr);
        HWND dialog = host.HasThread() ? DialogDriver::FindProcessWindow(kTitle, true) : nullptr;
        ASSERT_NE(dialog, nullptr);
        VisibilityLog log(dialog);
        ASSERT_TRUE(log.Hooked());
        host.ShowStatusDlg(SW_HIDE);
        // The dialog manager's show, if it did not come before the hook, comes
        // now; a sent message is answered only once that show has run.
        ASSERT_TRUE(log.WaitAsked());
        ::SendMessageW(dialog, WM_NULL, 0, 0);
        const Events events = log.Events();
        const std::vector<Events> allowed = {
            {"hide", "hiding", "hidden"},                            // shown before the hook, then hidden
            {"show", "showing", "shown", "hide", "hiding", "hidden"},  // shown before the hide, then hidden
            {"show", "showing"},                                      // asked after the hide, and held
        };
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), events), allowed.end())
            << ::testing::PrintToString(events);
        EXPECT_FALSE(::IsWindowVisible(dialog));

        log.Clear();
        host.ShowStatusDlg(SW_SHOW);
        EXPECT_EQ(log.Events(), (Events{"show", "showing", "shown"}));
        EXPECT_TRUE(::IsWindowVisible(dialog));
        log.Clear();
        host.ShowStatusDlg(SW_HIDE);
        EXPECT_EQ(log.Events(), (Events{"hide", "hiding", "hidden"}));
        host.EndStatusDlg();
        EXPECT_FALSE(::IsWindow(dialog));
    }
}

TEST(ProgressDialog, EscEndsTheDialogWithoutTheCancelFlag) {
    tessaran::CMeishiServiceCtrl controller;
    controller.StartStatusDlg(nullptr);
    HWND dialog = ProgressWindow();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(DialogDriver::ItemText(dialog, 201), L"送信中...");
    EXPECT_EQ(DialogDriver::ItemText(dialog, 207), L"キャンセル");
    EXPECT_EQ(BarPosition(dialog), 0);
    DialogDriver driver(::GetWindowThreadProcessId(dialog, nullptr));
    driver.PressKey(dialog, VK_ESCAPE);
    ASSERT_TRUE(driver.WaitUntil([&] { return !::IsWindow(dialog); }));
    EXPECT_EQ(controller.IsCancelRequested(), FALSE);
    controller.SetUploadProgress(2, 1);
    controller.ShowStatusDlg(SW_SHOW);
    EXPECT_EQ(DialogDriver::FindProcessWindow(kTitle, true), nullptr);
    controller.EndStatusDlg();
    EXPECT_EQ(CUiThread::LiveCount(), 0);
}

// The failure is seen on the dialog's thread and written by the starter: every
// log line comes from the host's thread.
TEST(ProgressDialog, StartReturnsWhenTheDialogCannotBeCreatedAndItsThreadLogsNothing) {
    LogCapture log;
    // A module without the template: the dialog fails before its initialisation.
    auto missing = std::make_unique<ui_test::TemplatesMissing>();
    tessaran::CStatusDlgHost host;
    HANDLE started = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD starterThread = 0;
    std::thread starter([&] {
        starterThread = ::GetCurrentThreadId();
        host.StartStatusDlg(nullptr);
        ::SetEvent(started);
    });
    const DWORD waited = ::WaitForSingleObject(started, 15000);
    missing.reset();
    ASSERT_EQ(waited, WAIT_OBJECT_0) << "the starter was never released";
    starter.join();
    ::CloseHandle(started);
    ASSERT_EQ(log.lines().size(), 1u);
    wchar_t line[64] = {};
    ::swprintf(line, 64, L"DialogBoxParam: error = %08X", static_cast<unsigned>(ui_test::TemplatesMissing::Failure()));
    EXPECT_EQ(log.lines()[0], std::make_pair(3, std::wstring(line)));
    EXPECT_EQ(log.threads()[0], starterThread);
    EXPECT_EQ(host.IsCancelRequested(), FALSE);
    host.SetStatusText(L"nobody", 1);
    host.EndStatusDlg();
    EXPECT_FALSE(host.HasThread());
    EXPECT_EQ(CUiThread::LiveCount(), 0);
}

// Keeps the progress dialog's thread from handling its end request until
// released: a thread that does not end in time.
class StuckThread {
public:
    explicit StuckThread(HWND dialog) {
        s_release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        s_stuck = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_hook = ::SetWindowsHookExW(WH_GETMESSAGE, &StuckThread::Hook, nullptr,
                                     ::GetWindowThreadProcessId(dialog, nullptr));
    }
    ~StuckThread() {
        Release();
        ::CloseHandle(s_stuck);
    }
    bool Hooked() const { return m_hook != nullptr; }
    bool IsStuck() const { return ::WaitForSingleObject(s_stuck, 10000) == WAIT_OBJECT_0; }
    void Release() {
        if (!s_release) return;
        ::SetEvent(s_release);
        if (m_hook) ::UnhookWindowsHookEx(m_hook);
        m_hook = nullptr;
    }

private:
    static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam) {
        const auto* message = reinterpret_cast<const MSG*>(lParam);
        if (code >= 0 && wParam == PM_REMOVE && message->message == tessaran::WM_STATUSDLG_END) {
            ::SetEvent(s_stuck);
            ::WaitForSingleObject(s_release, INFINITE);
        }
        return ::CallNextHookEx(nullptr, code, wParam, lParam);
    }
    static inline HANDLE s_release = nullptr;
    static inline HANDLE s_stuck = nullptr;
    HHOOK m_hook = nullptr;
};

TEST(ProgressDialog, ThreadThatDidNotEndInTimeIsCleanedUpLater) {
    tessaran::CStatusDlgHost host;
    host.SetEndWait(300);
    host.StartStatusDlg(nullptr);
    HWND first = ProgressWindow();
    ASSERT_NE(first, nullptr);
    StuckThread stuck(first);
    ASSERT_TRUE(stuck.Hooked());

    host.EndStatusDlg();
    ASSERT_TRUE(stuck.IsStuck());
    EXPECT_TRUE(host.HasThread());
    EXPECT_TRUE(::IsWindow(first));
    // The stuck dialog is not talked to any more, so nothing here blocks.
    EXPECT_EQ(host.IsCancelRequested(), FALSE);
    host.SetStatusText(L"not shown", 50);
    host.ShowStatusDlg(SW_HIDE);
    EXPECT_TRUE(::IsWindowVisible(first));

    // The next run gets a dialog of its own; the old thread cleans up after itself.
    host.StartStatusDlg(nullptr);
    EXPECT_EQ(CUiThread::LiveCount(), 2);
    stuck.Release();
    EXPECT_TRUE(WaitForLiveThreads(1));
    EXPECT_FALSE(::IsWindow(first));
    HWND second = ProgressWindow();
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    host.SetStatusText(L"second run", 10);
    EXPECT_EQ(DialogDriver::ItemText(second, 201), L"second run");
    host.EndStatusDlg();
    EXPECT_FALSE(host.HasThread());
    EXPECT_EQ(CUiThread::LiveCount(), 0);
}

TEST(ProgressDialog, ThreadStillStuckWhenItsOwnerEndsDeletesItself) {
    HWND dialog = nullptr;
    {
        tessaran::CStatusDlgHost host;
        host.SetEndWait(300);
        host.StartStatusDlg(nullptr);
        dialog = ProgressWindow();
        ASSERT_NE(dialog, nullptr);
        StuckThread stuck(dialog);
        ASSERT_TRUE(stuck.Hooked());
        host.EndStatusDlg();
        ASSERT_TRUE(stuck.IsStuck());
        // The owner ends first; the thread is released afterwards (~StuckThread).
        host.~CStatusDlgHost();
        new (&host) tessaran::CStatusDlgHost;
        EXPECT_EQ(CUiThread::LiveCount(), 1);
    }
    EXPECT_TRUE(WaitForLiveThreads(0));
    EXPECT_FALSE(::IsWindow(dialog));
}

// The plug-in's release with a stuck thread: the run's end and the
// controller's end each wait once; the owner's own end adds no third wait,
// which would keep the host frozen for another 30 seconds.
TEST(ProgressDialog, OwnerEndDoesNotWaitAgainForAThreadThatTimedOut) {
    constexpr wchar_t kTimedOut[] = L"EndStatusDlg WaitForSingleObject: error = 80070102";
    HWND dialog = nullptr;
    {
        LogCapture log;
        tessaran::CStatusDlgHost host;
        host.SetEndWait(300);
        host.StartStatusDlg(nullptr);
        dialog = ProgressWindow();
        ASSERT_NE(dialog, nullptr);
        StuckThread stuck(dialog);
        ASSERT_TRUE(stuck.Hooked());
        host.EndStatusDlg();  // the run's end
        ASSERT_TRUE(stuck.IsStuck());
        host.EndStatusDlg();  // the controller's end
        EXPECT_EQ(log.Count(kTimedOut), 2);
        host.~CStatusDlgHost();
        EXPECT_EQ(log.Count(kTimedOut), 2);
        new (&host) tessaran::CStatusDlgHost;
    }
    EXPECT_TRUE(WaitForLiveThreads(0));
    EXPECT_FALSE(::IsWindow(dialog));
}

}  // namespace
