// hostsim: plays the Scanmoor host for the plug-in, one sub-command per host
// operation, so that the plug-in can be driven by hand, in the demo and in
// end-to-end tests. The usage text below is the reference for its syntax.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "SMRPluginIF.h"
#include "TessaranService.h"
#include "support/Handles.h"
#include "tools/hostsim/CallTrace.h"
#include "tools/hostsim/PluginCaller.h"
#include "tools/hostsim/ProcessMemory.h"

using tessaran::ComInit;
using tessaran::ComPtr;
using tessaran::UniqueFile;
using tessaran::UniqueHModule;

namespace {

constexpr wchar_t kUsage[] = LR"(hostsim: plays the Scanmoor host for TessaranService.dll

usage: hostsim [--dll PATH] [--dispatch] [--hwnd N] COMMAND [ARGS] [COMMAND [ARGS]]...

Commands run in order on one plug-in object, created on first use.
  --dll PATH      create the object through PATH's DllGetClassObject instead of
                  CoCreateInstance (no registration needed); also the DLL that
                  register/unregister use
  --dispatch      call through IDispatch (GetIDsOfNames + Invoke); may also
  --vtable        appear between commands to switch (vtable is the default).
                  The nine operations with a job ID (GUID by value or GUID
                  buffer) stay on the vtable: OLE Automation cannot pass a
                  record by value through Invoke
  --hwnd N        parent window handle passed to ShowSetting and Execute (0)

