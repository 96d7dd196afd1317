// Our builds of the maker's libraries, called through their exports as the
// plug-in calls them.
#include <gtest/gtest.h>

#include <windows.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/HostProcess.h"
#include "common/TestPaths.h"
#include "support/Handles.h"

using namespace tessaran_test;
using tessaran::GetProc;
using tessaran::UniqueHModule;

namespace {

constexpr char kSjisError[] = "\x83\x47\x83\x89\x81\x5B";  // エラー
constexpr char kSjisSuccess[] = "\x90\xAC\x8C\xF7";        // 成功

std::vector<std::string> Lines(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        const size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(bytes.substr(start) + "<no CR LF>");
            break;
        }
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// ---- log library ----

struct LogLibrary {
    UniqueHModule module{::LoadLibraryW(MakerLibPath(L"zuminfolog.dll").c_str())};
    DWORD(WINAPI* create)(HINSTANCE) = GetProc<decltype(create)>(module.get(), "ZumInfoCreateInfoHandle");
    void(WINAPI* release)(DWORD) = GetProc<decltype(release)>(module.get(), "ZumInfoReleaseInfoHandle");
    void(WINAPI* setThreadName)(DWORD, LPCWSTR, DWORD) =
        GetProc<decltype(setThreadName)>(module.get(), "ZumInfoSetThreadNameW");
    int(WINAPI* write)(DWORD, LPCWSTR, int) = GetProc<decltype(write)>(module.get(), "ZumInfoWriteLogW");
    bool Ready() const { return create && release && setThreadName && write; }
};

const std::regex kLogLine(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\t(\d+)\t([^\t]*)\t(.*))");

TEST(LogLibrary, AppendsWholeLinesToTheFileTheEnvironmentNamesAtEachWrite) {
    LogLibrary log;
    ASSERT_TRUE(log.Ready());
    ScratchDir scratch(L"log");
    const std::wstring first = scratch / L"first.log";
    const std::wstring second = scratch / L"second.log";
    {
        ScopedEnvironment environment({{L"ZUMINFOLOG_FILE", first}});
        const DWORD handle = log.create(::GetModuleHandleW(nullptr));
        ASSERT_NE(handle, 0u);
        log.setThreadName(handle, L"MEISHI_PLUGIN", 0);
        EXPECT_GT(log.write(handle, L"CCSMRMeishiPlugin::Execute", 2), 0);
        EXPECT_GT(log.write(handle, L"名刺 – ü", 3), 0);
        ScopedEnvironment switched({{L"ZUMINFOLOG_FILE", second}});
        EXPECT_GT(log.write(handle + 1000, L"from an unknown handle", 1), 0);
        log.release(handle);
        EXPECT_GT(log.write(handle, nullptr, 1), 0);
    }
    std::vector<std::string> lines = Lines(ReadFileBytes(first));
    ASSERT_EQ(lines.size(), 2u);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, kLogLine)) << lines[0];
    EXPECT_EQ(match[1], "2");
    EXPECT_EQ(match[2], "MEISHI_PLUGIN");
    EXPECT_EQ(match[3], "CCSMRMeishiPlugin::Execute");
    ASSERT_TRUE(std::regex_match(lines[1], match, kLogLine)) << lines[1];
    EXPECT_EQ(match[3], ToUtf8(L"名刺 – ü"));

    lines = Lines(ReadFileBytes(second));
    ASSERT_EQ(lines.size(), 2u);
    ASSERT_TRUE(std::regex_match(lines[0], match, kLogLine)) << lines[0];
    EXPECT_EQ(match[2], "") << "an unknown handle has no thread name";
    EXPECT_EQ(match[3], "from an unknown handle");
    ASSERT_TRUE(std::regex_match(lines[1], match, kLogLine)) << lines[1];
    EXPECT_EQ(match[3], "");
}

TEST(LogLibrary, LinesFromManyThreadsStayWholeAndInOrder) {
    LogLibrary log;
    ASSERT_TRUE(log.Ready());
    ScratchDir scratch(L"log");
    const std::wstring file = scratch / L"threads.log";
    ScopedEnvironment environment({{L"ZUMINFOLOG_FILE", file}});
    const DWORD handle = log.create(nullptr);
    constexpr int kThreads = 6;
    constexpr int kLines = 150;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) {
                const std::wstring text = std::to_wstring(t) + L" " + std::to_wstring(i) + L" " +
                                          std::wstring(300, static_cast<wchar_t>(L'a' + t));
                log.write(handle, text.c_str(), 1);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    log.release(handle);

    const std::vector<std::string> lines = Lines(ReadFileBytes(file));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    const std::regex text(R"((\d) (\d+) ([a-z])\3{299})");
    for (const std::string& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, kLogLine)) << line;
        const std::string body = match[3];
        ASSERT_TRUE(std::regex_match(body, match, text)) << body.substr(0, 40);
        const int t = std::stoi(match[1]);
        EXPECT_EQ(std::stoi(match[2]), next[static_cast<size_t>(t)]++);
    }
}

