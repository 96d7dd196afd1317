#include "DialogDriver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace tessaran_test {

namespace {

constexpr int kMessageBoxTextId = 0xFFFF;
constexpr int kMessageBoxIconId = 0x0440;

// A top-level window's caption read without a message, so that a window whose
// thread is busy cannot block the search.
std::wstring Caption(HWND window) {
    wchar_t text[512] = {};
    ::InternalGetWindowText(window, text, 512);
    return text;
}

struct FindState {
    const std::wstring* caption;
    HWND owner;
    HWND found;
    bool hiddenToo;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM parameter) {
    auto* state = reinterpret_cast<FindState*>(parameter);
    if (!state->hiddenToo && !::IsWindowVisible(window)) return TRUE;
    if (DialogDriver::ClassName(window) != L"#32770") return TRUE;
    if (state->owner && ::GetWindow(window, GW_OWNER) != state->owner) return TRUE;
    if (!state->caption->empty() && Caption(window) != *state->caption) return TRUE;
    state->found = window;
    return FALSE;
}

BOOL CALLBACK CollectButtons(HWND child, LPARAM parameter) {
    auto* buttons = reinterpret_cast<std::vector<std::pair<int, HWND>>*>(parameter);
    if (DialogDriver::ClassName(child) == L"Button" && ::IsWindowVisible(child)) {
        buttons->push_back({::GetDlgCtrlID(child), child});
    }
    return TRUE;
}

BOOL CALLBACK CollectWindows(HWND window, LPARAM parameter) {
    reinterpret_cast<std::vector<HWND>*>(parameter)->push_back(window);
    return TRUE;
}

BOOL CALLBACK FindWindowOfProcess(HWND window, LPARAM parameter) {
    auto* state = reinterpret_cast<FindState*>(parameter);
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    if (process != ::GetCurrentProcessId() || (!state->hiddenToo && !::IsWindowVisible(window))) return TRUE;
    if (Caption(window) != *state->caption) return TRUE;
    state->found = window;
    return FALSE;
}

struct OtherState {
    const std::wstring* caption;
    bool hiddenToo;
    HWND found;
};

BOOL CALLBACK FindOtherProcessWindow(HWND window, LPARAM parameter) {
    auto* state = reinterpret_cast<OtherState*>(parameter);
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    if (process == ::GetCurrentProcessId()) return TRUE;
    if (!state->hiddenToo && !::IsWindowVisible(window)) return TRUE;
    if (Caption(window) != *state->caption) return TRUE;
    state->found = window;
    return FALSE;
}

}  // namespace

HWND DialogDriver::WaitForOtherProcessWindow(const std::wstring& caption, DWORD timeoutMs, bool hiddenToo) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        OtherState state{&caption, hiddenToo, nullptr};
        ::EnumWindows(FindOtherProcessWindow, reinterpret_cast<LPARAM>(&state));
        if (state.found || ::GetTickCount() - start >= timeoutMs) return state.found;
        ::Sleep(20);
    }
}

HWND DialogDriver::FindProcessWindow(const std::wstring& caption, bool hiddenToo) {
    FindState state{&caption, nullptr, nullptr, hiddenToo};
    ::EnumWindows(FindWindowOfProcess, reinterpret_cast<LPARAM>(&state));
    return state.found;
}

HWND DialogDriver::WaitForProcessWindow(const std::wstring& caption, DWORD timeoutMs) {
    HWND found = nullptr;
    DialogDriver(0).WaitUntil([&] { return (found = FindProcessWindow(caption)) != nullptr; }, timeoutMs);
    return found;
}

std::wstring DialogDriver::Text(HWND window) {
    wchar_t buffer[2048] = {};
    // WM_GETTEXT is sent, so this works for windows of other threads too.
    ::SendMessageW(window, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(buffer));
    return buffer;
}

std::wstring DialogDriver::ItemText(HWND dialog, int id) {
    HWND item = ::GetDlgItem(dialog, id);
    return item ? Text(item) : std::wstring(L"<no control>");
}

std::wstring DialogDriver::ClassName(HWND window) {
    wchar_t name[256] = {};
    ::GetClassNameW(window, name, 256);
    return name;
}

bool DialogDriver::WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) const {
    const DWORD start = ::GetTickCount();
    for (;;) {
        if (condition()) return true;
        if (::GetTickCount() - start > timeoutMs) return false;
        ::Sleep(20);
    }
}

HWND DialogDriver::WaitForDialog(const std::wstring& caption, HWND owner, DWORD timeoutMs) const {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            FindState state{&caption, owner, nullptr, false};
            ::EnumThreadWindows(m_uiThread, FindDialog, reinterpret_cast<LPARAM>(&state));
            found = state.found;
            return found != nullptr;
        },
        timeoutMs);
    return found;
}

MessageBoxInfo DialogDriver::WaitForMessageBox(HWND owner, DWORD timeoutMs) const {
    MessageBoxInfo info;
    info.window = WaitForDialog(L"", owner, timeoutMs);
    if (!info.window) return info;
    // Let the box finish its initialisation before reading it.
    WaitUntil([&] { return ::GetDlgItem(info.window, kMessageBoxTextId) != nullptr; }, 2000);
    info.caption = Text(info.window);
    info.text = ItemText(info.window, kMessageBoxTextId);
    std::vector<std::pair<int, HWND>> buttons;
    ::EnumChildWindows(info.window, CollectButtons, reinterpret_cast<LPARAM>(&buttons));
    std::sort(buttons.begin(), buttons.end(), [](const auto& a, const auto& b) {
        RECT ra, rb;
        ::GetWindowRect(a.second, &ra);
        ::GetWindowRect(b.second, &rb);
        return ra.left < rb.left;
    });
    for (const auto& button : buttons) {
        info.buttons.push_back(button.first);
        // The default button is the one drawn as default (the dialog's
        // DM_GETDEFID answer is not kept up to date by every message box).
        if ((::GetWindowLongPtrW(button.second, GWL_STYLE) & 0xF) == BS_DEFPUSHBUTTON) {
            info.defaultButton = button.first;
        }
    }
    if (HWND icon = ::GetDlgItem(info.window, kMessageBoxIconId)) {
        const auto shown = reinterpret_cast<HICON>(::SendMessageW(icon, STM_GETICON, 0, 0));
        info.exclamationIcon = shown != nullptr && shown == ::LoadIconW(nullptr, IDI_EXCLAMATION);
    }
    return info;
}

