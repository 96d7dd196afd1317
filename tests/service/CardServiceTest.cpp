// The card service client against the stand-in: every request's path,
// headers and body, the card JSON as a JSON parser reads it, and the answers
// the client must pass on or refuse.

#include <gtest/gtest.h>

#include <cwchar>

#include "ServiceFixture.h"
#include "common/TestPaths.h"
#include "service/TextCodec.h"

using namespace tessaran;
using namespace tessaran_test;

namespace {

using CardService = ServiceTest;

template <size_t N>
void Set(wchar_t (&field)[N], const std::wstring& text) {
    ASSERT_LT(text.size(), N);
    std::wmemcpy(field, text.c_str(), text.size() + 1);
}

// A card with every text that could break the JSON: quotes, slashes,
// backslashes, control characters, non-ASCII and a surrogate pair.
MeishiRecord AwkwardCard(const std::string& syncId) {
    MeishiRecord r{};
    Set(r.sync_id, std::wstring(syncId.begin(), syncId.end()));
    r.share_flag = 1;
    Set(r.modify_datetime, L"2025-01-01 00:00:00.0");
    Set(r.lname, L"O\"Brien/\x5927\x7530");
    Set(r.fname, L"Tab\there\nnew\x01line\x7F");
    Set(r.lnamer, L"back\\slash");
    Set(r.fnamer, L"\x305F\x308D\x3046");
    Set(r.cname, L"\x682A\x5F0F\x4F1A\x793E \"Slash\" / Co.\r\n");
    Set(r.title, L"\xD83D\xDE00 CEO\b\f");
    Set(r.group, L"\x30B0\x30EB\x30FC\x30D7\x672A\x8A2D\x5B9A");
    Set(r.create_datetime, L"2025-01-01 00:00:00.0");
    r.nameorder = 5;
    r.language = 2;
    Set(r.address1.place, L"Head office");
    Set(r.address1.zip, L"100-0001");
    Set(r.address1.address1, L"\x6771\x4EAC\x90FD");
    r.address1.addressOrder = 3;
    Set(r.address1.tel1, L"03-1111-1111");
    Set(r.address1.tel2, L"090-2222-2222");
    Set(r.address1.tel3, L"ext 33");
    Set(r.address1.email, L"o.brien@example.jp");
    Set(r.address1.url, L"https://example.jp/a?b=c&d");
    Set(r.address1.skype, L"obrien");
    Set(r.address2.country, L"Deutschland \x00FC");
    r.address2.addressOrder = -1;
    Set(r.address2.tel4, L"+49 30 1234");
    Set(r.address2.latitude, L"52.52");
    Set(r.address2.longitude, L"13.40");
    Set(r.creator, L"<creator>");
    return r;
}

void ExpectAddress(const picojson::object& json, const MeishiAddress& a, const char* which) {
    SCOPED_TRACE(which);
    EXPECT_EQ(WideString(json, "place"), a.place);
    EXPECT_EQ(WideString(json, "zip"), a.zip);
    EXPECT_EQ(WideString(json, "country"), a.country);
    EXPECT_EQ(WideString(json, "address1"), a.address1);
    EXPECT_EQ(WideString(json, "address2"), a.address2);
    EXPECT_EQ(WideString(json, "address3"), a.address3);
    EXPECT_EQ(WideString(json, "address4"), a.address4);
    EXPECT_EQ(WideString(json, "addressOrder"), std::to_wstring(a.addressOrder));
    EXPECT_EQ(WideString(json, "tel1"), a.tel1);
    EXPECT_EQ(WideString(json, "tel2"), a.tel2);
    EXPECT_EQ(WideString(json, "tel3"), a.tel3);
    EXPECT_EQ(WideString(json, "tel4"), a.tel4);
    EXPECT_EQ(WideString(json, "fax"), a.fax);
    EXPECT_EQ(WideString(json, "email"), a.email);
    EXPECT_EQ(WideString(json, "url"), a.url);
    EXPECT_EQ(WideString(json, "skype"), a.skype);
    EXPECT_EQ(WideString(json, "latitude"), a.latitude);
    EXPECT_EQ(WideString(json, "longitude"), a.longitude);
    EXPECT_EQ(json.size(), 18u);
}

void ExpectCard(const picojson::object& json, const MeishiRecord& r) {
    EXPECT_EQ(WideString(json, "sync_id"), r.sync_id);
    EXPECT_EQ(WideString(json, "fname"), r.fname);
    EXPECT_EQ(WideString(json, "lname"), r.lname);
    EXPECT_EQ(WideString(json, "fnamer"), r.fnamer);
    EXPECT_EQ(WideString(json, "lnamer"), r.lnamer);
    EXPECT_EQ(WideString(json, "cname"), r.cname);
    EXPECT_EQ(WideString(json, "cnamer"), r.cnamer);
    EXPECT_EQ(json.at("nameorder").get<double>(), r.nameorder != 0 ? 1 : 0);
    EXPECT_EQ(WideString(json, "prefix"), r.prefix);
    EXPECT_EQ(WideString(json, "assign"), r.assign);
    EXPECT_EQ(WideString(json, "title"), r.title);
    EXPECT_EQ(WideString(json, "group"), r.group);
    EXPECT_EQ(WideString(json, "create_datetime"), r.create_datetime);
    EXPECT_EQ(json.at("language").get<double>(), r.language);
    EXPECT_EQ(WideString(json, "creator"), r.creator);
    ExpectAddress(json.at("address1").get<picojson::object>(), r.address1, "address1");
    ExpectAddress(json.at("address2").get<picojson::object>(), r.address2, "address2");
    EXPECT_FALSE(json.at("have_image1").get<bool>());
    EXPECT_FALSE(json.at("have_image2").get<bool>());
    EXPECT_EQ(json.size(), 19u);
}

std::string NewSyncId(CHttpMeishiRegister& client) {
    std::string syncId;
    EXPECT_EQ(client.Get_m_newsyncid(&syncId), 0);
    return syncId;
}

}  // namespace

