#include "host/Registration.h"

#include <string>

#include "TessaranService.h"
#include "support/Format.h"
#include "support/Handles.h"
#include "support/Result.h"

namespace tessaran {

namespace {

constexpr wchar_t kClsid[] = L"{8BB35CD9-4BE4-4B94-9F3A-85113E4F8591}";
constexpr wchar_t kLibid[] = L"{A5F40B2D-A9D1-4FAE-86A3-606AD9F9FBD9}";
constexpr wchar_t kModuleToken[] = L"%MODULE%";

struct RegistryRow {
    const wchar_t* subKey;     // below CLSID\{CLSID}; empty for the class key itself
    const wchar_t* valueName;  // null for the default value
    const wchar_t* data;       // null for a key without a value
};

// The class's registration. No ProgID.
constexpr RegistryRow kClassRows[] = {
    {L"", nullptr, L"CSMRMeishiPlugin Class"},
    {L"\\Programmable", nullptr, nullptr},
    {L"\\InprocServer32", nullptr, kModuleToken},
    {L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
    {L"\\TypeLib", nullptr, kLibid},
    {L"\\Version", nullptr, L"1.0"},
};

// The classes root: HKLM\Software\Classes per machine, HKCU\Software\Classes
// per user. Per machine the machine's own key is used rather than the merged
// HKEY_CLASSES_ROOT view: writes through that view land in the user's key
// whenever the user already has the class registered there.
HRESULT OpenClassesRoot(bool perUser, UniqueHKey& root) {
    const LONG error = ::RegCreateKeyExW(perUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, L"Software\\Classes", 0,
                                         nullptr, 0, KEY_READ | KEY_WRITE, nullptr, root.put(), nullptr);
    return HResultFromWin32(error);
}

std::wstring ClassKeyPath() { return std::wstring(L"CLSID\\") + kClsid; }

HRESULT DeleteClassKey(HKEY root) {
    const std::wstring path = ClassKeyPath();
    const LONG error = ::RegDeleteTreeW(root, path.c_str());
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_SUCCESS) return S_OK;
    return HResultFromWin32(error);
}

HRESULT WriteClassRows(HKEY root, const std::wstring& modulePath) {
    for (const RegistryRow& row : kClassRows) {
        const std::wstring path = ClassKeyPath() + row.subKey;
        UniqueHKey key;
        LONG error = ::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr);
        if (error != ERROR_SUCCESS) return HResultFromWin32(error);
        if (!row.data) continue;
        const std::wstring data = ::wcscmp(row.data, kModuleToken) == 0 ? modulePath : std::wstring(row.data);
        error = ::RegSetValueExW(key.get(), row.valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                                 static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
        if (error != ERROR_SUCCESS) return HResultFromWin32(error);
    }
    return S_OK;
}

HRESULT ModulePath(HINSTANCE module, std::wstring& path) {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(module, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return LastErrorHResult();
    path = buffer;
    return S_OK;
}

using RegisterForUserFn = HRESULT(WINAPI*)(ITypeLib*, OLECHAR*, OLECHAR*);
using UnRegisterForUserFn = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);

template <typename Fn>
Fn OleAutFunction(const char* name) {
    return GetProc<Fn>(::GetModuleHandleW(L"oleaut32.dll"), name);
}

// The system's type library functions write through HKEY_CLASSES_ROOT, the
// merged view, where a write lands in the user's classes whenever the user
// already has the key there. The library belongs where the class keys are, so
// for the call the view is pointed at that root (for the machine: its own
// registry view, of the DLL's bitness), and afterwards back at the default.
class ClassesRootScope {
public:
    explicit ClassesRootScope(HKEY classes) noexcept : m_error(::RegOverridePredefKey(HKEY_CLASSES_ROOT, classes)) {}
    ~ClassesRootScope() {
        if (m_error == ERROR_SUCCESS) ::RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    }
    ClassesRootScope(const ClassesRootScope&) = delete;
    ClassesRootScope& operator=(const ClassesRootScope&) = delete;
    HRESULT result() const noexcept { return HResultFromWin32(m_error); }

private:
    LONG m_error;
};

// classesRoot: the root the class keys went to.
HRESULT RegisterTypeLibrary(const std::wstring& modulePath, bool perUser, HKEY classesRoot) {
    ComPtr<ITypeLib> library;
    TESSARAN_RETURN_IF_FAILED(::LoadTypeLibEx(modulePath.c_str(), REGKIND_NONE, library.put()));
    std::wstring path = modulePath;  // the APIs take non-const text
    if (perUser) {
        if (auto forUser = OleAutFunction<RegisterForUserFn>("RegisterTypeLibForUser")) {
            return forUser(library.get(), &path[0], nullptr);
        }
    }
    const ClassesRootScope view(classesRoot);
    TESSARAN_RETURN_IF_FAILED(view.result());
    return ::RegisterTypeLib(library.get(), &path[0], nullptr);
}

// The key that registration files the library's path under for its platform.
std::wstring PlatformKeyPath(const TLIBATTR& identity) {
    wchar_t guid[40] = {};
    ::StringFromGUID2(identity.guid, guid, 40);
    const wchar_t* platform = identity.syskind == SYS_WIN64 ? L"win64" : identity.syskind == SYS_WIN16 ? L"win16"
                                                                                                        : L"win32";
    wchar_t path[128] = {};
    Format(path, 128, L"TypeLib\\%s\\%x.%x\\%lx\\%s", guid, identity.wMajorVerNum, identity.wMinorVerNum,
           static_cast<unsigned long>(identity.lcid), platform);
    return path;
}

bool KeyExists(HKEY root, const std::wstring& path) {
    UniqueHKey key;
    return ::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// Unregisters exactly what RegisterTypeLibrary registered: the library's own
// identity, version, locale and platform as the resource states them.
HRESULT UnregisterTypeLibrary(const std::wstring& modulePath, bool perUser, HKEY classesRoot) {
    TLIBATTR identity = {};
    TESSARAN_RETURN_IF_FAILED(::IIDFromString(kLibid, &identity.guid));
    identity.wMajorVerNum = 1;
    identity.lcid = LOCALE_NEUTRAL;
    // The platform this DLL's own library is written for, as the build makes it.
    identity.syskind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
    ComPtr<ITypeLib> library;
    if (SUCCEEDED(::LoadTypeLibEx(modulePath.c_str(), REGKIND_NONE, library.put()))) {
        TLIBATTR* attributes = nullptr;
        if (SUCCEEDED(library->GetLibAttr(&attributes))) {
            identity = *attributes;
            library->ReleaseTLibAttr(attributes);
        }
    }
    HRESULT hr = E_FAIL;
    auto forUser = perUser ? OleAutFunction<UnRegisterForUserFn>("UnRegisterTypeLibForUser") : nullptr;
    if (forUser) {
        hr = forUser(identity.guid, identity.wMajorVerNum, identity.wMinorVerNum, identity.lcid, identity.syskind);
    } else {
        const ClassesRootScope view(classesRoot);
        TESSARAN_RETURN_IF_FAILED(view.result());
        hr = ::UnRegisterTypeLib(identity.guid, identity.wMajorVerNum, identity.wMinorVerNum, identity.lcid,
                                 identity.syskind);
    }
    // Nothing registered is what unregistration wants, whatever the system
    // answers for a library it does not know.
    if (FAILED(hr) && !KeyExists(classesRoot, PlatformKeyPath(identity))) return S_OK;
    return hr;
}

// Registry scripts are read the same on every system under the system locale.
class SystemLocaleScope {
public:
    SystemLocaleScope() : m_saved(::GetThreadLocale()) { ::SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
    ~SystemLocaleScope() { ::SetThreadLocale(m_saved); }
    SystemLocaleScope(const SystemLocaleScope&) = delete;
    SystemLocaleScope& operator=(const SystemLocaleScope&) = delete;

private:
    LCID m_saved;
};

}  // namespace

HRESULT RegisterServer(HINSTANCE module, bool perUser) {
    SystemLocaleScope locale;
    std::wstring modulePath;
    TESSARAN_RETURN_IF_FAILED(ModulePath(module, modulePath));
    UniqueHKey root;
    TESSARAN_RETURN_IF_FAILED(OpenClassesRoot(perUser, root));
    // The class key is replaced, never merged with an older registration.
    TESSARAN_RETURN_IF_FAILED(DeleteClassKey(root.get()));
    TESSARAN_RETURN_IF_FAILED(WriteClassRows(root.get(), modulePath));
    return RegisterTypeLibrary(modulePath, perUser, root.get());
}

HRESULT UnregisterServer(HINSTANCE module, bool perUser) {
    SystemLocaleScope locale;
    std::wstring modulePath;
    TESSARAN_RETURN_IF_FAILED(ModulePath(module, modulePath));
    UniqueHKey root;
    TESSARAN_RETURN_IF_FAILED(OpenClassesRoot(perUser, root));
    // Only the class's own key goes; CLSID itself stays.
    TESSARAN_RETURN_IF_FAILED(DeleteClassKey(root.get()));
    return UnregisterTypeLibrary(modulePath, perUser, root.get());
}

}  // namespace tessaran
