// Scripted answers for every dialog the controller and the upload run open,
// recording what they were asked. Hand it to CMeishiServiceCtrl::SetDialogs.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "controller/UploadDialogs.h"
#include "controller/UploadFileList.h"
#include "support/Handles.h"
#include "support/Result.h"
#include "ui/FTPStatusDlg.h"
#include "upload/ServiceResult.h"

namespace tessaran_test {

class ScriptedDialogs : public tessaran::IUploadDialogs {
public:
    // What one showing of the result dialog listed: the failed files.
    struct ResultRow {
        std::wstring name;
        HRESULT result;
        std::wstring text;
    };
    struct Message {
        std::wstring text;
        std::wstring caption;
        UINT type;
    };

    // ---- answers ----
    // IsCancelRequested's answer to its n-th query (1 = the first) while a
    // progress dialog is open; FALSE without a script. A script may also
    // change the services' behaviour before a given card. A TRUE sets the
    // cancel event too, as the dialog's button does.
    std::function<BOOL(int)> cancelScript;
    // When set, the progress operations go to this real progress dialog
    // (and are still recorded); its Cancel button is the user's cancel.
    tessaran::CStatusDlgHost* realProgress = nullptr;
    // A run that keeps starting passes is stopped here (E_ABORT is thrown into
    // it) so that a test fails instead of hanging.
    int maxStatusStarts = 20;
    // Logon: OK with these values, or cancel; a failure stands for a dialog
    // that could not be shown.
    bool logonOk = false;
    HRESULT logonFailure = S_OK;
    std::wstring logonMailAddress;
    std::wstring logonAppToken;
    // Result dialog answers, in order; Finish once they run out.
    std::deque<int> resultChoices;
    // Settings dialog of a retry: OK after applying the edit, or cancel; a
    // failure stands for a dialog that could not be shown.
    bool settingsOk = false;
    HRESULT settingsFailure = S_OK;
    std::function<void(tessaran::SettingItem&)> settingsEdit;
    // Folder picker answers in order; empty text = cancel; cancel once they run out.
    std::deque<std::wstring> folders;

    // ---- what was asked ----
    int statusStarts = 0;
    int statusEnds = 0;
    int cancelQueries = 0;
    bool statusOpen = false;
    std::vector<std::wstring> statusTexts;
    std::vector<int> showCommands;
    int logonAsked = 0;
    std::wstring logonPresetMail;
    std::wstring logonPresetToken;
    int settingsAsked = 0;
    bool settingsSendingMode = false;
    std::vector<std::vector<ResultRow>> resultShown;
    std::vector<std::wstring> browseInitial;
    std::vector<Message> messages;

    void StartStatusDlg(HWND parent) override {
        if (statusOpen) return;
        if (++statusStarts > maxStatusStarts) throw tessaran::HResultError{E_ABORT};
        statusOpen = true;
        ::ResetEvent(m_cancelEvent.get());
        if (realProgress) realProgress->StartStatusDlg(parent);
    }
    void SetStatusText(const wchar_t* text, int position) override {
        if (statusOpen) statusTexts.push_back(text ? text : L"");
        if (realProgress) realProgress->SetStatusText(text, position);
    }
    BOOL IsCancelRequested() override {
        if (!statusOpen) return FALSE;
        ++cancelQueries;
        const BOOL cancelled = cancelScript ? cancelScript(cancelQueries) : FALSE;
        if (realProgress) return realProgress->IsCancelRequested();
        if (cancelled) ::SetEvent(m_cancelEvent.get());
        return cancelled;
    }
    void ShowStatusDlg(int command) override {
        showCommands.push_back(command);
        if (realProgress) realProgress->ShowStatusDlg(command);
    }
    void EndStatusDlg() override {
        if (!statusOpen) return;
        ++statusEnds;
        statusOpen = false;
        if (realProgress) realProgress->EndStatusDlg();
    }
    HANDLE CancelEvent() override { return realProgress ? realProgress->CancelEvent() : m_cancelEvent.get(); }
    HRESULT RunLogonDialog(std::wstring& mailAddress, std::wstring& appToken) override {
        ++logonAsked;
        logonPresetMail = mailAddress;
        logonPresetToken = appToken;
        if (FAILED(logonFailure)) return logonFailure;
        if (!logonOk) return S_FALSE;
        mailAddress = logonMailAddress;
        appToken = logonAppToken;
        return S_OK;
    }
    HRESULT RunSettingsDialog(tessaran::SettingItem& item, bool sendingMode) override {
        ++settingsAsked;
        settingsSendingMode = sendingMode;
        if (FAILED(settingsFailure)) return settingsFailure;
        if (!settingsOk) return S_FALSE;
        if (settingsEdit) settingsEdit(item);
        return S_OK;
    }
    int ShowUploadResult(HWND, tessaran::ISMRUploadFileList* list) override {
        std::vector<ResultRow> rows;
        for (INT_PTR i = 0; i < list->GetCount(); ++i) {
            tessaran::ISMRUploadFile* file = list->GetAt(i);
            if (file->GetResult() < 0) {
                rows.push_back({file->GetFileName(), file->GetResult(), tessaran::GetResultText(file->GetResult())});
            }
        }
        resultShown.push_back(rows);
        if (resultChoices.empty()) return tessaran::UPLOAD_RESULT_FINISH;
        const int choice = resultChoices.front();
        resultChoices.pop_front();
        return choice;
    }
    bool BrowseForFolder(HWND, const std::wstring& initialFolder, std::wstring& chosen) override {
        browseInitial.push_back(initialFolder);
        if (folders.empty()) return false;
        chosen = folders.front();
        folders.pop_front();
        return !chosen.empty();
    }
    int ShowMessage(HWND, const wchar_t* text, const wchar_t* caption, UINT type) override {
        messages.push_back({text ? text : L"", caption ? caption : L"", type});
        return IDOK;
    }

private:
    tessaran::UniqueHandleNull m_cancelEvent{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

}  // namespace tessaran_test