TEST_F(CardService, LogonStatusSyncIdAndLogoffOnTheWire) {
    CHttpMeishiRegister client;
    ASSERT_EQ(LogOn(client), 0);
    std::string status;
    ASSERT_EQ(client.Get_m_User_status(&status), 0);
    picojson::value parsed;
    ASSERT_EQ(picojson::parse(parsed, status), "");
    EXPECT_EQ(parsed.get("accountname").to_str(), kMail);
    EXPECT_EQ(parsed.get("max_count").get<double>(), 100);
    const std::string syncId = NewSyncId(client);
    EXPECT_EQ(syncId.size(), 20u);
    EXPECT_EQ(client.Logout(), 0);
    EXPECT_FALSE(client.IsOpen());

    const std::vector<JournalEntry> journal = standin.Journal();
    const std::vector<std::string> sessions = standin.SessionIds();
    ASSERT_EQ(journal.size(), 4u);
    ASSERT_EQ(sessions.size(), 1u);
    const std::string cookie = "JSESSIONID=" + sessions[0];

    EXPECT_EQ(journal[0].method, "POST");
    EXPECT_EQ(journal[0].path, "/service/m_login");
    EXPECT_EQ(journal[0].Header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(journal[0].HeaderCount("Cookie"), 0);
    EXPECT_EQ(journal[0].body, "user=a%26b%3Dc%25d@example.jp&sync_token=tok%3Den%26%2525 %2B\xE6\x97\xA5\xE6\x9C\xAC");
    const char* gets[] = {"/service/user_status/", "/service/m_newsyncid/", "/service/m_logout"};
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(journal[i].method, "GET");
        EXPECT_EQ(journal[i].path, gets[i - 1]);
        EXPECT_EQ(journal[i].Header("Cookie"), cookie);
        EXPECT_EQ(journal[i].HeaderCount("Content-Type"), 0);
        EXPECT_EQ(journal[i].body, "");
    }
}

TEST_F(CardService, AWrongTokenIsRefusedOnceAndClosesTheClient) {
    CHttpMeishiRegister client;
    EXPECT_EQ(LogOn(client, FromUtf8(kMail), L"wrong"), 401);
    EXPECT_FALSE(client.IsOpen());
    std::string text;
    EXPECT_EQ(client.Get_m_User_status(&text), -1);
    EXPECT_EQ(standin.Journal().size(), 1u);
}

