// Self-registration through Wine's own regsvr32, checked in the registry.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <map>
#include <string>

#include "common/HostProcess.h"
#include "support/Handles.h"

using tessaran::UniqueHKey;
using tessaran::UniqueHModule;
using namespace tessaran_test;

namespace {

constexpr wchar_t kClassKey[] = L"CLSID\\{8BB35CD9-4BE4-4B94-9F3A-85113E4F8591}";
constexpr wchar_t kLibid[] = L"{A5F40B2D-A9D1-4FAE-86A3-606AD9F9FBD9}";
constexpr wchar_t kOwnInterface[] = L"Interface\\{8261DD48-702A-4CA8-9C01-66713E814B83}";
// The system files a type library under its platform: win32 for the x86
// build's library, win64 for the x64 build's.
constexpr const wchar_t* kPlatformKey = sizeof(void*) == 8 ? L"win64" : L"win32";

std::wstring Lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), ::towlower);
    return text;
}

// Every key below path (relative names, "" for path itself) with its values;
// value names "" for the default, data of other types than REG_SZ marked.
using KeyTree = std::map<std::wstring, std::map<std::wstring, std::wstring>>;

void ReadTree(HKEY root, const std::wstring& path, const std::wstring& relative, KeyTree& tree) {
    UniqueHKey key;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
    auto& values = tree[relative];
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        wchar_t data[1024] = {};
        DWORD size = sizeof(data) - sizeof(wchar_t);
        DWORD type = 0;
        if (::RegEnumValueW(key.get(), i, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data),
                            &size) != ERROR_SUCCESS) {
            break;
        }
        values[name] = type == REG_SZ ? std::wstring(data) : L"<type " + std::to_wstring(type) + L">";
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (::RegEnumKeyExW(key.get(), i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        ReadTree(root, path + L"\\" + name, relative + L"\\" + name, tree);
    }
}

KeyTree ReadTree(HKEY root, const std::wstring& path) {
    KeyTree tree;
    ReadTree(root, path, L"", tree);
    return tree;
}

bool KeyExists(HKEY root, const std::wstring& path) {
    UniqueHKey key;
    return ::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

std::wstring DefaultValue(HKEY root, const std::wstring& path) {
    KeyTree tree;
    ReadTree(root, path, L"", tree);
    return tree[L""][L""];
}

// The class table, as registration must write it.
KeyTree ExpectedClassTree() {
    return {
        {L"", {{L"", L"CSMRMeishiPlugin Class"}}},
        {L"\\Programmable", {}},
        {L"\\InprocServer32", {{L"", Lower(PluginDllPath())}, {L"ThreadingModel", L"Apartment"}}},
        {L"\\TypeLib", {{L"", kLibid}}},
        {L"\\Version", {{L"", L"1.0"}}},
    };
}

// The module path is compared without regard to case, as Windows treats it.
KeyTree ReadClassTree(HKEY classesRoot) {
    KeyTree tree = ReadTree(classesRoot, kClassKey);
    auto server = tree.find(L"\\InprocServer32");
    if (server != tree.end() && server->second.count(L"")) server->second[L""] = Lower(server->second[L""]);
    return tree;
}

DWORD Regsvr32(const std::wstring& options) {
    return RunProcess(L"regsvr32.exe /s " + options + L" " + Quoted(PluginDllPath())).exitCode;
}

HKEY MachineClasses() {
    static HKEY key = [] {
        HKEY opened = nullptr;
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes", 0, KEY_ALL_ACCESS, &opened);
        return opened;
    }();
    return key;
}

HKEY UserClasses() {
    static HKEY key = [] {
        HKEY opened = nullptr;
        ::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &opened,
                          nullptr);
        return opened;
    }();
    return key;
}

// Whether the system keeps a second registry view beside this process's own:
// a 64-bit process always, a 32-bit one only on a 64-bit system.
bool HasOtherRegistryView() {
    if (sizeof(void*) == 8) return true;
    BOOL wow64 = FALSE;
    return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
}

bool KeyExistsInOtherView(HKEY root, const std::wstring& path) {
    const REGSAM other = sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    UniqueHKey key;
    return ::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | other, key.put()) == ERROR_SUCCESS;
}

// A known starting point without spending a process on unregistration.
void ForgetClass() {
    ::RegDeleteTreeW(MachineClasses(), kClassKey);
    ::RegDeleteTreeW(UserClasses(), kClassKey);
}

