// Looks at an installed plug-in from inside Wine, for the installer test:
//   InstallerProbe create        CoCreateInstance, as a host does
//   InstallerProbe create-user   the class object of the per-user registration
//   InstallerProbe dump [32|64]  every registry key and value of the plug-in,
//                                in the 32-bit or the 64-bit registry view
//                                (default: the probe's own)
// Prints one "name=value" line per fact; exit code 0 when the step worked.
#include <windows.h>

#include <oleauto.h>

#include <cstdio>
#include <string>
#include <utility>

#include "SMRPluginIF.h"
#include "support/Handles.h"

using tessaran::ComInit;
using tessaran::ComPtr;
using tessaran::UniqueBstr;
using tessaran::UniqueHKey;
using tessaran::UniqueHModule;

namespace {

constexpr wchar_t kClsid[] = L"{8BB35CD9-4BE4-4B94-9F3A-85113E4F8591}";
constexpr wchar_t kLibid[] = L"{A5F40B2D-A9D1-4FAE-86A3-606AD9F9FBD9}";
constexpr wchar_t kIid[] = L"{8261DD48-702A-4CA8-9C01-66713E814B83}";
constexpr wchar_t kPluginIid[] = L"{30A8793E-535C-47CB-984D-3E96ED29CC02}";  // ISMRPlugin2

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

void Print(const char* name, const std::wstring& value) { std::printf("%s=%s\n", name, Utf8(value).c_str()); }

// Which file the plug-in was loaded from: the proof that COM found the installed copy.
std::wstring LoadedPluginPath() {
    HMODULE module = ::GetModuleHandleW(L"TessaranService.dll");
    if (!module) return {};
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(path, length) : std::wstring();
}

// What a host sees of the object: its module, and two of its answers.
int ReportObject(IUnknown* object) {
    IID pluginIid;
    ::IIDFromString(kPluginIid, &pluginIid);
    ComPtr<ISMRPlugin2> plugin;
    const HRESULT hr = object->QueryInterface(pluginIid, reinterpret_cast<void**>(plugin.put()));
    std::printf("ISMRPlugin2=%08lX\n", static_cast<unsigned long>(hr));
    if (FAILED(hr)) return 1;
    Print("module", LoadedPluginPath());
    UniqueBstr icon;
    if (SUCCEEDED(plugin->get_Icon(icon.put()))) Print("icon", icon.get() ? icon.get() : L"");
    UniqueBstr version;
    if (SUCCEEDED(plugin->get_Version(version.put()))) Print("version", version.get() ? version.get() : L"");
    return 0;
}

int Create() {
    CLSID clsid;
    ::CLSIDFromString(kClsid, &clsid);
    ComPtr<IUnknown> object;
    const HRESULT hr =
        ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(object.put()));
    std::printf("CoCreateInstance=%08lX\n", static_cast<unsigned long>(hr));
    return FAILED(hr) ? 1 : ReportObject(object.get());
}

std::wstring ReadDefaultValue(HKEY root, const std::wstring& path) {
    UniqueHKey key;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return {};
    wchar_t data[MAX_PATH] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t);
    DWORD type = 0;
    if (::RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return {};
    }
    return data;
}

// Wine 8 does not merge HKCU\Software\Classes into HKEY_CLASSES_ROOT, so a
// per-user registration is invisible to CoCreateInstance there. Windows merges
// them; here the probe follows the per-user InprocServer32 entry itself, as
// COM would, and asks that DLL for its class object.
int CreateFromUserRegistration() {
    const std::wstring server = ReadDefaultValue(
        HKEY_CURRENT_USER, std::wstring(L"Software\\Classes\\CLSID\\") + kClsid + L"\\InprocServer32");
    Print("InprocServer32", server);
    if (server.empty()) return 1;
    UniqueHModule module(::LoadLibraryExW(server.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!module) return 1;
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    auto getClassObject = tessaran::GetProc<GetClassObjectFn>(module.get(), "DllGetClassObject");
    if (!getClassObject) return 1;
    CLSID clsid;
    ::CLSIDFromString(kClsid, &clsid);
    ComPtr<IClassFactory> factory;
    HRESULT hr = getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.put()));
    std::printf("DllGetClassObject=%08lX\n", static_cast<unsigned long>(hr));
    if (FAILED(hr)) return 1;
    ComPtr<IUnknown> object;
    hr = factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(object.put()));
    std::printf("CreateInstance=%08lX\n", static_cast<unsigned long>(hr));
    return FAILED(hr) ? 1 : ReportObject(object.get());
}

