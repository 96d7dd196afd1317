// The controller's job operations on the static core: job IDs and their
// settings items, the settings dialog through scripted answers, the summary
// line, the supported file types, with the log lines each one leaves.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "ScriptedDialogs.h"
#include "common/SettingsPlaces.h"
#include "common/XmlCheck.h"
#include "controller/MeishiServiceCtrl.h"

using namespace tessaran;
using namespace tessaran_test;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

constexpr HRESULT kNoSuchJob = static_cast<HRESULT>(0x80070002);
constexpr HRESULT kDiskFull = static_cast<HRESULT>(0x80070070);

GUID NewGuid() {
    GUID guid;
    ::CoCreateGuid(&guid);
    return guid;
}

std::string GuidText(const GUID& guid) { return ToUtf8(CSMRGuid(guid).ToString()); }

class Controller : public ::testing::Test {
protected:
    void SetUp() override {
        controller.SetDialogs(&dialogs);
        controller.DataStore().SetCsidl(CSIDL_LOCAL_APPDATA);
        ASSERT_TRUE(log.Loaded());
    }
    void TearDown() override { CMeishiDataStore::SetWriteLimitForTest(MAXDWORD); }

    // The items of the settings file, as the tests' own reader sees them.
    std::vector<XmlNode> Items() const {
        const XmlDocument document = ParseXml(ReadFileBytes(place.settingsFile));
        EXPECT_TRUE(document.ok) << document.error;
        return document.root.children;
    }
    // The texts of the job's item in file order; empty when it has none.
    std::vector<std::string> ItemValues(const GUID& id) const {
        std::vector<std::string> values;
        for (const XmlNode& item : Items()) {
            if (!item.Child("Guid") || item.Child("Guid")->text != GuidText(id)) continue;
            for (const XmlNode& field : item.children) values.push_back(field.text);
            break;
        }
        return values;
    }
    GUID StoredJob(const std::wstring& mail, const std::wstring& token = L"my-secret-token") {
        SettingItem item;
        const GUID id = NewGuid();
        item.SetGuid(id);
        item.SetMailAddress(mail);
        item.SetUsername(L"someone");
        item.SetAppToken(token);
        item.SetEvenNumberImageToBackPage(1);
        item.SetOCRLangID(2);
        item.SetOCRLangBackID(1);
        EXPECT_EQ(controller.DataStore().AddItem(item), S_OK);
        return id;
    }

    StoreLocation place;
    LogCapture log;
    ScriptedDialogs dialogs;
    CMeishiServiceCtrl controller;
};

TEST_F(Controller, ConnectMakesTheFileAndCreateIdStoresNewItemsWithDefaultValues) {
    EXPECT_EQ(controller.Connect(), S_OK);
    EXPECT_THAT(Items(), IsEmpty());
    log.Clear();
    GUID first = GUID_NULL;
    GUID second = GUID_NULL;
    ASSERT_EQ(controller.CreateID(&first), S_OK);
    ASSERT_EQ(controller.CreateID(&second), S_OK);
    EXPECT_FALSE(IsEqualGUID(first, second));
    EXPECT_THAT(ItemValues(first), ElementsAre(GuidText(first), "", "", "", "0", "1", "2"));
    EXPECT_THAT(ItemValues(second), ElementsAre(GuidText(second), "", "", "", "0", "1", "2"));
    EXPECT_THAT(log.Lines(), ElementsAre("1 CMeishiServiceCtrl::CreateID start", "1 CMeishiServiceCtrl::CreateID end",
                                         "1 CMeishiServiceCtrl::CreateID start", "1 CMeishiServiceCtrl::CreateID end"));
}

// The host must never hold a job ID without settings: when the item cannot
// be stored, CreateID and CopyID fail.
TEST_F(Controller, CreateIdAndCopyIdFailWhenTheItemCannotBeStored) {
    const GUID source = StoredJob(L"taro@example.jp");
    const std::string before = ReadFileBytes(place.settingsFile);
    log.Clear();
    CMeishiDataStore::SetWriteLimitForTest(16);
    GUID created = GUID_NULL;
    EXPECT_EQ(controller.CreateID(&created), kDiskFull);
    EXPECT_EQ(controller.CopyID(source, &created), kDiskFull);
    CMeishiDataStore::SetWriteLimitForTest(MAXDWORD);
    EXPECT_EQ(ReadFileBytes(place.settingsFile), before);
    EXPECT_THAT(log.Failures(), ElementsAre("Save WriteFile: error = 80070070", "CreateID AddItem: error = 80070070",
                                            "Save WriteFile: error = 80070070", "CopyID AddItem: error = 80070070"));
    EXPECT_THAT(log.Lines(), Not(Contains("1 CMeishiServiceCtrl::CreateID end")));
}

