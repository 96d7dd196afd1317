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
constexpr HRESULT kNotSettings = HResultFromWin32(ERROR_INVALID_DATA);
constexpr HRESULT kFileTooLarge = HResultFromWin32(ERROR_FILE_TOO_LARGE);

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

// A file must read as the settings do before it becomes the settings, or an
// export that is imported later: whatever else it holds would make every job
// operation fail. Text that no save could write back is refused as well.
// Logs nothing.
bool TooLargeToRead(const wchar_t* path) noexcept {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return ::GetFileAttributesExW(path, GetFileExInfoStandard, &data) &&
           (data.nFileSizeHigh != 0 || data.nFileSizeLow > CMeishiDataStore::kMaxFileBytes);
}

HRESULT CheckSettingsDocument(const wchar_t* path) {
    if (TooLargeToRead(path)) return kFileTooLarge;
    ComPtr<IXMLDOMDocument> document;
    ComPtr<IXMLDOMElement> root;
    const wchar_t* unused = nullptr;
    const HRESULT hr = CMeishiDataStore::ReadSettingsFile(path, document, root, unused);
    if (hr == E_FAIL) return kNotSettings;
    if (FAILED(hr)) return hr;
    std::wstring text;
    if (FAILED(NodeText(root.get(), text)) || !SettingsFileCanHold(text)) return kNotSettings;
    return S_OK;
}

// Settings that cannot be read are kept beside under a dated name before an
// import replaces them: they may still be repaired by hand. Never over an
// earlier copy.
HRESULT KeepUnreadableSettings(const wchar_t* settingsPath) {
    if (!::PathFileExistsW(settingsPath) || SUCCEEDED(CheckSettingsDocument(settingsPath))) return S_OK;
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    wchar_t kept[MAX_PATH] = {};
    const size_t length = ::wcslen(settingsPath);
    const size_t stem = length > 4 ? length - 4 : length;  // without ".XML"
    if (stem >= MAX_PATH) return HResultFromWin32(ERROR_FILENAME_EXCED_RANGE);
    ::wmemcpy(kept, settingsPath, stem);
    if (Format(kept + stem, MAX_PATH - stem, L".unreadable-%04u%02u%02u-%02u%02u%02u.XML", now.wYear, now.wMonth,
               now.wDay, now.wHour, now.wMinute, now.wSecond) < 0) {
        return HResultFromWin32(ERROR_FILENAME_EXCED_RANGE);
    }
    if (!::CopyFileW(settingsPath, kept, TRUE)) return LastError(::GetLastError());
    LogWrite(LOG_TRACE, L"ImportData unreadable settings kept as %s", kept);
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

HRESULT ReplaceWithCopy(const wchar_t* from, const wchar_t* to, const wchar_t* checkStep, bool& checkFailed,
                        const std::function<HRESULT()>& beforeReplace) {
    checkFailed = false;
    const size_t length = ::wcslen(to);
    if (length >= MAX_PATH) return E_INVALIDARG;
    wchar_t folder[MAX_PATH] = {};
    ::wmemcpy(folder, to, length);
    ::PathRemoveFileSpecW(folder);
    wchar_t copy[MAX_PATH] = {};
    // Not even copied when it is too large to be read.
    if (checkStep && TooLargeToRead(from)) {
        checkFailed = true;
        return LogFailure(checkStep, kFileTooLarge);
    }
    if (!::GetTempFileNameW(folder, L"~MS", 0, copy)) return LastError(::GetLastError());
    HRESULT hr = S_OK;
    bool existed = false;  // whether to existed when the copy was to take its place
    if (!::CopyFileW(from, copy, FALSE)) {
        hr = LastError(::GetLastError());
    } else if (!WritableCopy(copy)) {
        hr = LastError(::GetLastError());
    } else if (checkStep && FAILED(hr = CheckSettingsDocument(copy))) {
        checkFailed = true;
        LogFailure(checkStep, hr);
    } else if (!beforeReplace || SUCCEEDED(hr = beforeReplace())) {
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
        // complete and reads as settings: it may be the only copy of
        // settings the user has kept.
        bool checkFailed = false;
        const HRESULT hr = ReplaceWithCopy(source, destination, L"ExportData check copy", checkFailed);
        if (FAILED(hr)) return checkFailed ? hr : LogFailure(L"ExportData CopyFile", hr);
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
        bool keepFailed = false;
        HRESULT hr = ReplaceWithCopy(source, settingsPath, L"ImportData check source", checkFailed, [&] {
            const HRESULT kept = KeepUnreadableSettings(settingsPath);
            keepFailed = FAILED(kept);
            return keepFailed ? LogFailure(L"ImportData keep unreadable settings", kept) : kept;
        });
        if (SUCCEEDED(hr)) {
            if (backedUp) ::DeleteFileW(backupPath);
            LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::ImportData end");
            return S_OK;
        }
        if (backedUp) {
            bool unused = false;
            const HRESULT restored = ReplaceWithCopy(backupPath, settingsPath, nullptr, unused);
            if (FAILED(restored)) {
                LogWrite(LOG_ERROR, L"ImportData recopy CopyFile error = %d",
                         static_cast<int>(HRESULT_CODE(restored)));
            }
            ::DeleteFileW(backupPath);
        }
        // A refused source, or settings that could not be kept, were logged
        // where they were seen.
        if (!checkFailed && !keepFailed) LogFailure(L"ImportData CopyFile", hr);
        return hr;
    });
}

}  // namespace tessaran
