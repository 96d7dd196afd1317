// The help hook of the settings and result dialogs: the help command, the
// caption's help button and F1 (WM_HELP) open the plug-in's help file at context 0
// through the maker's help library; other system commands keep their work.
#include <gtest/gtest.h>

#include <sstream>

#include "common/DialogDriver.h"
#include "common/HostProcess.h"
#include "common/TestPaths.h"
#include "controller/UploadDialogs.h"
#include "controller/UploadFileList.h"
#include "support/Handles.h"

using namespace tessaran_test;

namespace {

struct HelpCall {
    HWND window;
    std::string path;
    unsigned command;
    unsigned long context;
};

// The help library that records its calls, where the plug-in looks for the maker's.
class RecordingHelp {
public:
    RecordingHelp() : m_log(m_dir / L"help.log") {
        ::SetEnvironmentVariableW(L"TESSARAN_FAKEHELP_LOG", m_log.c_str());
        installed = m_shared.PutFile(BuildDir() + L"\\tests\\fakehelp\\zumhelp.dll", L"zumhelp.dll");
    }
    ~RecordingHelp() { ::SetEnvironmentVariableW(L"TESSARAN_FAKEHELP_LOG", nullptr); }

    std::vector<HelpCall> Calls() const {
        std::vector<HelpCall> calls;
        std::istringstream lines(FileExists(m_log) ? ReadFileBytes(m_log) : std::string());
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string window, path, command, context;
            std::getline(fields, window, '\t');
            std::getline(fields, path, '\t');
            std::getline(fields, command, '\t');
            std::getline(fields, context, '\t');
            calls.push_back({reinterpret_cast<HWND>(std::stoul(window)), path,
                             static_cast<unsigned>(std::stoul(command)), std::stoul(context)});
        }
        return calls;
    }

    bool installed = false;

private:
    ScratchDir m_dir{L"help"};
    std::wstring m_log;
    MakerSharedFolder m_shared;
};

// Asks for help three ways and checks that each opened the help file.
void AskForHelpThreeWays(DialogDriver& d, HWND dialog, const RecordingHelp& help) {
    ::PostMessageW(dialog, WM_SYSCOMMAND, SC_CONTEXTHELP, 0);
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(0xE146, 0), 0);
    // What F1 sends (the system makes it from real key presses only).
    HELPINFO info = {sizeof(info)};
    info.iContextType = HELPINFO_WINDOW;
    info.hItemHandle = dialog;
    ::SendMessageW(dialog, WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_TRUE(d.WaitUntil([&] { return help.Calls().size() >= 3; }, 5000));
    // Beside the module that holds the plug-in's code: here this test program.
    const std::string expectedPath = ToUtf8(BuildDir() + L"\\tests\\Q7RD_JP.chm");
    const std::vector<HelpCall> calls = help.Calls();
    ASSERT_EQ(calls.size(), 3u);
    for (const HelpCall& call : calls) {
        EXPECT_EQ(call.window, dialog);
        EXPECT_EQ(call.path, expectedPath);
        EXPECT_EQ(call.command, 1u);  // HELP_CONTEXT
        EXPECT_EQ(call.context, 0u);
    }
    // Help leaves the dialog as it was.
    EXPECT_TRUE(::IsWindowVisible(dialog));
    EXPECT_TRUE(d.NoMessageBox(dialog));
}

TEST(DialogHelp, SettingsDialogOpensTheHelpFileAndStillClosesByItsSystemMenu) {
    RecordingHelp help;
    ASSERT_TRUE(help.installed);
    auto dialogs = tessaran::CreateRealUploadDialogs();
    tessaran::SettingItem item;
    bool ok = true;
    RunWithDriver(
        [&] {
            ok = dialogs->RunSettingsDialog(item, false) == S_OK;
            return 0;
        },
        [&](DialogDriver& d) {
            HWND dialog = d.WaitForDialog(L"詳細設定");
            ASSERT_NE(dialog, nullptr);
            AskForHelpThreeWays(d, dialog, help);
            ::PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
            EXPECT_TRUE(d.WaitGone(dialog));
        });
    EXPECT_FALSE(ok);
}

TEST(DialogHelp, ResultDialogOpensTheHelpFile) {
    RecordingHelp help;
    ASSERT_TRUE(help.installed);
    tessaran::ComPtr<tessaran::ISMRUploadFileList> list(new tessaran::CSMRUploadFileList);
    auto dialogs = tessaran::CreateRealUploadDialogs();
    const int choice = static_cast<int>(RunWithDriver([&] { return dialogs->ShowUploadResult(nullptr, list.get()); },
                                                      [&](DialogDriver& d) {
                                                          HWND dialog = d.WaitForDialog(L"送信結果");
                                                          ASSERT_NE(dialog, nullptr);
                                                          AskForHelpThreeWays(d, dialog, help);
                                                          DialogDriver::Click(dialog, 1028);
                                                          EXPECT_TRUE(d.WaitGone(dialog));
                                                      }));
    EXPECT_EQ(choice, tessaran::UPLOAD_RESULT_SAVE);
}

}  // namespace
