// The settings dialog's account information button against the stand-in
// card service: the status shown with the use count first, the service's
// message for a refused logon or a failed query, the 127-unit cut of long
// names, and an answer that is not an object.
#include <gtest/gtest.h>

#include <map>

#include "common/DialogDriver.h"
#include "common/LogCapture.h"
#include "common/TestPaths.h"
#include "controller/UploadDialogs.h"
#include "service/AsyncRequest.h"
#include "upload/ServiceResult.h"
#include "upload/StandinControl.h"

using tessaran::SettingItem;
using tessaran_test::DialogDriver;
using tessaran_test::LogCapture;
using tessaran_test::RunWithDriver;
using upload_test::StandinControl;

namespace {

constexpr char kMail[] = "status@example.com";
constexpr char kToken[] = "status-token";

class AccountQuery : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(m_standin.port(), 0) << "run under the stand-in";
        ASSERT_TRUE(m_standin.Reset());
        ASSERT_TRUE(m_standin.AddAccount(kMail, kToken, 250));
        m_config = {{L"cardServiceHost", m_standin.HostAndPort()},
                    {L"ocrServiceHost", m_standin.HostAndPort()},
                    {L"trustAnyCertificate", L"1"}};
    }

    // Opens the settings dialog on an item, types the account, presses the
    // account information button and hands the dialog to check().
    void Query(const std::wstring& mail, const std::wstring& token,
               const std::function<void(DialogDriver&, HWND settings)>& check) {
        auto dialogs = tessaran::CreateRealUploadDialogs(m_config);
        SettingItem item;
        item.SetMailAddress(L"stored@example.com");
        item.SetAppToken(L"stored-token");
        bool ok = true;
        RunWithDriver(
            [&] {
                ok = dialogs->RunSettingsDialog(item, false) == S_OK;
                return 0;
            },
            [&](DialogDriver& d) {
                HWND settings = d.WaitForDialog(L"詳細設定");
                ASSERT_NE(settings, nullptr);
                DialogDriver::ClearEdit(::GetDlgItem(settings, 1002));
                DialogDriver::ClearEdit(::GetDlgItem(settings, 1003));
                DialogDriver::Type(::GetDlgItem(settings, 1002), mail);
                DialogDriver::Type(::GetDlgItem(settings, 1003), token);
                DialogDriver::Click(settings, 1000);
                check(d, settings);
                // The query leaves the dialog open; Cancel keeps the item.
                EXPECT_TRUE(::IsWindowVisible(settings));
                DialogDriver::Click(settings, IDCANCEL);
                EXPECT_TRUE(d.WaitGone(settings));
            });
        EXPECT_FALSE(ok);
        EXPECT_EQ(item.GetMailAddress(), L"stored@example.com");
    }

    // Expects the status dialog with these texts and closes it.
    static void ExpectStatus(DialogDriver& d, const std::wstring& account, const std::wstring& user,
                             const std::wstring& counts) {
        HWND status = d.WaitForDialog(L"登録情報");
        ASSERT_NE(status, nullptr);
        EXPECT_EQ(DialogDriver::ItemText(status, 1007), account);
        EXPECT_EQ(DialogDriver::ItemText(status, 1008), user);
        EXPECT_EQ(DialogDriver::ItemText(status, 1009), counts);
        DialogDriver::Click(status, IDOK);
        EXPECT_TRUE(d.WaitGone(status));
    }

    // Expects one error message box on the settings dialog and closes it.
    static void ExpectMessage(DialogDriver& d, HWND settings, const std::wstring& text) {
        const auto box = d.WaitForMessageBox(settings);
        ASSERT_NE(box.window, nullptr);
        EXPECT_EQ(box.text, text);
        EXPECT_EQ(box.caption, L"Error");
        EXPECT_TRUE(box.exclamationIcon);
        DialogDriver::Answer(box, IDOK);
        EXPECT_TRUE(d.WaitGone(box.window));
        EXPECT_TRUE(d.NoDialog(L"登録情報")) << "no status after a failure";
    }

    void QueueStatusAnswer(const std::string& body, int status = 200) {
        picojson::object fault;
        fault["path_prefix"] = picojson::value("/service/user_status/");
        fault["status"] = picojson::value(static_cast<double>(status));
        fault["body"] = picojson::value(body);
        ASSERT_TRUE(m_standin.QueueFault(picojson::value(fault).serialize()));
    }

    StandinControl m_standin;
    std::map<std::wstring, std::wstring> m_config;
};

TEST_F(AccountQuery, ShowsTheServicesAnswerUseCountFirst) {
    Query(L"status@example.com", L"status-token",
          [](DialogDriver& d, HWND) { ExpectStatus(d, L"status@example.com", L"status", L"0 / 250"); });
    // Logged on and off once.
    EXPECT_EQ(m_standin.Journal("/service/m_login").size(), 1u);
    EXPECT_EQ(m_standin.Journal("/service/user_status/").size(), 1u);
    EXPECT_EQ(m_standin.Journal("/service/m_logout").size(), 1u);

    QueueStatusAnswer(R"({"accountname":"名刺 太郎","username":"taro","max_count":100,"use_count":12})");
    Query(L"status@example.com", L"status-token",
          [](DialogDriver& d, HWND) { ExpectStatus(d, L"名刺 太郎", L"taro", L"12 / 100"); });
}

