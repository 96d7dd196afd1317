#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/Clock.h"
#include "upload/MeishiUpload.h"

using namespace tessaran;

namespace {

MeishiRecord Parsed(const std::string& json) {
    MeishiRecord record;
    std::memset(&record, 0, sizeof(record));
    CMeishiUpload::ParseOcrResult(json.c_str(), record);
    return record;
}

MeishiRecord Cleared() {
    MeishiRecord record;
    std::memset(&record, 0, sizeof(record));
    return record;
}

bool SameBytes(const MeishiRecord& a, const MeishiRecord& b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }

}  // namespace

TEST(ParseOcrResult, OnlyTheKeysPresentAreFilled) {
    const MeishiRecord record = Parsed(u8R"({"lastName":"山田","company":"Loopback 株式会社","other":"x"})");
    MeishiRecord expected = Cleared();
    std::wcscpy(expected.lname, L"山田");
    std::wcscpy(expected.cname, L"Loopback 株式会社");
    EXPECT_TRUE(SameBytes(record, expected));
}

TEST(ParseOcrResult, EveryKeyReachesItsField) {
    const MeishiRecord r = Parsed(
        R"({"lastName":"ln","firstName":"fn","lastNameRuby":"lr","firstNameRuby":"fr","company":"co",)"
        R"("companyRuby":"cr","title":"ti","dep":"de","place_A":"pa","zipCode_A":"za","region_A":"ra",)"
        R"("locality_A":"la","street_A":"sa","build_A":"ba","phone_A":"p1","cellPhone_A":"c1",)"
        R"("extension_A":"e1","fax_A":"fa","email_A":"ea","url_A":"ua","skype":"sk","place_B":"pb",)"
        R"("zipCode_B":"zb","region_B":"rb","locality_B":"lb","street_B":"sb","build_B":"bb",)"
        R"("phone_B":"p2","cellPhone_B":"c2","extension_B":"e2","fax_B":"fb","email_B":"eb","url_B":"ub"})");
    EXPECT_STREQ(r.lname, L"ln");
    EXPECT_STREQ(r.fname, L"fn");
    EXPECT_STREQ(r.lnamer, L"lr");
    EXPECT_STREQ(r.fnamer, L"fr");
    EXPECT_STREQ(r.cname, L"co");
    EXPECT_STREQ(r.cnamer, L"cr");
    EXPECT_STREQ(r.title, L"ti");
    EXPECT_STREQ(r.assign, L"de");
    EXPECT_STREQ(r.address1.place, L"pa");
    EXPECT_STREQ(r.address1.zip, L"za");
    EXPECT_STREQ(r.address1.address1, L"ra");
    EXPECT_STREQ(r.address1.address2, L"la");
    EXPECT_STREQ(r.address1.address3, L"sa");
    EXPECT_STREQ(r.address1.address4, L"ba");
    EXPECT_STREQ(r.address1.tel1, L"p1");
    EXPECT_STREQ(r.address1.tel2, L"c1");  // the cell phone
    EXPECT_STREQ(r.address1.tel3, L"e1");  // the extension
    EXPECT_STREQ(r.address1.tel4, L"");
    EXPECT_STREQ(r.address1.fax, L"fa");
    EXPECT_STREQ(r.address1.email, L"ea");
    EXPECT_STREQ(r.address1.url, L"ua");
    EXPECT_STREQ(r.address1.skype, L"sk");
    EXPECT_STREQ(r.address2.place, L"pb");
    EXPECT_STREQ(r.address2.zip, L"zb");
    EXPECT_STREQ(r.address2.address1, L"rb");
    EXPECT_STREQ(r.address2.address2, L"lb");
    EXPECT_STREQ(r.address2.address3, L"sb");
    EXPECT_STREQ(r.address2.address4, L"bb");
    EXPECT_STREQ(r.address2.tel1, L"p2");
    EXPECT_STREQ(r.address2.tel2, L"c2");
    EXPECT_STREQ(r.address2.tel3, L"e2");
    EXPECT_STREQ(r.address2.tel4, L"");
    EXPECT_STREQ(r.address2.fax, L"fb");
    EXPECT_STREQ(r.address2.email, L"eb");
    EXPECT_STREQ(r.address2.url, L"ub");
    EXPECT_STREQ(r.address2.skype, L"");  // no key fills the second skype name
    EXPECT_STREQ(r.address1.country, L"");
    EXPECT_STREQ(r.prefix, L"");
    EXPECT_STREQ(r.creator, L"");
}