TEST(LogLibrary, WithoutAChosenFileWritesIntoTheUsersLocalApplicationData) {
    LogLibrary log;
    ASSERT_TRUE(log.Ready());
    ScratchDir scratch(L"appdata");
    ScopedEnvironment environment({{L"ZUMINFOLOG_FILE", L""}, {L"LOCALAPPDATA", scratch.path()}});
    EXPECT_GT(log.write(0, L"default place", 1), 0);
    const std::vector<std::string> lines =
        Lines(ReadFileBytes(scratch / L"Orvell Electronics\\Logs\\zuminfolog.log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\tdefault place"), std::string::npos);
}

// ---- localisation library ----

struct LocLibrary {
    UniqueHModule module{::LoadLibraryW(MakerLibPath(L"zumloc.dll").c_str())};
    int(WINAPI* setLocale)(LANGID) = GetProc<decltype(setLocale)>(module.get(), "ZumLocalizeSetLocale");
    LANGID(WINAPI* getLocale)() = GetProc<decltype(getLocale)>(module.get(), "ZumLocalizeGetLocale");
    int(WINAPI* addFile)(LPCWSTR) = GetProc<decltype(addFile)>(module.get(), "ZumLocalizeAddFileW");
    void(WINAPI* clearFiles)() = GetProc<decltype(clearFiles)>(module.get(), "ZumLocalizeClearFiles");
    LPCWSTR(WINAPI* lookupAW)(LPCSTR, int*) = GetProc<decltype(lookupAW)>(module.get(), "ZumLocalizeLookupAW");
    LPCWSTR(WINAPI* lookupWW)(LPCWSTR, int*) = GetProc<decltype(lookupWW)>(module.get(), "ZumLocalizeLookupWW");
    int(WINAPI* a2w)(LPWSTR, LPCSTR, int) = GetProc<decltype(a2w)>(module.get(), "ZumLocalizeA2W");
    int(WINAPI* w2a)(LPSTR, LPCWSTR, int) = GetProc<decltype(w2a)>(module.get(), "ZumLocalizeW2A");
    bool Ready() const { return setLocale && getLocale && addFile && clearFiles && lookupAW && lookupWW && a2w && w2a; }

    std::wstring Text(LPCWSTR key) {
        int size = -1;
        LPCWSTR text = lookupWW(key, &size);
        return text ? std::wstring(text) : L"<none " + std::to_wstring(size) + L">";
    }
};

TEST(LocalisationLibrary, ChoosesTheSectionOfTheLanguageThenItsPrimaryLanguageThenAny) {
    LocLibrary loc;
    ASSERT_TRUE(loc.Ready());
    loc.clearFiles();
    ScratchDir scratch(L"loc");
    const std::wstring file = scratch / L"test.loc";
    WriteFileBytes(file, "\xEF\xBB\xBF; translations for the test\r\n"
                         "\"outside\" = \"before any section\"\r\n"
                         "[ja]\r\n"
                         "\"Error\" = \"" + ToUtf8(L"エラー") + "\"\r\n"
                         "  \"" + ToUtf8(L"エラー") + "\"\t=\t\"JA-ERROR\"  \n"
                         "\"tab\\there\" = \"a\\\"b\\\\c\\nd\\u00e9\"\r\n"
                         "this line is not an entry\r\n"
                         "\"unclosed = \"x\"\r\n"
                         "\"bad escape\" = \"\\q\"\r\n"
                         "\"trailing\" = \"x\" junk\r\n"
                         "[0x0C04]\r\n"
                         "\"Error\" = \"" + ToUtf8(L"錯誤") + "\"\r\n"
                         "[en, *]\r\n"
                         "\"Error\" = \"Error!\"\r\n"
                         "[klingon]\r\n"
                         "\"Error\" = \"never\"\r\n");
    EXPECT_EQ(loc.addFile(file.c_str()), 6);
    EXPECT_EQ(loc.addFile((scratch / L"missing.loc").c_str()), 0);

    loc.setLocale(0x0411);
    EXPECT_EQ(loc.getLocale(), 0x0411);
    EXPECT_EQ(loc.Text(L"Error"), L"エラー");
    EXPECT_EQ(loc.Text(L"tab\there"), L"a\"b\\c\nd\u00e9");
    EXPECT_EQ(loc.Text(L"outside"), L"before any section");
    EXPECT_EQ(loc.Text(L"trailing"), L"<none 18>") << "a miss reports the key's size in bytes";
    int size = 0;
    LPCWSTR text = loc.lookupAW(kSjisError, &size);
    ASSERT_NE(text, nullptr) << "Shift-JIS keys find their UTF-8 entries";
    EXPECT_STREQ(text, L"JA-ERROR");
    EXPECT_EQ(size, 18) << "bytes of the translation with its terminator";
    EXPECT_EQ(loc.lookupAW("missing", &size), nullptr);
    EXPECT_EQ(size, 8);

    loc.setLocale(0x0C04);
    EXPECT_EQ(loc.Text(L"Error"), L"錯誤");
    loc.setLocale(0x0804);  // Chinese without a section of its own
    EXPECT_EQ(loc.Text(L"Error"), L"Error!");
    loc.setLocale(0x0409);
    EXPECT_EQ(loc.Text(L"Error"), L"Error!");

    loc.clearFiles();
    EXPECT_EQ(loc.Text(L"Error"), L"<none 12>");
}