// Settings that exist but cannot be read are reported by every operation:
// the summary never tells the host that such a job has no account, and no
// later save replaces the file.
TEST_F(Controller, SettingsThatCannotBeReadAreReportedAndNeverReadAsNone) {
    const GUID a = StoredJob(L"a@example.jp");
    const GUID b = StoredJob(L"b@example.jp");
    const std::string whole = ReadFileBytes(place.settingsFile);
    const std::string cut = whole.substr(0, whole.size() / 2);
    WriteFileBytes(place.settingsFile, cut);
    log.Clear();
    BSTR summary = nullptr;
    EXPECT_EQ(controller.SettingsSummary(b, &summary), E_FAIL);
    EXPECT_EQ(summary, nullptr);
    GUID created = GUID_NULL;
    EXPECT_EQ(controller.CopyID(a, &created), E_FAIL);
    EXPECT_EQ(controller.CreateID(&created), E_FAIL);
    EXPECT_EQ(controller.DeleteID(a), E_FAIL);
    EXPECT_EQ(controller.ShowSettingDlg(a, nullptr), E_FAIL);
    EXPECT_EQ(dialogs.settingsShown, 0);
    EXPECT_EQ(ReadFileBytes(place.settingsFile), cut);
    EXPECT_THAT(log.Failures(), ElementsAre("pXMLDOMDocument->load: error = 80004005",
                                            "SettingsSummary GetItem: error = 80004005",
                                            "pXMLDOMDocument->load: error = 80004005", "CopyID GetItem: error = 80004005",
                                            "pXMLDOMDocument->load: error = 80004005", "CreateID AddItem: error = 80004005",
                                            "pXMLDOMDocument->load: error = 80004005", "DeleteID RemoveItem: error = 80004005",
                                            "pXMLDOMDocument->load: error = 80004005",
                                            "ShowSettingDlg GetItem: error = 80004005"));

    // A job after an item that lost its Guid cannot be read either; one the
    // file does not hold has no account.
    WriteFileBytes(place.settingsFile, "<PluginItem><Item/>" + whole.substr(whole.find("<Item>")));
    EXPECT_EQ(controller.SettingsSummary(b, &summary), E_POINTER);
    WriteFileBytes(place.settingsFile, whole);
    ASSERT_EQ(controller.SettingsSummary(NewGuid(), &summary), S_OK);
    EXPECT_STREQ(summary, L"Email : Not registered");
    ::SysFreeString(summary);
}

TEST_F(Controller, CopyIdCopiesTheSourceSettingsUnderANewId) {
    const GUID source = StoredJob(L"taro@example.jp");
    log.Clear();
    GUID copy = GUID_NULL;
    ASSERT_EQ(controller.CopyID(source, &copy), S_OK);
    EXPECT_FALSE(IsEqualGUID(copy, source));
    SettingItem read;
    ASSERT_EQ(controller.DataStore().GetItem(copy, read), S_OK);
    EXPECT_EQ(read.GetMailAddress(), L"taro@example.jp");
    EXPECT_EQ(read.GetUsername(), L"someone");
    EXPECT_EQ(read.GetAppToken(), L"my-secret-token");
    EXPECT_EQ(read.GetEvenNumberImageToBackPage(), 1);
    EXPECT_EQ(read.GetOCRLangID(), 2);
    EXPECT_EQ(read.GetOCRLangBackID(), 1);
    EXPECT_EQ(Items().size(), 2u);
    EXPECT_THAT(log.Lines(), ElementsAre("1 CMeishiServiceCtrl::CopyID start", "1 m_DataStore.GetItem SUCCEEDED",
                                         "1 CMeishiServiceCtrl::CopyID end"));
}

