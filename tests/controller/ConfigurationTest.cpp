// What the controller reads at start: the host's choice of application-data
// folder and "AppConfig.XML" beside the plug-in.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "common/HostProcess.h"
#include "common/SettingsPlaces.h"
#include "controller/MeishiServiceCtrl.h"
#include "support/Handles.h"

using namespace tessaran;
using namespace tessaran_test;
using ::testing::ElementsAre;

namespace {

TEST(Location, OnlyTheValueOneSelectsTheAllUsersFolder) {
    HostConfigFile config;
    LogCapture log;
    const std::pair<std::string, int> cases[] = {{"1", CSIDL_COMMON_APPDATA}, {" 1", CSIDL_COMMON_APPDATA},
                                                  {"1st", CSIDL_COMMON_APPDATA}, {"0", CSIDL_APPDATA},
                                                  {"2", CSIDL_APPDATA}, {"", CSIDL_APPDATA}, {"-1", CSIDL_APPDATA},
                                                  {"one", CSIDL_APPDATA}};
    for (const auto& [text, csidl] : cases) {
        config.WriteLocation(text);
        CMeishiServiceCtrl controller;
        controller.Init();
        EXPECT_EQ(controller.DataStore().GetCsidl(), csidl) << "\"" << text << "\"";
    }
    log.Clear();
    config.WriteLocation("1");
    EXPECT_EQ(CMeishiServiceCtrl().GetAppDataLocationID(), 1);
    EXPECT_THAT(log.Lines(), ElementsAre("1 CMeishiServiceCtrl::GetAppDataLocationID start",
                                         "1 CMeishiServiceCtrl::GetAppDataLocationID end"));

    // Without the node the user's folder is used, and the reading still ends normally.
    log.Clear();
    config.Write("<?xml version=\"1.0\"?><UserConfig><Other>1</Other></UserConfig>");
    CMeishiServiceCtrl withoutNode;
    withoutNode.Init();
    EXPECT_EQ(withoutNode.DataStore().GetCsidl(), CSIDL_APPDATA);
    EXPECT_THAT(log.Lines(), ElementsAre("1 CMeishiServiceCtrl::Init start",
                                         "1 CMeishiServiceCtrl::GetAppDataLocationID start",
                                         "1 CMeishiServiceCtrl::GetAppDataLocationID end",
                                         "1 CMeishiServiceCtrl::Init end"));
}

TEST(Location, AMissingOrBrokenHostFileSelectsTheUsersFolder) {
    HostConfigFile config;
    LogCapture log;
    CMeishiServiceCtrl missing;
    missing.Init();
    EXPECT_EQ(missing.DataStore().GetCsidl(), CSIDL_APPDATA);
    // The failed reading writes no end line of its own.
    EXPECT_THAT(log.Lines(), ElementsAre("1 CMeishiServiceCtrl::Init start",
                                         "1 CMeishiServiceCtrl::GetAppDataLocationID start",
                                         "3 pXMLDOMDocument->load: error = 80004005",
                                         "1 CMeishiServiceCtrl::Init end"));

    config.Write("<UserConfig><AppDataLocationID>1</AppDataLocationID>");
    CMeishiServiceCtrl broken;
    broken.Init();
    EXPECT_EQ(broken.DataStore().GetCsidl(), CSIDL_APPDATA);

    // A document type is refused, whatever its entities would give.
    config.Write("<?xml version=\"1.0\"?><!DOCTYPE UserConfig [<!ENTITY one \"1\">]>"
                 "<UserConfig><AppDataLocationID>&one;</AppDataLocationID></UserConfig>");
    log.Clear();
    CMeishiServiceCtrl declared;
    declared.Init();
    EXPECT_EQ(declared.DataStore().GetCsidl(), CSIDL_APPDATA);
    EXPECT_THAT(log.Failures(), ElementsAre("pXMLDOMDocument->load: error = 8007000D"));
}

// "AppConfig.XML" beside a copy of the plug-in, read through that module.
class AppConfig : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(CopyFileTo(PluginDllPath(), folder / L"TessaranService.dll")); }

    HRESULT Load(CMeishiServiceCtrl& controller) {
        UniqueHModule module(::LoadLibraryW((folder / L"TessaranService.dll").c_str()));
        EXPECT_TRUE(module);
        return controller.LoadAppConfig(module.get());
    }
    void WriteConfig(const std::string& children) {
        WriteFileBytes(folder / L"AppConfig.XML",
                       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<AppConfig>\r\n" + children + "</AppConfig>\r\n");
    }

    // Characters that mean something in a URL are only characters in a path.
    ScratchDir folder{L"cfg #1 %41 "};
};

// The version of none, one and two entries is shown through the host; here
// the whole map, which the service clients read their hosts from.
TEST_F(AppConfig, EveryChildBecomesAnEntryAndABrokenFileGivesNone) {
    CMeishiServiceCtrl missing;
    EXPECT_EQ(Load(missing), E_FAIL);
    EXPECT_EQ(missing.LoadAppConfig(nullptr), static_cast<HRESULT>(0x8007007E)) << "never the host's own folder";

    WriteConfig("  <cardServiceHost>card.example</cardServiceHost>\r\n  <version>1.2.3.4</version>\r\n"
                "  <trustAnyCertificate>0</trustAnyCertificate>\r\n");
    CMeishiServiceCtrl controller;
    EXPECT_EQ(Load(controller), S_OK);
    EXPECT_EQ(controller.GetVersion(), L"1.2.3.4");
    EXPECT_EQ(controller.AppConfig().at(L"cardServiceHost"), L"card.example");
    EXPECT_EQ(controller.AppConfig().at(L"trustAnyCertificate"), L"0");

    WriteFileBytes(folder / L"AppConfig.XML", "<AppConfig><version>1</version>");
    CMeishiServiceCtrl broken;
    EXPECT_EQ(Load(broken), E_FAIL);
    EXPECT_TRUE(broken.AppConfig().empty());

    WriteFileBytes(folder / L"AppConfig.XML",
                   "<!DOCTYPE AppConfig [<!ENTITY v \"9.9\">]><AppConfig><version>&v;</version></AppConfig>");
    CMeishiServiceCtrl declared;
    EXPECT_EQ(Load(declared), static_cast<HRESULT>(0x8007000D));
    EXPECT_TRUE(declared.AppConfig().empty());
}

}  // namespace