TEST_F(CardService, RegistrationSendsTheCardAsAJsonParserReadsIt) {
    SYSTEMTIME sending{};
    sending.wYear = 2025;
    sending.wMonth = 7;
    sending.wDay = 4;
    sending.wHour = 9;
    sending.wMinute = 5;
    sending.wSecond = 6;
    ClockSetForTest(sending);
    ScratchDir dir;
    const std::string image("\xFF\xD8\xFF\xE0 front \x00\r\n--", 19);
    const std::string thumb("\xFF\xD8 thumb", 8);
    WriteFileBytes(dir / L"front.jpg", image);
    WriteFileBytes(dir / L"front_thumb.jpg", thumb);

    CHttpMeishiRegister client;
    ASSERT_EQ(LogOn(client), 0);
    const std::string syncId = NewSyncId(client);
    const MeishiRecord record = AwkwardCard(syncId);
    ASSERT_EQ(client.Post_m_card(record, (dir / L"front.jpg").c_str(), (dir / L"front_thumb.jpg").c_str()), 0);

    const picojson::array cards = standin.Cards();
    ASSERT_EQ(cards.size(), 1u);
    const picojson::object& card = cards[0].get<picojson::object>();
    ExpectCard(card.at("card").get<picojson::object>(), record);
    const picojson::object& sync = card.at("sync_data").get<picojson::object>();
    EXPECT_EQ(sync.at("sync_id").to_str(), syncId);
    EXPECT_EQ(sync.at("revision").get<double>(), 0);
    EXPECT_FALSE(sync.at("delete_flag").get<bool>());
    EXPECT_EQ(sync.at("modify_datetime").to_str(), "2025-07-04 09:05:06.0");
    EXPECT_TRUE(sync.at("share_flag").get<bool>());
    EXPECT_FALSE(sync.at("correct_request").get<bool>());
    EXPECT_EQ(sync.at("correct_status").get<double>(), 0);
    EXPECT_EQ(sync.at("owner_username").to_str(), "");
    EXPECT_FALSE(sync.at("user_correct").get<bool>());
    EXPECT_EQ(sync.at("view_datetime").to_str(), "");
    EXPECT_EQ(sync.size(), 10u);
    EXPECT_EQ(card.at("image").get("size").get<double>(), image.size());
    EXPECT_EQ(card.at("image").get("filename").to_str(), "image.jpeg");
    EXPECT_EQ(card.at("thumb").get("filename").to_str(), "thumb.jpeg");

    // The texts on the wire: the escapes, raw UTF-8, and the exact body.
    const std::string cardText = card.at("card_text").to_str();
    EXPECT_NE(cardText.find("\"lname\":\"O\\\"Brien\\/\xE5\xA4\xA7\xE7\x94\xB0\""), std::string::npos);
    EXPECT_NE(cardText.find("\"fname\":\"Tab\\there\\nnew\\u0001line\\u007f\""), std::string::npos);
    EXPECT_NE(cardText.find("\"nameorder\":1,"), std::string::npos);
    EXPECT_NE(cardText.find("\"addressOrder\":\"-1\""), std::string::npos);
    std::string syncText;
    std::string builtCard;
    ASSERT_TRUE(BuildSyncDataText(record, sending, &syncText));
    ASSERT_TRUE(BuildCardText(record, &builtCard));
    EXPECT_EQ(card.at("sync_data_text").to_str(), syncText);
    EXPECT_EQ(cardText, builtCard);

    const std::vector<JournalEntry> journal = standin.Journal();
    ASSERT_EQ(journal.size(), 3u);
    const JournalEntry& post = journal[2];
    EXPECT_EQ(post.method, "POST");
    EXPECT_EQ(post.path, "/service/m_card/");
    EXPECT_EQ(post.Header("Content-Type"), "multipart/form-data; boundary=--------FFF3F395A90B452BB8BEDC878DDBD152");
    EXPECT_EQ(post.Header("Cookie"), journal[1].Header("Cookie"));
    EXPECT_EQ(post.body, FieldPart("SyncData", syncText) + FieldPart("Card", builtCard) +
                             FilePart("image", "image.jpeg", image) + FilePart("thumb", "thumb.jpeg", thumb) +
                             ClosingDelimiter());
}

TEST_F(CardService, ANewCardWithOnlyANameAndACompany) {
    CHttpMeishiRegister client;
    ASSERT_EQ(LogOn(client), 0);
    ScratchDir dir;
    WriteFileBytes(dir / L"f.jpg", "\xFF\xD8 f");
    MeishiRecord record{};
    const std::string syncId = NewSyncId(client);
    Set(record.sync_id, std::wstring(syncId.begin(), syncId.end()));
    Set(record.lname, L"\x5C71\x7530");
    Set(record.cname, L"Loopback");
    Set(record.group, L"\x30B0\x30EB\x30FC\x30D7\x672A\x8A2D\x5B9A");
    Set(record.create_datetime, L"2025-07-04 09:05:06.0");
    record.share_flag = 1;
    ASSERT_EQ(client.Post_m_card(record, (dir / L"f.jpg").c_str(), (dir / L"f.jpg").c_str()), 0);
    const picojson::array cards = standin.Cards();
    ASSERT_EQ(cards.size(), 1u);
    const picojson::object& card = cards[0].get("card").get<picojson::object>();
    ExpectCard(card, record);
    EXPECT_EQ(card.at("address1").get("addressOrder").to_str(), "0");
    EXPECT_EQ(card.at("nameorder").get<double>(), 0);
}

