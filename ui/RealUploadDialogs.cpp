// The real dialogs behind the controller's dialog seam. One set per
// controller: it owns the progress dialog's thread.
#include "controller/UploadDialogs.h"
#include "support/Result.h"
#include "ui/BrowseForFolder.h"
#include "ui/FTPStatusDlg.h"
#include "ui/MeishiServiceLogonDlg.h"
#include "ui/MeishiServiceSettingDlg.h"
#include "ui/UploadResultDlg.h"

namespace tessaran {

namespace {

const std::map<std::wstring, std::wstring>& NoConfiguration() {
    static const std::map<std::wstring, std::wstring> none;
    return none;
}

class CRealUploadDialogs final : public IUploadDialogs {
public:
    explicit CRealUploadDialogs(const std::map<std::wstring, std::wstring>& appConfig) : m_appConfig(appConfig) {}

    void StartStatusDlg(HWND parent) override { m_status.StartStatusDlg(parent); }
    void SetStatusText(const wchar_t* text, int position) override { m_status.SetStatusText(text, position); }
    BOOL IsCancelRequested() override { return m_status.IsCancelRequested(); }
    void ShowStatusDlg(int showCommand) override { m_status.ShowStatusDlg(showCommand); }
    void EndStatusDlg() override { m_status.EndStatusDlg(); }
    HANDLE CancelEvent() override { return m_status.CancelEvent(); }

    HRESULT RunLogonDialog(std::wstring& mailAddress, std::wstring& appToken) override {
        CMeishiServiceLogonDlg dialog;
        dialog.m_strMailAddress = mailAddress;
        dialog.m_strAppToken = appToken;
        INT_PTR result = 0;
        TESSARAN_RETURN_IF_FAILED(dialog.RunModal(result));
        if (result != IDOK) return S_FALSE;
        mailAddress = dialog.m_strMailAddress;
        appToken = dialog.m_strAppToken;
        return S_OK;
    }

    HRESULT RunSettingsDialog(SettingItem& item, bool sendingMode) override {
        CMeishiServiceSettingDlg dialog;
        dialog.SetSettingItem(item);
        dialog.SetServiceConfig(ServiceConfig::FromAppConfig(m_appConfig));
        if (sendingMode) dialog.SetMode(CMeishiServiceSettingDlg::kModeSending);
        INT_PTR result = 0;
        TESSARAN_RETURN_IF_FAILED(dialog.RunModal(result));
        if (result != IDOK) return S_FALSE;
        dialog.GetSettingItem(item);
        return S_OK;
    }

    int ShowUploadResult(HWND parent, ISMRUploadFileList* list) override {
        CUploadResultDlg dialog(parent);
        dialog.SetUploadFileList(list);
        // A dialog that could not be shown (-1) is no confirmed Finish: the run
        // takes it as a retry, whose settings dialog then ends the run with the
        // unsent files kept.
        return static_cast<int>(dialog.DoModal());
    }

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
    const std::map<std::wstring, std::wstring>& m_appConfig;
    CStatusDlgHost m_status;
};

}  // namespace

std::unique_ptr<IUploadDialogs> CreateRealUploadDialogs() {
    return std::make_unique<CRealUploadDialogs>(NoConfiguration());
}

std::unique_ptr<IUploadDialogs> CreateRealUploadDialogs(const std::map<std::wstring, std::wstring>& appConfig) {
    return std::make_unique<CRealUploadDialogs>(appConfig);
}

}  // namespace tessaran
