// Everything the upload run and the job operations ask of the user goes
// through this one interface: the real dialogs in ui/, or scripted answers in
// tests. The progress operations of the controller forward here too.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <string>

#include "settings/SettingItem.h"

namespace tessaran {

struct ISMRUploadFileList;

// Choices of the upload result dialog.
enum UploadResultChoice : int {
    UPLOAD_RESULT_FINISH = 1,
    UPLOAD_RESULT_SAVE = 2,
    UPLOAD_RESULT_RETRY = 4,
};

class IUploadDialogs {
public:
    virtual ~IUploadDialogs() = default;

    // Progress dialog on its own thread; none of these report errors.
    virtual void StartStatusDlg(HWND parent) = 0;
    virtual void SetStatusText(const wchar_t* text, int position) = 0;
    virtual BOOL IsCancelRequested() = 0;
    virtual void ShowStatusDlg(int showCommand) = 0;
    virtual void EndStatusDlg() = 0;
    // A manual-reset event set the moment the user cancels the progress
    // dialog, for the run's requests to wait on; null when there is none
    // (the cancel is then seen between cards only).
    virtual HANDLE CancelEvent() { return nullptr; }

    // The two dialogs that ask for values answer S_OK when the user chose OK,
    // S_FALSE when the user cancelled, and the failure of a dialog that could
    // not be shown, which is no answer of the user.

    // Logon dialog preset with the two values; on OK they hold the typed values.
    virtual HRESULT RunLogonDialog(std::wstring& mailAddress, std::wstring& appToken) = 0;

    // Settings dialog on the item; sendingMode labels OK "送信(&L)". On OK the
    // dialog's values are taken back into the item.
    virtual HRESULT RunSettingsDialog(SettingItem& item, bool sendingMode) = 0;

    // Upload result dialog over parent listing the failed files.
    virtual int ShowUploadResult(HWND parent, ISMRUploadFileList* list) = 0;

    // Folder picker; true with the chosen folder's path when the user chose one.
    virtual bool BrowseForFolder(HWND parent, const std::wstring& initialFolder, std::wstring& chosen) = 0;

    virtual int ShowMessage(HWND parent, const wchar_t* text, const wchar_t* caption, UINT type) = 0;
};

// The real dialogs of the plug-in (ui/); one set per controller, since it
// owns the progress dialog's thread. The account status query of the settings
// dialog finds the card service through appConfig, which must outlive the
// dialogs; without it the default service hosts are used.
std::unique_ptr<IUploadDialogs> CreateRealUploadDialogs();
std::unique_ptr<IUploadDialogs> CreateRealUploadDialogs(const std::map<std::wstring, std::wstring>& appConfig);

}  // namespace tessaran
