// Dialog answers scripted by a test, with a record of what was asked.
#pragma once

#include <string>

#include "controller/UploadDialogs.h"

namespace tessaran_test {

class ScriptedDialogs final : public tessaran::IUploadDialogs {
public:
    void StartStatusDlg(HWND) override {}
    void SetStatusText(const wchar_t*, int) override {}
    BOOL IsCancelRequested() override { return FALSE; }
    void ShowStatusDlg(int) override {}
    void EndStatusDlg() override {}
    HRESULT RunLogonDialog(std::wstring&, std::wstring&) override { return S_FALSE; }
    int ShowUploadResult(HWND, tessaran::ISMRUploadFileList*) override { return tessaran::UPLOAD_RESULT_FINISH; }
    bool BrowseForFolder(HWND, const std::wstring&, std::wstring&) override { return false; }
    int ShowMessage(HWND, const wchar_t*, const wchar_t*, UINT) override { return IDOK; }

    // The settings dialog: records the item it was shown and, when the
    // script says OK, hands back the scripted values.
    HRESULT RunSettingsDialog(tessaran::SettingItem& item, bool sendingMode) override {
        ++settingsShown;
        shownItem = item;
        shownInSendingMode = sendingMode;
        if (FAILED(notShown)) return notShown;
        if (!answerOk) return S_FALSE;
        item.SetMailAddress(typedMail);
        item.SetAppToken(typedToken);
        item.SetEvenNumberImageToBackPage(typedPairing);
        return S_OK;
    }

    HRESULT notShown = S_OK;  // the failure of a dialog that could not be shown
    bool answerOk = false;
    std::wstring typedMail;
    std::wstring typedToken;
    int typedPairing = 0;

    int settingsShown = 0;
    tessaran::SettingItem shownItem;
    bool shownInSendingMode = true;
};

}  // namespace tessaran_test