TEST(ParseOcrResult, ValuesOfOtherTypesCountAsMissing) {
    const MeishiRecord r =
        Parsed(R"({"firstName":12,"lastName":true,"company":null,"title":["a"],"dep":{"a":"b"},"fax_A":"ok"})");
    MeishiRecord expected = Cleared();
    std::wcscpy(expected.address1.fax, L"ok");
    EXPECT_TRUE(SameBytes(r, expected));
}

TEST(ParseOcrResult, LongValuesKeepWhatFits) {
    const MeishiRecord r = Parsed("{\"lastName\":\"" + std::string(60, 'L') + "\",\"zipCode_A\":\"" +
                                  std::string(21, '9') + "\",\"region_A\":\"" + std::string(300, 'r') + "\"}");
    EXPECT_EQ(std::wstring(r.lname), std::wstring(50, L'L'));
    EXPECT_EQ(std::wstring(r.address1.zip), std::wstring(20, L'9'));
    EXPECT_EQ(std::wstring(r.address1.address1), std::wstring(200, L'r'));

    // Three-byte characters count as one unit each.
    std::string kana;
    for (int i = 0; i < 60; ++i) kana += u8"あ";
    EXPECT_EQ(std::wstring(Parsed("{\"firstName\":\"" + kana + "\"}").fname), std::wstring(50, L'あ'));
}

TEST(ParseOcrResult, CutValuesNeverEndInHalfACharacter) {
    const std::string emoji = "\xF0\x9F\x98\x80";  // U+1F600, two UTF-16 units
    // 49 letters and the pair fill all 51 units, leaving no room for the end.
    EXPECT_EQ(std::wstring(Parsed("{\"lastName\":\"" + std::string(49, 'a') + emoji + "\"}").lname),
              std::wstring(49, L'a'));
    EXPECT_EQ(std::wstring(Parsed("{\"lastName\":\"" + std::string(50, 'a') + emoji + "\"}").lname),
              std::wstring(50, L'a'));
    EXPECT_EQ(std::wstring(Parsed("{\"lastName\":\"" + std::string(48, 'a') + emoji + "\"}").lname),
              std::wstring(48, L'a') + L"\xD83D\xDE00");
}

TEST(ParseOcrResult, AnswersThatAreNoObjectLeaveTheRecordAlone) {
    for (const char* text : {"", "   ", "[\"lastName\",\"x\"]", "\"lastName\"", "42", "null", "not json at all",
                             "<html>500</html>"}) {
        SCOPED_TRACE(text);
        MeishiRecord record = Cleared();
        record.nameorder = 7;
        record.language = 3;
        std::wcscpy(record.lname, L"kept");
        const MeishiRecord before = record;
        CMeishiUpload::ParseOcrResult(text, record);
        EXPECT_TRUE(SameBytes(record, before));
    }
    MeishiRecord record = Cleared();
    CMeishiUpload::ParseOcrResult(nullptr, record);
    EXPECT_TRUE(SameBytes(record, Cleared()));
}

TEST(ParseOcrResult, BrokenOffObjectsKeepTheMembersRead) {
    const MeishiRecord r = Parsed(R"( {"firstName":"Taro","lastName":"Yam)");
    EXPECT_STREQ(r.fname, L"Taro");
    EXPECT_STREQ(r.lname, L"Yam");
    EXPECT_STREQ(Parsed(R"({"company":"A","title":)").cname, L"A");
    // Whatever follows the first value is not read.
    EXPECT_STREQ(Parsed(R"({"lastName":"first"} {"lastName":"second"})").lname, L"first");
}

