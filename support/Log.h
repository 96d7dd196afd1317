// Binding to the maker's optional diagnostic log library "zuminfolog.dll".
// Without the library every call is a no-op that returns 0.
#pragma once

#include <windows.h>

namespace tessaran {

enum LogLevel : int {
    LOG_TRACE = 1,  // start/end lines and notes
    LOG_ENTRY = 2,  // entry of a host call
    LOG_ERROR = 3,  // a failure, written once where it is seen
};

// Lines are formatted into at most 1023 characters; %s takes a wide string.
int LogWrite(int level, const wchar_t* format, ...) noexcept;

// For tests: every formatted line also goes to the observer (null: none),
// whether or not the log library is loaded.
using LogObserverFn = void (*)(int level, const wchar_t* line);
void SetLogObserverForTest(LogObserverFn observer) noexcept;

// The process-wide log object: the library, its handle and its entry points.
class CZumInfoLog {
public:
    static CZumInfoLog& Instance() noexcept;

    // Loads the library (application folder, system folder, then the maker's
    // shared folder), creates the handle for the module and names the thread.
    void Start(HINSTANCE module) noexcept;
    // Releases the handle and frees the library.
    void Stop() noexcept;

    bool IsLoaded() const noexcept { return m_library != nullptr; }
    int Write(int level, const wchar_t* text) noexcept;

private:
    CZumInfoLog() = default;
    using CreateInfoHandleFn = DWORD(WINAPI*)(HINSTANCE);
    using ReleaseInfoHandleFn = void(WINAPI*)(DWORD);
    using SetThreadNameWFn = void(WINAPI*)(DWORD, LPCWSTR, DWORD);
    using WriteLogWFn = int(WINAPI*)(DWORD, LPCWSTR, int);

    HMODULE m_library = nullptr;
    DWORD m_handle = 0;
    CreateInfoHandleFn m_createInfoHandle = nullptr;
    ReleaseInfoHandleFn m_releaseInfoHandle = nullptr;
    SetThreadNameWFn m_setThreadName = nullptr;
    WriteLogWFn m_writeLog = nullptr;
    // Looked up so that a library lacking them is noticed, never called.
    FARPROC m_showDialog = nullptr;
    FARPROC m_registerModule = nullptr;
    FARPROC m_setCurrentLogPath = nullptr;
    FARPROC m_getLogMode = nullptr;
};

}  // namespace tessaran
