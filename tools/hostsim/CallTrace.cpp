#include "tools/hostsim/CallTrace.h"

#include <windows.h>
#include <objbase.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "support/Handles.h"
#include "tools/hostsim/ProcessMemory.h"

namespace hostsim {

namespace {

// ---- the record ----

// One line per event: begin and end in microseconds from the trace's start,
// thread, kind, handle, detail; tab-separated.
constexpr size_t kBufferSize = 256 * 1024;
constexpr size_t kLineMax = 640;

SRWLOCK g_lock = SRWLOCK_INIT;
bool g_active = false;
tessaran::UniqueFile g_file;
LONGLONG g_origin = 0;
LONGLONG g_frequency = 1;
char g_buffer[kBufferSize];
size_t g_used = 0;

LONGLONG Now() {
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

double Microseconds(LONGLONG ticks) { return static_cast<double>(ticks - g_origin) * 1e6 / g_frequency; }

// Under the lock. The flush is an event of its own, so that its time is
// never taken for the plug-in's.
void FlushLocked() {
    if (g_used == 0 || !g_file) return;
    const LONGLONG begin = Now();
    DWORD written = 0;
    ::WriteFile(g_file.get(), g_buffer, static_cast<DWORD>(g_used), &written, nullptr);
    g_used = 0;
    const LONGLONG end = Now();
    g_used = static_cast<size_t>(std::snprintf(g_buffer, kLineMax, "%.1f\t%.1f\t%lu\tTraceFlush\t0\t\n",
                                               Microseconds(begin), Microseconds(end), ::GetCurrentThreadId()));
}

// Keeps a detail on one line of the record.
void Clean(char* text) {
    for (; *text; ++text) {
        if (*text == '\t' || *text == '\r' || *text == '\n') *text = ' ';
    }
}

void Record(LONGLONG begin, LONGLONG end, const char* kind, const void* handle, const char* detail = "") {
    if (!g_active) return;
    char cleaned[kLineMax / 2];
    std::snprintf(cleaned, sizeof(cleaned), "%s", detail);
    Clean(cleaned);
    char line[kLineMax];
    tessaran::SrwExclusiveGuard lock(g_lock);
    const int length = std::snprintf(line, sizeof(line), "%.1f\t%.1f\t%lu\t%s\t%p\t%s\n", Microseconds(begin),
                                     Microseconds(end), ::GetCurrentThreadId(), kind, handle, cleaned);
    if (length <= 0) return;
    const size_t size = static_cast<size_t>(length) < sizeof(line) ? static_cast<size_t>(length) : sizeof(line) - 1;
    if (g_used + size > kBufferSize) FlushLocked();
    std::memcpy(g_buffer + g_used, line, size);
    g_used += size;
}

std::string Narrow(const wchar_t* text) {
    if (!text) return std::string();
    char bytes[kLineMax / 2] = {};
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof(bytes) - 1, nullptr, nullptr);
    return bytes;
}

// ---- import table entries ----

// The slot of module's import table through which it calls dll!function;
// null when it does not import it by name.
void** FindImportSlot(HMODULE module, const char* dll, const char* function) {
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) return nullptr;
    for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         entry->Name != 0; ++entry) {
        if (::lstrcmpiA(reinterpret_cast<const char*>(base + entry->Name), dll) != 0) continue;
        if (entry->OriginalFirstThunk == 0) continue;
        auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
                return reinterpret_cast<void**>(&slots->u1.Function);
            }
        }
    }
    return nullptr;
}

// Points module's calls of dll!function at replacement; original receives
// what they reached before (left alone when the module does not import it).
template <typename Fn>
void Redirect(HMODULE module, const char* dll, const char* function, Fn replacement, Fn& original) {
    if (!module) return;
    void** slot = FindImportSlot(module, dll, function);
    if (!slot) return;
    DWORD protection = 0;
    if (!::VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &protection)) return;
    if (!original) original = reinterpret_cast<Fn>(*slot);
    *slot = reinterpret_cast<void*>(replacement);
    ::VirtualProtect(slot, sizeof(void*), protection, &protection);
}

// ---- the plug-in's calls ----

