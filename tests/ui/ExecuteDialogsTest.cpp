// A whole Execute in the host simulator, with the real dialogs answered from
// this test as a user would: the progress dialog, the logon asked for a job
// without an account, a failed card answered with Retry, OK (送信) in the
// settings dialog's sending mode, and a second pass that sends only the
// failed file.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "common/DialogDriver.h"
#include "common/HostProcess.h"
#include "common/SettingsPlaces.h"
#include "common/TestPaths.h"
#include "upload/StandinControl.h"

using namespace tessaran_test;
using upload_test::StandinControl;

namespace {

constexpr wchar_t kProgressTitle[] = L"Scanmoor plug-in for Veltrano";

std::string ImageName(const picojson::value& ocrRequest) {
    return upload_test::Text(upload_test::Member(ocrRequest, "image"), "filename");
}

TEST(ExecuteWithDialogs, LogonRetryAndSendingModeSendOnlyTheFailedFileAgain) {
    StandinControl standin;
    ASSERT_NE(standin.port(), 0) << "run under the stand-in";
    ASSERT_TRUE(standin.Reset());
    ASSERT_TRUE(standin.AddAccount("e2e@example.com", "e2e-token"));
    // The first card's OCR request fails, slowly enough to watch the progress
    // even on a busy machine. It is picked by its file: the next cards' requests
    // are out beside it and may reach the service first.
    ASSERT_TRUE(standin.QueueFault(
        R"({"path_prefix":"/CardOCR/","status":500,"delay_ms":4000,"body_contains":"card1.jpg"})"));

    // The settings of this session only.
    StoreLocation settings(CSIDL_APPDATA);

    // The plug-in installed with a configuration that names the stand-in.
    ScratchDir plugin(L"plug");
    ASSERT_TRUE(CopyFileTo(PluginDllPath(), plugin / L"TessaranService.dll"));
    WriteFileBytes(plugin / L"AppConfig.XML",
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<AppConfig>\r\n  <version>1.0.0.1</version>\r\n"
                   "  <cardServiceHost>" + ToUtf8(standin.HostAndPort()) + "</cardServiceHost>\r\n"
                   "  <ocrServiceHost>" + ToUtf8(standin.HostAndPort()) + "</ocrServiceHost>\r\n"
                   "  <trustAnyCertificate>1</trustAnyCertificate>\r\n</AppConfig>\r\n");

    ScratchDir scans(L"scan");
    const std::wstring samples = SourceDir() + L"\\tools\\samples\\";
    const wchar_t* names[] = {L"card1.jpg", L"card2.jpg", L"card3.jpg"};
    const wchar_t* sources[] = {L"card01_yamada.jpg", L"card06_carter.jpg", L"card01_yamada_back.jpg"};
    std::wstring images;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(CopyFileTo(samples + sources[i], scans / names[i]));
        images += L" " + Quoted(scans / names[i]);
    }

    ProcessResult run;
    std::thread host([&] {
        run = RunProcess(Quoted(HostSimPath()) + L" --dll " + Quoted(plugin / L"TessaranService.dll") +
                         L" createid execute last" + images + L" deleteid last");
    });

    // First pass: the job has no account, so the progress dialog steps aside for the logon.
    HWND logon = DialogDriver::WaitForOtherProcessWindow(L"ログオン", 60000);
    EXPECT_NE(logon, nullptr);
    if (logon) {
        HWND progress = DialogDriver::WaitForOtherProcessWindow(kProgressTitle, 0, true);
        ASSERT_NE(progress, nullptr);
        EXPECT_FALSE(::IsWindowVisible(progress));
        EXPECT_EQ(DialogDriver::ItemText(logon, 1002), L"");
        DialogDriver::Type(::GetDlgItem(logon, 1002), L"e2e@example.com");
        DialogDriver::Type(::GetDlgItem(logon, 1003), L"e2e-token");
        DialogDriver::Click(logon, IDOK);

        // Shown again while the first card is being read.
        DialogDriver any(0);
        EXPECT_TRUE(any.WaitUntil([&] { return ::IsWindowVisible(progress) != FALSE; }, 30000));
        EXPECT_TRUE(any.WaitUntil(
            [&] { return DialogDriver::ItemText(progress, 201) == L"3個のファイルをアップロード中 : 0%完了"; },
            30000))
            << ToUtf8(DialogDriver::ItemText(progress, 201));
    }

    // One card failed: retry it.
    HWND result = DialogDriver::WaitForOtherProcessWindow(L"送信結果", 60000);
    EXPECT_NE(result, nullptr);
    if (result) {
        EXPECT_EQ(DialogDriver::WaitForOtherProcessWindow(kProgressTitle, 0, true), nullptr)
            << "the progress dialog is gone before the result";
        DialogDriver::Click(result, 1027);
    }

    // The settings dialog in its sending mode, holding the account typed at the logon.
    HWND sending = DialogDriver::WaitForOtherProcessWindow(L"詳細設定", 30000);
    EXPECT_NE(sending, nullptr);
    if (sending) {
        EXPECT_EQ(DialogDriver::ItemText(sending, IDOK), L"送信(&L)");
        EXPECT_EQ(DialogDriver::ItemText(sending, 1002), L"e2e@example.com");
        EXPECT_EQ(DialogDriver::ItemText(sending, 1003), L"e2e-token");
        DialogDriver::Click(sending, IDOK);
    }

    host.join();
    std::string executed = "<none>";
    for (const HostSimCall& call : ParseHostSim(run.output)) {
        if (call.operation == "Execute") executed = call.hr;
    }
    EXPECT_EQ(executed, "00000000") << run.output;
    EXPECT_EQ(run.exitCode, 0u) << run.output;

    // Two passes, each logged on; the second sent only the card that had failed.
    EXPECT_EQ(standin.Journal("/service/m_login").size(), 2u);
    EXPECT_EQ(standin.Journal("/CardOCR/").size(), 4u);
    EXPECT_EQ(standin.Cards().size(), 3u);
    // The failed request was answered by the fault, so only the others are recorded.
    // The first pass read cards 2 and 3 side by side, in either order.
    const picojson::array read = standin.OcrRequests();
    ASSERT_EQ(read.size(), 3u);
    std::vector<std::string> firstPass = {ImageName(read[0]), ImageName(read[1])};
    std::sort(firstPass.begin(), firstPass.end());
    EXPECT_EQ(firstPass, (std::vector<std::string>{"card2.jpg", "card3.jpg"}));
    EXPECT_EQ(ImageName(read[2]), "card1.jpg");
    // No dialog of the host is left behind.
    EXPECT_EQ(DialogDriver::WaitForOtherProcessWindow(kProgressTitle, 0, true), nullptr);
}

}  // namespace
