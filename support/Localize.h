// Bindings to the maker's optional localisation and help libraries.
#pragma once

#include <windows.h>

#include <string>

#include "support/Handles.h"

namespace tessaran {

// Loads a library by bare name from the application's folder or the system
// folder only, never from the current directory or PATH, without changing the
// process's search settings. Works also where LoadLibraryEx lacks the search
// flags (Windows 7 without its loader update).
HMODULE LoadFromSafeFolders(const wchar_t* fileName) noexcept;

// Locates one of the maker's shared libraries: a name with a backslash is
// loaded as given; a bare name is looked for in the maker's registered and
// installed places, and last in the application and system folders.
HMODULE LoadSharedLibrary(const wchar_t* fileName) noexcept;

// The plug-in module (the one that holds this code) and its folder, with no
// trailing backslash; the folder is empty when its path cannot be had.
HMODULE PluginModule() noexcept;
std::wstring PluginFolder();

// The localisation library, loaded once per process.
class CZumLibrary {
public:
    static CZumLibrary& Instance() noexcept;
    ~CZumLibrary();

    // Loads the library from the plug-in's folder or the maker's shared places.
    bool Load(const std::wstring& pluginFolder) noexcept;
    void Unload() noexcept;
    bool IsLoaded() const noexcept { return m_library != nullptr; }

    void SetLocale(LANGID language) noexcept;
    void AddFile(const wchar_t* path) noexcept;
    // The displayed text for a Shift-JIS key; the key itself when there is no
    // translation.
    std::wstring Lookup(const char* sjisKey);

private:
    CZumLibrary() = default;
    CZumLibrary(const CZumLibrary&) = delete;
    CZumLibrary& operator=(const CZumLibrary&) = delete;
    void Bind() noexcept;

    using SetLocaleFn = int(WINAPI*)(LANGID);
    using GetLocaleFn = LANGID(WINAPI*)();
    using AddFileAFn = int(WINAPI*)(LPCSTR);
    using AddFileWFn = int(WINAPI*)(LPCWSTR);
    using ClearFilesFn = void(WINAPI*)();
    using LookupAWFn = LPCWSTR(WINAPI*)(LPCSTR, int*);
    using LookupWWFn = LPCWSTR(WINAPI*)(LPCWSTR, int*);
    using A2WFn = int(WINAPI*)(LPWSTR, LPCSTR, int);
    using W2AFn = int(WINAPI*)(LPSTR, LPCWSTR, int);
    using DialogFn = int(WINAPI*)(HWND);

    HMODULE m_library = nullptr;
    SetLocaleFn m_setLocale = nullptr;
    GetLocaleFn m_getLocale = nullptr;
    AddFileAFn m_addFileA = nullptr;
    AddFileWFn m_addFileW = nullptr;
    ClearFilesFn m_clearFiles = nullptr;
    LookupAWFn m_lookupAW = nullptr;
    LookupWWFn m_lookupWW = nullptr;
    A2WFn m_a2w = nullptr;
    W2AFn m_w2a = nullptr;
    DialogFn m_dialog = nullptr;
};

// The displayed text of a Shift-JIS key (see CZumLibrary::Lookup).
std::wstring LocalizeText(const char* sjisKey);

// Loads "zumhelp.dll" for the life of a dialog that offers help.
class CHelpLibrary {
public:
    CHelpLibrary() noexcept;
    CHelpLibrary(const CHelpLibrary&) = delete;
    CHelpLibrary& operator=(const CHelpLibrary&) = delete;

    // Opens the plug-in's help file at the context.
    void ShowHelp(HWND window, DWORD context) noexcept;

private:
    UniqueHModule m_library;
};

}  // namespace tessaran
