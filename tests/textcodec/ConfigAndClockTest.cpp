// Service configuration from AppConfig entries, the settable clock, and which
// sync IDs may travel unescaped.

#include <gtest/gtest.h>

#include "common/LogCapture.h"
#include "service/HttpMeishiRegister.h"
#include "service/ServiceConfig.h"
#include "support/Clock.h"

using namespace tessaran;

TEST(ServiceConfig, DefaultsAreReservedNamesAndVerifiedCertificates) {
    const ServiceConfig config = ServiceConfig::FromAppConfig({{L"version", L"1.0"}});
    EXPECT_EQ(config.cardService.host, L"card.veltrano.example");
    EXPECT_EQ(config.ocrService.host, L"ocr.veltrano.example");
    EXPECT_EQ(config.cardService.port, 443);
    EXPECT_EQ(config.ocrService.port, 443);
    EXPECT_FALSE(config.trustAnyCertificate);
    EXPECT_EQ(config.ocrRequestsAhead, 3);
}

TEST(ServiceConfig, HostsPortsAndTrust) {
    const ServiceConfig config = ServiceConfig::FromAppConfig({{L"cardServiceHost", L"  127.0.0.1:8443\n"},
                                                               {L"ocrServiceHost", L"ocr.test.internal"},
                                                               {L"trustAnyCertificate", L" 1 "}});
    EXPECT_EQ(config.cardService.host, L"127.0.0.1");
    EXPECT_EQ(config.cardService.port, 8443);
    EXPECT_EQ(config.ocrService.host, L"ocr.test.internal");
    EXPECT_EQ(config.ocrService.port, 443);
    EXPECT_TRUE(config.trustAnyCertificate);

    EXPECT_FALSE(ServiceConfig::FromAppConfig({{L"trustAnyCertificate", L"true"}}).trustAnyCertificate);
    EXPECT_FALSE(ServiceConfig::FromAppConfig({{L"trustAnyCertificate", L"0"}}).trustAnyCertificate);
}

TEST(ServiceConfig, MalformedEntriesKeepTheDefaults) {
    for (const wchar_t* bad : {L"", L"host:", L"host:0", L"host:65536", L"host:12x", L"ho st", L"a/b", L"h:1:2",
                               L"[::1", L"[]:443", L"[::1]x"}) {
        const ServiceConfig config = ServiceConfig::FromAppConfig({{L"cardServiceHost", bad}});
        EXPECT_EQ(config.cardService.host, L"card.veltrano.example") << bad;
        EXPECT_EQ(config.cardService.port, 443) << bad;
    }
    // OCR requests ahead: 0 to 8, or the default with one line saying so.
    EXPECT_EQ(ServiceConfig::FromAppConfig({{L"ocrRequestsAhead", L" 0 "}}).ocrRequestsAhead, 0);
    EXPECT_EQ(ServiceConfig::FromAppConfig({{L"ocrRequestsAhead", L"8"}}).ocrRequestsAhead, 8);
    for (const wchar_t* bad : {L"", L"9", L"-1", L"03", L"2x", L"\x0663"}) {
        tessaran_test::LogCapture log;
        EXPECT_EQ(ServiceConfig::FromAppConfig({{L"ocrRequestsAhead", bad}}).ocrRequestsAhead, 3) << bad;
        ASSERT_EQ(log.lines().size(), 1u) << bad;
        EXPECT_EQ(log.lines()[0].second,
                  L"AppConfig ocrRequestsAhead: not a number from 0 to 8: \"" + std::wstring(bad) + L"\"; 3 is used");
    }
    ServiceEndpoint v6;
    ASSERT_TRUE(ParseServiceEndpoint(L"[::1]:9443", &v6));
    EXPECT_EQ(v6.host, L"::1");
    EXPECT_EQ(v6.port, 9443);
}

TEST(Clock, SetAdvanceAndFormat) {
    SYSTEMTIME start{};
    start.wYear = 2024;
    start.wMonth = 2;
    start.wDay = 29;
    start.wHour = 23;
    start.wMinute = 58;
    start.wSecond = 7;
    ClockSetForTest(start);
    SYSTEMTIME now = ClockNow();
    EXPECT_EQ(ClockSecondsBetween(start, now), 0);
    ClockAdvanceForTest(301);
    now = ClockNow();
    EXPECT_EQ(ClockSecondsBetween(start, now), 301);
    wchar_t wide[24];
    EXPECT_EQ(FormatClockText(now, wide, 24), 21);
    EXPECT_STREQ(wide, L"2024-03-01 00:03:08.0");
    char narrow[22];
    EXPECT_EQ(FormatClockText(now, narrow, 22), 21);
    EXPECT_STREQ(narrow, "2024-03-01 00:03:08.0");
    EXPECT_EQ(FormatClockText(now, narrow, 21), -1);
    ClockResetForTest();
    SYSTEMTIME real;
    ::GetLocalTime(&real);
    EXPECT_LE(ClockSecondsBetween(ClockNow(), real), 2);
}

TEST(SyncId, OnlyShortPrintableIdsWithoutPathOrJsonMeaning) {
    EXPECT_TRUE(IsSafeSyncId("abc-123_XYZ.~", 13));
    EXPECT_TRUE(IsSafeSyncId("...", 3));
    EXPECT_TRUE(IsSafeSyncId("123456789012345678901234", 24));
    EXPECT_FALSE(IsSafeSyncId("1234567890123456789012345", 25));
    EXPECT_FALSE(IsSafeSyncId("", 0));
    for (const char* bad : {"a\"b", "a\\b", "a/b", "a?b", "a#b", "a%b", "a&b", "a b", "a\x7F", "a\x01", "\xC3\xA9",
                            "a;b", "a=b", ".", ".."}) {
        EXPECT_FALSE(IsSafeSyncId(bad, strlen(bad))) << bad;
    }
}
