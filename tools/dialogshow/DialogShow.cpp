// Opens one of the plug-in's dialogs, filled with sample contents, using the
// templates of the real DLL:
//   dialogshow.exe <TessaranService.dll> <template 201..205> <ready file> <done file>
// Once the dialog is on screen its window rectangle ("left top width height")
// is written to the ready file; when the done file appears (or after 60 s)
// the dialog is closed and the program ends.
#include <windows.h>

#include <cstdio>
#include <string>
#include <thread>

#include "controller/UploadFileList.h"
#include "host/Module.h"
#include "support/Handles.h"
#include "ui/FTPStatusDlg.h"
#include "ui/MeishiServiceLogonDlg.h"
#include "ui/MeishiServiceSettingDlg.h"
#include "ui/MeishiServiceStatusDlg.h"
#include "ui/UploadResultDlg.h"
#include "upload/ServiceResult.h"

using namespace tessaran;

namespace {

struct Window {
    const std::wstring* caption;
    HWND found;
};

BOOL CALLBACK FindOwnWindow(HWND window, LPARAM parameter) {
    auto* state = reinterpret_cast<Window*>(parameter);
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    wchar_t text[256] = {};
    ::InternalGetWindowText(window, text, 256);
    if (process == ::GetCurrentProcessId() && ::IsWindowVisible(window) && *state->caption == text) {
        state->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND WaitForWindow(const std::wstring& caption) {
    for (int i = 0; i < 500; ++i) {
        Window state{&caption, nullptr};
        ::EnumWindows(FindOwnWindow, reinterpret_cast<LPARAM>(&state));
        if (state.found) return state.found;
        ::Sleep(20);
    }
    return nullptr;
}

// Reports the dialog's place once it has been drawn, waits for the done
// file, then asks the dialog to end with the command given.
void Photograph(const std::wstring& caption, const std::wstring& ready, const std::wstring& done, UINT endCommand) {
    HWND dialog = WaitForWindow(caption);
    if (!dialog) {
        fwprintf(stderr, L"dialogshow: no window \"%ls\"\n", caption.c_str());
        ::ExitProcess(2);
    }
    ::Sleep(500);  // let every control paint
    RECT rect = {};
    ::GetWindowRect(dialog, &rect);
    const std::wstring partial = ready + L".part";
    if (FILE* file = _wfopen(partial.c_str(), L"w")) {
        fprintf(file, "%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
        fclose(file);
        ::MoveFileExW(partial.c_str(), ready.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    for (int i = 0; i < 600 && ::GetFileAttributesW(done.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) ::Sleep(100);
    if (endCommand) ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(endCommand, BN_CLICKED), 0);
}

ComPtr<ISMRUploadFileList> SampleResults() {
    ComPtr<ISMRUploadFileList> list(new CSMRUploadFileList);
    const wchar_t* names[] = {L"scan_0001.jpg", L"scan_0002.jpg", L"scan_0003.jpg", L"scan_0004.jpg"};
    const HRESULT results[] = {S_OK, MakeServiceHResult(401), MakeServiceHResult(412),
                               static_cast<HRESULT>(0x800704C7)};
    for (int i = 0; i < 4; ++i) {
        auto* file = new CSMRUploadFile;
        file->AddRef();
        file->SetFileName(names[i]);
        file->SetResult(results[i]);
        list->Add(file);
    }
    return list;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 5) {
        fwprintf(stderr, L"usage: dialogshow <TessaranService.dll> <201..205> <ready file> <done file>\n");
        return 1;
    }
    HMODULE plugin = ::LoadLibraryW(argv[1]);
    if (!plugin) {
        fwprintf(stderr, L"dialogshow: cannot load %ls (%lu)\n", argv[1], ::GetLastError());
        return 2;
    }
    SetModuleInstance(plugin);
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const int id = _wtoi(argv[2]);
    const std::wstring ready = argv[3];
    const std::wstring done = argv[4];

    switch (id) {
        case 201: {
            CMeishiServiceSettingDlg dialog;
            SettingItem item;
            item.SetMailAddress(L"yamada.taro@example.co.jp");
            item.SetAppToken(L"0123456789abcdef0123456789abcdef");
            item.SetEvenNumberImageToBackPage(0);
            dialog.SetSettingItem(item);
            std::thread helper(Photograph, L"詳細設定", ready, done, IDCANCEL);
            dialog.DoModal();
            helper.join();
            break;
        }
        case 202: {
            CMeishiServiceStatusDlg dialog;
            dialog.m_strAccountName = L"yamada.taro@example.co.jp";
            dialog.m_strUserName = L"山田 太郎";
            dialog.m_nUseCount = 1234;
            dialog.m_nMaxCount = 5000;
            std::thread helper(Photograph, L"登録情報", ready, done, IDOK);
            dialog.DoModal();
            helper.join();
            break;
        }
        case 203: {
            CStatusDlgHost progress;
            progress.StartStatusDlg(nullptr);
            progress.SetStatusText(L"12個のファイルをアップロード中 : 58%完了", 58);
            Photograph(LocalizeText("Scanmoor plug-in for Veltrano"), ready, done, 0);
            progress.EndStatusDlg();
            break;
        }
        case 204: {
            CMeishiServiceLogonDlg dialog;
            dialog.m_strMailAddress = L"yamada.taro@example.co.jp";
            std::thread helper(Photograph, L"ログオン", ready, done, IDCANCEL);
            dialog.DoModal();
            helper.join();
            break;
        }
        case 205: {
            auto list = SampleResults();
            CUploadResultDlg dialog(nullptr);
            dialog.SetUploadFileList(list.get());
            std::thread helper(Photograph, L"送信結果", ready, done, 1028);
            dialog.DoModal();
            helper.join();
            break;
        }
        default:
            fwprintf(stderr, L"dialogshow: no dialog %d\n", id);
            return 1;
    }
    ::CoUninitialize();
    return 0;
}
