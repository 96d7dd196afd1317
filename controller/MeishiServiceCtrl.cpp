#include "controller/MeishiServiceCtrl.h"

#include <shlobj.h>

#include <cwchar>

#include "settings/XmlDom.h"
#include "support/Format.h"
#include "support/Localize.h"
#include "support/Log.h"
#include "support/Result.h"

namespace tessaran {

namespace {

constexpr wchar_t kHostConfigFile[] = L"Orvell Electronics\\Scanmoor\\UserConfig\\SMRDB41_Config.XML";
constexpr wchar_t kIconFile[] = L"Tessaran.ico";

constexpr HRESULT kNoSuchJob = HResultFromWin32(ERROR_FILE_NOT_FOUND);

// The folder IDs the settings may live under.
constexpr int kCsidlAppData = 26;        // the user's roaming folder
constexpr int kCsidlCommonAppData = 35;  // shared by all users

HRESULT NewBstr(const std::wstring& text, BSTR* value) noexcept {
    *value = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *value ? S_OK : E_OUTOFMEMORY;
}

// A new item for a job: default values and the job's ID.
SettingItem NewItem(const GUID& jobId) {
    SettingItem item;
    item.SetGuid(jobId);
    return item;
}

}  // namespace

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
        m_ownDialogs = CreateRealUploadDialogs(m_AppConfig);
        m_pDialogs = m_ownDialogs.get();
    }
    return *m_pDialogs;
}

void CMeishiServiceCtrl::Init() {
    try {
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::Init start");
        // Without the file the version is empty; nothing else depends on it.
        LoadAppConfig(PluginModule());
        m_DataStore.SetCsidl(GetAppDataLocationID() == 1 ? kCsidlCommonAppData : kCsidlAppData);
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::Init end");
    } catch (...) {
        // The object is created whatever happens here.
    }
}

int CMeishiServiceCtrl::GetAppDataLocationID() {
    try {
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::GetAppDataLocationID start");
        wchar_t path[MAX_PATH] = {};
        HRESULT hr = ::SHGetFolderPathW(nullptr, kCsidlCommonAppData, nullptr, SHGFP_TYPE_DEFAULT, path);
        if (hr == S_FALSE || (SUCCEEDED(hr) && path[0] == L'\0')) hr = HResultFromWin32(ERROR_PATH_NOT_FOUND);
        if (FAILED(hr)) {
            LogFailure(L"SHGetFolderPath", hr);
            return 0;
        }
        const size_t length = ::wcslen(path);
        if (Format(path + length, MAX_PATH - length, L"\\%s", kHostConfigFile) < 0) {
            LogFailure(L"GetAppDataLocationID path", HResultFromWin32(ERROR_FILENAME_EXCED_RANGE));
            return 0;
        }

        ComPtr<IXMLDOMDocument2> document;
        hr = CreateDomDocument2(document);
        if (FAILED(hr)) {
            LogFailure(L"pXMLDOMDocument.CreateInstance", hr);
            return 0;
        }
        hr = LoadDomFile(document.get(), path);
        if (hr != S_OK) {
            LogFailure(L"pXMLDOMDocument->load", FAILED(hr) ? hr : E_FAIL);
            return 0;
        }
        ComPtr<IXMLDOMElement> root;
        if (DocumentElement(document.get(), root) != S_OK) {
            LogFailure(L"pXMLDOMDocument->GetdocumentElemen", E_FAIL);
            return 0;
        }
        int location = 0;
        ComPtr<IXMLDOMNode> node;
        std::wstring text;
        if (SelectNode(document.get(), L"/UserConfig/AppDataLocationID", node) == S_OK &&
            SUCCEEDED(NodeText(node.get(), text))) {
            location = ::_wtoi(text.c_str());
        }
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::GetAppDataLocationID end");
        return location;
    } catch (...) {
        return 0;
    }
}

HRESULT CMeishiServiceCtrl::Connect() {
    LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::Connect start");
    // Every item operation makes sure of the file itself; this only lets the
    // host find it in place from the start.
    wchar_t path[MAX_PATH] = {};
    if (SUCCEEDED(m_DataStore.GetSettingsFilePath(path))) m_DataStore.EnsureSettingsFile(path);
    LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::Connect end");
    return S_OK;
}

HRESULT CMeishiServiceCtrl::Disconnect() {
    LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::Disconnect start");
    LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::Disconnect end");
    return S_OK;
}

HRESULT CMeishiServiceCtrl::CreateID(GUID* newId) {
    return TessaranGuard([&]() -> HRESULT {
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::CreateID start");
        if (!newId) return LogFailure(L"CreateID CoCreateGuid", E_POINTER);
        TESSARAN_RETURN_IF_FAILED_LOG(L"CreateID CoCreateGuid", ::CoCreateGuid(newId));
        TESSARAN_RETURN_IF_FAILED_LOG(L"CreateID AddItem", m_DataStore.AddItem(NewItem(*newId)));
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::CreateID end");
        return S_OK;
    });
}