decltype(&::InternetOpenW) g_InternetOpenW = nullptr;
decltype(&::InternetConnectW) g_InternetConnectW = nullptr;
decltype(&::HttpOpenRequestW) g_HttpOpenRequestW = nullptr;
decltype(&::HttpSendRequestW) g_HttpSendRequestW = nullptr;
decltype(&::HttpQueryInfoW) g_HttpQueryInfoW = nullptr;
decltype(&::InternetReadFile) g_InternetReadFile = nullptr;
decltype(&::InternetCloseHandle) g_InternetCloseHandle = nullptr;
decltype(&::SendMessageW) g_SendMessageW = nullptr;
decltype(&::PostMessageW) g_PostMessageW = nullptr;
decltype(&::Sleep) g_Sleep = nullptr;
decltype(&::WaitForSingleObject) g_WaitForSingleObject = nullptr;
decltype(&::WaitForMultipleObjects) g_WaitForMultipleObjects = nullptr;
decltype(&::CreateFileW) g_CreateFileW = nullptr;
decltype(&::ReadFile) g_ReadFile = nullptr;
decltype(&::WriteFile) g_WriteFile = nullptr;
decltype(&::DeleteFileW) g_DeleteFileW = nullptr;
decltype(&::CoCreateInstance) g_CoCreateInstance = nullptr;
// The log library's, kept apart: its file calls mark its lines.
decltype(&::GetEnvironmentVariableW) g_LogGetEnvironmentVariableW = nullptr;
decltype(&::WriteFile) g_LogWriteFile = nullptr;
decltype(&::CloseHandle) g_LogCloseHandle = nullptr;

// Makes the call, records it with the handle and detail that describe
// gives (from the call's result), and leaves the call's last error as it was.
template <typename Call, typename Describe>
auto Traced(const char* kind, Call call, Describe describe) -> decltype(call()) {
    const LONGLONG begin = Now();
    const auto result = call();
    const DWORD error = ::GetLastError();
    const LONGLONG end = Now();
    char detail[kLineMax / 2] = {};
    const void* handle = describe(result, detail, sizeof(detail));
    Record(begin, end, kind, handle, detail);
    ::SetLastError(error);
    return result;
}

// Describers: the handle the event is about, and its detail.
auto Plain(const void* handle) {
    return [handle](auto, char*, size_t) { return handle; };
}
auto Number(const void* handle, const unsigned long* value) {
    return [handle, value](auto, char* detail, size_t size) {
        std::snprintf(detail, size, "%lu", value ? *value : 0ul);
        return handle;
    };
}
auto Text(const void* handle, std::string text) {
    return [handle, text](auto, char* detail, size_t size) {
        std::snprintf(detail, size, "%s", text.c_str());
        return handle;
    };
}
auto WaitResult(const void* handle, DWORD limit) {
    return [handle, limit](DWORD result, char* detail, size_t size) {
        std::snprintf(detail, size, "limit %lu result %lu", static_cast<unsigned long>(limit),
                      static_cast<unsigned long>(result));
        return handle;
    };
}
// For calls whose result is the handle they made.
auto Made(std::string text) {
    return [text](HANDLE result, char* detail, size_t size) {
        std::snprintf(detail, size, "%s", text.c_str());
        return static_cast<const void*>(result);
    };
}

HINTERNET WINAPI TracedInternetOpenW(LPCWSTR agent, DWORD access, LPCWSTR proxy, LPCWSTR bypass, DWORD flags) {
    return Traced("InternetOpen", [&] { return g_InternetOpenW(agent, access, proxy, bypass, flags); }, Made(""));
}

HINTERNET WINAPI TracedInternetConnectW(HINTERNET session, LPCWSTR host, INTERNET_PORT port, LPCWSTR user,
                                        LPCWSTR password, DWORD service, DWORD flags, DWORD_PTR context) {
    return Traced("InternetConnect",
                  [&] { return g_InternetConnectW(session, host, port, user, password, service, flags, context); },
                  Made(Narrow(host)));
}

// The host's private bytes and working set as a "Memory" event, so that what
// a run keeps can be followed card by card.
void RecordMemory() {
    const LONGLONG begin = Now();
    ProcessMemory memory;
    if (!ReadProcessMemory(memory)) return;
    char detail[96];
    std::snprintf(detail, sizeof(detail), "private=%llu working_set=%llu", memory.privateBytes, memory.workingSet);
    Record(begin, Now(), "Memory", nullptr, detail);
}

HINTERNET WINAPI TracedHttpOpenRequestW(HINTERNET connection, LPCWSTR verb, LPCWSTR path, LPCWSTR version,
                                        LPCWSTR referrer, LPCWSTR* accept, DWORD flags, DWORD_PTR context) {
    // Once per card: each card's first request is its OCR request.
    if (path && std::wcsncmp(path, L"/CardOCR/", 9) == 0) RecordMemory();
    return Traced(
        "HttpOpenRequest",
        [&] { return g_HttpOpenRequestW(connection, verb, path, version, referrer, accept, flags, context); },
        Made(Narrow(verb) + " " + Narrow(path)));
}

