// The settings file as the store writes and reads it, checked with a reader
// of the tests' own rather than the XML engine that wrote it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "common/ReplaceFileRecorder.h"
#include "common/SettingsPlaces.h"
#include "common/XmlCheck.h"
#include "settings/MeishiDataStore.h"

using namespace tessaran;
using namespace tessaran_test;
using ::testing::AllOf;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

namespace {

constexpr HRESULT kNoSuchJob = static_cast<HRESULT>(0x80070002);
constexpr HRESULT kTooLong = static_cast<HRESULT>(0x8007007A);
constexpr HRESULT kDiskFull = static_cast<HRESULT>(0x80070070);
constexpr HRESULT kInvalidData = static_cast<HRESULT>(0x8007000D);
constexpr HRESULT kFileTooLarge = static_cast<HRESULT>(0x800700DF);

const std::vector<std::string> kFields = {"Guid",      "MailAddress", "Username",     "AppToken",
                                          "EvenNumberImageToBackPage", "OCRLangID", "OCRLangBackID"};

GUID NewGuid() {
    GUID guid;
    ::CoCreateGuid(&guid);
    return guid;
}

std::string GuidText(const GUID& guid) { return ToUtf8(CSMRGuid(guid).ToString()); }

std::string ToLower(std::string text) {
    for (char& c : text) c = static_cast<char>(::tolower(static_cast<unsigned char>(c)));
    return text;
}

SettingItem MakeItem(const GUID& guid, const std::wstring& mail, const std::wstring& token = L"") {
    SettingItem item;
    item.SetGuid(guid);
    item.SetMailAddress(mail);
    item.SetAppToken(token);
    return item;
}

// One <Item> as another program might have written it.
std::string ItemXml(const std::string& guid, const std::string& mail, const std::string& ocr = "1",
                    const std::string& token = "") {
    return "<Item><Guid>" + guid + "</Guid><MailAddress>" + mail + "</MailAddress><Username></Username><AppToken>" +
           token + "</AppToken><EvenNumberImageToBackPage>0</EvenNumberImageToBackPage><OCRLangID>" + ocr +
           "</OCRLangID><OCRLangBackID>2</OCRLangBackID></Item>";
}

class Store : public ::testing::Test {
protected:
    void SetUp() override { store.SetCsidl(CSIDL_LOCAL_APPDATA); }
    void TearDown() override { CMeishiDataStore::SetWriteLimitForTest(MAXDWORD); }

    XmlDocument Settings() const {
        XmlDocument document = ParseXml(ReadFileBytes(place.settingsFile));
        EXPECT_TRUE(document.ok) << document.error;
        return document;
    }
    // The mail addresses of the items in file order.
    std::vector<std::string> Mails() const {
        std::vector<std::string> mails;
        for (const XmlNode& item : Settings().root.children) {
            const XmlNode* mail = item.Child("MailAddress");
            mails.push_back(mail ? mail->text : "<none>");
        }
        return mails;
    }
    void WriteSettings(const std::string& body) {
        WriteFile("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<PluginItem>\r\n" + body + "\r\n</PluginItem>\r\n");
    }
    void WriteFile(const std::string& bytes) {
        ::CreateDirectoryW(place.maker.c_str(), nullptr);
        ::CreateDirectoryW(place.product.c_str(), nullptr);
        WriteFileBytes(place.settingsFile, bytes);
    }

