#include "controller/MeishiServiceCtrl.h"

namespace tessaran {

// ---- not built yet ----
HRESULT CMeishiServiceCtrl::Execute(const GUID&, const wchar_t*, VARIANT_BOOL, HWND) { return E_NOTIMPL; }
HRESULT CMeishiServiceCtrl::UploadFiles(HWND, SettingItem&, ISMRUploadFileList*) { return E_NOTIMPL; }
HRESULT CMeishiServiceCtrl::DeleteTargetFiles(VARIANT_BOOL, ISMRUploadFileList*, const wchar_t*) { return S_OK; }
HRESULT CMeishiServiceCtrl::CreateUploadFileList(const wchar_t*, ISMRUploadFileList*) { return E_NOTIMPL; }
HRESULT CMeishiServiceCtrl::CreateThumbnailImage(const wchar_t*, std::wstring&) { return E_NOTIMPL; }
HRESULT CMeishiServiceCtrl::SaveToLocalFolder(HWND, ISMRUploadFileList*) { return E_NOTIMPL; }

}  // namespace tessaran