BOOL WINAPI TracedHttpSendRequestW(HINTERNET request, LPCWSTR headers, DWORD headersLength, LPVOID body,
                                   DWORD bodyLength) {
    const unsigned long length = bodyLength;
    return Traced("HttpSendRequest",
                  [&] { return g_HttpSendRequestW(request, headers, headersLength, body, bodyLength); },
                  Number(request, &length));
}

BOOL WINAPI TracedHttpQueryInfoW(HINTERNET request, DWORD level, LPVOID buffer, LPDWORD length, LPDWORD index) {
    return Traced("HttpQueryInfo", [&] { return g_HttpQueryInfoW(request, level, buffer, length, index); },
                  Plain(request));
}

BOOL WINAPI TracedInternetReadFile(HINTERNET request, LPVOID buffer, DWORD wanted, LPDWORD read) {
    return Traced("InternetReadFile", [&] { return g_InternetReadFile(request, buffer, wanted, read); },
                  Number(request, read));
}

BOOL WINAPI TracedInternetCloseHandle(HINTERNET handle) {
    return Traced("InternetCloseHandle", [&] { return g_InternetCloseHandle(handle); }, Plain(handle));
}

LRESULT WINAPI TracedSendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    char text[16];
    std::snprintf(text, sizeof(text), "%04X", message);
    return Traced("SendMessage", [&] { return g_SendMessageW(window, message, wParam, lParam); }, Text(window, text));
}

BOOL WINAPI TracedPostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    char text[16];
    std::snprintf(text, sizeof(text), "%04X", message);
    return Traced("PostMessage", [&] { return g_PostMessageW(window, message, wParam, lParam); }, Text(window, text));
}

void WINAPI TracedSleep(DWORD milliseconds) {
    Traced(
        "Sleep",
        [&] {
            g_Sleep(milliseconds);
            return 0;
        },
        Text(nullptr, std::to_string(milliseconds)));
}

DWORD WINAPI TracedWaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return Traced("Wait", [&] { return g_WaitForSingleObject(handle, milliseconds); },
                  WaitResult(handle, milliseconds));
}

DWORD WINAPI TracedWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL all, DWORD milliseconds) {
    return Traced("Wait", [&] { return g_WaitForMultipleObjects(count, handles, all, milliseconds); },
                  WaitResult(count ? handles[0] : nullptr, milliseconds));
}

HANDLE WINAPI TracedCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD attributes, HANDLE templateFile) {
    return Traced("CreateFile",
                  [&] { return g_CreateFileW(path, access, share, security, disposition, attributes, templateFile); },
                  Made(Narrow(path)));
}

BOOL WINAPI TracedReadFile(HANDLE file, LPVOID buffer, DWORD wanted, LPDWORD read, LPOVERLAPPED overlapped) {
    return Traced("ReadFile", [&] { return g_ReadFile(file, buffer, wanted, read, overlapped); }, Number(file, read));
}

BOOL WINAPI TracedWriteFile(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED overlapped) {
    const unsigned long size = length;
    return Traced("WriteFile", [&] { return g_WriteFile(file, buffer, length, written, overlapped); },
                  Number(file, &size));
}

BOOL WINAPI TracedDeleteFileW(LPCWSTR path) {
    return Traced("DeleteFile", [&] { return g_DeleteFileW(path); }, Text(nullptr, Narrow(path)));
}

HRESULT WINAPI TracedCoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object) {
    wchar_t text[40] = {};
    ::StringFromGUID2(clsid, text, 40);
    return Traced("CoCreateInstance", [&] { return g_CoCreateInstance(clsid, outer, context, iid, object); },
                  Text(nullptr, Narrow(text)));
}

// ---- the log library's lines ----

// A line runs from the library's first look at its environment (where the
// file is) to the closing of the file; the text comes from its write.
struct LogLine {
    LONGLONG begin = 0;
    bool open = false;
    char text[kLineMax / 2] = {};
};
thread_local LogLine t_line;

DWORD WINAPI LogGetEnvironmentVariableW(LPCWSTR name, LPWSTR value, DWORD size) {
    if (!t_line.open) {
        t_line.open = true;
        t_line.begin = Now();
        t_line.text[0] = '\0';
    }
    return g_LogGetEnvironmentVariableW(name, value, size);
}