    StoreLocation place;
    CMeishiDataStore store;
};

TEST_F(Store, FirstUseMakesBothFoldersAndAFileWithoutJobsThatIsNeverMadeAgain) {
    ASSERT_FALSE(FileExists(place.product));
    wchar_t path[MAX_PATH];
    ASSERT_EQ(store.GetSettingsFilePath(path), S_OK);
    EXPECT_EQ(::_wcsicmp(path, place.settingsFile.c_str()), 0) << ToUtf8(path);
    EXPECT_TRUE(FileExists(place.product));
    EXPECT_FALSE(FileExists(place.settingsFile)) << "the path alone makes no file";

    ASSERT_EQ(store.EnsureSettingsFile(path), S_OK);
    const XmlDocument document = Settings();
    EXPECT_EQ(document.declaration.at("version"), "1.0");
    EXPECT_EQ(ToLower(document.declaration.at("encoding")), "utf-8");
    EXPECT_EQ(document.root.name, "PluginItem");
    EXPECT_THAT(document.root.attributes, IsEmpty());
    EXPECT_THAT(document.root.children, IsEmpty());
    EXPECT_EQ(Trimmed(document.root.text), "");
    EXPECT_THAT(place.StrayFiles(), IsEmpty());

    // An existing file is never made anew, even when it is not XML.
    WriteFileBytes(place.settingsFile, "not XML at all <");
    EXPECT_EQ(store.EnsureSettingsFile(path), S_OK);
    EXPECT_EQ(ReadFileBytes(place.settingsFile), "not XML at all <");

    LogCapture log;
    EXPECT_EQ(store.AddItem(MakeItem(NewGuid(), L"a@b")), E_FAIL);
    EXPECT_THAT(log.Failures(), ElementsAre("pXMLDOMDocument->load: error = 80004005"));
    EXPECT_EQ(ReadFileBytes(place.settingsFile), "not XML at all <");
}

TEST_F(Store, ItemsAreWrittenInTheFileFormatAndReadBack) {
    const GUID first = NewGuid();
    const GUID second = NewGuid();
    SettingItem a = MakeItem(first, L"taro@example.jp", L"my-secret-token");
    a.SetEvenNumberImageToBackPage(1);
    a.SetOCRLangID(2);
    a.SetOCRLangBackID(1);
    SettingItem b = MakeItem(second, L"山田 <x&y> \"q\"");
    b.SetUsername(L"user name");
    b.SetEvenNumberImageToBackPage(-7);
    b.SetOCRLangID(0);
    b.SetOCRLangBackID(2147483647);
    ASSERT_EQ(store.AddItem(a), S_OK);
    ASSERT_EQ(store.AddItem(b), S_OK);

    const XmlDocument document = Settings();
    ASSERT_EQ(document.root.name, "PluginItem");
    ASSERT_EQ(document.root.ChildNames(), (std::vector<std::string>{"Item", "Item"}));
    const std::regex registryForm(R"(\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\})");
    const std::vector<std::vector<std::string>> expected = {
        {GuidText(first), "taro@example.jp", "", "oQ1oVaW8yO0PuhkhJXzpTbl/sgobl++HG9FOjpWO", "1", "2", "1"},
        {GuidText(second), ToUtf8(L"山田 <x&y> \"q\""), "user name", "", "-7", "0", "2147483647"},
    };
    for (size_t i = 0; i < 2; ++i) {
        const XmlNode& item = document.root.children[i];
        EXPECT_EQ(item.ChildNames(), kFields);
        EXPECT_THAT(item.attributes, IsEmpty());
        for (size_t f = 0; f < kFields.size() && f < item.children.size(); ++f) {
            EXPECT_EQ(item.children[f].text, expected[i][f]) << kFields[f];
            EXPECT_THAT(item.children[f].children, IsEmpty());
        }
        EXPECT_TRUE(std::regex_match(item.children[0].text, registryForm)) << item.children[0].text;
    }

    SettingItem read;
    ASSERT_EQ(store.GetItem(first, read), S_OK);
    EXPECT_EQ(read.GetAppToken(), L"my-secret-token");
    EXPECT_EQ(read.GetMailAddress(), L"taro@example.jp");
    EXPECT_EQ(read.GetEvenNumberImageToBackPage(), 1);
    EXPECT_EQ(read.GetOCRLangID(), 2);
    EXPECT_EQ(read.GetOCRLangBackID(), 1);
    ASSERT_EQ(store.GetItem(second, read), S_OK);
    EXPECT_TRUE(IsEqualGUID(read.GetGuid().Get(), second));
    EXPECT_EQ(read.GetMailAddress(), L"山田 <x&y> \"q\"");
    EXPECT_EQ(read.GetUsername(), L"user name");
    EXPECT_EQ(read.GetAppToken(), L"");
    EXPECT_EQ(read.GetEvenNumberImageToBackPage(), -7);
    EXPECT_EQ(read.GetOCRLangBackID(), 2147483647);
}

TEST_F(Store, DuplicateIdsAlwaysMeanTheFirstItem) {
    const GUID id = NewGuid();
    ASSERT_EQ(store.AddItem(MakeItem(id, L"first")), S_OK);
    ASSERT_EQ(store.AddItem(MakeItem(NewGuid(), L"other")), S_OK);
    ASSERT_EQ(store.AddItem(MakeItem(id, L"second")), S_OK);
    EXPECT_THAT(Mails(), ElementsAre("first", "other", "second"));

    SettingItem read;
    ASSERT_EQ(store.GetItem(id, read), S_OK);
    EXPECT_EQ(read.GetMailAddress(), L"first");
    ASSERT_EQ(store.SetItem(id, MakeItem(id, L"changed")), S_OK);
    EXPECT_THAT(Mails(), ElementsAre("changed", "other", "second"));
    ASSERT_EQ(store.RemoveItem(id), S_OK);
    EXPECT_THAT(Mails(), ElementsAre("other", "second"));
    ASSERT_EQ(store.GetItem(id, read), S_OK);
    EXPECT_EQ(read.GetMailAddress(), L"second");
}

// Files that other programs wrote, or that came in by an import: whatever
// comes before the document element, and whatever encoding an earlier
// declaration named, the saved file begins with the declaration and is UTF-8.
TEST_F(Store, EverySaveBeginsWithItsOwnUtf8Declaration) {
    const GUID id = NewGuid();
    WriteFile("<!-- written by hand -->\r\n<?app x?>\r\n<PluginItem>" + ItemXml(GuidText(id), "first") +
              "</PluginItem>");
    ASSERT_EQ(store.AddItem(MakeItem(NewGuid(), L"second")), S_OK);
    XmlDocument document = Settings();
    EXPECT_EQ(ReadFileBytes(place.settingsFile).rfind("<?xml ", 0), 0u);
    EXPECT_THAT(document.prolog, ElementsAre("<!-- written by hand -->", "<?app x?>"));
    EXPECT_THAT(Mails(), ElementsAre("first", "second"));
    ASSERT_EQ(store.SetItem(id, MakeItem(id, L"changed")), S_OK);
    EXPECT_THAT(Mails(), ElementsAre("changed", "second"));

    // UTF-16 with its byte-order mark, declared so.
    const std::wstring utf16 = L"\xFEFF<?xml version=\"1.0\" encoding=\"UTF-16\"?><PluginItem>" +
                               FromUtf8(ItemXml(GuidText(id), "山田@example.jp")) + L"</PluginItem>";
    WriteFile(std::string(reinterpret_cast<const char*>(utf16.data()), utf16.size() * sizeof(wchar_t)));
    ASSERT_EQ(store.SetItem(id, MakeItem(id, L"変更@example.jp")), S_OK);
    document = Settings();
    EXPECT_EQ(ToLower(document.declaration["encoding"]), "utf-8");
    EXPECT_THAT(Mails(), ElementsAre(ToUtf8(L"変更@example.jp")));

    // A single-byte encoding, which the engine reads and must not write.
    // (Wine 8's engine reads no Shift_JIS; Latin-1 stands in for it.)
    WriteFile("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><PluginItem>" +
              ItemXml(GuidText(id), "caf\xE9@example.jp") + "</PluginItem>");
    SettingItem read;
    ASSERT_EQ(store.GetItem(id, read), S_OK);
    EXPECT_EQ(read.GetMailAddress(), L"caf\xE9@example.jp");
    ASSERT_EQ(store.AddItem(MakeItem(NewGuid(), L"二番")), S_OK);
    document = Settings();
    EXPECT_EQ(ToLower(document.declaration["encoding"]), "utf-8");
    EXPECT_THAT(Mails(), ElementsAre(ToUtf8(L"caf\xE9@example.jp"), ToUtf8(L"二番")));
}

// A document type may define entities of any size, or fetch them from
// elsewhere, and give them as the account's mail address; the engine takes
// time quadratic in an element's attributes; and another document element is
// another kind of file, whose jobs no reader would find. None of them is
// read, nor read as a file without jobs, nor saved over.
TEST_F(Store, MarkupNoSettingsFileHasIsRefusedAndTheFileKeptAsItIs) {
    const GUID id = NewGuid();
    std::string attributes;
    for (int i = 0; i < 257; ++i) attributes += " a" + std::to_string(i) + "='1'";
    const struct {
        std::string file;
        const char* failure;
    } refused[] = {
        {"<?xml version=\"1.0\"?>\r\n<!-- c -->\r\n<!DOCTYPE PluginItem [<!ENTITY mail \"entity@example.jp\">]>"
         "\r\n<PluginItem>" + ItemXml(GuidText(id), "&mail;") + "</PluginItem>",
         "pXMLDOMDocument->load: error = 8007000D"},
        {"<PluginItem>" + ItemXml(GuidText(id), "m").replace(0, 5, "<Item" + attributes) + "</PluginItem>",
         "pXMLDOMDocument->load: error = 8007000D"},
        {"<Settings>" + ItemXml(GuidText(id), "m") + "</Settings>", "pXMLDOMDocument->GetdocumentElemen: error = 8007000D"},
    };
    for (const auto& file : refused) {
        WriteFile(file.file);
        LogCapture log;
        SettingItem read;
        EXPECT_EQ(store.GetItem(id, read), kInvalidData) << file.failure;
        EXPECT_EQ(read.GetMailAddress(), L"");
        EXPECT_EQ(store.AddItem(MakeItem(NewGuid(), L"m")), kInvalidData);
        EXPECT_EQ(ReadFileBytes(place.settingsFile), file.file);
        EXPECT_THAT(log.Failures(), ElementsAre(file.failure, file.failure));
    }
    // As many attributes as an element may have.
    WriteFile("<PluginItem>" + ItemXml(GuidText(id), "m").replace(0, 5, "<Item" + attributes.substr(0, attributes.rfind(' '))) +
              "</PluginItem>");
    SettingItem read;
    EXPECT_EQ(store.GetItem(id, read), S_OK);
}

// The engine writes U+FFFF so that the file no longer loads, drops control
// characters and puts U+FFFD for half a surrogate pair: a save is read back
// before it replaces the file, and one that does not read back as written
// leaves the settings as they were.
TEST_F(Store, ASaveThatDoesNotReadBackLeavesTheFileByteForByte) {
    const GUID id = NewGuid();
    const GUID other = NewGuid();
    ASSERT_EQ(store.AddItem(MakeItem(id, L"a@example.jp", L"my-secret-token")), S_OK);
    ASSERT_EQ(store.AddItem(MakeItem(other, L"b@example.jp")), S_OK);
    const std::string before = ReadFileBytes(place.settingsFile);
    LogCapture log;
    for (const wchar_t* text : {L"x\xFFFF@example.jp", L"x\x01@example.jp", L"x\xD800@example.jp"}) {
        EXPECT_EQ(store.SetItem(id, MakeItem(id, text)), kInvalidData) << ToUtf8(text);
        SettingItem added = MakeItem(NewGuid(), L"c@example.jp");
        added.SetUsername(text);
        EXPECT_EQ(store.AddItem(added), kInvalidData) << ToUtf8(text);
    }
    EXPECT_EQ(ReadFileBytes(place.settingsFile), before);
    EXPECT_THAT(place.StrayFiles(), IsEmpty());
    EXPECT_THAT(log.Failures(), AllOf(SizeIs(6), Each(std::string("Save check: error = 8007000D"))));
    SettingItem read;
    ASSERT_EQ(store.GetItem(other, read), S_OK);
    EXPECT_EQ(read.GetMailAddress(), L"b@example.jp");
    // The engine reads a text without the white space around it, in memory
    // as from the file: such a save reads back as the document it wrote.
    EXPECT_EQ(store.SetItem(id, MakeItem(id, L" spaced@example.jp ")), S_OK);
}

// Larger files are refused unread, and no save makes a file that later
// operations would refuse.
TEST_F(Store, NoFileLargerThanTheLimitIsReadOrWritten) {
    const GUID id = NewGuid();
    std::string item = ItemXml(GuidText(id), "m");
    const size_t frame = std::string("<PluginItem></PluginItem>").size() + item.size();
    item.insert(item.find("</Username>"), CMeishiDataStore::kMaxFileBytes - frame, 'u');
    const std::string atLimit = "<PluginItem>" + item + "</PluginItem>";
    WriteFile(atLimit);
    SettingItem read;
    ASSERT_EQ(store.GetItem(id, read), S_OK);
    LogCapture log;
    EXPECT_EQ(store.AddItem(MakeItem(NewGuid(), L"one more")), kFileTooLarge);
    EXPECT_EQ(ReadFileBytes(place.settingsFile), atLimit);

    WriteFile(atLimit + " ");
    EXPECT_EQ(store.GetItem(id, read), kFileTooLarge);
    EXPECT_EQ(store.RemoveItem(id), kFileTooLarge);
    EXPECT_EQ(ReadFileBytes(place.settingsFile), atLimit + " ");
    EXPECT_THAT(place.StrayFiles(), IsEmpty());
    EXPECT_THAT(log.Failures(), ElementsAre("Save check: error = 800700DF", "pXMLDOMDocument->load: error = 800700DF",
                                            "pXMLDOMDocument->load: error = 800700DF"));
}

// A save that was killed leaves its temporary copy, a whole copy of the
// settings with the token; no other writer is at work while the lock is held.
TEST_F(Store, CopiesThatAKilledSaveLeftGoWhenTheLockIsNextTaken) {
    const GUID id = NewGuid();
    ASSERT_EQ(store.AddItem(MakeItem(id, L"m", L"my-secret-token")), S_OK);
    const std::string copy = ReadFileBytes(place.settingsFile);
    WriteFileBytes(place.product + L"\\~MS1A2B.tmp", copy);
    WriteFileBytes(place.product + L"\\~msC3.TMP", copy);
    WriteFileBytes(place.product + L"\\~MSnotes.txt", "not ours");
    SettingItem read;
    ASSERT_EQ(store.GetItem(id, read), S_OK);
    EXPECT_THAT(place.StrayFiles(), ElementsAre(L"~MSnotes.txt"));
}

// Another program that keeps the file open to write (sharing it) does not
// keep the plug-in from reading it.
TEST_F(Store, AFileAnotherProgramHoldsOpenIsStillRead) {
    const GUID id = NewGuid();
    ASSERT_EQ(store.AddItem(MakeItem(id, L"held@example.jp")), S_OK);
    UniqueFile held(::CreateFileW(place.settingsFile.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    SettingItem read;
    ASSERT_EQ(store.GetItem(id, read), S_OK);
    EXPECT_EQ(read.GetMailAddress(), L"held@example.jp");
}

// The file a save replaces keeps its access rights and attributes, which
// Windows carries over only through ReplaceFileW; see ReplaceFileRecorder for
// what Wine can show of it.
TEST_F(Store, AnExistingFileIsReplacedInPlaceAndANewOneMovedThere) {
    ReplaceFileRecorder recorder;
    ASSERT_TRUE(recorder.Installed());
    wchar_t path[MAX_PATH];
    ASSERT_EQ(store.GetSettingsFilePath(path), S_OK);
    ASSERT_EQ(store.EnsureSettingsFile(path), S_OK);
    EXPECT_THAT(recorder.Calls(), IsEmpty()) << "a new file has nothing to keep";
    const GUID id = NewGuid();
    ASSERT_EQ(store.AddItem(MakeItem(id, L"second")), S_OK);
    ASSERT_EQ(recorder.Calls().size(), 1u);
    const ReplaceFileRecorder::Call call = recorder.Calls()[0];
    EXPECT_EQ(::_wcsicmp(call.replaced.c_str(), place.settingsFile.c_str()), 0) << ToUtf8(call.replaced);
    EXPECT_EQ(::_wcsnicmp(call.replacement.c_str(), (place.product + L"\\~MS").c_str(), place.product.size() + 4), 0)
        << ToUtf8(call.replacement);
    EXPECT_FALSE(call.backup);
    EXPECT_THAT(Mails(), ElementsAre("second"));

    // The old file went but the copy could not take its name: the copy is
    // moved there, and nothing is lost or left behind.
    recorder.FailNext(ERROR_UNABLE_TO_MOVE_REPLACEMENT);
    ASSERT_EQ(store.SetItem(id, MakeItem(id, L"third")), S_OK);
    EXPECT_THAT(Mails(), ElementsAre("third"));
    EXPECT_THAT(place.StrayFiles(), IsEmpty());
}

TEST_F(Store, OnlyTheExactRegistryFormMatches) {
    const GUID lower = NewGuid();
    const GUID braceless = NewGuid();
    const std::string bracelessText = GuidText(braceless).substr(1, 36);
    WriteSettings("  " + ItemXml(ToLower(GuidText(lower)), "lower") + "\r\n  " + ItemXml(bracelessText, "braceless"));
    const std::string before = ReadFileBytes(place.settingsFile);

    LogCapture log;
    SettingItem read = MakeItem(GUID_NULL, L"untouched");
    EXPECT_EQ(store.GetItem(lower, read), kNoSuchJob);
    EXPECT_EQ(read.GetMailAddress(), L"untouched");
    EXPECT_EQ(store.SetItem(braceless, MakeItem(braceless, L"x")), kNoSuchJob);
    EXPECT_THAT(log.Failures(), ElementsAre("bExsist == FALSE: error = 80070002",
                                            "bExsist == FALSE: error = 80070002"));
    EXPECT_EQ(ReadFileBytes(place.settingsFile), before) << "a failed SetItem saved";

    // Removing an unknown job succeeds and still rewrites the file.
    EXPECT_EQ(store.RemoveItem(lower), S_OK);
    EXPECT_NE(ReadFileBytes(place.settingsFile), before);
    EXPECT_THAT(Mails(), ElementsAre("lower", "braceless"));
}

TEST_F(Store, ItemsWithoutTheirElementsFailTheOperationWithoutChangingTheFile) {
    const GUID id = NewGuid();
    const std::string broken = "<Item><MailAddress>broken</MailAddress></Item>";
    // A child without Guid ends the search when it comes before the match.
    WriteSettings(broken + ItemXml(GuidText(id), "wanted"));
    const std::string before = ReadFileBytes(place.settingsFile);
    LogCapture log;
    SettingItem read;
    EXPECT_EQ(store.GetItem(id, read), E_POINTER);
    EXPECT_EQ(store.SetItem(id, MakeItem(id, L"x")), E_POINTER);
    EXPECT_EQ(store.RemoveItem(id), E_POINTER);
    // A job added behind it could never be found again.
    EXPECT_EQ(store.AddItem(MakeItem(NewGuid(), L"new")), E_POINTER);
    EXPECT_EQ(ReadFileBytes(place.settingsFile), before);
    EXPECT_THAT(log.Failures(), IsEmpty());

    WriteSettings(ItemXml(GuidText(id), "wanted") + broken);
    EXPECT_EQ(store.GetItem(id, read), S_OK);
    EXPECT_EQ(read.GetMailAddress(), L"wanted");
    EXPECT_EQ(store.SetItem(id, MakeItem(id, L"changed")), S_OK);
    EXPECT_THAT(Mails(), ElementsAre("changed", "broken"));
    EXPECT_EQ(store.RemoveItem(id), S_OK);
    EXPECT_THAT(Mails(), ElementsAre("broken"));

    // The matching item itself without one of its elements.
    WriteSettings("<Item><Guid>" + GuidText(id) + "</Guid><MailAddress>m</MailAddress><Username/><AppToken/>"
                  "<EvenNumberImageToBackPage>1</EvenNumberImageToBackPage><OCRLangID>2</OCRLangID></Item>");
    const std::string incomplete = ReadFileBytes(place.settingsFile);
    read = MakeItem(GUID_NULL, L"untouched");
    EXPECT_EQ(store.GetItem(id, read), E_POINTER);
    EXPECT_EQ(read.GetMailAddress(), L"untouched") << "the caller's item changes only when every field was read";
    EXPECT_EQ(store.SetItem(id, MakeItem(id, L"x")), E_POINTER);
    EXPECT_EQ(ReadFileBytes(place.settingsFile), incomplete);
}

TEST_F(Store, SetItemChangesTheValuesOfTheNamedJobButNeverItsGuid) {
    const GUID id = NewGuid();
    const GUID other = NewGuid();
    ASSERT_EQ(store.AddItem(MakeItem(id, L"before", L"old-token")), S_OK);
    SettingItem changed = MakeItem(other, L"after", L"");
    changed.SetUsername(L"u");
    changed.SetEvenNumberImageToBackPage(1);
    changed.SetOCRLangID(2);
    changed.SetOCRLangBackID(1);
    ASSERT_EQ(store.SetItem(id, changed), S_OK);

    const XmlDocument document = Settings();
    ASSERT_EQ(document.root.children.size(), 1u);
    const XmlNode& item = document.root.children[0];
    EXPECT_EQ(item.ChildNames(), kFields);
    EXPECT_EQ(item.Child("Guid")->text, GuidText(id));
    EXPECT_EQ(item.Child("MailAddress")->text, "after");
    EXPECT_EQ(item.Child("AppToken")->text, "") << "an empty token is an empty element";
    EXPECT_EQ(item.Child("EvenNumberImageToBackPage")->text, "1");
    SettingItem read;
    EXPECT_EQ(store.GetItem(other, read), kNoSuchJob);
}

// Comments and processing instructions hold no job: someone editing the file
// may put them anywhere.
TEST_F(Store, NumbersAreReadLikeWtoiAndIndentationAndCommentsAreIgnored) {
    const GUID id = NewGuid();
    WriteSettings("  <!-- jobs -->\r\n  <?app x?>\r\n  <Item>\r\n    <Guid>" + GuidText(id) +
                  "</Guid>\r\n    <MailAddress>m</MailAddress>\r\n    <Username>u</Username>\r\n"
                  "    <AppToken></AppToken>\r\n    <EvenNumberImageToBackPage> -3abc</EvenNumberImageToBackPage>\r\n"
                  "    <OCRLangID>Japanese</OCRLangID>\r\n    <OCRLangBackID> 2x</OCRLangBackID>\r\n  </Item>");
    SettingItem read;
    ASSERT_EQ(store.GetItem(id, read), S_OK);
    EXPECT_EQ(read.GetEvenNumberImageToBackPage(), -3);
    EXPECT_EQ(read.GetOCRLangID(), 0);
    EXPECT_EQ(read.GetOCRLangBackID(), 2);
    EXPECT_EQ(read.GetUsername(), L"u");
}

TEST_F(Store, ATokenThatDoesNotDecipherIsUsedAsStored) {
    const GUID id = NewGuid();
    WriteSettings(ItemXml(GuidText(id), "m", "1", "typed in plain!"));
    LogCapture log;
    SettingItem read;
    ASSERT_EQ(store.GetItem(id, read), S_OK);
    EXPECT_EQ(read.GetAppToken(), L"typed in plain!");
    const std::vector<std::string> failures = log.Failures();
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0].rfind("CryptStringToBinary 1: error = 8", 0), 0u) << failures[0];
    EXPECT_EQ(failures[1].rfind("CSMRCrypto::DeCode hr = 8", 0), 0u) << failures[1];
}

TEST_F(Store, TokensWhoseTextsDoNotFitTheBuffersAreRefused) {
    const GUID id = NewGuid();
    // 94 characters give 252 Base64 characters, 95 give 256: one too many.
    ASSERT_EQ(store.AddItem(MakeItem(id, L"fits", std::wstring(94, L't'))), S_OK);
    SettingItem read;
    ASSERT_EQ(store.GetItem(id, read), S_OK);
    EXPECT_EQ(read.GetAppToken(), std::wstring(94, L't'));
    EXPECT_EQ(Settings().root.children[0].Child("AppToken")->text.size(), 252u);
    const std::string before = ReadFileBytes(place.settingsFile);

    LogCapture log;
    EXPECT_EQ(store.AddItem(MakeItem(NewGuid(), L"long", std::wstring(95, L't'))), kTooLong);
    EXPECT_EQ(store.SetItem(id, MakeItem(id, L"long", std::wstring(300, L't'))), kTooLong);
    EXPECT_EQ(ReadFileBytes(place.settingsFile), before) << "never written in plain text instead";
    EXPECT_THAT(log.Failures(), ElementsAre("CryptBinaryToString 2: error = 8007007A",
                                            "CSMRCrypto::EnCode hr = 8007007A", "CSMRCrypto::EnCode hr = 8007007A"));

    // A stored text longer than the buffer is refused rather than cut.
    const GUID stored = NewGuid();
    WriteSettings(ItemXml(GuidText(stored), "m", "1", std::string(256, 'A')));
    EXPECT_EQ(store.GetItem(stored, read), kTooLong);
}

TEST_F(Store, FoldersThatCannotBeFoundNamedOrMadeFailTheOperationCleanly) {
    // An undefined path would put the file beside the current directory.
    ScratchDir current(L"cwd");
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ::SetCurrentDirectoryW(current.path().c_str());
    store.SetCsidl(0x7F);  // no such folder
    LogCapture log;
    wchar_t path[MAX_PATH] = L"junk";
    const HRESULT pathResult = store.GetSettingsFilePath(path);
    SettingItem read;
    const HRESULT results[] = {store.AddItem(MakeItem(NewGuid(), L"m")), store.GetItem(NewGuid(), read),
                               store.SetItem(NewGuid(), read), store.RemoveItem(NewGuid())};
    ::SetCurrentDirectoryW(previous);

    EXPECT_TRUE(FAILED(pathResult));
    EXPECT_STREQ(path, L"");
    for (HRESULT hr : results) EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    EXPECT_EQ(store.EnsureSettingsFile(L""), E_INVALIDARG);
    EXPECT_EQ(::GetFileAttributesW((current.path() + L"\\Orvell Electronics").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(::GetFileAttributesW((current.path() + L"\\MeishiPluginSettings.XML").c_str()), INVALID_FILE_ATTRIBUTES);
    const std::vector<std::string> noFolder = log.Failures();
    ASSERT_FALSE(noFolder.empty());
    EXPECT_EQ(noFolder[0].rfind("SHGetFolderPath: error = 8", 0), 0u) << noFolder[0];
    log.Clear();
    store.SetCsidl(CSIDL_LOCAL_APPDATA);

    wcscpy(path, L"junk");
    // A subfolder name that makes the path longer than 259 characters.
    EXPECT_EQ(store.GetSettingsFolder(std::wstring(300, L'x').c_str(), path), static_cast<HRESULT>(0x800700CE));
    EXPECT_STREQ(path, L"");

    // The product folder's name taken by a file.
    ::CreateDirectoryW(place.maker.c_str(), nullptr);
    WriteFileBytes(place.product, "a file");
    const HRESULT hr = store.AddItem(MakeItem(NewGuid(), L"m"));
    EXPECT_EQ(ReadFileBytes(place.product), "a file");
    ::DeleteFileW(place.product.c_str());
    EXPECT_EQ(HRESULT_FACILITY(hr), FACILITY_WIN32) << std::hex << hr;
    const std::vector<std::string> failures = log.Failures();
    ASSERT_EQ(failures.size(), 3u);
    EXPECT_EQ(failures[0], "GetSettingsFolder path: error = 800700CE");
    char expected[2][64];
    std::snprintf(expected[0], 64, "CheckDirectory CreateDirectory: error = %08X", static_cast<unsigned>(hr));
    std::snprintf(expected[1], 64, "CheckDirectory 2: error = %08X", static_cast<unsigned>(hr));
    EXPECT_EQ(failures[1], expected[0]);
    EXPECT_EQ(failures[2], expected[1]);
}

// A save that cannot be completed (here: the disk fills up after a few bytes)
// is reported, and the settings file stays as the last complete save left it.
TEST_F(Store, AFailedSaveIsReportedAndLeavesThePreviousFileWhole) {
    const GUID id = NewGuid();
    ASSERT_EQ(store.AddItem(MakeItem(id, L"kept", L"my-secret-token")), S_OK);
    const std::string before = ReadFileBytes(place.settingsFile);

    LogCapture log;
    CMeishiDataStore::SetWriteLimitForTest(40);
    EXPECT_EQ(store.AddItem(MakeItem(NewGuid(), L"new")), kDiskFull);
    EXPECT_EQ(store.SetItem(id, MakeItem(id, L"changed")), kDiskFull);
    EXPECT_EQ(store.RemoveItem(id), kDiskFull);
    CMeishiDataStore::SetWriteLimitForTest(MAXDWORD);

    EXPECT_EQ(ReadFileBytes(place.settingsFile), before);
    EXPECT_THAT(place.StrayFiles(), IsEmpty()) << "a temporary file stayed behind";
    EXPECT_THAT(log.Failures(), ElementsAre("Save WriteFile: error = 80070070", "Save WriteFile: error = 80070070",
                                            "Save WriteFile: error = 80070070"));
    SettingItem read;
    ASSERT_EQ(store.GetItem(id, read), S_OK);
    EXPECT_EQ(read.GetMailAddress(), L"kept");

    // A file without jobs that cannot be written is not left half made.
    ::DeleteFileW(place.settingsFile.c_str());
    CMeishiDataStore::SetWriteLimitForTest(10);
    wchar_t path[MAX_PATH];
    ASSERT_EQ(store.GetSettingsFilePath(path), S_OK);
    EXPECT_EQ(store.EnsureSettingsFile(path), kDiskFull);
    EXPECT_FALSE(FileExists(place.settingsFile));
    EXPECT_THAT(place.StrayFiles(), IsEmpty());
}

}  // namespace
