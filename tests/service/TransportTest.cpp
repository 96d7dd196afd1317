// The transport through real WinINet: status mapping, logon-and-resend,
// cookies, failed sends, certificates, response bodies, the idle refresh.

#include <gtest/gtest.h>

#include <thread>

#include "ServiceFixture.h"
#include "common/TestPaths.h"
#include "service/HttpOCR.h"

using namespace tessaran;
using namespace tessaran_test;

namespace {

using Transport = ServiceTest;

picojson::object CookieFault(std::initializer_list<const char*> cookies) {
    picojson::object fault = Fault("/probe", "cookie");
    fault["cookie"] = picojson::value(Texts(cookies));
    return fault;
}

}  // namespace

TEST_F(Transport, NothingIsSentWhileClosed) {
    ProbeTransport probe;
    CHttpMeishiRegister card;
    CHttpOCR ocr;
    const char body[] = "x";
    HGLOBAL block = nullptr;
    EXPECT_EQ(probe.Get(L"/probe", &block, nullptr), -1);
    EXPECT_EQ(probe.Post(1, L"/probe", nullptr, body, 1, nullptr, nullptr), -1);
    EXPECT_EQ(probe.Connect(), -1);
    EXPECT_EQ(probe.logins, 0);

    std::string text = "kept?";
    const char* ids[] = {"S1"};
    MeishiRecord record{};
    record.sync_id[0] = L'S';
    EXPECT_EQ(card.Login(0), -1);
    EXPECT_EQ(card.Logout(), -1);
    EXPECT_EQ(card.Get_m_User_status(&text), -1);
    EXPECT_EQ(card.Get_m_newsyncid(&text), -1);
    EXPECT_EQ(card.Post_m_log(ids, 1), -1);
    EXPECT_EQ(card.Post_m_card(record, L"a.jpg", L"b.jpg"), -1);
    EXPECT_EQ(card.Post_m_card_backimage("S1", L"a.jpg", L"b.jpg"), -1);
    EXPECT_EQ(ocr.Login(0), -1);
    EXPECT_EQ(ocr.Logout(), -1);
    text = "kept?";
    EXPECT_EQ(ocr.Post_cardocr(L"a.jpg", &text, 1), -1);
    EXPECT_EQ(text, "");

    // Closed again after a session: Close forgets the session and the cookie.
    ASSERT_EQ(LogOn(card), 0);
    ASSERT_EQ(card.Logout(), 0);
    const size_t afterLogout = standin.Journal().size();
    EXPECT_EQ(card.Get_m_User_status(&text), -1);
    EXPECT_EQ(card.Post_m_log(ids, 1), -1);
    EXPECT_EQ(standin.Journal().size(), afterLogout);
    EXPECT_EQ(afterLogout, 2u);  // m_login and m_logout only
}

TEST_F(Transport, OpeningTwiceAndOccupiedResponseSlots) {
    ProbeTransport probe;
    ASSERT_EQ(Open(probe), 0);
    EXPECT_EQ(probe.Init_Http(kServiceAgent, L"elsewhere.example", 443), -2);
    HGLOBAL occupied = ::GlobalAlloc(GMEM_MOVEABLE, 4);
    HGLOBAL slot = occupied;
    EXPECT_EQ(probe.Get(L"/probe", &slot, nullptr), -3);
    EXPECT_EQ(probe.Post(1, L"/probe", nullptr, "x", 1, &slot, nullptr), -3);
    EXPECT_EQ(probe.Post(1, L"/probe", nullptr, nullptr, 0, nullptr, nullptr), -3);
    EXPECT_EQ(slot, occupied);
    ::GlobalFree(occupied);
    EXPECT_TRUE(standin.Journal().empty());
    // The first session still serves requests, to the first host.
    std::string body;
    EXPECT_EQ(GetText(probe, L"/probe", &body), 404);
    EXPECT_EQ(standin.Journal().size(), 1u);
}

