// The progress dialog on its own thread, driven through the controller's
// progress operations with the real dialogs, and the thread's end in the
// hard cases: a dialog that cannot be created, a thread that does not end in
// time, an owner that goes away meanwhile.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <thread>

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
    DialogDriver::ClickNow(dialog, 207);
    EXPECT_EQ(DialogDriver::ItemText(dialog, 201), L"キャンセル中です。しばらくお待ちください...");
    EXPECT_EQ(controller.IsCancelRequested(), TRUE);
    EXPECT_TRUE(::IsWindowVisible(dialog));
    controller.SetUploadProgress(4, 4);
    EXPECT_EQ(DialogDriver::ItemText(dialog, 201), L"4個のファイルをアップロード中 : 100%完了");

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

TEST(ProgressDialog, StartReturnsWhenTheDialogCannotBeCreated) {
    // A module without the template: the dialog fails before its initialisation.
    tessaran::SetModuleInstance(::GetModuleHandleW(nullptr));
    tessaran::CStatusDlgHost host;
    HANDLE started = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread starter([&] {
        host.StartStatusDlg(nullptr);
        ::SetEvent(started);
    });
    const DWORD waited = ::WaitForSingleObject(started, 15000);
    tessaran::SetModuleInstance(ui_test::PluginDll());
    ASSERT_EQ(waited, WAIT_OBJECT_0) << "the starter was never released";
    starter.join();
    ::CloseHandle(started);
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
