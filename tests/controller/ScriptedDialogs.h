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
    bool AskLogon(std::wstring&, std::wstring&) override { return false; }
    int ShowUploadResult(HWND, tessaran::ISMRUploadFileList*) override { return tessaran::UPLOAD_RESULT_FINISH; }
    bool BrowseForFolder(HWND, const std::wstring&, std::wstring&) override { return false; }
    int ShowMessage(HWND, const wchar_t*, const wchar_t*, UINT) override { return IDOK; }

    // The settings dialog: records the item it was shown and, when the
    // script says OK, hands back the scripted values.
    bool EditSettings(tessaran::SettingItem& item, bool sendingMode) override {
        ++settingsShown;
        shownItem = item;
        shownInSendingMode = sendingMode;
        if (!answerOk) return false;
        item.SetMailAddress(typedMail);
        item.SetAppToken(typedToken);
        item.SetEvenNumberImageToBackPage(typedPairing);
        return true;
    }

    bool answerOk = false;
    std::wstring typedMail;
    std::wstring typedToken;
    int typedPairing = 0;

    int settingsShown = 0;
    tessaran::SettingItem shownItem;
    bool shownInSendingMode = true;
};

}  // namespace tessaran_test
