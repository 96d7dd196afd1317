#include "support/Localize.h"

#include <shlobj.h>

#include <vector>

#include "support/Format.h"
#include "support/Handles.h"

namespace tessaran {

namespace {

// A string value of an existing machine key; empty when the key or value is
// absent or not a string. Opened read-only, so looking never creates a key.
std::wstring ReadMachineString(const wchar_t* subKey, const wchar_t* valueName) {
    UniqueHKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return {};
    wchar_t value[MAX_PATH] = {};
    DWORD type = 0;
    DWORD size = sizeof(value) - sizeof(wchar_t);
    if (::RegQueryValueExW(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return {};
    }
    return value;
}

HMODULE LoadCandidate(const wchar_t* format, const std::wstring& folder, const wchar_t* fileName) noexcept {
    if (folder.empty()) return nullptr;
    wchar_t path[MAX_PATH] = {};
    if (Format(path, MAX_PATH, format, folder.c_str(), fileName) < 0) return nullptr;
    return ::LoadLibraryExW(path, nullptr, 0);
}

std::wstring SpecialFolder(int csidl) {
    wchar_t folder[MAX_PATH] = {};
    if (!::SHGetSpecialFolderPathW(nullptr, folder, csidl, FALSE)) return {};
    return folder;
}

std::wstring SjisToWide(const char* text) {
    if (!text) return {};
    const int length = ::MultiByteToWideChar(932, 0, text, -1, nullptr, 0);
    if (length <= 0) return {};
    std::vector<wchar_t> buffer(static_cast<size_t>(length));
    ::MultiByteToWideChar(932, 0, text, -1, buffer.data(), length);
    return buffer.data();
}

HMODULE LoadFromFolder(DWORD length, const wchar_t* folder, const wchar_t* fileName) noexcept {
    if (length == 0 || length >= MAX_PATH) return nullptr;
    wchar_t path[MAX_PATH] = {};
    if (Format(path, MAX_PATH, L"%s\\%s", folder, fileName) < 0) return nullptr;
    return ::LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

HMODULE LoadFromSafeFolders(const wchar_t* fileName) noexcept {
    if (!fileName || !*fileName) return nullptr;
    if (HMODULE module = ::LoadLibraryExW(fileName, nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)) return module;
    // Only a loader without the search flags answers this; ask the two folders by full path.
    if (::GetLastError() != ERROR_INVALID_PARAMETER) return nullptr;
    wchar_t folder[MAX_PATH] = {};
    DWORD length = ::GetModuleFileNameW(nullptr, folder, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        if (wchar_t* slash = ::wcsrchr(folder, L'\\')) {
            *slash = L'\0';
            length = static_cast<DWORD>(slash - folder);
        }
    }
    if (HMODULE module = LoadFromFolder(length, folder, fileName)) return module;
    length = ::GetSystemDirectoryW(folder, MAX_PATH);
    return LoadFromFolder(length, folder, fileName);
}

HMODULE LoadSharedLibrary(const wchar_t* fileName) noexcept {
    if (!fileName || !*fileName) return nullptr;
    if (::wcschr(fileName, L'\\')) return ::LoadLibraryExW(fileName, nullptr, 0);

    try {
        constexpr wchar_t kSharedKey[] = L"SOFTWARE\\Orvell Electronics Inc.\\Shared Files";
        constexpr wchar_t kWindowsKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

        const std::wstring registered = ReadMachineString(kSharedKey, fileName);
        if (!registered.empty() && registered.size() < MAX_PATH) {
            if (HMODULE module = ::LoadLibraryExW(registered.c_str(), nullptr, 0)) return module;
        }
        if (HMODULE module = LoadCandidate(L"%s\\%s", ReadMachineString(kSharedKey, nullptr), fileName)) return module;

        // The shell's folder functions are used only when the host already has
        // the shell loaded; loading it here just to ask would be costly.
        const bool shellLoaded = ::GetModuleHandleW(L"Shell32.dll") != nullptr;
        if (shellLoaded) {
            if (HMODULE module = LoadCandidate(L"%s\\Orvell Electronics\\Shared Files\\%s",
                                               SpecialFolder(CSIDL_PROGRAM_FILES), fileName)) {
                return module;
            }
        }
        if (HMODULE module = LoadCandidate(L"%s\\Orvell Electronics\\Shared Files\\%s",
                                           ReadMachineString(kWindowsKey, L"ProgramFilesDir"), fileName)) {
            return module;
        }
        if (shellLoaded) {
            if (HMODULE module = LoadCandidate(L"%s\\Orvell Electronics\\%s",
                                               SpecialFolder(CSIDL_PROGRAM_FILES_COMMON), fileName)) {
                return module;
            }
        }
        if (HMODULE module = LoadCandidate(L"%s\\Orvell Electronics\\%s",
                                           ReadMachineString(kWindowsKey, L"CommonFilesDir"), fileName)) {
            return module;
        }
    } catch (...) {
        // Out of memory while building candidates: fall through to the last place.
    }
    // Never the current directory or PATH: a planted file would run inside the host.
    return LoadFromSafeFolders(fileName);
}

HMODULE PluginModule() noexcept {
    // The module that holds this code, whatever its file is called and however
    // many copies of the plug-in the host has loaded.
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&PluginModule), &module)) {
        return nullptr;
    }
    return module;
}

std::wstring PluginFolder() {
    HMODULE module = PluginModule();
    if (!module) return {};
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    wchar_t* slash = ::wcsrchr(path, L'\\');
    if (!slash) return {};
    *slash = L'\0';
    return path;
}

CZumLibrary& CZumLibrary::Instance() noexcept {
    static CZumLibrary instance;
    return instance;
}

// The module's exit step unloads the library on a normal unload. This
// destructor runs also while the whole process ends, when freeing a library
// from inside the loader's detach is unsafe, so it leaves the library alone.
CZumLibrary::~CZumLibrary() = default;

bool CZumLibrary::Load(const std::wstring& pluginFolder) noexcept {
    if (m_library) return true;
    if (!pluginFolder.empty()) {
        m_library = LoadCandidate(L"%s\\%s", pluginFolder, L"\\plugpqnloc.dll");
        if (!m_library) m_library = LoadCandidate(L"%s\\%s", pluginFolder, L"pqnloc.dll");
        if (!m_library) m_library = LoadCandidate(L"%s\\%s", pluginFolder, L"zumloc.dll");
    }
    if (!m_library) m_library = LoadSharedLibrary(L"pqnloc.dll");
    if (!m_library) m_library = LoadSharedLibrary(L"zumloc.dll");
    if (m_library) Bind();
    return m_library != nullptr;
}

void CZumLibrary::Bind() noexcept {
    m_setLocale = GetProc<SetLocaleFn>(m_library, "ZumLocalizeSetLocale");
    m_getLocale = GetProc<GetLocaleFn>(m_library, "ZumLocalizeGetLocale");
    m_addFileA = GetProc<AddFileAFn>(m_library, "ZumLocalizeAddFileA");
    m_addFileW = GetProc<AddFileWFn>(m_library, "ZumLocalizeAddFileW");
    m_clearFiles = GetProc<ClearFilesFn>(m_library, "ZumLocalizeClearFiles");
    m_lookupAW = GetProc<LookupAWFn>(m_library, "ZumLocalizeLookupAW");
    m_lookupWW = GetProc<LookupWWFn>(m_library, "ZumLocalizeLookupWW");
    m_a2w = GetProc<A2WFn>(m_library, "ZumLocalizeA2W");
    m_w2a = GetProc<W2AFn>(m_library, "ZumLocalizeW2A");
    m_dialog = GetProc<DialogFn>(m_library, "ZumLocalizeDialog");
}

void CZumLibrary::Unload() noexcept {
    if (!m_library) return;
    ::FreeLibrary(m_library);
    m_library = nullptr;
    m_setLocale = nullptr;
    m_getLocale = nullptr;
    m_addFileA = nullptr;
    m_addFileW = nullptr;
    m_clearFiles = nullptr;
    m_lookupAW = nullptr;
    m_lookupWW = nullptr;
    m_a2w = nullptr;
    m_w2a = nullptr;
    m_dialog = nullptr;
}

void CZumLibrary::SetLocale(LANGID language) noexcept {
    if (m_setLocale) m_setLocale(language);
}

void CZumLibrary::AddFile(const wchar_t* path) noexcept {
    if (m_addFileW) m_addFileW(path);
}

std::wstring CZumLibrary::Lookup(const char* sjisKey) {
    if (!sjisKey) return {};
    if (!m_library) return SjisToWide(sjisKey);

    int size = 0;
    if (m_lookupAW) {
        if (LPCWSTR text = m_lookupAW(sjisKey, &size)) {
            // The reported size bounds the text; a library that reports none
            // still gives a terminated text.
            const size_t length =
                size > 0 ? ::wcsnlen(text, static_cast<size_t>(size) / sizeof(wchar_t)) : ::wcslen(text);
            return std::wstring(text, length);
        }
    }
    if (size <= 0) size = static_cast<int>(::strlen(sjisKey)) + 1;
    if (!m_a2w) return SjisToWide(sjisKey);
    // A Shift-JIS byte never yields more than one UTF-16 unit.
    std::vector<wchar_t> buffer(static_cast<size_t>(size) + 1, L'\0');
    m_a2w(buffer.data(), sjisKey, size);
    buffer.back() = L'\0';
    return buffer.data();
}

std::wstring LocalizeText(const char* sjisKey) { return CZumLibrary::Instance().Lookup(sjisKey); }

CHelpLibrary::CHelpLibrary() noexcept : m_library(LoadSharedLibrary(L"zumhelp.dll")) {}

void CHelpLibrary::ShowHelp(HWND window, DWORD context) noexcept {
    using ZumHelpWFn = BOOL(WINAPI*)(HWND, LPCWSTR, UINT, ULONG_PTR);
    try {
        const std::wstring path = PluginFolder() + L"\\Q7RD_JP.chm";
        ZumHelpWFn zumHelp = GetProc<ZumHelpWFn>(m_library.get(), "ZumHelpW");
        BOOL shown = FALSE;
        if (zumHelp) {
            shown = zumHelp(window, path.c_str(), HELP_CONTEXT, context);
        } else if (!m_library) {
            shown = ::WinHelpW(window, path.c_str(), HELP_CONTEXT, context);
        }
        if (!shown) {
            const std::wstring again = PluginFolder() + L"\\Q7RD_JP.chm";
            if (zumHelp) {
                zumHelp(window, again.c_str(), HELP_CONTEXT, context);
            } else {
                ::WinHelpW(window, again.c_str(), HELP_CONTEXT, context);
            }
        }
    } catch (...) {
        // Help is best effort; a failure to build the path shows nothing.
    }
}

}  // namespace tessaran