TEST(LocalisationLibrary, ConvertersStayInsideTheirBuffers) {
    LocLibrary loc;
    ASSERT_TRUE(loc.Ready());
    wchar_t wide[8];
    std::fill(std::begin(wide), std::end(wide), L'#');
    EXPECT_EQ(loc.a2w(wide, kSjisError, 7), 3);
    EXPECT_STREQ(wide, L"エラー");
    EXPECT_EQ(wide[4], L'#');

    std::fill(std::begin(wide), std::end(wide), L'#');
    EXPECT_EQ(loc.a2w(wide, "abcdef", 3), 2) << "the size bounds both the text read and the buffer";
    EXPECT_STREQ(wide, L"ab");
    EXPECT_EQ(wide[3], L'#');
    EXPECT_EQ(loc.a2w(wide, nullptr, 3), 0);
    EXPECT_EQ(wide[0], L'\0');

    char narrow[6];
    std::fill(std::begin(narrow), std::end(narrow), '#');
    EXPECT_EQ(loc.w2a(narrow, L"aエラー", 5), 3) << "a double-byte character is never split";
    EXPECT_STREQ(narrow, "a\x83\x47");
    EXPECT_EQ(narrow[4], '#');
}

struct Expected {
    const char* key;
    const wchar_t* english;
    const wchar_t* japanese;
};

// Every text the plug-in passes through LocalizeText.
const Expected kPluginTexts[] = {
    {"Scanmoor plug-in for Veltrano", L"Scanmoor plug-in for Veltrano", L"Veltrano 用 Scanmoor プラグイン"},
    {"Send to Veltrano", L"Send to Veltrano", L"Veltrano へ送信"},
    {"Function to link Veltrano and Scanmoor.", L"Function to link Veltrano and Scanmoor.",
     L"Veltrano と Scanmoor を連携する機能です。"},
    {"Email", L"Email", L"メールアドレス"},
    {"Not registered", L"Not registered", L"未登録"},
    {"Error", L"Error", L"エラー"},
    {kSjisSuccess, L"Success", L"成功"},
    {kSjisError, L"Error", L"エラー"},
    {"Please select save location.", L"Please select save location.", L"保存先を選択してください。"},
};

TEST(LocalisationLibrary, PluginTranslationsCoverEveryKeyForEnglishAndJapaneseUsers) {
    LocLibrary loc;
    ASSERT_TRUE(loc.Ready());
    loc.clearFiles();
    ASSERT_EQ(loc.addFile((SourceDir() + L"\\plugin-files\\Tessaran.loc").c_str()), 18);
    for (const LANGID language : {0x0409, 0x0809, 0x0411, 0x0407}) {
        loc.setLocale(language);
        for (const Expected& entry : kPluginTexts) {
            int size = 0;
            LPCWSTR text = loc.lookupAW(entry.key, &size);
            ASSERT_NE(text, nullptr) << entry.key << " for " << language;
            EXPECT_STREQ(text, language == 0x0411 ? entry.japanese : entry.english) << entry.key;
        }
    }
    loc.clearFiles();
}

// ---- help library ----

TEST(HelpLibrary, OpensOnlyAnExistingHelpFile) {
    UniqueHModule module(::LoadLibraryW(MakerLibPath(L"zumhelp.dll").c_str()));
    auto help = GetProc<BOOL(WINAPI*)(HWND, LPCWSTR, UINT, ULONG_PTR)>(module.get(), "ZumHelpW");
    ASSERT_NE(help, nullptr);
    ::SetLastError(0xdeadbeef);
    EXPECT_FALSE(help(nullptr, L"Z:\\no\\such\\Q7RD_JP.chm", HELP_CONTEXT, 0));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(help(nullptr, nullptr, HELP_CONTEXT, 0));
    EXPECT_TRUE(help(nullptr, nullptr, HELP_QUIT, 0));
}

}  // namespace
