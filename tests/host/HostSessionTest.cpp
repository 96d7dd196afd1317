// Whole host sessions through the host simulator and the real DLL: creation
// through COM, late binding, the log lines each host call leaves, the texts
// with and without the localisation library, and where the maker's libraries
// may and may not be loaded from.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "common/HostProcess.h"
#include "common/TestPaths.h"

using namespace tessaran_test;

namespace {

ProcessResult HostSim(const std::wstring& arguments, const EnvironmentOverrides& environment = {},
                      const std::wstring& exe = HostSimPath(), const std::wstring& currentDirectory = {}) {
    return RunProcess(Quoted(exe) + L" " + arguments, currentDirectory, environment);
}

// The calls of a run, by operation, in order.
std::vector<HostSimCall> Calls(const ProcessResult& run) { return ParseHostSim(run.output); }

std::map<std::string, std::string> ValuesOf(const std::vector<HostSimCall>& calls) {
    std::map<std::string, std::string> values;
    for (const HostSimCall& call : calls) values[call.operation] = call.hr + " " + call.value;
    return values;
}

struct LogLine {
    std::string time, level, thread, text;
};

// The log file: UTF-8 lines "time<TAB>level<TAB>thread<TAB>text" ending in CR LF.
std::vector<LogLine> ReadLog(const std::wstring& path) {
    const std::string bytes = ReadFileBytes(path);
    std::vector<LogLine> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        EXPECT_NE(end, std::string::npos) << "a line without CR LF";
        if (end == std::string::npos) break;
        const std::string line = bytes.substr(start, end - start);
        start = end + 2;
        LogLine parsed;
        size_t a = line.find('\t'), b = line.find('\t', a + 1), c = line.find('\t', b + 1);
        EXPECT_NE(c, std::string::npos) << line;
        if (c == std::string::npos) continue;
        parsed.time = line.substr(0, a);
        parsed.level = line.substr(a + 1, b - a - 1);
        parsed.thread = line.substr(b + 1, c - b - 1);
        parsed.text = line.substr(c + 1);
        lines.push_back(parsed);
    }
    return lines;
}

// A folder that plays the host's installation: hostsim.exe with its type
// library, and whichever of the maker's libraries a test puts beside it.
struct HostFolder {
    ScratchDir dir{L"host"};
    HostFolder() {
        CopyFileTo(HostSimPath(), dir / L"hostsim.exe");
        CopyFileTo(BuildDir() + L"\\hostsim\\SMRPluginIF.tlb", dir / L"SMRPluginIF.tlb");
    }
    std::wstring Exe() const { return dir / L"hostsim.exe"; }
};

// A copy of the plug-in's installation folder.
struct PluginFolder {
    ScratchDir dir{L"plug"};
    PluginFolder() {
        CopyFileTo(PluginDllPath(), Dll());
        CopyFileTo(BuildDir() + L"\\plugin\\Tessaran.loc", dir / L"Tessaran.loc");
    }
    std::wstring Dll() const { return dir / L"TessaranService.dll"; }
};

constexpr char kName[] = "\"Scanmoor plug-in for Veltrano\"";
constexpr char kTitle[] = "\"Send to Veltrano\"";
constexpr char kDescription[] = "\"Function to link Veltrano and Scanmoor.\"";

