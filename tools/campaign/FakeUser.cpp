// fakeuser: plays the user, and the user's other programs, next to the host
// simulator for the settings campaign (tools/campaign.sh):
//   fakeuser [--timeout SECONDS] STEP...
// Steps, in order; the dialog steps wait for their dialog (window class
// #32770, in any process) by caption:
//   fill CAPTION MAIL TOKEN    prints what the mail (1002) and token (1003)
//                              fields show ("shown: MAIL TOKEN"), sets both
//                              texts, presses OK and prints "accepted" when the
//                              dialog goes, or "refused: MESSAGE" when a message
//                              box owned by it appears; the box is answered,
//                              and the dialog, which must stay ("stayed"), is
//                              then cancelled
//   paste CAPTION MAIL TOKEN   the same, but the texts go in through the
//                              clipboard and the fields' paste
//   show CAPTION               prints what the fields show, then cancels
//   press CAPTION ID           presses button ID and waits for the dialog to go,
//                              or to ask its question in a message box
//   hold PATH SHARE            opens the file as another program would, sharing
//                              it for none, read or readwrite, prints
//                              "holding", and keeps it open until its input ends
// MAIL and TOKEN may hold \uXXXX escapes (and \\ for a backslash), so that any
// UTF-16 code unit can be given. Output is UTF-8; texts are JSON strings.
// Exit code 0 when every step found its dialog, 1 otherwise, 2 on bad usage.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr int kMailField = 1002;
constexpr int kTokenField = 1003;
constexpr int kMessageBoxText = 0xFFFF;
DWORD g_timeoutMs = 30000;

void Print(const std::wstring& line) {
    const std::wstring text = line + L"\n";
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr,
                              nullptr);
    }
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

// A JSON string; every code unit outside printable ASCII as \uXXXX, so that
// lone surrogates survive the trip.
std::wstring Quote(const std::wstring& text) {
    std::wstring result = L"\"";
    for (const wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            result += L'\\';
            result += c;
        } else if (c < 0x20 || c > 0x7E) {
            wchar_t escaped[8] = {};
            ::_snwprintf(escaped, 7, L"\\u%04x", static_cast<unsigned>(c));
            result += escaped;
        } else {
            result += c;
        }
    }
    return result + L"\"";
}

bool Unescape(const std::wstring& text, std::wstring& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'\\') {
            out += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == L'\\') {
            out += L'\\';
            ++i;
        } else if (i + 5 < text.size() && text[i + 1] == L'u') {
            wchar_t* end = nullptr;
            const std::wstring digits = text.substr(i + 2, 4);
            const unsigned long unit = std::wcstoul(digits.c_str(), &end, 16);
            if (digits.size() != 4 || *end) return false;
            out += static_cast<wchar_t>(unit);
            i += 5;
        } else {
            return false;
        }
    }
    return true;
}

std::wstring Caption(HWND window) {
    wchar_t text[512] = {};
    ::InternalGetWindowText(window, text, 512);
    return text;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = {};
    ::GetClassNameW(window, name, 64);
    return name;
}

std::wstring FieldText(HWND dialog, int id) {
    HWND field = ::GetDlgItem(dialog, id);
    const LRESULT length = ::SendMessageW(field, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<size_t>(length > 0 ? length : 0) + 1, L'\0');
    const LRESULT got = ::SendMessageW(field, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]));
    text.resize(static_cast<size_t>(got > 0 ? got : 0));
    return text;
}

struct Search {
    const std::wstring* caption;  // any when null
    HWND owner;                   // any when null
    HWND found;
};

BOOL CALLBACK FindTopLevel(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    if (!::IsWindowVisible(window) || ClassOf(window) != L"#32770") return TRUE;
    if (search->owner && ::GetWindow(window, GW_OWNER) != search->owner) return TRUE;
    if (search->caption && Caption(window) != *search->caption) return TRUE;
    search->found = window;
    return FALSE;
}

HWND FindDialogNow(const std::wstring* caption, HWND owner) {
    Search search{caption, owner, nullptr};
    ::EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// A dialog that shows and takes input (a message box over it disables it).
HWND WaitForDialog(const std::wstring& caption) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        HWND dialog = FindDialogNow(&caption, nullptr);
        if (dialog && ::IsWindowEnabled(dialog)) return dialog;
        if (::GetTickCount() - start > g_timeoutMs) return nullptr;
        ::Sleep(50);
    }
}

bool Gone(HWND window) { return !::IsWindow(window) || !::IsWindowVisible(window); }

// Waits until the dialog goes (null) or a message box owned by it shows.
HWND WaitForOutcome(HWND dialog) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        if (Gone(dialog)) return nullptr;
        HWND box = FindDialogNow(nullptr, dialog);
        if (box && ::GetDlgItem(box, kMessageBoxText)) return box;
        if (::GetTickCount() - start > g_timeoutMs) return dialog;
        ::Sleep(50);
    }
}