BOOL WINAPI LogWriteFile(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED overlapped) {
    if (t_line.open && buffer) {
        // "time<TAB>level<TAB>thread<TAB>text": the level and the text are kept.
        const char* bytes = static_cast<const char*>(buffer);
        const char* end = bytes + length;
        const char* level = static_cast<const char*>(std::memchr(bytes, '\t', length));
        const char* text = level ? static_cast<const char*>(std::memchr(level + 1, '\t', end - level - 1)) : nullptr;
        if (text) text = static_cast<const char*>(std::memchr(text + 1, '\t', end - text - 1));
        if (level && text) {
            const size_t levelLength = static_cast<size_t>(std::min<ptrdiff_t>(text - level - 1, 8));
            size_t textLength = static_cast<size_t>(end - text - 1);
            while (textLength && (text[textLength] == '\n' || text[textLength] == '\r')) --textLength;
            std::snprintf(t_line.text, sizeof(t_line.text), "%.*s %.*s", static_cast<int>(levelLength), level + 1,
                          static_cast<int>(textLength), text + 1);
        }
    }
    return g_LogWriteFile(file, buffer, length, written, overlapped);
}

BOOL WINAPI LogCloseHandle(HANDLE handle) {
    const BOOL result = g_LogCloseHandle(handle);
    const DWORD error = ::GetLastError();
    if (t_line.open) {
        t_line.open = false;
        Record(t_line.begin, Now(), "Log", nullptr, t_line.text);
    }
    ::SetLastError(error);
    return result;
}

}  // namespace

bool StartCallTrace(HMODULE plugin, HMODULE logLibrary, const std::wstring& path, std::wstring& error) {
    if (g_active) {
        error = L"a trace is already being recorded";
        return false;
    }
    if (!plugin) {
        error = L"the plug-in is not loaded";
        return false;
    }
    g_file.reset(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!g_file) {
        error = L"cannot write " + path;
        return false;
    }
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    g_frequency = frequency.QuadPart;
    g_origin = Now();
    // Touched now, so that the buffer counts in the host's memory before the
    // run as much as after it.
    std::memset(g_buffer, 0, sizeof(g_buffer));
    g_used = 0;

    Redirect(plugin, "wininet.dll", "InternetOpenW", &TracedInternetOpenW, g_InternetOpenW);
    Redirect(plugin, "wininet.dll", "InternetConnectW", &TracedInternetConnectW, g_InternetConnectW);
    Redirect(plugin, "wininet.dll", "HttpOpenRequestW", &TracedHttpOpenRequestW, g_HttpOpenRequestW);
    Redirect(plugin, "wininet.dll", "HttpSendRequestW", &TracedHttpSendRequestW, g_HttpSendRequestW);
    Redirect(plugin, "wininet.dll", "HttpQueryInfoW", &TracedHttpQueryInfoW, g_HttpQueryInfoW);
    Redirect(plugin, "wininet.dll", "InternetReadFile", &TracedInternetReadFile, g_InternetReadFile);
    Redirect(plugin, "wininet.dll", "InternetCloseHandle", &TracedInternetCloseHandle, g_InternetCloseHandle);
    Redirect(plugin, "user32.dll", "SendMessageW", &TracedSendMessageW, g_SendMessageW);
    Redirect(plugin, "user32.dll", "PostMessageW", &TracedPostMessageW, g_PostMessageW);
    Redirect(plugin, "kernel32.dll", "Sleep", &TracedSleep, g_Sleep);
    Redirect(plugin, "kernel32.dll", "WaitForSingleObject", &TracedWaitForSingleObject, g_WaitForSingleObject);
    Redirect(plugin, "kernel32.dll", "WaitForMultipleObjects", &TracedWaitForMultipleObjects,
             g_WaitForMultipleObjects);
    Redirect(plugin, "kernel32.dll", "CreateFileW", &TracedCreateFileW, g_CreateFileW);
    Redirect(plugin, "kernel32.dll", "ReadFile", &TracedReadFile, g_ReadFile);
    Redirect(plugin, "kernel32.dll", "WriteFile", &TracedWriteFile, g_WriteFile);
    Redirect(plugin, "kernel32.dll", "DeleteFileW", &TracedDeleteFileW, g_DeleteFileW);
    Redirect(plugin, "ole32.dll", "CoCreateInstance", &TracedCoCreateInstance, g_CoCreateInstance);
    Redirect(logLibrary, "kernel32.dll", "GetEnvironmentVariableW", &LogGetEnvironmentVariableW,
             g_LogGetEnvironmentVariableW);
    Redirect(logLibrary, "kernel32.dll", "WriteFile", &LogWriteFile, g_LogWriteFile);
    Redirect(logLibrary, "kernel32.dll", "CloseHandle", &LogCloseHandle, g_LogCloseHandle);
    g_active = true;
    return true;
}

bool CallTraceActive() { return g_active; }

TraceSpan::TraceSpan(const char* what) : m_what(what), m_begin(Now()) {}

TraceSpan::~TraceSpan() { Record(m_begin, Now(), "Host", nullptr, m_what); }

void FlushCallTrace() {
    tessaran::SrwExclusiveGuard lock(g_lock);
    FlushLocked();
}

}  // namespace hostsim