// A number too large for a double makes the parser throw; the answer is read
// as broken off there, like any other parse error.
TEST(ParseOcrResult, NumbersOutOfRangeBreakTheAnswerOffThere) {
    MeishiRecord r = Cleared();
    EXPECT_NO_THROW(CMeishiUpload::ParseOcrResult(R"({"lastName":"Yamada","n":1e999,"company":"A"})", r));
    EXPECT_STREQ(r.lname, L"Yamada");
    EXPECT_STREQ(r.cname, L"");
    for (const char* text : {"-1e400", "[1e999]", "{\"firstName\":[2e308]}"}) {
        SCOPED_TRACE(text);
        MeishiRecord record = Cleared();
        EXPECT_NO_THROW(CMeishiUpload::ParseOcrResult(text, record));
        EXPECT_TRUE(SameBytes(record, Cleared()));
    }
}

TEST(ParseOcrResult, OrderFieldsAreResetForAnObject) {
    MeishiRecord record = Cleared();
    record.nameorder = 5;
    record.language = 2;
    record.address1.addressOrder = 1;
    record.address2.addressOrder = 1;
    std::wcscpy(record.fname, L"stale");
    CMeishiUpload::ParseOcrResult("{}", record);
    EXPECT_TRUE(SameBytes(record, Cleared()));
}

// Objects nested ten thousand deep used to overrun the stack of the host's
// thread. Too deep an answer is not read at all: the card keeps its defaults.
TEST(ParseOcrResult, DeepNestingDoesNotExhaustTheStack) {
    std::string objects;
    for (int i = 0; i < 10000; ++i) objects += "{\"a\":";
    objects += "1" + std::string(10000, '}');
    for (const std::string& deep : {"{\"lastName\":\"x\",\"a\":" + objects + "}",
                                    "{\"lastName\":\"x\",\"a\":" + std::string(200000, '['),
                                    std::string(200000, '[')}) {
        EXPECT_TRUE(SameBytes(Parsed(deep), Cleared()));
    }
    // Within the limit, brackets inside strings do not count.
    std::string nested = "{\"lastName\":\"[[{{\\\"\",\"a\":" + std::string(31, '[') + std::string(31, ']') + "}";
    EXPECT_STREQ(Parsed(nested).lname, L"[[{{\"");
}

TEST(DoUploadMeishi, SetsTheValuesOfANewCard) {
    SYSTEMTIME fixed = {};
    fixed.wYear = 2026;
    fixed.wMonth = 3;
    fixed.wDay = 4;
    fixed.wHour = 15;
    fixed.wMinute = 6;
    fixed.wSecond = 7;
    ClockSetForTest(fixed);
    MeishiRecord record = Parsed(R"({"lastName":"山田"})");
    record.revision = 9;
    record.delete_flag = 1;
    std::wcscpy(record.owner_username, L"someone");
    CMeishiUpload upload;
    // Not logged on: the registration is refused without any traffic, after
    // the record is filled.
    EXPECT_EQ(upload.DoUploadMeishi("abcDEF0123456789-_.", L"C:\\a.jpg", L"C:\\a_thumb.jpg", record), -1);
    ClockResetForTest();

    EXPECT_STREQ(record.sync_id, L"abcDEF0123456789-_.");
    EXPECT_EQ(record.revision, 0);
    EXPECT_EQ(record.delete_flag, 0);
    EXPECT_EQ(record.share_flag, 1);
    EXPECT_EQ(record.user_correct, 0);
    EXPECT_STREQ(record.owner_username, L"");
    EXPECT_STREQ(record.modify_datetime, L"2026-03-04 15:06:07.0");
    EXPECT_STREQ(record.view_datetime, L"2026-03-04 15:06:07.0");
    EXPECT_STREQ(record.create_datetime, L"2026-03-04 15:06:07.0");
    EXPECT_STREQ(record.group, L"グループ未設定");
    EXPECT_STREQ(record.lname, L"山田");

    // A sync ID longer than its field is refused, never cut.
    EXPECT_EQ(upload.DoUploadMeishi(std::string(25, 'x').c_str(), L"C:\\a.jpg", L"C:\\a.jpg", record), -3);
    EXPECT_STREQ(record.sync_id, L"");
    EXPECT_EQ(upload.DoUploadImage("abc", L"C:\\b.jpg", L"C:\\b.jpg"), -1);
}