TEST_F(Controller, CopyIdOfAJobWithoutSettingsGivesDefaults) {
    GUID copy = GUID_NULL;
    ASSERT_EQ(controller.CopyID(NewGuid(), &copy), S_OK);
    EXPECT_THAT(ItemValues(copy), ElementsAre(GuidText(copy), "", "", "", "0", "1", "2"));
    EXPECT_THAT(log.Lines(), ElementsAre("1 CMeishiServiceCtrl::CopyID start", "3 bExsist == FALSE: error = 80070002",
                                         "1 CMeishiServiceCtrl::CopyID end"));
}

TEST_F(Controller, DeleteIdRemovesTheItemAndAcceptsUnknownJobs) {
    const GUID kept = StoredJob(L"kept");
    const GUID gone = StoredJob(L"gone");
    log.Clear();
    EXPECT_EQ(controller.DeleteID(gone), S_OK);
    EXPECT_EQ(controller.DeleteID(NewGuid()), S_OK);
    ASSERT_EQ(Items().size(), 1u);
    EXPECT_THAT(ItemValues(kept), Not(IsEmpty()));
    EXPECT_THAT(log.Failures(), IsEmpty());

    CMeishiDataStore::SetWriteLimitForTest(0);
    EXPECT_EQ(controller.DeleteID(kept), kDiskFull);
    CMeishiDataStore::SetWriteLimitForTest(MAXDWORD);
    EXPECT_THAT(ItemValues(kept), Not(IsEmpty()));
    EXPECT_THAT(log.Failures(), Contains("DeleteID RemoveItem: error = 80070070"));
}

TEST_F(Controller, SettingsDialogStoresItsValuesOnlyOnOk) {
    const GUID id = StoredJob(L"before@example.jp");
    const std::string before = ReadFileBytes(place.settingsFile);
    EXPECT_EQ(controller.ShowSettingDlg(id, nullptr), S_OK) << "Cancel is not a failure";
    EXPECT_EQ(dialogs.settingsShown, 1);
    EXPECT_FALSE(dialogs.shownInSendingMode);
    EXPECT_EQ(dialogs.shownItem.GetMailAddress(), L"before@example.jp");
    EXPECT_EQ(dialogs.shownItem.GetAppToken(), L"my-secret-token");
    EXPECT_EQ(ReadFileBytes(place.settingsFile), before);

    dialogs.answerOk = true;
    dialogs.typedMail = L"after@example.jp";
    dialogs.typedToken = L"new-token";
    dialogs.typedPairing = 0;
    EXPECT_EQ(controller.ShowSettingDlg(id, nullptr), S_OK);
    SettingItem read;
    ASSERT_EQ(controller.DataStore().GetItem(id, read), S_OK);
    EXPECT_EQ(read.GetMailAddress(), L"after@example.jp");
    EXPECT_EQ(read.GetAppToken(), L"new-token");
    EXPECT_EQ(read.GetEvenNumberImageToBackPage(), 0);
    EXPECT_EQ(read.GetOCRLangID(), 2) << "values the dialog did not touch stay";

    // A dialog that could not be shown is neither OK nor Cancel.
    const std::string stored = ReadFileBytes(place.settingsFile);
    dialogs.notShown = static_cast<HRESULT>(0x80070716);
    log.Clear();
    EXPECT_EQ(controller.ShowSettingDlg(id, nullptr), dialogs.notShown);
    EXPECT_EQ(ReadFileBytes(place.settingsFile), stored);
    EXPECT_THAT(log.Failures(), ElementsAre("ShowSettingDlg CMeishiServiceSettingDlg: error = 80070716"));
}

TEST_F(Controller, SettingsDialogOfAnUnknownJobFailsWithoutShowingIt) {
    log.Clear();
    EXPECT_EQ(controller.ShowSettingDlg(NewGuid(), nullptr), kNoSuchJob);
    EXPECT_EQ(dialogs.settingsShown, 0);
    EXPECT_THAT(log.Lines(), ElementsAre("1 CMeishiServiceCtrl::ShowSettingDlg start",
                                         "3 bExsist == FALSE: error = 80070002",
                                         "3 ShowSettingDlg GetItem: error = 80070002"));
}

}  // namespace