TEST(Registration, PerMachineWritesTheClassTableAndTheTypeLibrary) {
    ForgetClass();
    ASSERT_EQ(Regsvr32(L""), 0u);
    EXPECT_EQ(ReadClassTree(HKEY_CLASSES_ROOT), ExpectedClassTree());
    EXPECT_FALSE(KeyExists(UserClasses(), kClassKey));
    const std::wstring platformKey = std::wstring(L"TypeLib\\") + kLibid + L"\\1.0\\0\\" + kPlatformKey;
    EXPECT_EQ(Lower(DefaultValue(HKEY_CLASSES_ROOT, platformKey)), Lower(PluginDllPath()));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kOwnInterface)) << "the dual interface is registered with its library";
    if (HasOtherRegistryView()) {
        EXPECT_FALSE(KeyExistsInOtherView(HKEY_LOCAL_MACHINE, std::wstring(L"Software\\Classes\\") + kClassKey))
            << "the class is registered in its own build's registry view only";
    }

    // Registering again replaces the class key: a stray subkey does not survive.
    UniqueHKey stray;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CLASSES_ROOT, (std::wstring(kClassKey) + L"\\ProgID").c_str(), 0, nullptr, 0,
                                KEY_WRITE, nullptr, stray.put(), nullptr),
              ERROR_SUCCESS);
    stray.reset();
    ASSERT_EQ(Regsvr32(L""), 0u);
    EXPECT_EQ(ReadClassTree(HKEY_CLASSES_ROOT), ExpectedClassTree());

    ASSERT_EQ(Regsvr32(L"/u"), 0u);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"TypeLib\\") + kLibid + L"\\1.0"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kOwnInterface));
}

TEST(Registration, UserInAnyCaseRegistersForTheCurrentUserOnly) {
    ForgetClass();
    ASSERT_EQ(Regsvr32(L"/n /i:USER"), 0u);
    // Read directly: Wine 8 does not merge the user's classes into HKCR.
    EXPECT_EQ(ReadClassTree(UserClasses()), ExpectedClassTree());
    EXPECT_FALSE(KeyExists(MachineClasses(), kClassKey));
    // Windows keeps the library per user too; Wine 8's RegisterTypeLibForUser
    // registers it per machine, so either place counts here.
    const std::wstring version = std::wstring(L"TypeLib\\") + kLibid + L"\\1.0";
    EXPECT_TRUE(KeyExists(UserClasses(), version) || KeyExists(HKEY_CLASSES_ROOT, version));

    ASSERT_EQ(Regsvr32(L"/u /n /i:user"), 0u);
    EXPECT_FALSE(KeyExists(UserClasses(), kClassKey));
    EXPECT_TRUE(KeyExists(UserClasses(), L"CLSID")) << "the CLSID key itself is never removed";
    EXPECT_FALSE(KeyExists(UserClasses(), version));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, version));

    // Unregistering what is already gone succeeds, per user and per machine.
    EXPECT_EQ(Regsvr32(L"/u /n /i:user"), 0u);
    EXPECT_EQ(Regsvr32(L"/u"), 0u);
}

// On Windows, HKEY_CLASSES_ROOT writes into the user's classes whenever the
// user already has the key there (after a per-user install, say), so a
// per-machine type library written through it can end up the user's alone.
// Wine 8 keeps no merged view; a process whose HKEY_CLASSES_ROOT stands for
// another key shows the same: the library still goes where the class keys go,
// and is removed from there.
TEST(Registration, PerMachineTheTypeLibraryGoesWhereTheClassKeysGo) {
    ForgetClass();
    constexpr wchar_t kElsewhere[] = L"Software\\TessaranRegistrationTest";
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kElsewhere);
    UniqueHKey elsewhere;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, kElsewhere, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                elsewhere.put(), nullptr),
              ERROR_SUCCESS);
    UniqueHModule plugin(::LoadLibraryW(PluginDllPath().c_str()));
    ASSERT_TRUE(plugin);
    using RegistrationFn = HRESULT(WINAPI*)();
    const auto registerServer = tessaran::GetProc<RegistrationFn>(plugin.get(), "DllRegisterServer");
    const auto unregisterServer = tessaran::GetProc<RegistrationFn>(plugin.get(), "DllUnregisterServer");
    ASSERT_TRUE(registerServer && unregisterServer);
    const auto underOtherRoot = [&](RegistrationFn call) {
        EXPECT_EQ(::RegOverridePredefKey(HKEY_CLASSES_ROOT, elsewhere.get()), ERROR_SUCCESS);
        const HRESULT hr = call();
        ::RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
        return hr;
    };

    const std::wstring platformKey = std::wstring(L"TypeLib\\") + kLibid + L"\\1.0\\0\\" + kPlatformKey;
    EXPECT_EQ(underOtherRoot(registerServer), S_OK);
    EXPECT_EQ(Lower(DefaultValue(MachineClasses(), platformKey)), Lower(PluginDllPath()));
    EXPECT_TRUE(KeyExists(MachineClasses(), kOwnInterface));
    EXPECT_FALSE(KeyExists(elsewhere.get(), L"TypeLib"));
    EXPECT_FALSE(KeyExists(elsewhere.get(), L"Interface"));

    EXPECT_EQ(underOtherRoot(unregisterServer), S_OK);
    EXPECT_FALSE(KeyExists(MachineClasses(), platformKey));
    EXPECT_FALSE(KeyExists(MachineClasses(), kClassKey));
    elsewhere.reset();
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kElsewhere);
}

TEST(Registration, OtherInstallCommandLinesRegisterPerMachine) {
    ForgetClass();
    ASSERT_EQ(Regsvr32(L"/n /i:users"), 0u);
    EXPECT_EQ(ReadClassTree(MachineClasses()), ExpectedClassTree());
    EXPECT_FALSE(KeyExists(UserClasses(), kClassKey));
}

}  // namespace