TEST_F(AccountQuery, WrongTokenShowsTheLogonMessageAndNoStatus) {
    LogCapture log;
    Query(L"status@example.com", L"wrong-token", [](DialogDriver& d, HWND settings) {
        ExpectMessage(d, settings, tessaran::GetMessageText(401));
    });
    EXPECT_NE(tessaran::GetMessageText(401).find(L"ログインできません。"), std::wstring::npos);
    EXPECT_TRUE(log.Has(3, L"OnBnClickedStatusBtn() ServerLogin Error = 401"));
    EXPECT_TRUE(m_standin.Journal("/service/user_status/").empty());
}

TEST_F(AccountQuery, FailedStatusRequestLogsOffAndShowsItsMessage) {
    LogCapture log;
    QueueStatusAnswer("{}", 500);
    Query(L"status@example.com", L"status-token", [](DialogDriver& d, HWND settings) {
        ExpectMessage(d, settings, tessaran::GetMessageText(500));
    });
    EXPECT_TRUE(log.Has(3, L"OnBnClickedStatusBtn() Get_m_User_status Error = 500"));
    EXPECT_EQ(m_standin.Journal("/service/m_logout").size(), 1u);
}

// A stalled service never freezes the settings dialog: it answers while the
// query waits, and its Cancel gives the query up at once and closes it with
// no message. Left alone, the query ends after its time-out with the message
// for a service that does not answer.
TEST_F(AccountQuery, AStalledQueryKeepsTheDialogAnsweringAndCancelEndsItAtOnce) {
    ASSERT_TRUE(m_standin.QueueFault(R"({"path_prefix":"/service/user_status/","action":"hang"})"));
    auto dialogs = tessaran::CreateRealUploadDialogs(m_config);
    SettingItem item;
    HRESULT answer = S_OK;
    ULONGLONG pressedAt = 0;
    ULONGLONG closedAt = 0;
    RunWithDriver(
        [&] {
            answer = dialogs->RunSettingsDialog(item, false);
            closedAt = ::GetTickCount64();
            return 0;
        },
        [&](DialogDriver& d) {
            HWND settings = d.WaitForDialog(L"詳細設定");
            ASSERT_NE(settings, nullptr);
            DialogDriver::Type(::GetDlgItem(settings, 1002), L"status@example.com");
            DialogDriver::Type(::GetDlgItem(settings, 1003), L"status-token");
            DialogDriver::Click(settings, 1000);
            ASSERT_TRUE(d.WaitUntil([&] {
                for (const picojson::value& entry : m_standin.Journal("/service/user_status/")) {
                    if (upload_test::Text(entry, "outcome") == "fault:hang") return true;
                }
                return false;
            }));
            DWORD_PTR ignored = 0;
            EXPECT_NE(::SendMessageTimeoutW(settings, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored), 0)
                << "the dialog does not answer while the query waits";
            pressedAt = ::GetTickCount64();
            DialogDriver::Click(settings, IDCANCEL);
            EXPECT_TRUE(d.WaitGone(settings));
        });
    EXPECT_EQ(answer, S_FALSE);
    ASSERT_NE(pressedAt, 0u);
    EXPECT_LT(closedAt - pressedAt, 1000u);
    EXPECT_EQ(m_standin.Journal("/service/m_logout").size(), 1u);

    tessaran::RequestTimeoutSetForTest(1500);
    ASSERT_TRUE(m_standin.QueueFault(R"({"path_prefix":"/service/user_status/","action":"hang"})"));
    Query(L"status@example.com", L"status-token", [](DialogDriver& d, HWND settings) {
        ExpectMessage(d, settings, tessaran::GetMessageText(-7));
    });
    tessaran::RequestTimeoutResetForTest();
}

TEST_F(AccountQuery, LongNamesAreCutToOneHundredTwentySevenUnitsAndMissingOnesLeaveNothing) {
    // 200 three-byte characters decode to 200 units and keep their first 127.
    std::string longName;
    for (int i = 0; i < 200; ++i) longName += "\xE5\x90\x8D";  // 名
    QueueStatusAnswer("{\"accountname\":\"" + longName + "\",\"max_count\":99.9,\"use_count\":\"12\"}");
    Query(L"status@example.com", L"status-token", [](DialogDriver& d, HWND) {
        ExpectStatus(d, std::wstring(127, L'名'), L"", L"0 / 99");
    });
}

TEST_F(AccountQuery, AnswerThatIsNotAnObjectShowsTheStatusMessage) {
    // A number beyond a double's range makes the parser throw, and ten
    // thousand nested levels would overrun the host's stack in it: such an
    // answer is as unusable as one that is not an object.
    std::string deep;
    for (int i = 0; i < 10000; ++i) deep += "{\"a\":";
    deep += "1" + std::string(10000, '}');
    for (const std::string& text : {std::string("[1, 2, 3]"),
                                    std::string("{\"accountname\":\"a\",\"max_count\":1e999,\"use_count\":1}"),
                                    deep}) {
        SCOPED_TRACE(text.substr(0, 40));
        LogCapture log;
        QueueStatusAnswer(text);
        Query(L"status@example.com", L"status-token", [](DialogDriver& d, HWND settings) {
            ExpectMessage(d, settings, L"ステータス情報を取得できませんでした。");
        });
        EXPECT_TRUE(log.Has(3, L"OnBnClickedStatusBtn() ServerLogout  v.is<picojson::object>() == false"));
    }
}

}  // namespace
