// Drives the plug-in's dialogs from a second thread, as a user would: finds a
// dialog or message box of the thread that runs it, reads its controls,
// types, clicks and presses keys. Everything waits for an event with a time
// limit, so a dialog that never appears fails a test instead of hanging it;
// nothing waits a fixed time.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace tessaran_test {

// What a message box showed.
struct MessageBoxInfo {
    HWND window = nullptr;
    std::wstring caption;
    std::wstring text;
    std::vector<int> buttons;  // IDs of its push buttons, left to right
    int defaultButton = 0;
    bool exclamationIcon = false;
};

class DialogDriver {
public:
    explicit DialogDriver(DWORD uiThreadId) : m_uiThread(uiThreadId) {}

    DWORD UiThread() const { return m_uiThread; }

    // A visible top-level dialog of the UI thread with this caption (any caption
    // when empty) and, when given, this owner; null after the time limit.
    HWND WaitForDialog(const std::wstring& caption, HWND owner = nullptr, DWORD timeoutMs = 15000) const;
    // A message box owned by the dialog; its texts and buttons.
    MessageBoxInfo WaitForMessageBox(HWND owner, DWORD timeoutMs = 15000) const;
    // True once the window is gone (or hidden for good).
    bool WaitGone(HWND window, DWORD timeoutMs = 15000) const;
    bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs = 15000) const;
    // Returns once the UI thread has taken every message posted to it before
    // the call (clicks, keys, answers), so that whatever they opened exists.
    // False when the thread took none for the time limit (it runs no loop).
    bool Settle(DWORD timeoutMs = 15000) const;
    // Once the UI thread has settled: no dialog of it (shown or not yet) with
    // the caption (any when empty) and, when given, the owner.
    bool NoDialog(const std::wstring& caption, HWND owner = nullptr) const;
    // No message box is owned by the window once the UI thread has settled.
    bool NoMessageBox(HWND owner) const { return NoDialog(L"", owner); }

    // A visible top-level window of this process with the caption, on any thread.
    static HWND WaitForProcessWindow(const std::wstring& caption, DWORD timeoutMs = 15000);
    // Such a window now, hidden ones too when asked for; null when there is none.
    static HWND FindProcessWindow(const std::wstring& caption, bool hiddenToo = false);
    // A top-level window of another process (a host driving the plug-in) with
    // the caption; hidden ones count only when asked for.
    static HWND WaitForOtherProcessWindow(const std::wstring& caption, DWORD timeoutMs = 15000,
                                          bool hiddenToo = false);

    static std::wstring Text(HWND window);
    static std::wstring ItemText(HWND dialog, int id);
    static std::wstring ClassName(HWND window);

    // Types the text into an edit control character by character (WM_CHAR),
    // so that limits apply as to a user.
    static void Type(HWND edit, const std::wstring& text);
    static void ClearEdit(HWND edit);
    // A click that returns at once (the click may open a modal box).
    static void Click(HWND dialog, int id);
    // A click processed before returning; only for clicks that open nothing.
    static void ClickNow(HWND dialog, int id);
    // Presses a key in the dialog's control that has the keyboard focus.
    void PressKey(HWND dialog, UINT virtualKey) const;
    // Answers a message box with the button.
    static void Answer(const MessageBoxInfo& box, int buttonId);
    // Closes whatever the UI thread still shows (a failed script's clean-up).
    void CloseEverything() const;

private:
    DWORD m_uiThread;
};

// Runs show() on the calling thread while script(driver) runs on a second
// thread. If the script leaves windows open, they are closed (and the test
// fails) so that show() returns. Returns what show() returned.
INT_PTR RunWithDriver(const std::function<INT_PTR()>& show, const std::function<void(DialogDriver&)>& script);

}  // namespace tessaran_test
