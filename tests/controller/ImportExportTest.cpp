// Export and import of the settings file: copies to and from the host's
// folder, the backup during an import, and refusing a source that is not a
// settings document.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "common/ReplaceFileRecorder.h"
#include "common/SettingsPlaces.h"
#include "common/XmlCheck.h"
#include "controller/ImportExport.h"
#include "controller/MeishiServiceCtrl.h"

using namespace tessaran;
using namespace tessaran_test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr HRESULT kNoSuchFile = static_cast<HRESULT>(0x80070002);
constexpr HRESULT kNotSettings = static_cast<HRESULT>(0x8007000D);
constexpr HRESULT kFileTooLarge = static_cast<HRESULT>(0x800700DF);

const std::string kImported =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<PluginItem>"
    "<Item><Guid>{0A1B2C3D-0000-4000-8000-00000000000A}</Guid>"
    "<MailAddress>imported@example.jp</MailAddress><Username/><AppToken/><EvenNumberImageToBackPage>0"
    "</EvenNumberImageToBackPage><OCRLangID>1</OCRLangID><OCRLangBackID>2</OCRLangBackID></Item></PluginItem>\r\n";

class Transfer : public ::testing::Test {
protected:
    void SetUp() override {
        controller.DataStore().SetCsidl(CSIDL_LOCAL_APPDATA);
        ASSERT_TRUE(log.Loaded());
    }
    // A settings file with one job.
    std::string MakeCurrentSettings() {
        GUID id;
        EXPECT_EQ(controller.CreateID(&id), S_OK);
        log.Clear();
        return ReadFileBytes(place.settingsFile);
    }

    StoreLocation place;
    ScratchDir folder{L"xfer"};
    LogCapture log;
    CMeishiServiceCtrl controller;
};

// An earlier export is replaced in place, so that it keeps its access rights
// and attributes on Windows (see ReplaceFileRecorder for what Wine shows).
TEST_F(Transfer, ExportReplacesAnEarlierExportWithOrWithoutATrailingBackslash) {
    const std::string current = MakeCurrentSettings();
    const std::wstring exported = folder / L"MeishiPluginSettings.XML";
    WriteFileBytes(exported, "an older export");
    ReplaceFileRecorder recorder;
    ASSERT_TRUE(recorder.Installed());
    EXPECT_EQ(controller.ExportData(folder.path().c_str()), S_OK);
    EXPECT_EQ(ReadFileBytes(exported), current);
    ASSERT_EQ(recorder.Calls().size(), 1u);
    EXPECT_EQ(::_wcsicmp(recorder.Calls()[0].replaced.c_str(), exported.c_str()), 0);
    ::DeleteFileW(exported.c_str());
    recorder.Clear();
    EXPECT_EQ(controller.ExportData((folder.path() + L"\\").c_str()), S_OK);
    EXPECT_EQ(ReadFileBytes(exported), current);
    EXPECT_THAT(recorder.Calls(), IsEmpty());
    EXPECT_THAT(log.Lines(), ElementsAre("1 CMeishiServiceCtrl::ExportData start",
                                         "1 CMeishiServiceCtrl::ExportData end",
                                         "1 CMeishiServiceCtrl::ExportData start",
                                         "1 CMeishiServiceCtrl::ExportData end"));
}

// Names in the folder, to see that an export leaves nothing else behind.
std::vector<std::wstring> FolderNames(const std::wstring& path) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return names;
}