bool WaitGone(HWND window) {
    const DWORD start = ::GetTickCount();
    while (!Gone(window)) {
        if (::GetTickCount() - start > g_timeoutMs) return false;
        ::Sleep(50);
    }
    return true;
}

void Press(HWND dialog, int id) {
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}

bool PutOnClipboard(const std::wstring& text) {
    if (!::OpenClipboard(nullptr)) return false;
    ::EmptyClipboard();
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes);
    bool done = false;
    if (memory) {
        if (void* locked = ::GlobalLock(memory)) {
            ::memcpy(locked, text.c_str(), bytes);
            ::GlobalUnlock(memory);
            done = ::SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
        }
        if (!done) ::GlobalFree(memory);
    }
    ::CloseClipboard();
    return done;
}

void SetField(HWND dialog, int id, const std::wstring& text, bool paste) {
    HWND field = ::GetDlgItem(dialog, id);
    ::SendMessageW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
    if (!paste) {
        ::SendMessageW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    } else if (!text.empty() && PutOnClipboard(text)) {
        ::SendMessageW(field, WM_PASTE, 0, 0);
    }
}

bool Fill(const std::wstring& caption, const std::wstring& mail, const std::wstring& token, bool paste) {
    HWND dialog = WaitForDialog(caption);
    if (!dialog) return false;
    Print(L"shown: " + Quote(FieldText(dialog, kMailField)) + L" " + Quote(FieldText(dialog, kTokenField)));
    SetField(dialog, kMailField, mail, paste);
    SetField(dialog, kTokenField, token, paste);
    Press(dialog, IDOK);
    HWND box = WaitForOutcome(dialog);
    if (!box) {
        Print(L"accepted");
        return true;
    }
    if (box == dialog) {
        Print(L"no answer");
        return false;
    }
    Print(L"refused: " + Quote(FieldText(box, kMessageBoxText)));
    Press(box, IDOK);
    if (!WaitGone(box)) return false;
    if (Gone(dialog)) {
        Print(L"closed");
        return true;
    }
    Print(L"stayed");
    Press(dialog, IDCANCEL);
    return WaitGone(dialog);
}

bool Show(const std::wstring& caption) {
    HWND dialog = WaitForDialog(caption);
    if (!dialog) return false;
    Print(L"shown: " + Quote(FieldText(dialog, kMailField)) + L" " + Quote(FieldText(dialog, kTokenField)));
    Press(dialog, IDCANCEL);
    return WaitGone(dialog);
}

// Done when the dialog goes, or when it asks a question first (a message box
// it owns), which a next step answers.
bool PressButton(const std::wstring& caption, int id) {
    HWND dialog = WaitForDialog(caption);
    if (!dialog) return false;
    Press(dialog, id);
    return WaitForOutcome(dialog) != dialog;
}

bool Hold(const std::wstring& path, const std::wstring& share) {
    DWORD mode = 0;
    if (share == L"read") {
        mode = FILE_SHARE_READ;
    } else if (share == L"readwrite") {
        mode = FILE_SHARE_READ | FILE_SHARE_WRITE;
    } else if (share != L"none") {
        return false;
    }
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, mode, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        Print(L"cannot open: " + std::to_wstring(::GetLastError()));
        return false;
    }
    Print(L"holding");
    char byte = 0;
    while (std::fread(&byte, 1, 1, stdin) == 1) {
    }
    ::CloseHandle(file);
    return true;
}

int Usage() {
    std::fprintf(stderr, "usage: fakeuser [--timeout SECONDS] (fill|paste CAPTION MAIL TOKEN | show CAPTION | "
                         "press CAPTION ID | hold PATH none|read|readwrite)...\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args(argv + 1, argv + argc);
    size_t i = 0;
    if (args.size() >= 2 && args[0] == L"--timeout") {
        g_timeoutMs = static_cast<DWORD>(std::wcstoul(args[1].c_str(), nullptr, 10)) * 1000;
        i = 2;
    }
    if (i == args.size()) return Usage();
    while (i < args.size()) {
        const std::wstring& step = args[i];
        bool done = false;
        if ((step == L"fill" || step == L"paste") && i + 3 < args.size()) {
            std::wstring mail;
            std::wstring token;
            if (!Unescape(args[i + 2], mail) || !Unescape(args[i + 3], token)) return Usage();
            done = Fill(args[i + 1], mail, token, step == L"paste");
            i += 4;
        } else if (step == L"show" && i + 1 < args.size()) {
            done = Show(args[i + 1]);
            i += 2;
        } else if (step == L"hold" && i + 2 < args.size()) {
            done = Hold(args[i + 1], args[i + 2]);
            i += 3;
        } else if (step == L"press" && i + 2 < args.size()) {
            done = PressButton(args[i + 1], static_cast<int>(std::wcstol(args[i + 2].c_str(), nullptr, 10)));
            i += 3;
        } else {
            return Usage();
        }
        if (!done) {
            Print(L"no dialog: " + step);
            return 1;
        }
    }
    return 0;
}