TEST_F(CardService, BackImagesGoToTheirCard) {
    CHttpMeishiRegister client;
    ASSERT_EQ(LogOn(client), 0);
    ScratchDir dir;
    WriteFileBytes(dir / L"f.jpg", "\xFF\xD8 front");
    WriteFileBytes(dir / L"b.jpg", "\xFF\xD8 back side");
    WriteFileBytes(dir / L"bt.jpg", "\xFF\xD8 bt");
    const std::string syncId = NewSyncId(client);
    const MeishiRecord record = AwkwardCard(syncId);
    ASSERT_EQ(client.Post_m_card(record, (dir / L"f.jpg").c_str(), (dir / L"f.jpg").c_str()), 0);
    EXPECT_EQ(client.Post_m_card_backimage(syncId.c_str(), (dir / L"b.jpg").c_str(), (dir / L"bt.jpg").c_str()), 0);
    EXPECT_EQ(client.Post_m_card_backimage("SNOSUCHCARD", (dir / L"b.jpg").c_str(), (dir / L"bt.jpg").c_str()), 404);

    EXPECT_EQ(client.Post_m_card_backimage(nullptr, L"a", L"b"), -3);
    EXPECT_EQ(client.Post_m_card_backimage(syncId.c_str(), nullptr, L"b"), -3);
    EXPECT_EQ(client.Post_m_card_backimage(syncId.c_str(), L"a", nullptr), -3);
    EXPECT_EQ(client.Post_m_card_backimage("../m_card", L"a", L"b"), -3);
    // A picture that cannot be read is never left out of the request: no request.
    const std::wstring gone = dir / L"gone.jpg";
    EXPECT_EQ(client.Post_m_card_backimage(syncId.c_str(), gone.c_str(), (dir / L"bt.jpg").c_str()), -3);
    EXPECT_EQ(client.Post_m_card_backimage(syncId.c_str(), (dir / L"b.jpg").c_str(), gone.c_str()), -3);
    EXPECT_EQ(client.Post_m_card(AwkwardCard(syncId), gone.c_str(), (dir / L"f.jpg").c_str()), -3);

    const std::vector<JournalEntry> journal = standin.Journal();
    ASSERT_EQ(journal.size(), 5u);
    EXPECT_EQ(journal[3].path, "/service/m_card/backimage/" + syncId);
    EXPECT_EQ(journal[3].body, FilePart("image", "image.jpeg", "\xFF\xD8 back side") +
                                   FilePart("thumb", "thumb.jpeg", "\xFF\xD8 bt") + ClosingDelimiter());
    EXPECT_EQ(journal[4].path, "/service/m_card/backimage/SNOSUCHCARD");
    const picojson::array cards = standin.Cards();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].get("back").get("size").get<double>(), 12);
}

// The answer to an upload is not needed, but read all the same: a run's
// requests then share one connection however late the service answers.
TEST_F(CardService, AnUploadAnsweredLateKeepsItsConnectionForTheNext) {
    CHttpMeishiRegister client;
    ASSERT_EQ(LogOn(client), 0);
    ScratchDir dir;
    WriteFileBytes(dir / L"f.jpg", "\xFF\xD8 front");
    const std::string syncId = NewSyncId(client);
    picojson::object late = Fault("/service/m_card/", "delay");
    late["body_delay_ms"] = picojson::value(300.0);
    standin.QueueFault(late);
    ASSERT_EQ(client.Post_m_card(AwkwardCard(syncId), (dir / L"f.jpg").c_str(), (dir / L"f.jpg").c_str()), 0);
    const char* const ids[] = {syncId.c_str()};
    EXPECT_EQ(client.Post_m_log(ids, 1), 0);
    const std::vector<JournalEntry> journal = standin.Journal();
    ASSERT_EQ(journal.size(), 4u);  // logon, sync ID, card, report
    for (const JournalEntry& entry : journal) EXPECT_EQ(entry.connection, journal[0].connection) << entry.path;
}

