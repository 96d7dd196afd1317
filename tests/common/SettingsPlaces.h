// The places the settings tests touch inside the Wine prefix, each put back
// as it was afterwards: the store's folders under one application-data
// folder, the host's configuration file, and a log file fed by our build of
// the maker's log library.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "common/HostProcess.h"
#include "common/TestPaths.h"
#include "support/Log.h"

namespace tessaran_test {

inline std::wstring ShellFolder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_DEFAULT, path))) return {};
    return path;
}

// A folder moved aside for a test and moved back afterwards; whatever the
// test left in its place is removed.
class FolderAside {
public:
    explicit FolderAside(std::wstring path) : m_path(std::move(path)) {
        if (!FileExists(m_path)) return;
        m_aside = m_path + L".aside-" + std::to_wstring(::GetCurrentProcessId());
        RemoveTree(m_aside);
        if (!::MoveFileW(m_path.c_str(), m_aside.c_str())) m_aside.clear();
    }
    ~FolderAside() {
        RemoveTree(m_path);
        if (!m_aside.empty()) ::MoveFileW(m_aside.c_str(), m_path.c_str());
    }
    FolderAside(const FolderAside&) = delete;
    FolderAside& operator=(const FolderAside&) = delete;

private:
    std::wstring m_path;
    std::wstring m_aside;
};

// The store's folders under the application-data folder csidl, empty at the
// start of a test. CSIDL_LOCAL_APPDATA (28) is used by no part of the
// plug-in, so store tests there never meet the settings of host sessions.
class StoreLocation {
public:
    explicit StoreLocation(int csidl = CSIDL_LOCAL_APPDATA)
        : base(ShellFolder(csidl)),
          maker(base + L"\\Orvell Electronics"),
          product(maker + L"\\TessaranService"),
          settingsFile(product + L"\\MeishiPluginSettings.XML"),
          backupFolder(maker + L"\\Brankel"),
          backupFile(backupFolder + L"\\~FTPPluginSettings.XML"),
          m_makerExisted(FileExists(maker)),
          m_product(product),
          m_backup(backupFolder) {}
    ~StoreLocation() {
        if (!m_makerExisted) {
            // Only what the test made, and only when nothing else is in it.
            RemoveTree(product);
            RemoveTree(backupFolder);
            ::RemoveDirectoryW(maker.c_str());
        }
    }
    StoreLocation(const StoreLocation&) = delete;
    StoreLocation& operator=(const StoreLocation&) = delete;

    // Files in the product folder other than the settings file (a save's
    // temporary files must never stay behind).
    std::vector<std::wstring> StrayFiles() const {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW data;
        HANDLE find = ::FindFirstFileW((product + L"\\*").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) return names;
        do {
            const std::wstring name = data.cFileName;
            if (name != L"." && name != L".." && name != L"MeishiPluginSettings.XML") names.push_back(name);
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
        return names;
    }

    const std::wstring base;
    const std::wstring maker;
    const std::wstring product;
    const std::wstring settingsFile;
    const std::wstring backupFolder;
    const std::wstring backupFile;

private:
    bool m_makerExisted;
    FolderAside m_product;
    FolderAside m_backup;
};

// The host's configuration file "SMRDB41_Config.XML" in the all-users
// application-data folder: absent at the start, as it was afterwards.
class HostConfigFile {
public:
    HostConfigFile() {
        std::wstring folder = ShellFolder(CSIDL_COMMON_APPDATA);
        for (const wchar_t* part : {L"\\Orvell Electronics", L"\\Scanmoor", L"\\UserConfig"}) {
            folder += part;
            m_folders.push_back(folder);
        }
        path = folder + L"\\SMRDB41_Config.XML";
        m_existed = FileExists(path);
        if (m_existed) m_original = ReadFileBytes(path);
        ::DeleteFileW(path.c_str());
    }
    ~HostConfigFile() {
        ::DeleteFileW(path.c_str());
        if (m_existed) {
            Write(m_original);
            return;
        }
        for (auto folder = m_madeFolders.rbegin(); folder != m_madeFolders.rend(); ++folder) {
            ::RemoveDirectoryW(folder->c_str());
        }
    }
    HostConfigFile(const HostConfigFile&) = delete;
    HostConfigFile& operator=(const HostConfigFile&) = delete;

    void Write(const std::string& bytes) {
        for (const std::wstring& folder : m_folders) {
            if (::CreateDirectoryW(folder.c_str(), nullptr)) m_madeFolders.push_back(folder);
        }
        WriteFileBytes(path, bytes);
    }
    // A file whose "/UserConfig/AppDataLocationID" holds text.
    void WriteLocation(const std::string& text) {
        Write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<UserConfig>\r\n  <Other>1</Other>\r\n"
              "  <AppDataLocationID>" + text + "</AppDataLocationID>\r\n</UserConfig>\r\n");
    }

    std::wstring path;

private:
    std::vector<std::wstring> m_folders;
    std::vector<std::wstring> m_madeFolders;
    bool m_existed = false;
    std::string m_original;
};

// The lines of a file written by our build of the log library, as "level
// text" (e.g. "3 CreateID AddItem: error = 80070070"); the file holds
// "time TAB level TAB thread TAB text" lines ending in CR LF.
inline std::vector<std::string> LogLinesOf(const std::wstring& file) {
    std::vector<std::string> lines;
    const std::string bytes = ReadFileBytes(file);
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) end = bytes.size();
        const std::string line = bytes.substr(start, end - start);
        start = end + 2;
        const size_t a = line.find('\t');
        const size_t b = line.find('\t', a + 1);
        const size_t c = line.find('\t', b + 1);
        if (c == std::string::npos) continue;
        lines.push_back(line.substr(a + 1, b - a - 1) + " " + line.substr(c + 1));
    }
    return lines;
}

// This process's log lines, through our build of the log library put into
// the maker's shared folder, while the object lives.
class LogCapture {
public:
    LogCapture() : m_file(m_dir / L"log.txt"), m_environment({{L"ZUMINFOLOG_FILE", m_file}}) {
        m_shared.Put(L"zuminfolog.dll");
        tessaran::CZumInfoLog::Instance().Start(::GetModuleHandleW(nullptr));
    }
    ~LogCapture() { tessaran::CZumInfoLog::Instance().Stop(); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    bool Loaded() const { return tessaran::CZumInfoLog::Instance().IsLoaded(); }

    // The lines so far as "level text", e.g. "3 CreateID AddItem: error = 80070070".
    std::vector<std::string> Lines() const { return LogLinesOf(m_file); }
    // Only the failure lines (level 3), without the level.
    std::vector<std::string> Failures() const {
        std::vector<std::string> failures;
        for (const std::string& line : Lines()) {
            if (line.rfind("3 ", 0) == 0) failures.push_back(line.substr(2));
        }
        return failures;
    }
    void Clear() { ::DeleteFileW(m_file.c_str()); }

private:
    ScratchDir m_dir{L"log"};
    std::wstring m_file;
    MakerSharedFolder m_shared;
    ScopedEnvironment m_environment;
};

}  // namespace tessaran_test
