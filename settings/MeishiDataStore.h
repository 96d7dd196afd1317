// The settings file of all jobs, "MeishiPluginSettings.XML". No document is
// kept between calls: each operation loads, changes and saves the file.
#pragma once

#include <windows.h>

#include "settings/SettingItem.h"

namespace tessaran {

class CMeishiDataStore {
public:
    CMeishiDataStore() noexcept = default;

    void SetCsidl(int csidl) noexcept { m_Csidl = csidl; }
    int GetCsidl() const noexcept { return m_Csidl; }

    // "<app data>\Orvell Electronics\<subFolder>\" into path[MAX_PATH].
    HRESULT GetSettingsFolder(const wchar_t* subFolder, wchar_t* path) const;
    static HRESULT CheckDirectory(const wchar_t* folder);
    HRESULT GetSettingsFilePath(wchar_t* path) const;
    HRESULT EnsureSettingsFile(const wchar_t* path) const;

    HRESULT AddItem(const SettingItem& item);
    HRESULT GetItem(const GUID& jobId, SettingItem& item);
    HRESULT SetItem(const GUID& jobId, const SettingItem& item);
    HRESULT RemoveItem(const GUID& jobId);

private:
    int m_Csidl = 26;  // CSIDL_APPDATA
};

}  // namespace tessaran