// One line per key ("key <path>") and per value ("value <path> [<name>]=<data>").
// view is 0, KEY_WOW64_32KEY or KEY_WOW64_64KEY, given again at every open
// as the registry wants it. A key that is not there prints nothing; a key
// that cannot be read prints "error" and fails the dump, so that an empty
// dump always means an empty registry.
bool DumpKey(HKEY parent, const std::wstring& shown, const std::wstring& path, REGSAM view) {
    UniqueHKey key;
    const LONG opened = ::RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ | view, key.put());
    if (opened == ERROR_FILE_NOT_FOUND) return true;
    if (opened != ERROR_SUCCESS) {
        std::printf("error %s open=%ld\n", Utf8(shown).c_str(), static_cast<long>(opened));
        return false;
    }
    std::printf("key %s\n", Utf8(shown).c_str());
    bool complete = true;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256] = {};
        DWORD nameLength = 256;
        wchar_t data[1024] = {};
        DWORD size = sizeof(data) - sizeof(wchar_t);
        DWORD type = 0;
        const LONG read =
            ::RegEnumValueW(key.get(), i, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
        if (read == ERROR_NO_MORE_ITEMS) break;
        if (read != ERROR_SUCCESS) {
            std::printf("error %s value=%ld\n", Utf8(shown).c_str(), static_cast<long>(read));
            complete = false;
            break;
        }
        const std::wstring text = type == REG_SZ ? std::wstring(data) : L"(type " + std::to_wstring(type) + L")";
        std::printf("value %s [%s]=%s\n", Utf8(shown).c_str(), Utf8(name).c_str(), Utf8(text).c_str());
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256] = {};
        DWORD nameLength = 256;
        const LONG read = ::RegEnumKeyExW(key.get(), i, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (read == ERROR_NO_MORE_ITEMS) break;
        if (read != ERROR_SUCCESS) {
            std::printf("error %s subkey=%ld\n", Utf8(shown).c_str(), static_cast<long>(read));
            complete = false;
            break;
        }
        complete = DumpKey(key.get(), shown + L"\\" + name, name, view) && complete;
    }
    return complete;
}

// Prints the plug-in's keys, then whether each class root is there in this
// view ("root <path> present <subkeys>" or "root <path> absent"), then
// "end": a dump without that last line did not look at everything. A 64-bit
// prefix made without 32-bit Wine has its 32-bit CLSID and Interface roots
// empty or missing, so absence is a fact to report, not a failure.
int Dump(REGSAM view) {
    const struct {
        HKEY root;
        const wchar_t* name;
    } roots[] = {{HKEY_LOCAL_MACHINE, L"HKLM"}, {HKEY_CURRENT_USER, L"HKCU"}};
    bool complete = true;
    for (const auto& root : roots) {
        const std::wstring classes = L"Software\\Classes\\";
        const std::pair<const wchar_t*, const wchar_t*> subs[] = {
            {L"CLSID", kClsid}, {L"TypeLib", kLibid}, {L"Interface", kIid}};
        for (const auto& sub : subs) {
            const std::wstring path = classes + sub.first + L"\\" + sub.second;
            complete = DumpKey(root.root, std::wstring(root.name) + L"\\" + path, path, view) && complete;
        }
        for (const auto& sub : subs) {
            const std::wstring path = classes + sub.first;
            UniqueHKey key;
            const LONG opened = ::RegOpenKeyExW(root.root, path.c_str(), 0, KEY_READ | view, key.put());
            const std::string shown = Utf8(std::wstring(root.name) + L"\\" + path);
            DWORD subkeys = 0;
            if (opened == ERROR_SUCCESS &&
                ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
                std::printf("root %s present %lu\n", shown.c_str(), static_cast<unsigned long>(subkeys));
            } else if (opened == ERROR_SUCCESS) {
                std::printf("error %s query\n", shown.c_str());
                complete = false;
            } else if (opened == ERROR_FILE_NOT_FOUND) {
                std::printf("root %s absent\n", shown.c_str());
            } else {
                std::printf("error %s open=%ld\n", shown.c_str(), static_cast<long>(opened));
                complete = false;
            }
        }
    }
    if (!complete) return 1;
    std::printf("end\n");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    const std::wstring view = argc > 2 ? argv[2] : L"";
    ComInit com(COINIT_APARTMENTTHREADED);
    int rc = 2;
    if (command == L"create") rc = Create();
    else if (command == L"create-user") rc = CreateFromUserRegistration();
    else if (command == L"dump" && view.empty()) rc = Dump(0);
    else if (command == L"dump" && view == L"32") rc = Dump(KEY_WOW64_32KEY);
    else if (command == L"dump" && view == L"64") rc = Dump(KEY_WOW64_64KEY);
    else std::fprintf(stderr, "usage: InstallerProbe create|create-user|dump [32|64]\n");
    std::fflush(stdout);
    return rc;
}