TEST_F(Transport, EveryTimeoutOfTheSessionIsFiveMinutes) {
    ProbeTransport probe;
    ASSERT_EQ(Open(probe), 0);
    for (DWORD option : {static_cast<DWORD>(INTERNET_OPTION_CONNECT_TIMEOUT),
                         static_cast<DWORD>(INTERNET_OPTION_RECEIVE_TIMEOUT),
                         static_cast<DWORD>(INTERNET_OPTION_SEND_TIMEOUT),
                         static_cast<DWORD>(INTERNET_OPTION_DATA_SEND_TIMEOUT),
                         static_cast<DWORD>(INTERNET_OPTION_DATA_RECEIVE_TIMEOUT)}) {
        DWORD timeout = 0;
        DWORD length = sizeof(timeout);
        const bool queried = ::InternetQueryOptionW(probe.Session(), option, &timeout, &length) != FALSE;
        // Wine's WinINet answers only some of these on a session handle;
        // Windows answers them all.
        if (!queried && RunningUnderWine() && option != INTERNET_OPTION_CONNECT_TIMEOUT) continue;
        ASSERT_TRUE(queried) << option;
        EXPECT_EQ(timeout, 300000u) << option;
    }
}

TEST_F(Transport, StatusCodesMapToResults) {
    ProbeTransport probe;
    ASSERT_EQ(Open(probe), 0);
    const struct {
        int status;
        int result;
    } cases[] = {{200, 0},     {201, 0},     {204, 0},     {299, 0},   {302, -121}, {304, -121},
                 {307, -121},  {400, 400},   {402, -121},  {403, 403}, {404, 404},  {405, -121},
                 {409, 409},   {410, -121},  {412, 412},   {418, -121}, {500, 500}, {501, -121},
                 {503, -121}};
    for (const auto& c : cases) {
        picojson::object fault = Fault("/probe", "status", c.status);
        // A redirect that the transport must not follow.
        if (c.status == 302) fault["headers"] = picojson::value(picojson::array{picojson::value(Texts({"Location", "/followed"}))});
        standin.QueueFault(fault);
        std::string body;
        EXPECT_EQ(GetText(probe, L"/probe", &body), c.result) << "status " << c.status;
        // The next request on the kept-alive connection gets its own answer:
        // an answer without a body (204, 304) leaves nothing behind to misread.
        EXPECT_EQ(GetText(probe, L"/probe", &body), 404) << "after status " << c.status;
    }
    const std::vector<JournalEntry> journal = standin.Journal();
    ASSERT_EQ(journal.size(), 2 * sizeof(cases) / sizeof(cases[0]));
    for (const JournalEntry& entry : journal) EXPECT_EQ(entry.path, "/probe");
    EXPECT_EQ(probe.logins, 0);
}

TEST_F(Transport, EmptySuccessfulBodyGivesNoBlock) {
    ProbeTransport probe;
    ASSERT_EQ(Open(probe), 0);
    picojson::object fault = Fault("/probe", "status", 200);
    fault["body"] = picojson::value(std::string());
    standin.QueueFault(fault);
    HGLOBAL block = nullptr;
    DWORD size = 77;
    EXPECT_EQ(probe.Get(L"/probe", &block, &size), 0);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(size, 0u);
}

TEST_F(Transport, A401IsAnsweredWithOneLogonAndOneResend) {
    ProbeTransport probe;
    ASSERT_EQ(Open(probe), 0);
    std::string body;

    picojson::object once = Fault("/probe", "status", 401);
    standin.QueueFault(once);
    EXPECT_EQ(GetText(probe, L"/probe", &body), 404);  // the resend reaches the page
    EXPECT_EQ(probe.logins, 1);
    EXPECT_EQ(probe.lastLoginRetry, 0);
    EXPECT_EQ(standin.Journal().size(), 2u);

    picojson::object twice = Fault("/probe", "status", 401);
    twice["count"] = picojson::value(2.0);
    standin.QueueFault(twice);
    EXPECT_EQ(GetText(probe, L"/probe", &body), 401);
    EXPECT_EQ(probe.logins, 2);
    EXPECT_EQ(standin.Journal().size(), 4u);

    // Without retry the 401 comes back at once; a failing logon ends the call.
    standin.QueueFault(Fault("/probe", "status", 401));
    EXPECT_EQ(probe.Post(0, L"/probe", L"Content-Type: text/plain", "x", 1, nullptr, nullptr), 401);
    EXPECT_EQ(probe.logins, 2);
    probe.onLogin = [] { return 401; };
    standin.QueueFault(Fault("/probe", "status", 401));
    EXPECT_EQ(probe.Post(1, L"/probe", L"Content-Type: text/plain", "x", 1, nullptr, nullptr), 401);
    EXPECT_EQ(probe.logins, 3);
    EXPECT_EQ(standin.Journal().size(), 6u);
}

