#include "controller/MeishiServiceCtrl.h"

namespace tessaran {

CMeishiServiceCtrl::CMeishiServiceCtrl() = default;

CMeishiServiceCtrl::~CMeishiServiceCtrl() {
    try {
        EndStatusDlg();
    } catch (...) {
    }
}

void CMeishiServiceCtrl::SetDialogs(IUploadDialogs* dialogs) noexcept { m_pDialogs = dialogs; }

IUploadDialogs& CMeishiServiceCtrl::Dialogs() {
    if (!m_pDialogs) {
        m_ownDialogs = CreateRealUploadDialogs();
        m_pDialogs = m_ownDialogs.get();
    }
    return *m_pDialogs;
}

// ---- not built yet ----
void CMeishiServiceCtrl::Init() {}
HRESULT CMeishiServiceCtrl::Connect() { return S_OK; }
HRESULT CMeishiServiceCtrl::Disconnect() { return S_OK; }
HRESULT CMeishiServiceCtrl::CreateID(GUID*) { return E_NOTIMPL; }
HRESULT CMeishiServiceCtrl::CopyID(const GUID&, GUID*) { return E_NOTIMPL; }
HRESULT CMeishiServiceCtrl::DeleteID(const GUID&) { return E_NOTIMPL; }
HRESULT CMeishiServiceCtrl::ShowSettingDlg(const GUID&, HWND) { return E_NOTIMPL; }
HRESULT CMeishiServiceCtrl::SettingsSummary(const GUID&, BSTR*) { return E_NOTIMPL; }
HRESULT CMeishiServiceCtrl::IsSupportedFileType(const wchar_t*, VARIANT_BOOL*) { return E_NOTIMPL; }
std::wstring CMeishiServiceCtrl::GetIconPath() { return {}; }
std::wstring CMeishiServiceCtrl::GetVersion() const { return {}; }
int CMeishiServiceCtrl::GetAppDataLocationID() { return 0; }
HRESULT CMeishiServiceCtrl::ImportData(const wchar_t*) { return E_NOTIMPL; }
HRESULT CMeishiServiceCtrl::ExportData(const wchar_t*) { return E_NOTIMPL; }
HRESULT CMeishiServiceCtrl::LoadAppConfig(HMODULE) { return E_NOTIMPL; }

}  // namespace tessaran
