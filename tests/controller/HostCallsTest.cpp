// The job operations as the host reaches them: the host simulator drives the
// real DLL, early and late bound, and the log library beside it records the
// lines each call leaves.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/HostProcess.h"
#include "common/SettingsPlaces.h"
#include "settings/MeishiDataStore.h"

using namespace tessaran;
using namespace tessaran_test;
using ::testing::ElementsAre;
using ::testing::IsSubsetOf;

namespace {

// A host installation (the simulator, its type library and the log
// library) and a plug-in installation, each in a folder of its own.
class HostCalls : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CopyFileTo(HostSimPath(), host / L"hostsim.exe"));
        ASSERT_TRUE(CopyFileTo(BuildDir() + L"\\hostsim\\SMRPluginIF.tlb", host / L"SMRPluginIF.tlb"));
        ASSERT_TRUE(CopyFileTo(MakerLibPath(L"zuminfolog.dll"), host / L"zuminfolog.dll"));
        ASSERT_TRUE(CopyFileTo(PluginDllPath(), plugin / L"TessaranService.dll"));
        ASSERT_TRUE(CopyFileTo(BuildDir() + L"\\plugin\\Tessaran.loc", plugin / L"Tessaran.loc"));
    }

    std::vector<HostSimCall> Run(const std::wstring& commands) {
        ::DeleteFileW(logFile.c_str());
        const ProcessResult run =
            RunProcess(Quoted(host / L"hostsim.exe") + L" --dll " + Quoted(plugin / L"TessaranService.dll") + L" " +
                           commands,
                       {}, {{L"ZUMINFOLOG_FILE", logFile}});
        output = run.output;
        return ParseHostSim(run.output);
    }
    std::vector<std::string> Log() const { return LogLinesOf(logFile); }
    // The log lines from the first entry line of operation on.
    std::vector<std::string> LogFrom(const std::string& operation) const {
        const std::vector<std::string> lines = Log();
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i] == "2 CCSMRMeishiPlugin::" + operation) return {lines.begin() + i, lines.end()};
        }
        return {};
    }
    void WriteAppConfig(const std::string& children) {
        WriteFileBytes(plugin / L"AppConfig.XML", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<AppConfig>" +
                                                      children + "</AppConfig>\r\n");
    }

    StoreLocation user{CSIDL_APPDATA};  // where the plug-in keeps settings unless the host says otherwise
    HostConfigFile hostConfig;
    ScratchDir host{L"host"};
    ScratchDir plugin{L"plug"};
    std::wstring logFile = host / L"log.txt";
    std::string output;
};

TEST_F(HostCalls, ShowSettingOfAnUnknownJobFailsWithItsLogLinesAndNoDialog) {
    const std::vector<HostSimCall> calls = Run(L"showsetting {6B0C1F52-3D2A-4E59-9C3B-52D1B5A7E001}");
    ASSERT_EQ(calls.size(), 1u) << output;
    EXPECT_EQ(calls[0].operation + " " + calls[0].hr, "ShowSetting 80070002");
    EXPECT_THAT(LogFrom("ShowSetting"),
                ElementsAre("2 CCSMRMeishiPlugin::ShowSetting", "1 CMeishiServiceCtrl::ShowSettingDlg start",
                            "3 bExsist == FALSE: error = 80070002", "3 ShowSettingDlg GetItem: error = 80070002",
                            "3 m_PluginCtrl.ShowSettingDlg: error = 80070002"));
}

TEST_F(HostCalls, SummaryWithAndWithoutTheLocalisationLibrary) {
    CMeishiDataStore store;
    SettingItem item;
    const GUID id = {0x6B0C1F52, 0x3D2A, 0x4E59, {0x9C, 0x3B, 0x52, 0xD1, 0xB5, 0xA7, 0xE0, 0x03}};
    item.SetGuid(id);
    item.SetMailAddress(L"taro@example.jp");
    ASSERT_EQ(store.AddItem(item), S_OK);  // the user's folder, as the plug-in's
    const std::wstring commands = L"setlanguage 0x411 summary {6B0C1F52-3D2A-4E59-9C3B-52D1B5A7E003} summary "
                                  L"{6B0C1F52-3D2A-4E59-9C3B-52D1B5A7E004}";
    std::vector<HostSimCall> calls = Run(commands);
    ASSERT_EQ(calls.size(), 3u) << output;
    EXPECT_EQ(HostSimText(calls[1].value), L"Email : taro@example.jp");
    EXPECT_EQ(HostSimText(calls[2].value), L"Email : Not registered");

    ASSERT_TRUE(CopyFileTo(MakerLibPath(L"zumloc.dll"), plugin / L"zumloc.dll"));
    calls = Run(commands);
    ASSERT_EQ(calls.size(), 3u) << output;
    EXPECT_EQ(HostSimText(calls[1].value), L"メールアドレス : taro@example.jp");
    EXPECT_EQ(HostSimText(calls[2].value), L"メールアドレス : 未登録");
}