TEST_F(Transport, CookieIsCapturedOnceCutAtTheSemicolonAndSentUntilClosed) {
    ProbeTransport probe;
    ASSERT_EQ(Open(probe), 0);
    std::string body;

    // Only the first Set-Cookie header is read, and it must name the session.
    standin.QueueFault(CookieFault({"theme=dark; Path=/", "JSESSIONID=NOTFIRST"}));
    GetText(probe, L"/probe", &body);
    EXPECT_EQ(probe.Cookie(), L"");
    // Too long for the 4096-byte buffer: left alone, and the next answer is read again.
    const std::string huge = "JSESSIONID=" + std::string(4200, 'H');
    standin.QueueFault(CookieFault({huge.c_str()}));
    GetText(probe, L"/probe", &body);
    EXPECT_EQ(probe.Cookie(), L"");

    standin.QueueFault(CookieFault({"lang=ja; JSESSIONID=ONE; Path=/; Secure; HttpOnly"}));
    GetText(probe, L"/probe", &body);
    EXPECT_EQ(probe.Cookie(), L"JSESSIONID=ONE");
    standin.QueueFault(CookieFault({"JSESSIONID=TWO"}));
    GetText(probe, L"/probe", &body);
    EXPECT_EQ(probe.Cookie(), L"JSESSIONID=ONE");
    EXPECT_EQ(probe.Post(0, L"/probe", L"Content-Type: text/plain", "body", 4, nullptr, nullptr), 404);

    probe.Close();
    EXPECT_EQ(probe.Cookie(), L"");
    ASSERT_EQ(Open(probe), 0);
    GetText(probe, L"/probe", &body);

    const std::vector<JournalEntry> journal = standin.Journal();
    ASSERT_EQ(journal.size(), 6u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(journal[i].HeaderCount("Cookie"), 0) << i;
    EXPECT_EQ(journal[3].Header("Cookie"), "JSESSIONID=ONE");  // TWO came in this answer and was ignored
    EXPECT_EQ(journal[4].Header("Cookie"), "JSESSIONID=ONE");
    EXPECT_EQ(journal[4].Header("Content-Type"), "text/plain");
    EXPECT_EQ(journal[4].body, "body");
    EXPECT_EQ(journal[5].HeaderCount("Cookie"), 0);  // closed: forgotten
    for (const JournalEntry& entry : journal) EXPECT_EQ(entry.Header("User-Agent"), "SMR-MeishiRegister/1.0");
}

TEST_F(Transport, AFailedSendReconnectsLogsOnAndResendsOnce) {
    // Nothing listens on port 1: every send fails with "cannot connect".
    ProbeTransport refused;
    refused.SetTrustAnyCertificate(true);
    ASSERT_EQ(refused.Init_Http(kServiceAgent, L"127.0.0.1", 1), 0);
    EXPECT_EQ(refused.Post(0, L"/probe", L"Content-Type: text/plain", "x", 1, nullptr, nullptr), -5);
    EXPECT_EQ(refused.logins, 0);
    EXPECT_EQ(refused.Post(1, L"/probe", L"Content-Type: text/plain", "x", 1, nullptr, nullptr), -5);
    EXPECT_EQ(refused.logins, 1);
    EXPECT_EQ(refused.lastLoginRetry, 0);

    // A send that fails for a refused certificate, whose logon puts it right:
    // the one resend goes through and is the only request the server sees.
    ProbeTransport secured;
    ASSERT_EQ(Open(secured, /*trustAny=*/false, LoopbackAlias(Alias::kVerifyThenTrust)), 0);
    secured.onLogin = [&secured] {
        secured.SetTrustAnyCertificate(true);
        return 0;
    };
    std::string body;
    EXPECT_EQ(GetText(secured, L"/probe", &body), 404);
    EXPECT_EQ(secured.logins, 1);
    EXPECT_EQ(standin.Journal().size(), 1u);

    // When the resend fails as well, the result is -101 and there is no third try.
    ProbeTransport stubborn;
    ASSERT_EQ(Open(stubborn, /*trustAny=*/false, LoopbackAlias(Alias::kVerifyTwice)), 0);
    EXPECT_EQ(GetText(stubborn, L"/probe", &body), -101);
    EXPECT_EQ(stubborn.logins, 1);
    EXPECT_EQ(standin.Journal().size(), 1u);
    ProbeTransport lenient;
    ASSERT_EQ(Open(lenient, /*trustAny=*/true, LoopbackAlias(Alias::kVerifyTwice)), 0);
    EXPECT_EQ(GetText(lenient, L"/probe", &body), 404);  // the name does lead to the stand-in
}

// Clients that count the transport's logons and otherwise log on as they would.
class CountingOcr : public CHttpOCR {
public:
    int Login(int retry) noexcept override {
        ++logins;
        return CHttpOCR::Login(retry);
    }
    int logins = 0;
};

class CountingCard : public CHttpMeishiRegister {
public:
    int Login(int retry) noexcept override {
        ++logins;
        return CHttpMeishiRegister::Login(retry);
    }
    int logins = 0;
};

TEST_F(Transport, AFailedMultipartSendIsResentOnceThenGivesMinus101) {
    ScratchDir dir;
    WriteFileBytes(dir / L"f.jpg", "\xFF\xD8 f");
    const std::wstring image = dir / L"f.jpg";

    // Nothing listens on port 1. The OCR client's logon sends nothing and
    // succeeds, so the one resend does go out and fails as well; never -5.
    CountingOcr ocr;
    ocr.SetTrustAnyCertificate(true);
    ASSERT_EQ(ocr.Init_HttpOCR(kServiceAgent, L"127.0.0.1", 1), 0);
    std::string response = "old";
    EXPECT_EQ(ocr.Post_cardocr(image.c_str(), &response, 1), -101);
    EXPECT_EQ(response, "");
    EXPECT_EQ(ocr.logins, 1);
    EXPECT_TRUE(ocr.IsOpen());
    EXPECT_EQ(ocr.Post_cardocr(image.c_str(), &response, 1), -101);
    EXPECT_EQ(ocr.logins, 2);  // every call has its own resend

    // The card client's logon fails too and closes it: no resend, -101.
    CountingCard card;
    card.SetTrustAnyCertificate(true);
    ASSERT_EQ(card.Init_HttpMeishiRegister(kServiceAgent, L"127.0.0.1", 1, L"a@example.jp", L"t"), 0);
    MeishiRecord record{};
    record.sync_id[0] = L'S';
    EXPECT_EQ(card.Post_m_card(record, image.c_str(), image.c_str()), -101);
    EXPECT_EQ(card.logins, 1);
    EXPECT_FALSE(card.IsOpen());
    ASSERT_EQ(card.Init_HttpMeishiRegister(kServiceAgent, L"127.0.0.1", 1, L"a@example.jp", L"t"), 0);
    EXPECT_EQ(card.Post_m_card_backimage("S1", image.c_str(), image.c_str()), -101);
    EXPECT_EQ(card.logins, 2);
    EXPECT_TRUE(standin.Journal().empty());
}

TEST_F(Transport, ADroppedConnectionGetsOneLogonAndResend) {
    CHttpMeishiRegister client;
    ASSERT_EQ(LogOn(client), 0);
    picojson::object drop = Fault("/service/user_status/", "drop");
    drop["count"] = picojson::value(4.0);
    standin.QueueFault(drop);
    std::string status;
    const int result = client.Get_m_User_status(&status);
    std::vector<JournalEntry> journal = standin.Journal();
    int logons = 0;
    for (const JournalEntry& entry : journal) logons += entry.path == "/service/m_login";
    if (RunningUnderWine()) {
        // Wine's WinINet fails the send for some dropped connections and, for
        // others, reports a sent request with status 0 (then -121). Windows
        // fails every such send and takes the path checked below. Either way
        // there is at most one logon and one resend.
        EXPECT_TRUE(result == -101 || result == -121) << result;
        EXPECT_LE(logons, 2);
        return;
    }
    EXPECT_EQ(result, -101);
    ASSERT_EQ(journal.size(), 4u);
    EXPECT_EQ(journal[1].path, "/service/user_status/");
    EXPECT_EQ(journal[2].path, "/service/m_login");
    EXPECT_EQ(journal[3].path, "/service/user_status/");
}

// A service that stops answering holds the transport for one time-out, not
// two: the request is given up and never sent again after a reconnect, and
// each later request of the stalled transport fails at once. The logoff
// still goes out, briefly.
TEST_F(Transport, AStalledRequestIsGivenUpAfterOneTimeOutAndNeverResent) {
    RequestTimeoutSetForTest(1500);
    CountingCard card;
    ASSERT_EQ(LogOn(card), 0);
    standin.QueueFault(Fault("/service/user_status/", "hang"));
    std::string text;
    ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(card.Get_m_User_status(&text), -7);
    ULONGLONG took = ::GetTickCount64() - start;
    EXPECT_GE(took, 1400u);
    EXPECT_LT(took, 10000u);
    EXPECT_TRUE(card.TimedOut());
    EXPECT_EQ(card.Get_m_newsyncid(&text), -7);
    standin.QueueFault(Fault("/service/m_logout", "hang"));
    start = ::GetTickCount64();
    EXPECT_EQ(card.Logout(), -7);
    EXPECT_LT(::GetTickCount64() - start, 1500u + 3000u);
    EXPECT_EQ(card.logins, 1);  // the first logon only: no logon and resend
    std::vector<JournalEntry> journal = standin.Journal();
    ASSERT_EQ(journal.size(), 3u);
    EXPECT_EQ(journal[1].path, "/service/user_status/");
    EXPECT_EQ(journal[2].path, "/service/m_logout");

    // The OCR request likewise: no reconnect and resend after its time-out.
    CountingOcr ocr;
    ASSERT_EQ(Open(ocr), 0);
    ASSERT_EQ(ocr.Login(0), 0);
    standin.QueueFault(Fault("/CardOCR/", "hang"));
    const std::wstring image = SourceDir() + L"\\tools\\samples\\card06_carter.jpg";
    EXPECT_EQ(ocr.Post_cardocr(image.c_str(), &text, 2), -7);
    EXPECT_EQ(ocr.logins, 1);
    EXPECT_EQ(standin.Journal().size(), 4u);
}

// A body that trickles in, every read getting a byte, is bounded as a whole.
TEST_F(Transport, ABodyThatTricklesInIsBoundedAsAWhole) {
    RequestTimeoutSetForTest(1500);
    ProbeTransport probe;
    ASSERT_EQ(Open(probe), 0);
    picojson::object trickle = Fault("/probe", "status", 200);
    trickle["body"] = picojson::value(std::string(200, 't'));
    trickle["trickle_ms"] = picojson::value(50.0);
    standin.QueueFault(trickle);
    std::string body;
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(GetText(probe, L"/probe", &body), -7);
    EXPECT_LT(::GetTickCount64() - start, 8000u);  // the whole body would take ten seconds
    EXPECT_TRUE(probe.TimedOut());
    EXPECT_EQ(probe.logins, 0);
}

// The run's cancel gives up the request in flight at once, waiting for its
// answer or reading its body, and nothing starts after it: no request, no
// logon and resend. The logoff goes out all the same, not cut short by it.
TEST_F(Transport, TheCancelGivesUpTheRequestInFlightAtOnce) {
    UniqueHandleNull cancel(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ULONGLONG setAt = 0;
    auto cancelWhenHeld = [&](const std::string& path) {
        return std::thread([&, path] {
            if (WaitForHeldRequest(path)) {
                setAt = ::GetTickCount64();
                ::SetEvent(cancel.get());
            }
        });
    };

    CountingCard card;
    ASSERT_EQ(LogOn(card), 0);
    card.SetCancelEvent(cancel.get());
    standin.QueueFault(Fault("/service/m_newsyncid/", "hang"));
    std::thread user = cancelWhenHeld("/service/m_newsyncid/");
    std::string text;
    EXPECT_EQ(card.Get_m_newsyncid(&text), -8);
    const ULONGLONG returned = ::GetTickCount64();
    user.join();
    ASSERT_NE(setAt, 0u);
    EXPECT_LT(returned - setAt, 1000u);
    EXPECT_TRUE(card.Cancelled());
    EXPECT_EQ(card.Get_m_User_status(&text), -8);
    EXPECT_EQ(card.Logout(), 0);
    EXPECT_EQ(card.logins, 1);
    const std::vector<JournalEntry> journal = standin.Journal();
    ASSERT_EQ(journal.size(), 3u);
    EXPECT_EQ(journal[2].path, "/service/m_logout");

    // An answer whose head came and whose body does not.
    ::ResetEvent(cancel.get());
    setAt = 0;
    CHttpOCR ocr;
    ASSERT_EQ(Open(ocr), 0);
    ASSERT_EQ(ocr.Login(0), 0);
    ocr.SetCancelEvent(cancel.get());
    picojson::object slowBody = Fault("/CardOCR/", "status", 200);
    slowBody["body"] = picojson::value(std::string("{\"lastName\":\"late\"}"));
    slowBody["body_delay_ms"] = picojson::value(60000.0);
    standin.QueueFault(slowBody);
    user = std::thread([&] {
        const bool headSent = WaitFor([&] {
            for (const JournalEntry& entry : standin.Journal()) {
                if (entry.path == "/CardOCR/cardocr" && entry.status == 200) return true;
            }
            return false;
        });
        if (headSent) {
            setAt = ::GetTickCount64();
            ::SetEvent(cancel.get());
        }
    });
    const std::wstring image = SourceDir() + L"\\tools\\samples\\card06_carter.jpg";
    EXPECT_EQ(ocr.Post_cardocr(image.c_str(), &text, 2), -8);
    const ULONGLONG given = ::GetTickCount64();
    user.join();
    ASSERT_NE(setAt, 0u);
    EXPECT_LT(given - setAt, 1000u);
    EXPECT_EQ(text, "");
}

// What WinINet may call back into stays alive until it lets go of the handle,
// also for a request given up long before: Wine finishes an abandoned
// operation in the background and reports it only when the server answers.
TEST_F(Transport, AnAbandonedRequestIsHeldUntilWinInetLetsGo) {
    const LONG before = RequestsHeldByWinInet();
    CHttpMeishiRegister card;
    ASSERT_EQ(LogOn(card), 0);
    // An exchange that ended holds nothing once WinINet says its handle is
    // closing, which in asynchronous mode may come on its own thread a moment
    // after the close.
    EXPECT_TRUE(WaitFor([&] { return RequestsHeldByWinInet() <= before; }));
    UniqueHandleNull cancel(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    card.SetCancelEvent(cancel.get());
    picojson::object late = Fault("/service/user_status/", "delay");
    late["delay_ms"] = picojson::value(2000.0);
    standin.QueueFault(late);
    std::thread user([&] {
        if (WaitFor([&] { return standin.Journal().size() == 2; })) ::SetEvent(cancel.get());
    });
    std::string text;
    EXPECT_EQ(card.Get_m_User_status(&text), -8);
    user.join();
    if (RunningUnderWine()) {
        EXPECT_GT(RequestsHeldByWinInet(), 0);
    }
    EXPECT_TRUE(WaitFor([&] { return RequestsHeldByWinInet() <= before; }));
}

TEST_F(Transport, CertificatesAreVerifiedUnlessConfiguredOtherwise) {
    const ServiceConfig strict = Config(/*trustAny=*/false, LoopbackAlias(Alias::kVerifyRefused));
    EXPECT_FALSE(strict.trustAnyCertificate);
    CHttpMeishiRegister client;
    ASSERT_EQ(client.Init_HttpMeishiRegister(kServiceAgent, strict.cardService.host.c_str(), strict.cardService.port,
                                             FromUtf8(kMail).c_str(), FromUtf8(kToken).c_str()),
              0);
    // The self-signed stand-in never sees the logon, let alone the token.
    EXPECT_EQ(client.Login(0), -101);
    EXPECT_FALSE(client.IsOpen());
    EXPECT_TRUE(standin.Journal().empty());

    // The same name with trustAnyCertificate: the stand-in was reachable all along.
    const ServiceConfig lenient = Config(/*trustAny=*/true, LoopbackAlias(Alias::kVerifyRefused));
    EXPECT_TRUE(lenient.trustAnyCertificate);
    CHttpMeishiRegister trusting;
    trusting.SetTrustAnyCertificate(lenient.trustAnyCertificate);
    ASSERT_EQ(trusting.Init_HttpMeishiRegister(kServiceAgent, lenient.cardService.host.c_str(),
                                               lenient.cardService.port, FromUtf8(kMail).c_str(),
                                               FromUtf8(kToken).c_str()),
              0);
    EXPECT_EQ(trusting.Login(0), 0);
    EXPECT_EQ(standin.Journal().size(), 1u);
}

TEST_F(Transport, ResponseBodiesAreCappedAndMustBeReadWhole) {
    ProbeTransport probe;
    ASSERT_EQ(Open(probe), 0);
    picojson::object atCap = Fault("/probe", "oversized");
    atCap["size"] = picojson::value(static_cast<double>(kMaxResponseBytes));
    standin.QueueFault(atCap);
    std::string body;
    EXPECT_EQ(GetText(probe, L"/probe", &body), 0);
    EXPECT_EQ(body.size(), kMaxResponseBytes);

    picojson::object overCap = Fault("/probe", "oversized");
    overCap["size"] = picojson::value(static_cast<double>(kMaxResponseBytes + 1));
    standin.QueueFault(overCap);
    HGLOBAL block = nullptr;
    DWORD size = 5;
    EXPECT_EQ(probe.Get(L"/probe", &block, &size), -102);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(size, 0u);

    // A body cut short of its Content-Length is no answer either.
    picojson::object cut = Fault("/probe", "cut");
    cut["body"] = picojson::value(std::string(5000, 'c'));
    standin.QueueFault(cut);
    block = nullptr;
    size = 5;
    EXPECT_EQ(probe.Get(L"/probe", &block, &size), -102);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(size, 0u);

    // Unread, a long body does not matter.
    standin.QueueFault(overCap);
    EXPECT_EQ(probe.Get(L"/probe", nullptr, nullptr), 0);

    // A read that fails gives no body and -102, not an empty success.
    block = nullptr;
    EXPECT_EQ(probe.ReadUnsent(&block), -102);
    EXPECT_EQ(block, nullptr);
}

// An answer the caller has no use for is still read to its end, however late
// its body comes: closed with bytes unread, the connection would be dropped,
// and the next request would pay for a new one and its TLS handshake.
TEST_F(Transport, UnreadAnswersLeaveTheConnectionToTheNextRequest) {
    ProbeTransport probe;
    ASSERT_EQ(Open(probe), 0);
    picojson::object late = Fault("/probe", "status", 200);
    late["body"] = picojson::value(std::string(3000, 'a'));
    late["body_delay_ms"] = picojson::value(300.0);
    standin.QueueFault(late);
    EXPECT_EQ(probe.Get(L"/probe", nullptr, nullptr), 0);
    picojson::object refused = Fault("/probe", "status", 500);
    refused["body_delay_ms"] = picojson::value(300.0);
    standin.QueueFault(refused);
    EXPECT_EQ(probe.Get(L"/probe", nullptr, nullptr), 500);
    std::string body;
    EXPECT_EQ(GetText(probe, L"/probe", &body), 404);
    const std::vector<JournalEntry> journal = standin.Journal();
    ASSERT_EQ(journal.size(), 3u);
    for (const JournalEntry& entry : journal) EXPECT_EQ(entry.connection, journal[0].connection) << entry.status;
}

TEST_F(Transport, IdleSessionIsRefreshedAfterFiveMinutes) {
    SYSTEMTIME start{};
    start.wYear = 2025;
    start.wMonth = 6;
    start.wDay = 30;
    start.wHour = 23;
    start.wMinute = 57;
    ClockSetForTest(start);
    CHttpMeishiRegister client;
    ASSERT_EQ(LogOn(client), 0);
    std::string status;
    ClockAdvanceForTest(300);
    EXPECT_EQ(client.Get_m_User_status(&status), 0);  // exactly five minutes: no refresh
    ClockAdvanceForTest(301);
    EXPECT_EQ(client.Get_m_User_status(&status), 0);
    ClockAdvanceForTest(120);
    EXPECT_EQ(client.Get_m_User_status(&status), 0);

    const std::vector<JournalEntry> journal = standin.Journal();
    ASSERT_EQ(journal.size(), 5u);
    const char* expected[] = {"/service/m_login", "/service/user_status/", "/service/m_login",
                              "/service/user_status/", "/service/user_status/"};
    for (size_t i = 0; i < journal.size(); ++i) EXPECT_EQ(journal[i].path, expected[i]) << i;
    const std::vector<std::string> sessions = standin.SessionIds();
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(journal[3].Header("Cookie"), "JSESSIONID=" + sessions[1]);

    // The OCR client's refresh only reconnects: no traffic of its own.
    CHttpOCR ocr;
    ASSERT_EQ(Open(ocr), 0);
    ASSERT_EQ(ocr.Login(0), 0);
    ScratchDir dir;
    const std::wstring image = SourceDir() + L"\\tools\\samples\\card06_carter.jpg";
    std::string answer;
    EXPECT_EQ(ocr.Post_cardocr(image.c_str(), &answer, 2), 0);
    ClockAdvanceForTest(3600);
    EXPECT_EQ(ocr.Post_cardocr(image.c_str(), &answer, 2), 0);
    EXPECT_EQ(standin.Journal().size(), 7u);
}

// The logon the transport makes before a resend is a refresh of its own. When
// the failed exchange took the session past five idle minutes, that logon must
// not refresh again inside itself: the inner logon's session would be kept,
// and a service that ends it at the outer logon refuses the resend.
TEST_F(Transport, TheLogonBeforeAResendNeverNestsAnotherLogon) {
    class SlowExchangeCard : public CHttpMeishiRegister {
    public:
        int Login(int retry) noexcept override {
            // The transport's first logon comes after an exchange that took six minutes.
            if (++logins == 2) ClockAdvanceForTest(360);
            return CHttpMeishiRegister::Login(retry);
        }
        int logins = 0;
    };
    SYSTEMTIME start{};
    start.wYear = 2025;
    start.wMonth = 3;
    start.wDay = 1;
    start.wHour = 10;
    ClockSetForTest(start);
    standin.SetOneSessionPerAccount(true);
    SlowExchangeCard client;
    ASSERT_EQ(LogOn(client), 0);
    standin.QueueFault(Fault("/service/user_status/", "status", 401));
    std::string status;
    EXPECT_EQ(client.Get_m_User_status(&status), 0);
    EXPECT_EQ(client.logins, 2);

    const std::vector<JournalEntry> journal = standin.Journal();
    ASSERT_EQ(journal.size(), 4u);
    EXPECT_EQ(journal[2].path, "/service/m_login");
    EXPECT_EQ(journal[2].HeaderCount("Cookie"), 0);
    EXPECT_EQ(journal[3].Header("Cookie"), "JSESSIONID=" + standin.SessionIds().back());
}
