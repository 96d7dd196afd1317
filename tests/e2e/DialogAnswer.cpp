// Answers the plug-in's dialogs in place of a person, for unattended runs that
// are meant to fail in part:
//   DialogAnswer [--timeout SECONDS] ANSWER...
// Each ANSWER waits for its dialog, presses its button and waits for the
// dialog to go, in the order given:
//   result=retry | result=save | result=finish   the upload result dialog
//                                                (finish also answers Yes to its question)
//   settings=ok | settings=cancel                the settings dialog
// Prints one line per answer; exit code 0 when every answer was given.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Press {
    const wchar_t* caption;  // of the dialog (window class #32770)
    int button;
};

struct Answer {
    const wchar_t* name;
    std::vector<Press> presses;
};

const Answer kAnswers[] = {
    {L"result=retry", {{L"送信結果", 1027}}},
    {L"result=save", {{L"送信結果", 1028}}},
    {L"result=finish", {{L"送信結果", 1029}, {L"確認", IDYES}}},
    {L"settings=ok", {{L"詳細設定", IDOK}}},
    {L"settings=cancel", {{L"詳細設定", IDCANCEL}}},
};

HWND WaitForDialog(const wchar_t* caption, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        HWND dialog = ::FindWindowW(L"#32770", caption);
        // Only a dialog that is up and takes input can be answered.
        if (dialog && ::IsWindowVisible(dialog) && ::IsWindowEnabled(dialog)) return dialog;
        if (::GetTickCount() - start > timeoutMs) return nullptr;
        ::Sleep(100);
    }
}

bool WaitUntilGone(HWND dialog, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    while (::IsWindow(dialog) && ::IsWindowVisible(dialog)) {
        if (::GetTickCount() - start > timeoutMs) return false;
        ::Sleep(100);
    }
    return true;
}

bool Give(const Press& press, DWORD timeoutMs) {
    // A dialog that shows has run its start and takes input in its own loop.
    HWND dialog = WaitForDialog(press.caption, timeoutMs);
    if (!dialog) return false;
    HWND button = ::GetDlgItem(dialog, press.button);
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(press.button, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    return WaitUntilGone(dialog, timeoutMs);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    DWORD timeoutMs = 120000;
    std::vector<const Answer*> answers;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--timeout" && i + 1 < argc) {
            timeoutMs = static_cast<DWORD>(_wtoi(argv[++i])) * 1000;
            continue;
        }
        const Answer* found = nullptr;
        for (const Answer& answer : kAnswers) {
            if (arg == answer.name) found = &answer;
        }
        if (!found) {
            std::fprintf(stderr, "DialogAnswer: unknown answer %ls\n", arg.c_str());
            return 2;
        }
        answers.push_back(found);
    }
    for (const Answer* answer : answers) {
        for (const Press& press : answer->presses) {
            if (!Give(press, timeoutMs)) {
                std::printf("%ls: no dialog to answer\n", answer->name);
                std::fflush(stdout);
                return 1;
            }
        }
        std::printf("%ls: given\n", answer->name);
        std::fflush(stdout);
    }
    return 0;
}