TEST_F(Transfer, AFailedExportKeepsTheEarlierExportWhole) {
    const std::wstring exported = folder / L"MeishiPluginSettings.XML";
    WriteFileBytes(exported, "an older export");
    // No settings file yet: nothing to copy.
    EXPECT_EQ(controller.ExportData(folder.path().c_str()), kNoSuchFile);
    EXPECT_EQ(ReadFileBytes(exported), "an older export");
    EXPECT_THAT(FolderNames(folder.path()), ElementsAre(L"MeishiPluginSettings.XML"));
    // Settings that cannot be read would make an export that no import takes.
    ::CreateDirectoryW(place.maker.c_str(), nullptr);
    ::CreateDirectoryW(place.product.c_str(), nullptr);
    WriteFileBytes(place.settingsFile, "<PluginItem><Item>");
    EXPECT_EQ(controller.ExportData(folder.path().c_str()), kNotSettings);
    EXPECT_EQ(ReadFileBytes(exported), "an older export");
    EXPECT_THAT(FolderNames(folder.path()), ElementsAre(L"MeishiPluginSettings.XML"));
    EXPECT_THAT(log.Failures(), ElementsAre("ExportData CopyFile: error = 80070002",
                                            "ExportData check copy: error = 8007000D"));
    ::DeleteFileW(place.settingsFile.c_str());

    const std::string current = MakeCurrentSettings();
    EXPECT_EQ(controller.ExportData(folder.path().c_str()), S_OK);
    EXPECT_EQ(ReadFileBytes(exported), current);
    EXPECT_THAT(FolderNames(folder.path()), ElementsAre(L"MeishiPluginSettings.XML"));

    // A folder of the export's name stays a folder, with nothing beside it.
    ScratchDir other{L"xfer2"};
    ASSERT_TRUE(::CreateDirectoryW((other / L"MeishiPluginSettings.XML").c_str(), nullptr));
    EXPECT_EQ(controller.ExportData(other.path().c_str()), static_cast<HRESULT>(0x800700B7));
    EXPECT_TRUE(::GetFileAttributesW((other / L"MeishiPluginSettings.XML").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_THAT(FolderNames(other.path()), ElementsAre(L"MeishiPluginSettings.XML"));
}

TEST_F(Transfer, ImportReplacesTheSettingsAndRemovesItsBackup) {
    MakeCurrentSettings();
    WriteFileBytes(folder / L"MeishiPluginSettings.XML", kImported);
    ReplaceFileRecorder recorder;
    EXPECT_EQ(controller.ImportData((folder.path() + L"\\").c_str()), S_OK);
    EXPECT_EQ(ReadFileBytes(place.settingsFile), kImported);
    ASSERT_EQ(recorder.Calls().size(), 1u) << "the settings file is replaced in place";
    EXPECT_EQ(::_wcsicmp(recorder.Calls()[0].replaced.c_str(), place.settingsFile.c_str()), 0);
    EXPECT_TRUE(FileExists(place.backupFolder)) << "the backup was made in the maker's Brankel folder";
    EXPECT_FALSE(FileExists(place.backupFile));
    EXPECT_THAT(place.StrayFiles(), IsEmpty());
    EXPECT_THAT(log.Lines(),
                ElementsAre("1 CMeishiServiceCtrl::ImportData start", "1 CMeishiServiceCtrl::ImportData end"));

    SettingItem read;
    const GUID imported = {0x0A1B2C3D, 0, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x0A}};
    ASSERT_EQ(controller.DataStore().GetItem(imported, read), S_OK);
    EXPECT_EQ(read.GetMailAddress(), L"imported@example.jp");
}

TEST_F(Transfer, ImportWithoutCurrentSettingsMakesNoBackup) {
    WriteFileBytes(folder / L"MeishiPluginSettings.XML", kImported);
    EXPECT_EQ(controller.ImportData(folder.path().c_str()), S_OK);
    EXPECT_EQ(ReadFileBytes(place.settingsFile), kImported);
    EXPECT_FALSE(FileExists(place.backupFolder));
    EXPECT_THAT(log.Failures(), IsEmpty());
}

TEST_F(Transfer, ImportFromAFolderWithoutTheFileKeepsTheCurrentSettings) {
    const std::string current = MakeCurrentSettings();
    EXPECT_EQ(controller.ImportData(folder.path().c_str()), kNoSuchFile);
    EXPECT_EQ(ReadFileBytes(place.settingsFile), current);
    EXPECT_FALSE(FileExists(place.backupFile));
    EXPECT_THAT(place.StrayFiles(), IsEmpty());
    EXPECT_THAT(log.Lines(),
                ElementsAre("1 CMeishiServiceCtrl::ImportData start", "3 ImportData CopyFile: error = 80070002"));
}

// Whatever an import copies in becomes the settings of every job, so a file
// that is not a settings document is refused before it replaces anything.
TEST_F(Transfer, ImportRefusesASourceThatIsNotASettingsDocument) {
    const std::string current = MakeCurrentSettings();
    // A document type is refused whatever it declares and wherever it comes
    // in the prolog: entities that stand for the mail address, or 100,000
    // characters used 20,000 times that no later job operation gets through.
    const std::string hugeEntity = "<!DOCTYPE PluginItem [<!ENTITY big \"" + std::string(100000, 'x') + "\">]>";
    std::string hugeUses;
    for (int i = 0; i < 20000; ++i) hugeUses += "&big;";
    const std::wstring utf16 = L"\xFEFF<!DOCTYPE PluginItem><PluginItem/>";
    const std::string sources[] = {
        "", "not XML <", "<?xml version=\"1.0\"?><PluginItem><Item>", "<Other></Other>",
        "<?xml version=\"1.0\"?>\r\n<pluginitem/>",
        "<?xml version=\"1.0\"?>\r\n<!--a-->\r\n<?b c?>\r\n<!DOCTYPE PluginItem [<!ENTITY mail \"e@example.jp\">]>\r\n"
        "<PluginItem><Item><Guid>{0A1B2C3D-0000-4000-8000-00000000000A}</Guid><MailAddress>&mail;</MailAddress>"
        "<Username/><AppToken/><EvenNumberImageToBackPage>0</EvenNumberImageToBackPage><OCRLangID>1</OCRLangID>"
        "<OCRLangBackID>2</OCRLangBackID></Item></PluginItem>",
        hugeEntity + "<PluginItem><Item><Guid>{0A1B2C3D-0000-4000-8000-00000000000A}</Guid><MailAddress>" + hugeUses +
            "</MailAddress></Item></PluginItem>",
        "<!DOCTYPE PluginItem SYSTEM \"file:///C:/windows/win.ini\"><PluginItem/>",
        std::string(reinterpret_cast<const char*>(utf16.data()), utf16.size() * sizeof(wchar_t)),
        // Characters no settings file can hold, however they are written.
        "<PluginItem><Item><Guid/><MailAddress>a\xEF\xBF\xBF@b</MailAddress></Item></PluginItem>",
        "<PluginItem><Item><Guid/><MailAddress>a&#x1B;@b</MailAddress></Item></PluginItem>"};
    for (const std::string& source : sources) {
        WriteFileBytes(folder / L"MeishiPluginSettings.XML", source);
        const std::string shown = source.substr(0, 200);
        EXPECT_EQ(controller.ImportData(folder.path().c_str()), kNotSettings) << shown;
        EXPECT_EQ(ReadFileBytes(place.settingsFile), current) << shown;
        EXPECT_FALSE(FileExists(place.backupFile)) << shown;
        EXPECT_THAT(place.StrayFiles(), IsEmpty()) << shown;
        EXPECT_THAT(log.Failures(), ElementsAre("ImportData check source: error = 8007000D")) << shown;
        log.Clear();
    }
    // Too large to be read: refused before it is even copied.
    WriteFileBytes(folder / L"MeishiPluginSettings.XML",
                   kImported + std::string(CMeishiDataStore::kMaxFileBytes - kImported.size() + 1, ' '));
    EXPECT_EQ(controller.ImportData(folder.path().c_str()), kFileTooLarge);
    EXPECT_EQ(ReadFileBytes(place.settingsFile), current);
    EXPECT_THAT(log.Failures(), ElementsAre("ImportData check source: error = 800700DF"));
    GUID id;
    EXPECT_EQ(controller.CreateID(&id), S_OK) << "the settings still work";
}

// The way out of settings that cannot be read is the import of a good file
// (an earlier export); the unreadable file is kept beside under a dated
// name, so that nothing is lost that might still be repaired by hand.
TEST_F(Transfer, ImportOverUnreadableSettingsKeepsThemUnderADatedName) {
    MakeCurrentSettings();
    WriteFileBytes(place.settingsFile, "<PluginItem><Item>");
    WriteFileBytes(folder / L"MeishiPluginSettings.XML", kImported);
    EXPECT_EQ(controller.ImportData(folder.path().c_str()), S_OK);
    EXPECT_EQ(ReadFileBytes(place.settingsFile), kImported);
    const std::vector<std::wstring> kept = place.StrayFiles();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_TRUE(std::regex_match(ToUtf8(kept[0]), std::regex(R"(MeishiPluginSettings\.unreadable-\d{8}-\d{6}\.XML)")))
        << ToUtf8(kept[0]);
    EXPECT_EQ(ReadFileBytes(place.product + L"\\" + kept[0]), "<PluginItem><Item>");
    EXPECT_THAT(log.Failures(), IsEmpty());
}

// What comes before the document element of an imported file stays, and the
// job operations go on saving the file whole.
TEST_F(Transfer, AnImportedFileWithCommentsBeforeItsRootCanBeSavedAgain) {
    WriteFileBytes(folder / L"MeishiPluginSettings.XML",
                   "<!-- exported by hand -->\r\n<?app x?>\r\n" + kImported.substr(kImported.find("<PluginItem>")));
    ASSERT_EQ(controller.ImportData(folder.path().c_str()), S_OK);
    const GUID imported = {0x0A1B2C3D, 0, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x0A}};
    GUID created;
    GUID copied;
    ASSERT_EQ(controller.CreateID(&created), S_OK);
    ASSERT_EQ(controller.CopyID(imported, &copied), S_OK);
    ASSERT_EQ(controller.DeleteID(imported), S_OK);
    const XmlDocument settings = ParseXml(ReadFileBytes(place.settingsFile));
    ASSERT_TRUE(settings.ok) << settings.error;
    EXPECT_THAT(settings.prolog, ElementsAre("<!-- exported by hand -->", "<?app x?>"));
    ASSERT_EQ(settings.root.children.size(), 2u);
    EXPECT_EQ(settings.root.children[1].Child("MailAddress")->text, "imported@example.jp");
}

