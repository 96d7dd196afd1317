// The settings file of all jobs, "MeishiPluginSettings.XML". No document is
// kept between calls: each operation loads, changes and saves the file, under
// a lock shared by every process that uses the same file, and a save replaces
// the file in one step so that it is never seen half-written.
#pragma once

#include <windows.h>
#include <msxml2.h>

#include <functional>

#include "settings/SettingItem.h"
#include "support/Handles.h"

namespace tessaran {

// Serialises every load-change-save of one settings file across processes.
// The lock is recursive on its thread, so an operation that holds it may
// call another that takes it again.
class CSettingsFileLock {
public:
    CSettingsFileLock() = default;
    CSettingsFileLock(const CSettingsFileLock&) = delete;
    CSettingsFileLock& operator=(const CSettingsFileLock&) = delete;

    // Waits for the lock of the file at path (a bounded wait; logs failures),
    // then removes the temporary copies that killed saves left beside it.
    HRESULT Acquire(const wchar_t* path);

    // The name of the machine-wide mutex of the file at path.
    static constexpr size_t kNameUnits = 64;
    static void Name(const wchar_t* path, wchar_t (&name)[kNameUnits]) noexcept;

private:
    UniqueHandleNull m_mutex;
    UniqueMutexHold m_held;  // released before the handle is closed
};

class CMeishiDataStore {
public:
    // The largest settings file that is read or written: a larger one is
    // refused unread, with HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE), so that
    // no operation holds its caller for long. A job with an account takes
    // about 450 bytes: the limit holds over 4,000 of them.
    static constexpr DWORD kMaxFileBytes = 2u * 1024 * 1024;

    CMeishiDataStore() noexcept = default;

    void SetCsidl(int csidl) noexcept { m_Csidl = csidl; }
    int GetCsidl() const noexcept { return m_Csidl; }

    // "<app data>\Orvell Electronics\<subFolder>\" into path[MAX_PATH],
    // creating both folders when missing; path is empty on failure.
    HRESULT GetSettingsFolder(const wchar_t* subFolder, wchar_t* path) const;
    static HRESULT CheckDirectory(const wchar_t* folder);
    // The settings file's full path into path[MAX_PATH]; fails, with an empty
    // path, when the folder cannot be obtained.
    HRESULT GetSettingsFilePath(wchar_t* path) const;
    // Creates the file with no jobs when none exists; an existing file is
    // never touched.
    HRESULT EnsureSettingsFile(const wchar_t* path) const;

    HRESULT AddItem(const SettingItem& item);
    HRESULT GetItem(const GUID& jobId, SettingItem& item);
    HRESULT SetItem(const GUID& jobId, const SettingItem& item);
    HRESULT RemoveItem(const GUID& jobId);

    // Reads a settings file as every item operation does: a document whose
    // root is PluginItem, of at most kMaxFileBytes. Logs nothing: on failure
    // failedStep names the step for the caller's log line (null for a failed
    // DOM call, which is not logged).
    static HRESULT ReadSettingsFile(const wchar_t* path, ComPtr<IXMLDOMDocument>& document,
                                    ComPtr<IXMLDOMElement>& root, const wchar_t*& failedStep);

    // Writes bytes to path through a temporary file in the same folder that
    // then replaces path in one step (or, without replaceExisting, takes its
    // place only when path does not exist: S_FALSE then). A check, when
    // given, reads the temporary file first; its failure (logged as
    // "Save check") leaves path as it was.
    static HRESULT ReplaceFileContent(const wchar_t* path, const void* data, DWORD size, bool replaceExisting,
                                      const std::function<HRESULT(const wchar_t*)>& check = nullptr);

    // Moves from into place at to in one step (replacing it when asked, with
    // ReplaceFileW, so that an existing file keeps its access rights and
    // attributes), retrying for a moment while another program, such as a
    // virus scanner, has it open. ERROR_SUCCESS or the Windows error.
    static DWORD MoveIntoPlace(const wchar_t* from, const wchar_t* to, bool replaceExisting) noexcept;

    // Removes a temporary copy that did not take its place at to, unless to
    // existed when the copy was to replace it and is gone now (a replacement
    // that failed half-way): the copy is then all that is left of the file.
    // Keeps the last error.
    static void DiscardCopy(const wchar_t* copy, const wchar_t* to, bool toExisted) noexcept;

    // For tests: later writes stop with ERROR_DISK_FULL after this many bytes,
    // as on a full disk; MAXDWORD (the default) writes everything.
    static void SetWriteLimitForTest(DWORD bytes) noexcept;

private:
    int m_Csidl = 26;  // CSIDL_APPDATA
};

}  // namespace tessaran