  register [--user] [PATH.dll]    DllRegisterServer, or DllInstall(TRUE, "user")
  unregister [--user] [PATH.dll]  DllUnregisterServer, or DllInstall(FALSE, "user")
                  PATH defaults to --dll, else ..\plugin\TessaranService.dll
                  beside hostsim.exe
  create          create the object now          release   release it now
  canunload       DllCanUnloadNow of the loaded plug-in
  properties      the eleven property getters, in slot order
  get_Name get_Title get_Description get_Version get_Icon get_ShowSettingButton
  get_ShowCommonSettingButton get_IsExecutable get_ShowSettingsSummary
  get_ShowFileNameSetting get_ShowFileTypeSetting     one getter each
  connect | disconnect
  setlanguage LANGID              SetLanguageID (decimal or 0x hex)
  createid                        CreateID; the new ID becomes "last"
  copyid [ID]                     CopyID; the new ID becomes "last"
  deleteid [ID]   summary [ID]   showsetting [ID]
  commonsetting [N]               ShowCommonSetting
  filetype TEXT                   IsSupportedFileType
  execute [ID] [--delete] [--list FILE | IMAGE...]
                  Execute with an existing list file, or with the images
                  written into a new UTF-16 list file (its path is printed);
                  images run up to the next command
  import FOLDER   export FOLDER
  linkbutton [ID]   linklabel [ID]   clicklink [ID]
  memory          the host process's working set and private bytes, now and
                  at their peak, in bytes
  modules         the modules loaded in the host process, with their image sizes
  cputime         the processor time the host process has used so far, in ms,
                  in user and in kernel mode (every thread: WinINet's too)
  heaps           each heap of the host process: the bytes its blocks in use
                  hold, the bytes free in it, its largest free block, and
                  what it has committed
  trace FILE      from here on, records the plug-in's calls into WinINet, its
                  messages, waits, file reads and log lines with their times
                  into FILE (tools/bench reads it); creates the object first
  ID is {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX} or "last"; left out, it is the
  last ID that createid/copyid returned, else GUID_NULL.
  Operation names (CreateID, SettingsSummary, ...) work as commands too.

Output: one line per call, "Operation: HRESULT [value]"; HRESULT is 8 upper-case
hex digits; texts are JSON string literals in UTF-8; flags are the VARIANT_BOOL
number (-1 or 0); IDs are {GUID}. A failure the plug-in reports through
IDispatch (DISP_E_EXCEPTION) prints the exception's code.
Exit: 0 all calls succeeded, 1 a call failed, 2 usage error, 3 no object.
)";

// ---- output ----

// UTF-8 bytes to a pipe or file; the console gets its own wide text.
void WriteText(HANDLE out, const std::wstring& text) {
    DWORD mode = 0;
    DWORD written = 0;
    if (::GetConsoleMode(out, &mode)) {
        ::WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    if (size <= 0) return;
    std::string bytes(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr,
                          nullptr);
    ::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void PrintLine(const std::wstring& line) { WriteText(::GetStdHandle(STD_OUTPUT_HANDLE), line + L"\n"); }
void PrintError(const std::wstring& line) { WriteText(::GetStdHandle(STD_ERROR_HANDLE), line + L"\n"); }

std::wstring Hex(HRESULT hr) {
    wchar_t text[16] = {};
    ::_snwprintf(text, 15, L"%08X", static_cast<unsigned>(hr));
    return text;
}

// A JSON string literal.
std::wstring Quote(const std::wstring& text) {
    std::wstring result = L"\"";
    for (wchar_t c : text) {
        switch (c) {
        case L'"': result += L"\\\""; break;
        case L'\\': result += L"\\\\"; break;
        case L'\n': result += L"\\n"; break;
        case L'\r': result += L"\\r"; break;
        case L'\t': result += L"\\t"; break;
        default:
            if (c < 0x20) {
                wchar_t escaped[8] = {};
                ::_snwprintf(escaped, 7, L"\\u%04x", static_cast<unsigned>(c));
                result += escaped;
            } else {
                result += c;
            }
        }
    }
    return result + L"\"";
}

std::wstring GuidText(const GUID& id) {
    wchar_t text[40] = {};
    ::StringFromGUID2(id, text, 40);
    return text;
}

std::wstring FlagText(VARIANT_BOOL flag) { return std::to_wstring(static_cast<int>(flag)); }

bool EqualsNoCase(const std::wstring& a, const wchar_t* b) { return ::_wcsicmp(a.c_str(), b) == 0; }

bool EndsWithNoCase(const std::wstring& text, const wchar_t* suffix) {
    const size_t length = ::wcslen(suffix);
    return text.size() >= length && ::_wcsicmp(text.c_str() + text.size() - length, suffix) == 0;
}

std::wstring ExeFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return L".";
    if (wchar_t* slash = ::wcsrchr(path, L'\\')) *slash = L'\0';
    return path;
}

std::wstring FullPath(const std::wstring& path) {
    wchar_t full[MAX_PATH] = {};
    const DWORD length = ::GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return length == 0 || length >= MAX_PATH ? path : std::wstring(full);
}

bool FileExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

struct UsageError {
    std::wstring message;
};

// ---- the host ----

class Host {
public:
    Host(std::wstring dllPath, LONG parentWindow) : m_dllPath(std::move(dllPath)), m_parentWindow(parentWindow) {}
    ~Host() { Release(false); }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    void UseDispatch(bool dispatch) { m_useDispatch = dispatch; }
    LONG ParentWindow() const { return m_parentWindow; }

    // The plug-in DLL that register/unregister use.
    std::wstring PluginPath() const {
        if (!m_dllPath.empty()) return m_dllPath;
        return FullPath(ExeFolder() + L"\\..\\plugin\\TessaranService.dll");
    }

    // The caller for the current binding; null (with a line printed) when the
    // object cannot be created.
    hostsim::PluginCaller* Caller() {
        if (m_createFailed || (!m_object && FAILED(Create()))) return nullptr;
        std::unique_ptr<hostsim::PluginCaller>& caller = m_useDispatch ? m_dispatch : m_vtable;
        if (!caller) {
            HRESULT hr = S_OK;
            caller = m_useDispatch ? hostsim::MakeDispatchCaller(m_object.get(), hr)
                                   : hostsim::MakeVtableCaller(m_object.get(), hr);
            if (!caller) {
                PrintLine(std::wstring(L"QueryInterface: ") + Hex(hr));
                return nullptr;
            }
        }
        return caller.get();
    }

    HRESULT Create() {
        if (m_object) return S_OK;
        const HRESULT hr = CreateObject();
        m_createFailed = FAILED(hr);
        return hr;
    }
    bool CreateFailed() const { return m_createFailed; }

    // Drops the callers and the object; prints the final count when asked.
    void Release(bool print) {
        m_vtable.reset();
        m_dispatch.reset();
        if (!m_object) {
            if (print) PrintLine(L"Release: none");
            return;
        }
        const ULONG count = m_object.Detach()->Release();
        if (print) PrintLine(L"Release: " + std::to_wstring(count));
    }

    // The module that serves the object (null before it exists).
    HMODULE PluginModule() const {
        if (!m_object) return nullptr;
        return m_library ? m_library.get() : ::GetModuleHandleW(L"TessaranService.dll");
    }

    // The last job ID that CreateID or CopyID returned.
    GUID lastId = GUID_NULL;

private:
    HRESULT CreateObject() {
        RegisterHostTypeLibrary();
        HRESULT hr;
        if (m_dllPath.empty()) {
            hr = ::CoCreateInstance(CLSID_CSMRMeishiPlugin, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                    m_object.put_void());
            if (FAILED(hr)) PrintLine(L"CoCreateInstance: " + Hex(hr));
            return hr;
        }
        if (!m_library) {
            m_library.reset(::LoadLibraryW(m_dllPath.c_str()));
            if (!m_library) {
                hr = HRESULT_FROM_WIN32(::GetLastError());
                PrintLine(L"LoadLibrary: " + Hex(hr));
                return hr;
            }
        }
        using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
        auto getClassObject = tessaran::GetProc<GetClassObjectFn>(m_library.get(), "DllGetClassObject");
        if (!getClassObject) {
            hr = HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
            PrintLine(L"GetProcAddress: " + Hex(hr));
            return hr;
        }
        ComPtr<IClassFactory> factory;
        hr = getClassObject(CLSID_CSMRMeishiPlugin, IID_IClassFactory, factory.put_void());
        if (FAILED(hr)) {
            PrintLine(L"DllGetClassObject: " + Hex(hr));
            return hr;
        }
        hr = factory->CreateInstance(nullptr, IID_IUnknown, m_object.put_void());
        if (FAILED(hr)) PrintLine(L"CreateInstance: " + Hex(hr));
        return hr;
    }

    // The host's installer registers its type library; late binding needs it.
    // Per machine when allowed, else for the current user.
    void RegisterHostTypeLibrary() {
        if (m_hostLibraryRegistered) return;
        m_hostLibraryRegistered = true;
        std::wstring path = ExeFolder() + L"\\SMRPluginIF.tlb";
        if (!FileExists(path)) {
            PrintError(L"hostsim: no SMRPluginIF.tlb beside hostsim.exe; late binding will fail");
            return;
        }
        ComPtr<ITypeLib> library;
        HRESULT hr = ::LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.put());
        if (SUCCEEDED(hr)) hr = ::RegisterTypeLib(library.get(), &path[0], nullptr);
        if (FAILED(hr) && library) {
            // Not in this toolchain's headers; present since Vista.
            using ForUserFn = HRESULT(WINAPI*)(ITypeLib*, OLECHAR*, OLECHAR*);
            auto forUser = tessaran::GetProc<ForUserFn>(::GetModuleHandleW(L"oleaut32.dll"), "RegisterTypeLibForUser");
            if (forUser) hr = forUser(library.get(), &path[0], nullptr);
        }
        if (FAILED(hr)) PrintError(L"hostsim: registering SMRPluginIF.tlb failed: " + Hex(hr));
    }

    std::wstring m_dllPath;
    LONG m_parentWindow;
    bool m_useDispatch = false;
    bool m_hostLibraryRegistered = false;
    bool m_createFailed = false;
    // Declared so that the object goes before the library that serves it.
    UniqueHModule m_library;
    ComPtr<IUnknown> m_object;
    std::unique_ptr<hostsim::PluginCaller> m_vtable;
    std::unique_ptr<hostsim::PluginCaller> m_dispatch;
};

// ---- command line ----

class Tokens {
public:
    explicit Tokens(std::vector<std::wstring> items) : m_items(std::move(items)) {}
    bool AtEnd() const { return m_pos >= m_items.size(); }
    const std::wstring& Peek() const { return m_items[m_pos]; }
    std::wstring Next(const wchar_t* what) {
        if (AtEnd()) throw UsageError{std::wstring(L"missing ") + what};
        return m_items[m_pos++];
    }

private:
    std::vector<std::wstring> m_items;
    size_t m_pos = 0;
};

// The whole line is parsed into actions before anything runs, so a typo
// runs nothing. An action reports whether every call it made succeeded.
using Action = std::function<bool(Host&)>;
using Parser = Action (*)(Tokens&);

struct Command {
    const wchar_t* name;
    Parser parse;
};

bool IsCommandName(const std::wstring& token);

// Operations' results: "Operation: HRESULT [value]".
bool Report(const wchar_t* operation, HRESULT hr, const std::wstring& value = std::wstring()) {
    std::wstring line = std::wstring(operation) + L": " + Hex(hr);
    if (SUCCEEDED(hr) && !value.empty()) line += L" " + value;
    PrintLine(line);
    return SUCCEEDED(hr);
}

// A job ID argument: given, or the last one CreateID/CopyID returned by the
// time the command runs.
struct IdArg {
    bool useLast = true;
    GUID id = GUID_NULL;
    GUID Resolve(const Host& host) const { return useLast ? host.lastId : id; }
};

IdArg OptionalId(Tokens& tokens) {
    IdArg arg;
    if (tokens.AtEnd()) return arg;
    const std::wstring& token = tokens.Peek();
    if (EqualsNoCase(token, L"last")) {
        tokens.Next(L"ID");
        return arg;
    }
    if (token.empty() || token[0] != L'{') return arg;
    if (FAILED(::IIDFromString(token.c_str(), &arg.id))) throw UsageError{L"not a GUID: " + token};
    arg.useLast = false;
    tokens.Next(L"ID");
    return arg;
}

LONG NumberArg(Tokens& tokens, const wchar_t* what) {
    const std::wstring text = tokens.Next(what);
    wchar_t* end = nullptr;
    const long value = static_cast<long>(::wcstoul(text.c_str(), &end, 0));
    if (text.empty() || *end != L'\0') throw UsageError{std::wstring(L"not a number for ") + what + L": " + text};
    return value;
}

// Runs a call that needs the object.
template <typename Call>
bool WithCaller(Host& host, Call&& call) {
    hostsim::PluginCaller* caller = host.Caller();
    return caller ? call(*caller) : false;
}

bool TextProperty(Host& host, const wchar_t* property) {
    return WithCaller(host, [&](hostsim::PluginCaller& c) {
        std::wstring value;
        const HRESULT hr = c.GetText(property, value);
        return Report((std::wstring(L"get_") + property).c_str(), hr, Quote(value));
    });
}

bool FlagProperty(Host& host, const wchar_t* property) {
    return WithCaller(host, [&](hostsim::PluginCaller& c) {
        VARIANT_BOOL value = 0x5A5A;  // shows a getter that did not write
        const HRESULT hr = c.GetFlag(property, value);
        return Report((std::wstring(L"get_") + property).c_str(), hr, FlagText(value));
    });
}

constexpr const wchar_t* kTextProperties[] = {L"Name", L"Title", L"Description", L"Version", L"Icon"};
constexpr const wchar_t* kFlagProperties[] = {L"ShowSettingButton",   L"ShowCommonSettingButton",
                                              L"IsExecutable",        L"ShowSettingsSummary",
                                              L"ShowFileNameSetting", L"ShowFileTypeSetting"};

Action ParseProperties(Tokens&) {
    return [](Host& host) {
        bool ok = true;
        for (const wchar_t* property : kTextProperties) ok = TextProperty(host, property) && ok;
        for (const wchar_t* property : kFlagProperties) ok = FlagProperty(host, property) && ok;
        return ok;
    };
}

#define TEXT_PROPERTY(Name) \
    [](Tokens&) -> Action { return [](Host& host) { return TextProperty(host, L## #Name); }; }
#define FLAG_PROPERTY(Name) \
    [](Tokens&) -> Action { return [](Host& host) { return FlagProperty(host, L## #Name); }; }

bool Registration(Host& host, bool install, bool perUser, std::wstring path) {
    if (path.empty()) path = host.PluginPath();
    // Loaded for the call only, as regsvr32 does.
    UniqueHModule library(::LoadLibraryW(path.c_str()));
    if (!library) return Report(L"LoadLibrary", HRESULT_FROM_WIN32(::GetLastError()));
    if (perUser) {
        using InstallFn = HRESULT(WINAPI*)(BOOL, LPCWSTR);
        auto dllInstall = tessaran::GetProc<InstallFn>(library.get(), "DllInstall");
        if (!dllInstall) return Report(L"GetProcAddress", HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND));
        return Report(L"DllInstall", dllInstall(install ? TRUE : FALSE, L"user"));
    }
    using ServerFn = HRESULT(WINAPI*)();
    const char* name = install ? "DllRegisterServer" : "DllUnregisterServer";
    auto server = tessaran::GetProc<ServerFn>(library.get(), name);
    if (!server) return Report(L"GetProcAddress", HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND));
    return Report(install ? L"DllRegisterServer" : L"DllUnregisterServer", server());
}

Action ParseRegistration(Tokens& tokens, bool install) {
    bool perUser = false;
    std::wstring path;
    while (!tokens.AtEnd()) {
        if (EqualsNoCase(tokens.Peek(), L"--user")) {
            perUser = true;
            tokens.Next(L"--user");
        } else if (EndsWithNoCase(tokens.Peek(), L".dll")) {
            path = FullPath(tokens.Next(L"PATH"));
        } else {
            break;
        }
    }
    return [=](Host& host) { return Registration(host, install, perUser, path); };
}

// The host's list file: UTF-16 LE with a byte-order mark, one path per CR LF line.
HRESULT WriteListFile(const std::vector<std::wstring>& images, std::wstring& listFile) {
    wchar_t folder[MAX_PATH] = {};
    wchar_t path[MAX_PATH] = {};
    if (!::GetTempPathW(MAX_PATH, folder) || !::GetTempFileNameW(folder, L"hsl", 0, path)) {
        return HRESULT_FROM_WIN32(::GetLastError());
    }
    listFile = path;
    std::wstring content = L"\xFEFF";
    for (const std::wstring& image : images) content += image + L"\r\n";
    UniqueFile file(
        ::CreateFileW(listFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(content.size() * sizeof(wchar_t));
    if (!file || !::WriteFile(file.get(), content.data(), size, &written, nullptr) || written != size) {
        return HRESULT_FROM_WIN32(::GetLastError());
    }
    return S_OK;
}

Action ParseExecute(Tokens& tokens) {
    const IdArg id = OptionalId(tokens);
    bool deleteFiles = false;
    std::wstring listFile;
    std::vector<std::wstring> images;
    while (!tokens.AtEnd() && !IsCommandName(tokens.Peek())) {
        const std::wstring token = tokens.Next(L"argument");
        if (EqualsNoCase(token, L"--delete")) {
            deleteFiles = true;
        } else if (EqualsNoCase(token, L"--list")) {
            listFile = tokens.Next(L"list file");
        } else if (token.rfind(L"--", 0) == 0) {
            throw UsageError{L"unknown option of execute: " + token};
        } else {
            images.push_back(FullPath(token));
        }
    }
    if (!listFile.empty() && !images.empty()) throw UsageError{L"execute takes --list or images, not both"};

    return [=](Host& host) {
        std::wstring list = listFile;
        const bool ownList = list.empty();
        if (ownList) {
            const HRESULT hr = WriteListFile(images, list);
            if (FAILED(hr)) return Report(L"WriteListFile", hr);
            PrintLine(L"list: " + Quote(list));
        }
        return WithCaller(host, [&](hostsim::PluginCaller& c) {
            HRESULT hr;
            {
                hostsim::TraceSpan span("Execute");
                hr = c.Execute(id.Resolve(host), list, deleteFiles ? VARIANT_TRUE : VARIANT_FALSE, host.ParentWindow());
            }
            // With the delete flag the list file is the plug-in's to remove.
            if (ownList && !deleteFiles) ::DeleteFileW(list.c_str());
            return Report(L"Execute", hr);
        });
    };
}

bool ReportMemory() {
    hostsim::ProcessMemory memory;
    if (!hostsim::ReadProcessMemory(memory)) {
        return Report(L"GetProcessMemoryInfo", HRESULT_FROM_WIN32(::GetLastError()));
    }
    return Report(L"ProcessMemory", S_OK,
                  L"working_set=" + std::to_wstring(memory.workingSet) +
                      L" peak_working_set=" + std::to_wstring(memory.peakWorkingSet) +
                      L" private_bytes=" + std::to_wstring(memory.privateBytes) +
                      L" peak_private_bytes=" + std::to_wstring(memory.peakPrivateBytes));
}

// Each heap of the process: what its blocks in use hold, what lies free in
// it, and what it has committed, so that a heap that grows can be told from
// one that is only cut up.
bool ReportHeaps() {
    HANDLE heaps[64];
    const DWORD count = std::min<DWORD>(::GetProcessHeaps(64, heaps), 64);
    for (DWORD i = 0; i < count; ++i) {
        unsigned long long busy = 0, busyBlocks = 0, free = 0, largestFree = 0, committed = 0;
        PROCESS_HEAP_ENTRY entry = {};
        if (!::HeapLock(heaps[i])) continue;
        while (::HeapWalk(heaps[i], &entry)) {
            if (entry.wFlags & PROCESS_HEAP_REGION) {
                committed += entry.Region.dwCommittedSize;
            } else if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
                busy += entry.cbData;
                ++busyBlocks;
            } else if (!(entry.wFlags & PROCESS_HEAP_UNCOMMITTED_RANGE)) {
                free += entry.cbData;
                largestFree = std::max<unsigned long long>(largestFree, entry.cbData);
            }
        }
        ::HeapUnlock(heaps[i]);
        Report(L"Heap", S_OK,
               std::to_wstring(i) + (heaps[i] == ::GetProcessHeap() ? L" process" : L" other") +
                   L" busy=" + std::to_wstring(busy) + L" blocks=" + std::to_wstring(busyBlocks) +
                   L" free=" + std::to_wstring(free) + L" largest_free=" + std::to_wstring(largestFree) +
                   L" committed=" + std::to_wstring(committed));
    }
    return true;
}

bool ReportProcessTimes() {
    double user = 0;
    double kernel = 0;
    if (!hostsim::ReadProcessTimes(user, kernel)) {
        return Report(L"GetProcessTimes", HRESULT_FROM_WIN32(::GetLastError()));
    }
    wchar_t text[96];
    std::swprintf(text, 96, L"user_ms=%.1f kernel_ms=%.1f", user, kernel);
    return Report(L"ProcessTimes", S_OK, text);
}

bool ReportModules() {
    HMODULE modules[1024];
    DWORD needed = 0;
    if (!::EnumProcessModules(::GetCurrentProcess(), modules, sizeof(modules), &needed)) {
        return Report(L"EnumProcessModules", HRESULT_FROM_WIN32(::GetLastError()));
    }
    const DWORD count = std::min<DWORD>(needed / sizeof(HMODULE), 1024);
    for (DWORD i = 0; i < count; ++i) {
        wchar_t name[MAX_PATH] = {};
        MODULEINFO info = {};
        ::GetModuleBaseNameW(::GetCurrentProcess(), modules[i], name, MAX_PATH);
        ::GetModuleInformation(::GetCurrentProcess(), modules[i], &info, sizeof(info));
        PrintLine(L"Module: " + Quote(name) + L" " + std::to_wstring(info.SizeOfImage));
    }
    return true;
}

Action ParseTrace(Tokens& tokens) {
    const std::wstring path = FullPath(tokens.Next(L"FILE"));
    return [=](Host& host) {
        if (!host.Caller()) return false;
        std::wstring error;
        if (!hostsim::StartCallTrace(host.PluginModule(), ::GetModuleHandleW(L"zuminfolog.dll"), path, error)) {
            PrintError(L"hostsim: trace: " + error);
            return Report(L"Trace", E_FAIL);
        }
        return Report(L"Trace", S_OK, Quote(path));
    };
}

// An ID operation without further arguments.
template <typename Call>
Action IdAction(Tokens& tokens, Call call) {
    const IdArg id = OptionalId(tokens);
    return [=](Host& host) {
        return WithCaller(host, [&](hostsim::PluginCaller& c) { return call(c, id.Resolve(host), host); });
    };
}

// A call without arguments.
template <typename Call>
Action Plain(Call call) {
    return [=](Host& host) { return WithCaller(host, call); };
}

const Command kCommands[] = {
    {L"register", [](Tokens& t) { return ParseRegistration(t, true); }},
    {L"unregister", [](Tokens& t) { return ParseRegistration(t, false); }},
    {L"create",
     [](Tokens&) -> Action {
         return [](Host& host) {
             const HRESULT hr = host.Create();
             PrintLine(L"create: " + Hex(hr));
             return SUCCEEDED(hr);
         };
     }},
    {L"release",
     [](Tokens&) -> Action {
         return [](Host& host) {
             host.Release(true);
             return true;
         };
     }},
    {L"canunload",
     [](Tokens&) -> Action {
         return [](Host&) {
             using CanUnloadFn = HRESULT(WINAPI*)();
             auto canUnload =
                 tessaran::GetProc<CanUnloadFn>(::GetModuleHandleW(L"TessaranService.dll"), "DllCanUnloadNow");
             if (!canUnload) return Report(L"DllCanUnloadNow", HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
             PrintLine(L"DllCanUnloadNow: " + Hex(canUnload()));
             return true;
         };
     }},
    {L"properties", ParseProperties},
    {L"get_Name", TEXT_PROPERTY(Name)},
    {L"get_Title", TEXT_PROPERTY(Title)},
    {L"get_Description", TEXT_PROPERTY(Description)},
    {L"get_Version", TEXT_PROPERTY(Version)},
    {L"get_Icon", TEXT_PROPERTY(Icon)},
    {L"get_ShowSettingButton", FLAG_PROPERTY(ShowSettingButton)},
    {L"get_ShowCommonSettingButton", FLAG_PROPERTY(ShowCommonSettingButton)},
    {L"get_IsExecutable", FLAG_PROPERTY(IsExecutable)},
    {L"get_ShowSettingsSummary", FLAG_PROPERTY(ShowSettingsSummary)},
    {L"get_ShowFileNameSetting", FLAG_PROPERTY(ShowFileNameSetting)},
    {L"get_ShowFileTypeSetting", FLAG_PROPERTY(ShowFileTypeSetting)},
    {L"connect",
     [](Tokens&) { return Plain([](hostsim::PluginCaller& c) { return Report(L"Connect", c.Connect()); }); }},
    {L"disconnect",
     [](Tokens&) { return Plain([](hostsim::PluginCaller& c) { return Report(L"Disconnect", c.Disconnect()); }); }},
    {L"setlanguage",
     [](Tokens& t) {
         const LONG language = NumberArg(t, L"LANGID");
         return Plain([=](hostsim::PluginCaller& c) { return Report(L"SetLanguageID", c.SetLanguageID(language)); });
     }},
    {L"createid",
     [](Tokens&) -> Action {
         return [](Host& host) {
             return WithCaller(host, [&](hostsim::PluginCaller& c) {
                 GUID id = GUID_NULL;
                 const HRESULT hr = c.CreateID(id);
                 if (SUCCEEDED(hr)) host.lastId = id;
                 return Report(L"CreateID", hr, GuidText(id));
             });
         };
     }},
    {L"copyid",
     [](Tokens& t) {
         return IdAction(t, [](hostsim::PluginCaller& c, const GUID& source, Host& host) {
             GUID id = GUID_NULL;
             const HRESULT hr = c.CopyID(source, id);
             if (SUCCEEDED(hr)) host.lastId = id;
             return Report(L"CopyID", hr, GuidText(id));
         });
     }},
    {L"deleteid",
     [](Tokens& t) {
         return IdAction(t, [](hostsim::PluginCaller& c, const GUID& id, Host&) {
             return Report(L"DeleteID", c.DeleteID(id));
         });
     }},
    {L"summary",
     [](Tokens& t) {
         return IdAction(t, [](hostsim::PluginCaller& c, const GUID& id, Host&) {
             std::wstring summary;
             const HRESULT hr = c.SettingsSummary(id, summary);
             return Report(L"SettingsSummary", hr, Quote(summary));
         });
     }},
    {L"showsetting",
     [](Tokens& t) {
         return IdAction(t, [](hostsim::PluginCaller& c, const GUID& id, Host& host) {
             return Report(L"ShowSetting", c.ShowSetting(id, host.ParentWindow()));
         });
     }},
    {L"commonsetting",
     [](Tokens& t) {
         LONG argument = 0;
         if (!t.AtEnd() && !IsCommandName(t.Peek()) && t.Peek().rfind(L"--", 0) != 0) argument = NumberArg(t, L"N");
         return Plain([=](hostsim::PluginCaller& c) {
             return Report(L"ShowCommonSetting", c.ShowCommonSetting(argument));
         });
     }},
    {L"filetype",
     [](Tokens& t) {
         const std::wstring type = t.Next(L"TEXT");
         return Plain([=](hostsim::PluginCaller& c) {
             VARIANT_BOOL supported = 0x5A5A;
             const HRESULT hr = c.IsSupportedFileType(type, supported);
             return Report(L"IsSupportedFileType", hr, FlagText(supported));
         });
     }},
    {L"execute", ParseExecute},
    {L"memory", [](Tokens&) -> Action { return [](Host&) { return ReportMemory(); }; }},
    {L"trace", ParseTrace},
    {L"modules", [](Tokens&) -> Action { return [](Host&) { return ReportModules(); }; }},
    {L"cputime", [](Tokens&) -> Action { return [](Host&) { return ReportProcessTimes(); }; }},
    {L"heaps", [](Tokens&) -> Action { return [](Host&) { return ReportHeaps(); }; }},
    {L"import",
     [](Tokens& t) {
         const std::wstring folder = t.Next(L"FOLDER");
         return Plain([=](hostsim::PluginCaller& c) { return Report(L"Import", c.Import(folder)); });
     }},
    {L"export",
     [](Tokens& t) {
         const std::wstring folder = t.Next(L"FOLDER");
         return Plain([=](hostsim::PluginCaller& c) { return Report(L"Export", c.Export(folder)); });
     }},
    {L"linkbutton",
     [](Tokens& t) {
         return IdAction(t, [](hostsim::PluginCaller& c, const GUID& id, Host&) {
             VARIANT_BOOL show = 0x5A5A;
             const HRESULT hr = c.ShowLinkButton(id, show);
             return Report(L"ShowLinkButton", hr, FlagText(show));
         });
     }},
    {L"linklabel",
     [](Tokens& t) {
         return IdAction(t, [](hostsim::PluginCaller& c, const GUID& id, Host&) {
             std::wstring label;
             const HRESULT hr = c.LinkLabel(id, label);
             return Report(L"LinkLabel", hr, Quote(label));
         });
     }},
    {L"clicklink",
     [](Tokens& t) {
         return IdAction(t, [](hostsim::PluginCaller& c, const GUID& id, Host&) {
             return Report(L"ClickedLinkButton", c.ClickedLinkButton(id));
         });
     }},
};

// The host operations' own names, as alternatives to the short commands.
struct Alias {
    const wchar_t* name;
    const wchar_t* command;
};
constexpr Alias kAliases[] = {
    {L"Connect", L"connect"},
    {L"Disconnect", L"disconnect"},
    {L"SetLanguageID", L"setlanguage"},
    {L"CreateID", L"createid"},
    {L"CopyID", L"copyid"},
    {L"DeleteID", L"deleteid"},
    {L"SettingsSummary", L"summary"},
    {L"ShowSetting", L"showsetting"},
    {L"ShowCommonSetting", L"commonsetting"},
    {L"IsSupportedFileType", L"filetype"},
    {L"Execute", L"execute"},
    {L"Import", L"import"},
    {L"Export", L"export"},
    {L"ShowLinkButton", L"linkbutton"},
    {L"LinkLabel", L"linklabel"},
    {L"ClickedLinkButton", L"clicklink"},
};

const Command* FindCommand(const std::wstring& token) {
    const wchar_t* name = token.c_str();
    for (const Alias& alias : kAliases) {
        if (EqualsNoCase(token, alias.name)) name = alias.command;
    }
    for (const Command& command : kCommands) {
        if (::_wcsicmp(name, command.name) == 0) return &command;
    }
    return nullptr;
}

bool IsBindingSwitch(const std::wstring& token) {
    return EqualsNoCase(token, L"--dispatch") || EqualsNoCase(token, L"--vtable");
}

bool IsCommandName(const std::wstring& token) { return FindCommand(token) != nullptr || IsBindingSwitch(token); }

int Run(std::vector<std::wstring> arguments) {
    Tokens tokens(std::move(arguments));
    std::wstring dllPath;
    LONG parentWindow = 0;
    bool dispatch = false;
    while (!tokens.AtEnd() && tokens.Peek().rfind(L"--", 0) == 0) {
        const std::wstring option = tokens.Next(L"option");
        if (EqualsNoCase(option, L"--dll")) {
            dllPath = FullPath(tokens.Next(L"PATH after --dll"));
        } else if (EqualsNoCase(option, L"--dispatch")) {
            dispatch = true;
        } else if (EqualsNoCase(option, L"--vtable")) {
            dispatch = false;
        } else if (EqualsNoCase(option, L"--hwnd")) {
            parentWindow = NumberArg(tokens, L"--hwnd");
        } else {
            throw UsageError{L"unknown option " + option};
        }
    }
    if (tokens.AtEnd() || EqualsNoCase(tokens.Peek(), L"help")) {
        WriteText(::GetStdHandle(STD_OUTPUT_HANDLE), kUsage);
        return tokens.AtEnd() ? 2 : 0;
    }

    std::vector<Action> actions;
    while (!tokens.AtEnd()) {
        const std::wstring token = tokens.Next(L"command");
        if (IsBindingSwitch(token)) {
            const bool useDispatch = EqualsNoCase(token, L"--dispatch");
            actions.push_back([=](Host& host) {
                host.UseDispatch(useDispatch);
                return true;
            });
            continue;
        }
        const Command* command = FindCommand(token);
        if (!command) throw UsageError{L"unknown command " + token};
        actions.push_back(command->parse(tokens));
    }

    Host host(dllPath, parentWindow);
    host.UseDispatch(dispatch);
    bool allSucceeded = true;
    for (const Action& action : actions) {
        if (!action(host)) allSucceeded = false;
        // Without an object nothing after this can run.
        if (host.CreateFailed()) return 3;
    }
    return allSucceeded ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // A crash of the plug-in ends the run instead of waiting on an error box.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    ComInit com(COINIT_APARTMENTTHREADED);
    if (FAILED(com.hr())) {
        PrintLine(L"CoInitializeEx: " + Hex(com.hr()));
        return 3;
    }
    try {
        const int code = Run(std::vector<std::wstring>(argv + 1, argv + argc));
        hostsim::FlushCallTrace();
        return code;
    } catch (const UsageError& error) {
        PrintError(L"hostsim: " + error.message + L" (hostsim help shows the syntax)");
        return 2;
    } catch (const std::bad_alloc&) {
        PrintError(L"hostsim: out of memory");
        return 4;
    }
}