// Exports kept on read-only media or marked read-only by the user: the copy
// must not carry the attribute into the settings, where every later save
// would be refused, nor stay behind when it is refused itself. (Wine's
// CopyFile does not carry the attribute onto an existing file, as Windows'
// does, so under Wine this passes either way; it guards the Windows case.)
TEST_F(Transfer, AReadOnlySourceLeavesSettingsThatCanStillBeSaved) {
    MakeCurrentSettings();
    const std::wstring source = folder / L"MeishiPluginSettings.XML";
    WriteFileBytes(source, kImported);
    ASSERT_TRUE(::SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(controller.ImportData(folder.path().c_str()), S_OK);
    EXPECT_EQ(ReadFileBytes(place.settingsFile), kImported);
    EXPECT_EQ(::GetFileAttributesW(place.settingsFile.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    GUID id;
    EXPECT_EQ(controller.CreateID(&id), S_OK);
    EXPECT_THAT(place.StrayFiles(), IsEmpty());

    ::SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_NORMAL);
    WriteFileBytes(source, "not XML <");
    ASSERT_TRUE(::SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(controller.ImportData(folder.path().c_str()), kNotSettings);
    EXPECT_THAT(place.StrayFiles(), IsEmpty());
    ::SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Transfer, FolderPathsThatCannotFormAFilePathAreRefused) {
    const std::string current = MakeCurrentSettings();
    const std::wstring tooLong = L"C:\\" + std::wstring(250, L'x');
    EXPECT_EQ(controller.ImportData(tooLong.c_str()), E_INVALIDARG);
    EXPECT_EQ(controller.ExportData(tooLong.c_str()), E_INVALIDARG);
    // An empty folder would name the root of the current drive.
    EXPECT_EQ(controller.ImportData(L""), E_INVALIDARG);
    EXPECT_EQ(controller.ExportData(L""), E_INVALIDARG);
    EXPECT_EQ(ReadFileBytes(place.settingsFile), current);
    EXPECT_THAT(log.Failures(), ElementsAre("ImportData path: error = 80070057", "ExportData path: error = 80070057",
                                            "ImportData path: error = 80070057", "ExportData path: error = 80070057"));
}

// A path is read up to its terminator and no further: here the terminator is
// the last character before memory that cannot be read.
TEST_F(Transfer, TheCopyReadsNoFurtherThanTheEndOfItsPath) {
    const std::string current = MakeCurrentSettings();
    SYSTEM_INFO system;
    ::GetSystemInfo(&system);
    const size_t page = system.dwPageSize;
    struct Pages {
        BYTE* base;
        ~Pages() { ::VirtualFree(base, 0, MEM_RELEASE); }
    } pages{static_cast<BYTE*>(::VirtualAlloc(nullptr, 2 * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))};
    ASSERT_NE(pages.base, nullptr);
    DWORD previous = 0;
    ASSERT_TRUE(::VirtualProtect(pages.base + page, page, PAGE_NOACCESS, &previous));
    const std::wstring destination = folder / L"MeishiPluginSettings.XML";
    const size_t bytes = (destination.size() + 1) * sizeof(wchar_t);
    auto* to = reinterpret_cast<wchar_t*>(pages.base + page - bytes);
    ::wmemcpy(to, destination.c_str(), destination.size() + 1);

    bool checkFailed = true;
    EXPECT_EQ(ReplaceWithCopy(place.settingsFile.c_str(), to, nullptr, checkFailed), S_OK);
    EXPECT_FALSE(checkFailed);
    EXPECT_EQ(ReadFileBytes(destination), current);
}

}  // namespace
