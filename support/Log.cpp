#include "support/Log.h"

#include <cstdarg>

#include "support/Format.h"
#include "support/Handles.h"
#include "support/Localize.h"
#include "support/Result.h"

namespace tessaran {

namespace {

constexpr wchar_t kLogLibrary[] = L"zuminfolog.dll";

// Loading by bare name through the normal search would let a file planted in
// the current directory or on PATH run inside the host; only the application
// and system folders are searched, without changing the process's settings.
HMODULE LoadFromSafePlaces() noexcept {
    if (HMODULE module = LoadFromSafeFolders(kLogLibrary)) return module;

    UniqueHKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", 0, KEY_READ, key.put()) !=
        ERROR_SUCCESS) {
        return nullptr;
    }
    wchar_t folder[MAX_PATH] = {};
    DWORD type = 0;
    DWORD size = sizeof(folder) - sizeof(wchar_t);
    if (::RegQueryValueExW(key.get(), L"ProgramFilesDir", nullptr, &type, reinterpret_cast<BYTE*>(folder), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return nullptr;
    }
    wchar_t path[MAX_PATH] = {};
    if (Format(path, MAX_PATH, L"%s\\Orvell Electronics\\Shared Files\\%s", folder, kLogLibrary) < 0) return nullptr;
    return ::LoadLibraryW(path);
}

}  // namespace

CZumInfoLog& CZumInfoLog::Instance() noexcept {
    static CZumInfoLog instance;
    return instance;
}

void CZumInfoLog::Start(HINSTANCE module) noexcept {
    if (m_library) return;
    m_library = LoadFromSafePlaces();
    if (!m_library) return;

    m_createInfoHandle = GetProc<CreateInfoHandleFn>(m_library, "ZumInfoCreateInfoHandle");
    m_releaseInfoHandle = GetProc<ReleaseInfoHandleFn>(m_library, "ZumInfoReleaseInfoHandle");
    m_setThreadName = GetProc<SetThreadNameWFn>(m_library, "ZumInfoSetThreadNameW");
    m_writeLog = GetProc<WriteLogWFn>(m_library, "ZumInfoWriteLogW");
    m_showDialog = ::GetProcAddress(m_library, "ZumInfoShowDialog");
    m_registerModule = ::GetProcAddress(m_library, "ZumInfoRegisterModuleW");
    m_setCurrentLogPath = ::GetProcAddress(m_library, "ZumInfoSetCurrentLogPathW");
    m_getLogMode = ::GetProcAddress(m_library, "ZumInfoGetLogMode");

    if (m_createInfoHandle) m_handle = m_createInfoHandle(module);
    if (m_setThreadName) m_setThreadName(m_handle, L"MEISHI_PLUGIN", 0);
}

void CZumInfoLog::Stop() noexcept {
    if (!m_library) return;
    if (m_releaseInfoHandle) m_releaseInfoHandle(m_handle);
    ::FreeLibrary(m_library);
    *this = CZumInfoLog();
}

int CZumInfoLog::Write(int level, const wchar_t* text) noexcept {
    if (!m_library || !m_writeLog) return 0;
    return m_writeLog(m_handle, text, level);
}

namespace {
LogObserverFn g_logObserver = nullptr;
}  // namespace

void SetLogObserverForTest(LogObserverFn observer) noexcept { g_logObserver = observer; }

int LogWrite(int level, const wchar_t* format, ...) noexcept {
    CZumInfoLog& log = CZumInfoLog::Instance();
    const LogObserverFn observer = g_logObserver;
    if (!log.IsLoaded() && !observer) return 0;
    wchar_t line[1024];
    va_list args;
    va_start(args, format);
    FormatV(line, 1024, format, args);
    va_end(args);
    if (observer) observer(level, line);
    return log.Write(level, line);
}

HRESULT LogFailure(const wchar_t* step, HRESULT hr) noexcept {
    LogWrite(LOG_ERROR, L"%s: error = %08X", step, static_cast<unsigned>(hr));
    return hr;
}

}  // namespace tessaran
