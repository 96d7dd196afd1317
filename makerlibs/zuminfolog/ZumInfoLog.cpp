// The maker's diagnostic log library, our own build. Each line is appended to
// a UTF-8 log file as "time<TAB>level<TAB>thread name<TAB>text" and CR LF.
// The file is the one named by ZUMINFOLOG_FILE, read at every write so that a
// test can switch files, else %LOCALAPPDATA%\Orvell Electronics\Logs\zuminfolog.log.
//
// Only kernel32 is imported: the plug-in loads this library while it starts,
// and some of its later search steps depend on whether the shell is already
// loaded in the host, which this library must not change.
#include <windows.h>

#include <string>
#include <vector>

#include "support/Handles.h"

namespace {

struct Client {
    DWORD handle;
    std::wstring threadName;
};

// Guards the client table and keeps each line whole in the file when several
// threads write at once.
SRWLOCK g_lock = SRWLOCK_INIT;
std::vector<Client> g_clients;
DWORD g_nextHandle = 1;

using ExclusiveLock = tessaran::SrwExclusiveGuard;

Client* FindClient(DWORD handle) {
    for (Client& client : g_clients) {
        if (client.handle == handle) return &client;
    }
    return nullptr;
}

std::wstring Environment(const wchar_t* name) {
    const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) return {};
    std::wstring value(size, L'\0');
    const DWORD length = ::GetEnvironmentVariableW(name, &value[0], size);
    value.resize(length < size ? length : 0);
    return value;
}

std::wstring LogFilePath() {
    std::wstring path = Environment(L"ZUMINFOLOG_FILE");
    if (!path.empty()) return path;
    std::wstring folder = Environment(L"LOCALAPPDATA");
    if (folder.empty()) folder = Environment(L"APPDATA");
    if (folder.empty()) return {};
    for (const wchar_t* part : {L"\\Orvell Electronics", L"\\Logs"}) {
        folder += part;
        ::CreateDirectoryW(folder.c_str(), nullptr);
    }
    return folder + L"\\zuminfolog.log";
}

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (size <= 0) return {};
    std::string bytes(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    return bytes;
}

std::wstring TimeStamp() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    wchar_t text[32] = {};
    ::_snwprintf(text, 31, L"%04u-%02u-%02u %02u:%02u:%02u.%03u", now.wYear, now.wMonth, now.wDay, now.wHour,
                 now.wMinute, now.wSecond, now.wMilliseconds);
    return text;
}

int AppendLine(DWORD handle, const wchar_t* text, int level) {
    const std::wstring path = LogFilePath();
    if (path.empty()) return 0;
    ExclusiveLock lock(g_lock);
    const Client* client = FindClient(handle);
    std::wstring line = TimeStamp();
    line += L'\t';
    line += std::to_wstring(level);
    line += L'\t';
    if (client) line += client->threadName;
    line += L'\t';
    if (text) line += text;
    line += L"\r\n";
    const std::string bytes = ToUtf8(line);

    // Append-only access: every write lands at the current end of the file,
    // also when another process writes to it too.
    tessaran::UniqueFile file(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return 0;
    DWORD written = 0;
    if (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) return 0;
    return static_cast<int>(written);
}

}  // namespace

extern "C" {

// A new log handle for a module; never 0.
DWORD WINAPI ZumInfoCreateInfoHandle(HINSTANCE) {
    try {
        ExclusiveLock lock(g_lock);
        const DWORD handle = g_nextHandle++;
        if (g_nextHandle == 0) g_nextHandle = 1;
        g_clients.push_back(Client{handle, std::wstring()});
        return handle;
    } catch (...) {
        return 0;
    }
}

void WINAPI ZumInfoReleaseInfoHandle(DWORD handle) {
    ExclusiveLock lock(g_lock);
    for (auto it = g_clients.begin(); it != g_clients.end(); ++it) {
        if (it->handle == handle) {
            g_clients.erase(it);
            return;
        }
    }
}

// Names the handle's lines; the thread argument is accepted and not used.
void WINAPI ZumInfoSetThreadNameW(DWORD handle, LPCWSTR name, DWORD) {
    try {
        ExclusiveLock lock(g_lock);
        if (Client* client = FindClient(handle)) client->threadName = name ? name : L"";
    } catch (...) {
    }
}

// The number of bytes appended; 0 when nothing could be written.
int WINAPI ZumInfoWriteLogW(DWORD handle, LPCWSTR text, int level) {
    try {
        return AppendLine(handle, text, level);
    } catch (...) {
        return 0;
    }
}

// Accepted and ignored: this build has no dialog, module table or log modes.
int WINAPI ZumInfoShowDialog(HWND) { return 0; }
int WINAPI ZumInfoRegisterModuleW(DWORD, LPCWSTR) { return 0; }
int WINAPI ZumInfoSetCurrentLogPathW(DWORD, LPCWSTR) { return 0; }
int WINAPI ZumInfoGetLogMode(DWORD) { return 0; }

}  // extern "C"