TEST(HostSession, RegisteredPluginServesTheHostEarlyAndLateBoundWithoutMakerLibraries) {
    ScratchDir scratch(L"bare");
    const std::wstring log = scratch / L"log.txt";
    const ProcessResult run =
        HostSim(L"register properties --dispatch properties setlanguage 0x411 get_Name commonsetting --vtable "
                L"commonsetting linkbutton {00000000-0000-0000-0000-0000000000AB} linklabel clicklink",
                {{L"ZUMINFOLOG_FILE", log}});
    const std::vector<HostSimCall> calls = Calls(run);
    ASSERT_EQ(calls.size(), 30u) << run.output;
    EXPECT_EQ(calls[0].operation, "DllRegisterServer");
    EXPECT_EQ(calls[0].hr, "00000000");

    // Both bindings give the same answers: the IDispatch the object hands out
    // is that of the host's interface. Without the localisation library the
    // texts are the keys themselves.
    for (size_t first : {1u, 12u}) {
        const std::vector<std::pair<std::string, std::string>> expected = {
            {"get_Name", kName},
            {"get_Title", kTitle},
            {"get_Description", kDescription},
            {"get_Version", ""},
            {"get_Icon", ""},
            {"get_ShowSettingButton", "-1"},
            {"get_ShowCommonSettingButton", "0"},
            {"get_IsExecutable", "-1"},
            {"get_ShowSettingsSummary", "-1"},
            {"get_ShowFileNameSetting", "0"},
            {"get_ShowFileTypeSetting", "-1"},
        };
        for (size_t i = 0; i < expected.size(); ++i) {
            const HostSimCall& call = calls[first + i];
            EXPECT_EQ(call.operation, expected[i].first);
            EXPECT_EQ(call.hr, "00000000") << call.operation;
            // Version and icon come from the controller; only their success is the object's.
            if (!expected[i].second.empty()) {
                EXPECT_EQ(call.value, expected[i].second) << call.operation;
            }
        }
    }
    EXPECT_EQ(calls[23].operation + " " + calls[23].hr, "SetLanguageID 00000000");
    EXPECT_EQ(calls[24].value, kName) << "no library: the language changes nothing";
    EXPECT_EQ(calls[25].operation + " " + calls[25].hr, "ShowCommonSetting 80004001");
    EXPECT_EQ(calls[26].operation + " " + calls[26].hr, "ShowCommonSetting 80004001");
    EXPECT_EQ(calls[27].operation + " " + calls[27].hr + " " + calls[27].value, "ShowLinkButton 00000000 0");
    EXPECT_EQ(calls[28].operation + " " + calls[28].hr + " " + calls[28].value, "LinkLabel 00000000 \"\"");
    EXPECT_EQ(ValuesOf(calls)["ClickedLinkButton"], "00000000 ");
    EXPECT_FALSE(FileExists(log)) << "nothing is logged without the log library";
}

// The controller operations behind the host calls that forward to it.
const std::map<std::string, std::string> kForwarded = {
    {"Connect", "Connect()"},         {"Disconnect", "Disconnect()"},
    {"CreateID", "CreateID"},         {"IsSupportedFileType", "IsSupportedFileType"},
    {"SettingsSummary", "SettingsSummary"}, {"Import", "ImportData"},
    {"DeleteID", "DeleteID"},
};

TEST(HostSession, EveryHostCallLeavesItsLogLines) {
    HostFolder host;
    ASSERT_TRUE(CopyFileTo(MakerLibPath(L"zuminfolog.dll"), host.dir / L"zuminfolog.dll"));
    const std::wstring log = host.dir / L"log.txt";
    const std::wstring missing = host.dir / L"no such folder";
    // deleteid takes the job createid made, so no run leaves a job behind.
    const ProcessResult run =
        HostSim(L"--dll " + Quoted(PluginDllPath()) +
                    L" properties setlanguage 0x411 connect disconnect commonsetting 7 filetype JPG createid summary"
                    L" deleteid linkbutton linklabel clicklink import " +
                    Quoted(missing) + L" --dispatch get_Title",
                {{L"ZUMINFOLOG_FILE", log}}, host.Exe());
    const std::vector<HostSimCall> calls = Calls(run);
    ASSERT_EQ(calls.size(), 24u) << run.output;
    EXPECT_EQ(calls[22].operation, "Import");
    EXPECT_EQ(calls[22].hr[0], '8') << "importing from a missing folder fails";

    const std::vector<LogLine> lines = ReadLog(log);
    ASSERT_FALSE(lines.empty());
    const std::regex time(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})");
    for (const LogLine& line : lines) {
        EXPECT_TRUE(std::regex_match(line.time, time)) << line.time;
        EXPECT_EQ(line.thread, "MEISHI_PLUGIN");
        EXPECT_TRUE(line.level == "1" || line.level == "2" || line.level == "3") << line.level;
    }

    // One entry line per host call, in call order, and for each forwarded
    // call that failed exactly one failure line naming the controller
    // operation and the code the host received.
    std::vector<std::vector<LogLine>> perCall;
    for (const LogLine& line : lines) {
        if (line.level == "2") perCall.push_back({line});
        else if (!perCall.empty()) perCall.back().push_back(line);
    }
    ASSERT_EQ(perCall.size(), calls.size());
    for (size_t i = 0; i < calls.size(); ++i) {
        const std::string& operation = calls[i].operation;
        EXPECT_EQ(perCall[i][0].text, "CCSMRMeishiPlugin::" + operation);
        std::vector<std::string> pluginFailures;
        for (const LogLine& line : perCall[i]) {
            if (line.text.rfind("m_PluginCtrl.", 0) == 0) {
                EXPECT_EQ(line.level, "3");
                pluginFailures.push_back(line.text);
            }
        }
        const auto forwarded = kForwarded.find(operation);
        if (forwarded != kForwarded.end() && calls[i].hr[0] == '8') {
            EXPECT_EQ(pluginFailures,
                      std::vector<std::string>{"m_PluginCtrl." + forwarded->second + ": error = " + calls[i].hr});
        } else {
            EXPECT_TRUE(pluginFailures.empty()) << operation << " " << calls[i].hr;
        }
    }
}

