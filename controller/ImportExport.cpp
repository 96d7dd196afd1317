// Export and import of the settings file to and from a folder that the host names.
#include <shlwapi.h>

#include <cwchar>

#include "controller/ImportExport.h"
#include "controller/MeishiServiceCtrl.h"
#include "settings/XmlDom.h"
#include "support/Format.h"
#include "support/Log.h"
#include "support/Result.h"

namespace tessaran {

namespace {

constexpr wchar_t kSettingsFileName[] = L"MeishiPluginSettings.XML";
constexpr wchar_t kBackupFolder[] = L"Brankel";
constexpr wchar_t kBackupFileName[] = L"~FTPPluginSettings.XML";

// folder, one backslash, name; false when the folder is empty or the result
// does not fit MAX_PATH.
bool JoinPath(const wchar_t* folder, const wchar_t* name, wchar_t* path) noexcept {
    path[0] = L'\0';
    const size_t length = folder ? ::wcslen(folder) : 0;
    if (length == 0) return false;
    const wchar_t* separator = folder[length - 1] == L'\\' ? L"" : L"\\";
    if (Format(path, MAX_PATH, L"%s%s%s", folder, separator, name) < 0) {
        path[0] = L'\0';
        return false;
    }
    return true;
}

HRESULT LastError(DWORD error) noexcept {
    const HRESULT hr = HResultFromWin32(static_cast<long>(error));
    return FAILED(hr) ? hr : E_FAIL;
}

// An imported file must be a settings document before it replaces the
// settings: whatever else it holds would make every job operation fail.
HRESULT CheckSettingsDocument(const wchar_t* path) {
    ComPtr<IXMLDOMDocument> document;
    HRESULT hr = CreateDomDocument(document);
    if (FAILED(hr)) return LogFailure(L"pXMLDOMDocument.CreateInstance", hr);
    constexpr HRESULT kNotSettings = HResultFromWin32(ERROR_INVALID_DATA);
    if (LoadDomFile(document.get(), path) != S_OK) return LogFailure(L"ImportData check source", kNotSettings);
    ComPtr<IXMLDOMElement> root;
    std::wstring name;
    if (DocumentElement(document.get(), root) != S_OK || FAILED(NodeName(root.get(), name)) ||
        name != L"PluginItem") {
        return LogFailure(L"ImportData check source", kNotSettings);
    }
    return S_OK;
}

// CopyFile carries the source's attributes over. A read-only settings file
// could never be replaced by a later save, and a read-only copy that is
// refused could not be deleted.
bool WritableCopy(const wchar_t* copy) noexcept {
    const DWORD attributes = ::GetFileAttributesW(copy);
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (!(attributes & FILE_ATTRIBUTE_READONLY)) return true;
    return ::SetFileAttributesW(copy, attributes & ~FILE_ATTRIBUTE_READONLY) != FALSE;
}

}  // namespace

HRESULT ReplaceWithCopy(const wchar_t* from, const wchar_t* to, bool checkSettings, bool& checkFailed) {
    checkFailed = false;
    const size_t length = ::wcslen(to);
    if (length >= MAX_PATH) return E_INVALIDARG;
    wchar_t folder[MAX_PATH] = {};
    ::wmemcpy(folder, to, length);
    ::PathRemoveFileSpecW(folder);
    wchar_t copy[MAX_PATH] = {};
    if (!::GetTempFileNameW(folder, L"~MS", 0, copy)) return LastError(::GetLastError());
    HRESULT hr = S_OK;
    bool existed = false;  // whether to existed when the copy was to take its place
    if (!::CopyFileW(from, copy, FALSE)) {
        hr = LastError(::GetLastError());
    } else if (!WritableCopy(copy)) {
        hr = LastError(::GetLastError());
    } else if (checkSettings && FAILED(hr = CheckSettingsDocument(copy))) {
        checkFailed = true;
    } else {
        existed = ::GetFileAttributesW(to) != INVALID_FILE_ATTRIBUTES;
        const DWORD error = CMeishiDataStore::MoveIntoPlace(copy, to, true);
        if (error != ERROR_SUCCESS) {
            hr = LastError(error);
            ::SetLastError(error);
        }
    }
    if (FAILED(hr)) CMeishiDataStore::DiscardCopy(copy, to, existed);
    return hr;
}

HRESULT CMeishiServiceCtrl::ExportData(const wchar_t* folderPath) {
    return TessaranGuard([&]() -> HRESULT {
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::ExportData start");
        wchar_t destination[MAX_PATH];
        if (!JoinPath(folderPath, kSettingsFileName, destination)) return LogFailure(L"ExportData path", E_INVALIDARG);
        wchar_t source[MAX_PATH] = {};
        TESSARAN_RETURN_IF_FAILED(m_DataStore.GetSettingsFilePath(source));
        // No other process replaces the file while it is copied.
        CSettingsFileLock lock;
        TESSARAN_RETURN_IF_FAILED(lock.Acquire(source));
        // An earlier export in that folder stays whole until the new one is
        // complete: it may be the only copy of settings the user has kept.
        bool unused = false;
        const HRESULT hr = ReplaceWithCopy(source, destination, false, unused);
        if (FAILED(hr)) return LogFailure(L"ExportData CopyFile", hr);
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::ExportData end");
        return S_OK;
    });
}

HRESULT CMeishiServiceCtrl::ImportData(const wchar_t* folderPath) {
    return TessaranGuard([&]() -> HRESULT {
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::ImportData start");
        wchar_t source[MAX_PATH];
        if (!JoinPath(folderPath, kSettingsFileName, source)) return LogFailure(L"ImportData path", E_INVALIDARG);
        wchar_t settingsPath[MAX_PATH] = {};
        TESSARAN_RETURN_IF_FAILED(m_DataStore.GetSettingsFilePath(settingsPath));
        CSettingsFileLock lock;
        TESSARAN_RETURN_IF_FAILED(lock.Acquire(settingsPath));

        // A backup for as long as the import runs.
        wchar_t backupPath[MAX_PATH] = {};
        bool backedUp = false;
        if (::PathFileExistsW(settingsPath)) {
            wchar_t backupFolder[MAX_PATH] = {};
            const HRESULT folderResult = m_DataStore.GetSettingsFolder(kBackupFolder, backupFolder);
            DWORD error = ERROR_SUCCESS;
            if (FAILED(folderResult)) {
                error = HRESULT_CODE(folderResult);
            } else if (!JoinPath(backupFolder, kBackupFileName, backupPath)) {
                error = ERROR_FILENAME_EXCED_RANGE;
            } else if (!::CopyFileW(settingsPath, backupPath, FALSE)) {
                error = ::GetLastError();
            } else {
                backedUp = true;
            }
            // The import goes on without a backup: it never changes the
            // settings file unless it succeeds.
            if (!backedUp) LogWrite(LOG_ERROR, L"backup CopyFile error = %d", static_cast<int>(error));
        }

        bool checkFailed = false;
        HRESULT hr = ReplaceWithCopy(source, settingsPath, true, checkFailed);
        if (SUCCEEDED(hr)) {
            if (backedUp) ::DeleteFileW(backupPath);
            LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::ImportData end");
            return S_OK;
        }
        if (backedUp) {
            bool unused = false;
            const HRESULT restored = ReplaceWithCopy(backupPath, settingsPath, false, unused);
            if (FAILED(restored)) {
                LogWrite(LOG_ERROR, L"ImportData recopy CopyFile error = %d",
                         static_cast<int>(HRESULT_CODE(restored)));
            }
            ::DeleteFileW(backupPath);
        }
        // A refused source was logged when it was checked.
        if (!checkFailed) LogFailure(L"ImportData CopyFile", hr);
        return hr;
    });
}

}  // namespace tessaran