bool DialogDriver::WaitGone(HWND window, DWORD timeoutMs) const {
    return WaitUntil([&] { return !::IsWindow(window) || !::IsWindowVisible(window); }, timeoutMs);
}

namespace {

// A message that the UI thread's loops take like any other; the hook on that
// thread notes the newest one taken.
const UINT kSettleMessage = ::RegisterWindowMessageW(L"TessaranTestSettle");
std::atomic<LONG> g_settleTaken{0};

LRESULT CALLBACK NoteSettle(int code, WPARAM wParam, LPARAM lParam) {
    const auto* message = reinterpret_cast<const MSG*>(lParam);
    if (code == HC_ACTION && wParam == PM_REMOVE && message->message == kSettleMessage && !message->hwnd) {
        g_settleTaken.store(static_cast<LONG>(message->wParam));
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

bool DialogDriver::Settle(DWORD timeoutMs) const {
    static std::atomic<LONG> serial{0};
    const LONG mine = ++serial;
    HHOOK hook = ::SetWindowsHookExW(WH_GETMESSAGE, &NoteSettle, nullptr, m_uiThread);
    if (!hook) return false;
    // Posted messages are taken in order: once this one is taken, every one
    // posted before it has been dispatched, or is being, inside a loop that
    // what it opened runs.
    bool taken = ::PostThreadMessageW(m_uiThread, kSettleMessage, static_cast<WPARAM>(mine), 0) &&
                 WaitUntil([&] { return g_settleTaken.load() == mine; }, timeoutMs);
    ::UnhookWindowsHookEx(hook);
    return taken;
}

bool DialogDriver::NoDialog(const std::wstring& caption, HWND owner) const {
    if (!Settle()) return false;
    // Hidden ones count too: a dialog that was opened shows only once its own loop idles.
    FindState state{&caption, owner, nullptr, true};
    ::EnumThreadWindows(m_uiThread, FindDialog, reinterpret_cast<LPARAM>(&state));
    return state.found == nullptr;
}

void DialogDriver::Type(HWND edit, const std::wstring& text) {
    for (wchar_t c : text) ::SendMessageW(edit, WM_CHAR, c, 1);
}

void DialogDriver::ClearEdit(HWND edit) { ::SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"")); }

void DialogDriver::Click(HWND dialog, int id) {
    ::PostMessageW(::GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

void DialogDriver::ClickNow(HWND dialog, int id) { ::SendMessageW(::GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

void DialogDriver::PressKey(HWND dialog, UINT virtualKey) const {
    // After a message box closes, the focus comes back to the dialog a moment later.
    HWND target = dialog;
    WaitUntil(
        [&] {
            GUITHREADINFO info = {sizeof(info)};
            if (!::GetGUIThreadInfo(m_uiThread, &info)) return false;
            if (info.hwndFocus && (info.hwndFocus == dialog || ::IsChild(dialog, info.hwndFocus))) {
                target = info.hwndFocus;
                return true;
            }
            return false;
        },
        2000);
    const UINT scan = ::MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC);
    ::PostMessageW(target, WM_KEYDOWN, virtualKey, 1 | (scan << 16));
    ::PostMessageW(target, WM_KEYUP, virtualKey, 1 | (scan << 16) | 0xC0000000u);
}

void DialogDriver::Answer(const MessageBoxInfo& box, int buttonId) {
    if (HWND button = ::GetDlgItem(box.window, buttonId)) {
        ::PostMessageW(button, BM_CLICK, 0, 0);
    } else {
        ::PostMessageW(box.window, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED), 0);
    }
}

void DialogDriver::CloseEverything() const {
    for (int round = 0; round < 50; ++round) {
        std::vector<HWND> windows;
        ::EnumThreadWindows(m_uiThread, CollectWindows, reinterpret_cast<LPARAM>(&windows));
        bool any = false;
        for (HWND window : windows) {
            if (!::IsWindowVisible(window) || ClassName(window) != L"#32770") continue;
            any = true;
            // Message boxes take Yes or OK; dialogs take Cancel (the result dialog then asks).
            if (::GetDlgItem(window, IDYES)) {
                ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED), 0);
            } else {
                ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
                ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            }
        }
        if (!any) return;
        ::Sleep(100);
    }
}

INT_PTR RunWithDriver(const std::function<INT_PTR()>& show, const std::function<void(DialogDriver&)>& script) {
    DialogDriver driver(::GetCurrentThreadId());
    HANDLE shown = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread helper([&] {
        script(driver);
        // A dialog the script left open would keep show() from returning.
        // A dialog that ends takes a moment to go; one still there after this
        // long was left open.
        if (::WaitForSingleObject(shown, 30000) == WAIT_TIMEOUT) {
            ADD_FAILURE() << "the script left a dialog open";
            while (::WaitForSingleObject(shown, 0) == WAIT_TIMEOUT) {
                driver.CloseEverything();
                ::Sleep(200);
            }
        }
    });
    const INT_PTR result = show();
    ::SetEvent(shown);
    helper.join();
    ::CloseHandle(shown);
    return result;
}

}  // namespace tessaran_test