TEST(HostSession, TextsFollowTheHostsLanguageWithTheLocalisationLibrary) {
    PluginFolder plugin;
    ASSERT_TRUE(CopyFileTo(MakerLibPath(L"zumloc.dll"), plugin.dir / L"zumloc.dll"));
    const ProcessResult run = HostSim(L"--dll " + Quoted(plugin.Dll()) +
                                      L" setlanguage 0x409 get_Name get_Title get_Description"
                                      L" setlanguage 0x411 get_Name get_Title get_Description"
                                      L" setlanguage 0x10407 get_Name");
    const std::vector<HostSimCall> calls = Calls(run);
    ASSERT_EQ(calls.size(), 10u) << run.output;
    EXPECT_EQ(calls[1].value, kName);
    EXPECT_EQ(calls[2].value, kTitle);
    EXPECT_EQ(calls[3].value, kDescription);
    EXPECT_EQ(HostSimText(calls[5].value), L"Veltrano 用 Scanmoor プラグイン");
    EXPECT_EQ(HostSimText(calls[6].value), L"Veltrano へ送信");
    EXPECT_EQ(HostSimText(calls[7].value), L"Veltrano と Scanmoor を連携する機能です。");
    // Only the low 16 bits are the language; one without its own texts gets English.
    EXPECT_EQ(calls[8].hr, "00000000");
    EXPECT_EQ(calls[9].value, kName);
}

TEST(HostSession, LibrariesPlantedInTheCurrentDirectoryOrOnPathAreNotLoaded) {
    ScratchDir planted(L"plant");
    const std::pair<const wchar_t*, const wchar_t*> plants[] = {
        {L"zuminfolog.dll", L"zuminfolog.dll"}, {L"zumloc.dll", L"zumloc.dll"}, {L"zumloc.dll", L"pqnloc.dll"}};
    for (const auto& [library, name] : plants) ASSERT_TRUE(CopyFileTo(MakerLibPath(library), planted / name));
    const std::wstring log = planted / L"log.txt";
    const ProcessResult run =
        HostSim(L"--dll " + Quoted(PluginDllPath()) + L" setlanguage 0x411 get_Name",
                {{L"ZUMINFOLOG_FILE", log}, {L"PATH", planted.path() + L";" + Env(L"PATH")}}, HostSimPath(),
                planted.path());
    const std::vector<HostSimCall> calls = Calls(run);
    ASSERT_EQ(calls.size(), 2u) << run.output;
    EXPECT_EQ(calls[1].value, kName) << "a planted localisation library translated";
    EXPECT_FALSE(FileExists(log)) << "a planted log library wrote";
}

TEST(HostSession, MakersSharedFolderServesTheLogAndLocalisationLibraries) {
    MakerSharedFolder shared;
    ASSERT_TRUE(shared.Put(L"zuminfolog.dll"));
    ASSERT_TRUE(shared.Put(L"zumloc.dll"));
    ScratchDir scratch(L"shared");
    const std::wstring log = scratch / L"log.txt";
    const ProcessResult run = HostSim(L"--dll " + Quoted(PluginDllPath()) + L" setlanguage 0x411 get_Title",
                                      {{L"ZUMINFOLOG_FILE", log}});
    const std::vector<HostSimCall> calls = Calls(run);
    ASSERT_EQ(calls.size(), 2u) << run.output;
    EXPECT_EQ(HostSimText(calls[1].value), L"Veltrano へ送信");
    std::vector<std::string> entries;
    for (const LogLine& line : ReadLog(log)) {
        if (line.level == "2") entries.push_back(line.text);
    }
    EXPECT_EQ(entries, (std::vector<std::string>{"CCSMRMeishiPlugin::SetLanguageID", "CCSMRMeishiPlugin::get_Title"}));
}

}  // namespace
