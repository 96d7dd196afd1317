// The real dialogs behind the controller's dialog seam. One set per
// controller: it owns the progress dialog's thread.
#include "controller/UploadDialogs.h"
#include "ui/BrowseForFolder.h"
#include "ui/FTPStatusDlg.h"
#include "ui/MeishiServiceLogonDlg.h"
#include "ui/MeishiServiceSettingDlg.h"

namespace tessaran {

namespace {

class CRealUploadDialogs final : public IUploadDialogs {
public:
    void StartStatusDlg(HWND parent) override { m_status.StartStatusDlg(parent); }
    void SetStatusText(const wchar_t* text, int position) override { m_status.SetStatusText(text, position); }
    BOOL IsCancelRequested() override { return m_status.IsCancelRequested(); }
    void ShowStatusDlg(int showCommand) override { m_status.ShowStatusDlg(showCommand); }
    void EndStatusDlg() override { m_status.EndStatusDlg(); }

    bool AskLogon(std::wstring& mailAddress, std::wstring& appToken) override {
        CMeishiServiceLogonDlg dialog;
        dialog.m_strMailAddress = mailAddress;
        dialog.m_strAppToken = appToken;
        if (dialog.DoModal() != IDOK) return false;
        mailAddress = dialog.m_strMailAddress;
        appToken = dialog.m_strAppToken;
        return true;
    }

    bool EditSettings(SettingItem& item, bool sendingMode) override {
        CMeishiServiceSettingDlg dialog;
        dialog.SetSettingItem(item);
        if (sendingMode) dialog.SetMode(CMeishiServiceSettingDlg::kModeSending);
        if (dialog.DoModal() != IDOK) return false;
        dialog.GetSettingItem(item);
        return true;
    }

    int ShowUploadResult(HWND, ISMRUploadFileList*) override { return UPLOAD_RESULT_FINISH; }

    bool BrowseForFolder(HWND parent, const std::wstring& initialFolder, std::wstring& chosen) override {
        CBrowseForFolder browser(parent, nullptr, initialFolder);
        if (!browser.BFFModal()) return false;
        std::wstring path = browser.GetFolderPath();
        if (path.empty()) return false;
        chosen = std::move(path);
        return true;
    }

    int ShowMessage(HWND parent, const wchar_t* text, const wchar_t* caption, UINT type) override {
        return ::MessageBoxW(parent, text, caption, type);
    }

private:
    CStatusDlgHost m_status;
};

}  // namespace

std::unique_ptr<IUploadDialogs> CreateRealUploadDialogs() { return std::make_unique<CRealUploadDialogs>(); }

}  // namespace tessaran