TEST_F(HostCalls, FileTypesEarlyAndLateBound) {
    const std::vector<HostSimCall> calls = Run(L"filetype jpeg filetype JPG filetype .jpg filetype png --dispatch "
                                               L"filetype JpEg filetype jpg. filetype \"\"");
    ASSERT_EQ(calls.size(), 7u) << output;
    std::vector<std::string> values;
    for (const HostSimCall& call : calls) values.push_back(call.hr + " " + call.value);
    EXPECT_THAT(values, ElementsAre("00000000 -1", "00000000 -1", "00000000 0", "00000000 0", "00000000 -1",
                                    "00000000 0", "00000000 0"));
}

TEST_F(HostCalls, VersionComesFromTheConfigurationBesideThePlugin) {
    std::vector<HostSimCall> calls = Run(L"get_Version");
    ASSERT_EQ(calls.size(), 1u) << output;
    EXPECT_EQ(calls[0].hr + " " + calls[0].value, "00000000 \"\"");
    WriteAppConfig("<version>1.0.0.1</version>");
    EXPECT_EQ(Run(L"get_Version").at(0).value, "\"1.0.0.1\"");
    WriteAppConfig("<version>1.0.0.1</version><other>x</other><version>2.0.0.0</version>");
    EXPECT_EQ(Run(L"get_Version").at(0).value, "\"2.0.0.0\"");
    EXPECT_EQ(Run(L"--dispatch get_Version").at(0).value, "\"2.0.0.0\"");
}

TEST_F(HostCalls, IconIsBesideThePlugin) {
    const std::vector<HostSimCall> calls = Run(L"get_Icon");
    ASSERT_EQ(calls.size(), 1u) << output;
    EXPECT_EQ(::_wcsicmp(HostSimText(calls[0].value).c_str(), (plugin / L"Tessaran.ico").c_str()), 0)
        << calls[0].value;
    EXPECT_THAT((std::vector<std::string>{"1 CMeishiServiceCtrl::GetIconPath start"}), IsSubsetOf(Log()));
}

// The plug-in finds its folder through its own module, so a renamed file
// still has its texts, its configuration and its icon.
TEST_F(HostCalls, RenamedPluginFindsItsFilesBesideItself) {
    const std::wstring renamed = plugin / L"TessaranService-2.dll";
    ASSERT_TRUE(::MoveFileW((plugin / L"TessaranService.dll").c_str(), renamed.c_str()));
    ASSERT_TRUE(CopyFileTo(MakerLibPath(L"zumloc.dll"), plugin / L"zumloc.dll"));
    WriteAppConfig("<version>3.0.0.1</version>");
    const ProcessResult run = RunProcess(Quoted(host / L"hostsim.exe") + L" --dll " + Quoted(renamed) +
                                         L" setlanguage 0x411 get_Name get_Version get_Icon");
    const std::vector<HostSimCall> calls = ParseHostSim(run.output);
    ASSERT_EQ(calls.size(), 4u) << run.output;
    EXPECT_EQ(HostSimText(calls[1].value), L"Veltrano 用 Scanmoor プラグイン");
    EXPECT_EQ(calls[2].value, "\"3.0.0.1\"");
    EXPECT_EQ(::_wcsicmp(HostSimText(calls[3].value).c_str(), (plugin / L"Tessaran.ico").c_str()), 0)
        << calls[3].value;
}

TEST_F(HostCalls, TheHostsLocationSettingMovesTheSettingsToTheAllUsersFolder) {
    StoreLocation common(CSIDL_COMMON_APPDATA);
    hostConfig.WriteLocation("1");
    const std::vector<HostSimCall> calls = Run(L"createid");
    ASSERT_EQ(calls.size(), 1u) << output;
    EXPECT_EQ(calls[0].hr, "00000000");
    EXPECT_NE(ReadFileBytes(common.settingsFile).find(calls[0].value), std::string::npos);
    EXPECT_FALSE(FileExists(user.settingsFile));
}

TEST_F(HostCalls, ImportOfABrokenFileIsRefusedAndExportCopiesTheSettings) {
    ScratchDir exchange(L"xchg");
    WriteFileBytes(exchange / L"MeishiPluginSettings.XML", "<Other/>");
    const std::vector<HostSimCall> calls = Run(L"createid import " + Quoted(exchange.path()) + L" export " +
                                               Quoted(exchange.path()));
    ASSERT_EQ(calls.size(), 3u) << output;
    EXPECT_EQ(calls[1].operation + " " + calls[1].hr, "Import 8007000D");
    EXPECT_EQ(calls[2].operation + " " + calls[2].hr, "Export 00000000");
    EXPECT_EQ(ReadFileBytes(exchange / L"MeishiPluginSettings.XML"), ReadFileBytes(user.settingsFile));
    EXPECT_THAT((std::vector<std::string>{"2 CCSMRMeishiPlugin::Import", "3 ImportData check source: error = 8007000D",
                                          "3 m_PluginCtrl.ImportData: error = 8007000D"}),
                IsSubsetOf(Log()));
}

}  // namespace