HRESULT CMeishiServiceCtrl::CopyID(const GUID& sourceId, GUID* newId) {
    return TessaranGuard([&]() -> HRESULT {
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::CopyID start");
        if (!newId) return LogFailure(L"CopyID CoCreateGuid", E_POINTER);
        // The source is read first: newId may be the very buffer sourceId refers to.
        const GUID source = sourceId;
        TESSARAN_RETURN_IF_FAILED_LOG(L"CopyID CoCreateGuid", ::CoCreateGuid(newId));
        SettingItem item = NewItem(*newId);
        SettingItem stored;
        // A job without settings is copied as a new job with default values;
        // one whose settings cannot be read is not copied at all.
        const HRESULT read = m_DataStore.GetItem(source, stored);
        if (FAILED(read) && read != kNoSuchJob) return LogFailure(L"CopyID GetItem", read);
        if (SUCCEEDED(read)) {
            LogWrite(LOG_TRACE, L"m_DataStore.GetItem SUCCEEDED");
            item.SetMailAddress(stored.GetMailAddress());
            item.SetUsername(stored.GetUsername());
            item.SetAppToken(stored.GetAppToken());
            item.SetEvenNumberImageToBackPage(stored.GetEvenNumberImageToBackPage());
            item.SetOCRLangID(stored.GetOCRLangID());
            item.SetOCRLangBackID(stored.GetOCRLangBackID());
        }
        TESSARAN_RETURN_IF_FAILED_LOG(L"CopyID AddItem", m_DataStore.AddItem(item));
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::CopyID end");
        return S_OK;
    });
}

HRESULT CMeishiServiceCtrl::DeleteID(const GUID& jobId) {
    return TessaranGuard([&]() -> HRESULT {
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::DeleteID start");
        TESSARAN_RETURN_IF_FAILED_LOG(L"DeleteID RemoveItem", m_DataStore.RemoveItem(jobId));
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::DeleteID end");
        return S_OK;
    });
}

HRESULT CMeishiServiceCtrl::ShowSettingDlg(const GUID& jobId, HWND) {
    return TessaranGuard([&]() -> HRESULT {
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::ShowSettingDlg start");
        SettingItem item;
        TESSARAN_RETURN_IF_FAILED_LOG(L"ShowSettingDlg GetItem", m_DataStore.GetItem(jobId, item));
        // The dialog has no owner window; only OK stores its values.
        const HRESULT shown = Dialogs().RunSettingsDialog(item, false);
        TESSARAN_RETURN_IF_FAILED_LOG(L"ShowSettingDlg CMeishiServiceSettingDlg", shown);
        if (shown == S_OK) {
            TESSARAN_RETURN_IF_FAILED_LOG(L"ShowSettingDlg SetItem", m_DataStore.SetItem(jobId, item));
        }
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::ShowSettingDlg end");
        return S_OK;
    });
}

HRESULT CMeishiServiceCtrl::SettingsSummary(const GUID& jobId, BSTR* summary) {
    if (!summary) return E_POINTER;
    *summary = nullptr;
    return TessaranGuard([&]() -> HRESULT {
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::SettingsSummary start");
        std::wstring mailAddress;
        SettingItem item;
        // Only a job without settings has no account: settings that cannot
        // be read are reported, never shown as if there were none.
        const HRESULT read = m_DataStore.GetItem(jobId, item);
        if (FAILED(read) && read != kNoSuchJob) return LogFailure(L"SettingsSummary GetItem", read);
        if (SUCCEEDED(read)) {
            LogWrite(LOG_TRACE, L"m_DataStore.GetItem SUCCEEDED");
            mailAddress = item.GetMailAddress();
        }
        // "%s : %s", built without a length limit.
        const std::wstring value = mailAddress.empty() ? LocalizeText("Not registered") : mailAddress;
        TESSARAN_RETURN_IF_FAILED(NewBstr(LocalizeText("Email") + L" : " + value, summary));
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::SettingsSummary end");
        return S_OK;
    });
}

HRESULT CMeishiServiceCtrl::IsSupportedFileType(const wchar_t* fileType, VARIANT_BOOL* supported) {
    if (!supported) return E_POINTER;
    LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::IsSupportedFileType start");
    const wchar_t* text = fileType ? fileType : L"";
    const bool jpeg = ::CompareStringOrdinal(text, -1, L"jpeg", -1, TRUE) == CSTR_EQUAL ||
                      ::CompareStringOrdinal(text, -1, L"jpg", -1, TRUE) == CSTR_EQUAL;
    *supported = jpeg ? VARIANT_TRUE : VARIANT_FALSE;
    LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::IsSupportedFileType end");
    return S_OK;
}

std::wstring CMeishiServiceCtrl::GetIconPath() {
    LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::GetIconPath start");
    wchar_t path[MAX_PATH] = {};
    // Without the plug-in module in the process there is no folder to name
    // (a null handle would give the host's own file).
    HMODULE module = PluginModule();
    if (!module) {
        LogFailure(L"GetIconPath GetModuleFileName", HResultFromWin32(ERROR_MOD_NOT_FOUND));
        return {};
    }
    const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        if (length >= MAX_PATH) ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        LogFailure(L"GetIconPath GetModuleFileName", LastErrorHResult());
        return {};
    }
    wchar_t* slash = ::wcsrchr(path, L'\\');
    const size_t folderLength = slash ? static_cast<size_t>(slash - path) : 0;
    if (Format(path + folderLength, MAX_PATH - folderLength, L"\\%s", kIconFile) < 0) {
        LogFailure(L"GetIconPath GetModuleFileName", HResultFromWin32(ERROR_FILENAME_EXCED_RANGE));
        return {};
    }
    LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::GetIconPath icon = %s", path);
    return path;
}

}  // namespace tessaran