TEST_F(CardService, ARefusedRegistrationIsLoggedOnAndResentOnceButACardLimitIsNot) {
    standin.AddAccount(kMail, kToken, 1);
    ScratchDir dir;
    WriteFileBytes(dir / L"f.jpg", "\xFF\xD8 f");
    const std::wstring front = dir / L"f.jpg";
    CHttpMeishiRegister client;
    ASSERT_EQ(LogOn(client), 0);

    // The session has ended on the server: one logon, one resend.
    const std::string first = NewSyncId(client);
    standin.ExpireSessions();
    ASSERT_EQ(client.Post_m_card(AwkwardCard(first), front.c_str(), front.c_str()), 0);
    // The account is full: 412 comes back as it is.
    const std::string second = NewSyncId(client);
    EXPECT_EQ(client.Post_m_card(AwkwardCard(second), front.c_str(), front.c_str()), 412);
    // A 401 twice: the second is the answer.
    picojson::object twice = Fault("/service/m_card/", "status", 401);
    twice["count"] = picojson::value(2.0);
    standin.QueueFault(twice);
    EXPECT_EQ(client.Post_m_card(AwkwardCard(second), front.c_str(), front.c_str()), 401);

    std::vector<std::string> paths;
    for (const JournalEntry& entry : standin.Journal()) paths.push_back(entry.path);
    const std::vector<std::string> expected = {
        "/service/m_login",  "/service/m_newsyncid/", "/service/m_card/", "/service/m_login",
        "/service/m_card/",  "/service/m_newsyncid/", "/service/m_card/", "/service/m_card/",
        "/service/m_login",  "/service/m_card/"};
    EXPECT_EQ(paths, expected);
    const std::vector<JournalEntry> journal = standin.Journal();
    // The resend carries the new session's cookie.
    EXPECT_NE(journal[4].Header("Cookie"), journal[2].Header("Cookie"));
    EXPECT_EQ(journal[4].body.size(), journal[2].body.size());
}

TEST_F(CardService, SyncIdsThatCannotTravelUnescapedAreRefused) {
    CHttpMeishiRegister client;
    ASSERT_EQ(LogOn(client), 0);
    const struct {
        const char* answer;
        int result;
    } cases[] = {{"", -102},
                 {"abc/def", -102},
                 {"a\"b", -102},
                 {"a b", -102},
                 {"a?b", -102},
                 {"1234567890123456789012345", -102},
                 {"\xC3\xA9t\xC3\xA9", -102},
                 {"123456789012345678901234", 0}};
    for (const auto& c : cases) {
        picojson::object fault = Fault("/service/m_newsyncid/", "status", 200);
        fault["body"] = picojson::value(std::string(c.answer));
        standin.QueueFault(fault);
        std::string syncId = "old";
        EXPECT_EQ(client.Get_m_newsyncid(&syncId), c.result) << c.answer;
        EXPECT_EQ(syncId, c.result == 0 ? std::string(c.answer) : std::string()) << c.answer;
    }
    EXPECT_EQ(client.Get_m_newsyncid(nullptr), -3);
    // A record whose sync ID would break the JSON is not sent at all.
    MeishiRecord record = AwkwardCard("S1");
    Set(record.sync_id, L"S\"1");
    const size_t before = standin.Journal().size();
    EXPECT_EQ(client.Post_m_card(record, L"x", L"y"), -3);
    EXPECT_EQ(standin.Journal().size(), before);
}

TEST_F(CardService, SyncIdReports) {
    CHttpMeishiRegister client;
    ASSERT_EQ(LogOn(client), 0);
    const char* one[] = {"abc"};
    const char* two[] = {"S1", "S2"};
    const char* unsafe[] = {"S1", "x\"y"};
    EXPECT_EQ(client.Post_m_log(one, 0), -3);
    EXPECT_EQ(client.Post_m_log(nullptr, 1), -3);
    EXPECT_EQ(client.Post_m_log(unsafe, 2), -3);
    EXPECT_EQ(client.Post_m_log(one, 1), 0);
    EXPECT_EQ(client.Post_m_log(two, 2), 0);
    const std::vector<JournalEntry> journal = standin.Journal();
    ASSERT_EQ(journal.size(), 3u);
    EXPECT_EQ(journal[1].path, "/service/m_log/");
    EXPECT_EQ(journal[1].Header("Content-Type"), "application/json");
    EXPECT_EQ(journal[1].Header("Cookie"), "JSESSIONID=" + standin.SessionIds()[0]);
    EXPECT_EQ(journal[1].body, "{\"syncidlist\":[\"abc\"]}");
    EXPECT_EQ(journal[2].body, "{\"syncidlist\":[\"S1\",\"S2\"]}");
}
