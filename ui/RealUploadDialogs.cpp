#include "controller/UploadDialogs.h"

namespace tessaran {

namespace {
// ---- not built yet: every question is answered with Cancel ----
class CNoDialogs final : public IUploadDialogs {
public:
    void StartStatusDlg(HWND) override {}
    void SetStatusText(const wchar_t*, int) override {}
    BOOL IsCancelRequested() override { return FALSE; }
    void ShowStatusDlg(int) override {}
    void EndStatusDlg() override {}
    bool AskLogon(std::wstring&, std::wstring&) override { return false; }
    bool EditSettings(SettingItem&, bool) override { return false; }
    int ShowUploadResult(HWND, ISMRUploadFileList*) override { return UPLOAD_RESULT_FINISH; }
    bool BrowseForFolder(HWND, const std::wstring&, std::wstring&) override { return false; }
    int ShowMessage(HWND, const wchar_t*, const wchar_t*, UINT) override { return IDCANCEL; }
};
}  // namespace

std::unique_ptr<IUploadDialogs> CreateRealUploadDialogs() { return std::make_unique<CNoDialogs>(); }

}  // namespace tessaran
