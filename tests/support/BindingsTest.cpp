// The plug-in's bindings to the maker's libraries: the log object, LocalizeText
// and the search for a shared library.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "common/HostProcess.h"
#include "common/TestPaths.h"
#include "support/Handles.h"
#include "support/Localize.h"
#include "support/Log.h"
#include "support/Result.h"

using namespace tessaran;
using namespace tessaran_test;

namespace {

std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

bool SamePath(const std::wstring& a, const std::wstring& b) { return ::_wcsicmp(a.c_str(), b.c_str()) == 0; }

TEST(LogBinding, WritesNothingWithoutTheLibrary) {
    ASSERT_FALSE(CZumInfoLog::Instance().IsLoaded());
    EXPECT_EQ(LogWrite(LOG_ENTRY, L"CCSMRMeishiPlugin::%s", L"Connect"), 0);
    EXPECT_EQ(LogFailure(L"CreateID AddItem", E_FAIL), E_FAIL);
}

TEST(LogBinding, FindsTheLibraryInTheMakersSharedFolderAndCutsLinesAt1023Characters) {
    MakerSharedFolder shared;
    ASSERT_TRUE(shared.Put(L"zuminfolog.dll"));
    ScratchDir scratch(L"binding");
    const std::wstring file = scratch / L"binding.log";
    ScopedEnvironment environment({{L"ZUMINFOLOG_FILE", file}});

    CZumInfoLog& log = CZumInfoLog::Instance();
    log.Start(::GetModuleHandleW(nullptr));
    ASSERT_TRUE(log.IsLoaded());
    EXPECT_GT(LogWrite(LOG_TRACE, L"%s start", L"CMeishiServiceCtrl::Connect"), 0);
    EXPECT_EQ(LogFailure(L"CreateID AddItem", static_cast<HRESULT>(0x80070002)), static_cast<HRESULT>(0x80070002));
    const std::wstring longText(2000, L'x');
    LogWrite(LOG_TRACE, L"%s", longText.c_str());
    log.Stop();
    EXPECT_FALSE(log.IsLoaded());
    EXPECT_EQ(LogWrite(LOG_TRACE, L"after stop"), 0);

    const std::string bytes = ReadFileBytes(file);
    EXPECT_NE(bytes.find("\t1\tMEISHI_PLUGIN\tCMeishiServiceCtrl::Connect start\r\n"), std::string::npos) << bytes;
    EXPECT_NE(bytes.find("\t3\tMEISHI_PLUGIN\tCreateID AddItem: error = 80070002\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("\t" + std::string(1023, 'x') + "\r\n"), std::string::npos) << "not cut at 1023";
    EXPECT_EQ(bytes.find(std::string(1024, 'x')), std::string::npos) << "longer than 1023";
    EXPECT_EQ(bytes.find("after stop"), std::string::npos);
}

TEST(LocalizeBinding, WithoutTheLibraryShowsTheKeysThemselves) {
    CZumLibrary::Instance().Unload();
    EXPECT_EQ(LocalizeText("Email"), L"Email");
    EXPECT_EQ(LocalizeText("\x83\x47\x83\x89\x81\x5B"), L"エラー") << "Shift-JIS keys are converted";
    EXPECT_EQ(LocalizeText(""), L"");
    EXPECT_EQ(LocalizeText(nullptr), L"");
}

TEST(LocalizeBinding, TranslatesThroughTheLibraryFoundInThePluginsFolder) {
    CZumLibrary& localizer = CZumLibrary::Instance();
    ASSERT_TRUE(localizer.Load(BuildDir() + L"\\makerlibs"));
    localizer.AddFile((SourceDir() + L"\\plugin-files\\Tessaran.loc").c_str());
    localizer.SetLocale(0x0411);
    EXPECT_EQ(LocalizeText("Email"), L"メールアドレス");
    EXPECT_EQ(LocalizeText("\x90\xAC\x8C\xF7"), L"成功");
    localizer.SetLocale(0x0409);
    EXPECT_EQ(LocalizeText("\x83\x47\x83\x89\x81\x5B"), L"Error");
    // Without a translation the library's converter shows the key.
    EXPECT_EQ(LocalizeText("No translation here"), L"No translation here");
    EXPECT_EQ(LocalizeText("\x91\x97\x90\x4D\x92\x86..."), L"送信中...");
    localizer.Unload();
    EXPECT_FALSE(localizer.IsLoaded());
}

// The maker's registry key, made for a test and removed again.
class MakerKey {
public:
    MakerKey() {
        UniqueHKey probe;
        m_existed = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCompany, 0, KEY_READ, probe.put()) == ERROR_SUCCESS;
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kShared, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, m_key.put(), nullptr);
    }
    ~MakerKey() {
        m_key.reset();
        if (!m_existed) ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kCompany);
    }
    MakerKey(const MakerKey&) = delete;
    MakerKey& operator=(const MakerKey&) = delete;
    HKEY get() const { return m_key.get(); }
    void SetText(const wchar_t* name, const std::wstring& text) {
        ::RegSetValueExW(m_key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

private:
    static constexpr wchar_t kCompany[] = L"SOFTWARE\\Orvell Electronics Inc.";
    static constexpr wchar_t kShared[] = L"SOFTWARE\\Orvell Electronics Inc.\\Shared Files";
    UniqueHKey m_key;
    bool m_existed = false;
};

TEST(SharedLibrary, RegisteredPlacesComeFirstAndTheCurrentDirectoryNever) {
    ScratchDir installed(L"inst");
    ASSERT_TRUE(CopyFileTo(MakerLibPath(L"zumhelp.dll"), installed / L"zumhelp.dll"));
    {
        MakerKey key;
        ASSERT_NE(key.get(), nullptr);
        key.SetText(nullptr, installed.path());
        key.SetText(L"zumhelp.dll", MakerLibPath(L"zumhelp.dll"));
        UniqueHModule byValue(LoadSharedLibrary(L"zumhelp.dll"));
        ASSERT_TRUE(byValue);
        EXPECT_TRUE(SamePath(ModulePath(byValue.get()), MakerLibPath(L"zumhelp.dll")))
            << "the value named like the file comes first";
        byValue.reset();

        // A value that is not text counts as absent: the key's folder is next.
        const DWORD number = 1;
        ::RegSetValueExW(key.get(), L"zumhelp.dll", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                         sizeof(number));
        UniqueHModule byFolder(LoadSharedLibrary(L"zumhelp.dll"));
        ASSERT_TRUE(byFolder);
        EXPECT_TRUE(SamePath(ModulePath(byFolder.get()), installed / L"zumhelp.dll"));
    }

    // A name with a backslash is loaded as given.
    UniqueHModule given(LoadSharedLibrary(MakerLibPath(L"zumhelp.dll").c_str()));
    EXPECT_TRUE(given);
    given.reset();

    // Nothing registered or installed: a copy in the current directory stays unused.
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryW(installed.path().c_str()));
    UniqueHModule planted(LoadSharedLibrary(L"zumhelp.dll"));
    ::SetCurrentDirectoryW(previous);
    EXPECT_FALSE(planted) << ModulePath(planted.get());
    EXPECT_EQ(LoadSharedLibrary(L""), nullptr);
    EXPECT_EQ(LoadSharedLibrary(nullptr), nullptr);
}

}  // namespace
