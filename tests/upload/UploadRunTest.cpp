// Whole upload runs against the stand-in services, with scripted answers for
// every dialog.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <thread>

#include "AllocationLimit.h"
#include "StandinControl.h"
#include "common/DialogDriver.h"
#include "common/LogCapture.h"
#include "common/ScriptedDialogs.h"
#include "common/TestImages.h"
#include "common/TestPaths.h"
#include "controller/MeishiServiceCtrl.h"
#include "controller/UploadFileList.h"
#include "host/Module.h"
#include "service/AsyncRequest.h"
#include "ui/FTPStatusDlg.h"
#include "upload/OcrAhead.h"
#include "upload/ServiceResult.h"
#include "upload/ThumbnailAhead.h"

using namespace tessaran;
using tessaran_test::DialogDriver;
using tessaran_test::ScratchDir;
using tessaran_test::ScriptedDialogs;
using upload_test::Member;
using upload_test::Number;
using upload_test::StandinControl;
using upload_test::Text;

namespace {

const char kMail[] = "card.user@example.com";
const char kToken[] = "app-token:with&odd=chars%";
constexpr HRESULT kCancelled = static_cast<HRESULT>(0x800704C7);
const HRESULT kLogon401 = MakeServiceHResult(401);
const HRESULT kStatus500 = MakeServiceHResult(500);
const HRESULT kOcrFailed = MakeServiceHResult(-121);
const HRESULT kUnreadable = MakeServiceHResult(-3);
const HRESULT kStalled = MakeServiceHResult(-7);
constexpr wchar_t kProgressTitle[] = L"Scanmoor plug-in for Veltrano";

std::wstring Wide(const std::string& text) { return tessaran_test::FromUtf8(text); }

// The OCR requests of several cards are out at once and reach the stand-in in
// any order: a fault meant for one card's request names its file.
std::string ForFile(const std::string& file) {
    return file.empty() ? "" : ",\"body_contains\":\"" + file + "\"";
}

std::string Fault(const std::string& prefix, int status, int count = 1, const std::string& file = "") {
    return "{\"path_prefix\":\"" + prefix + "\",\"status\":" + std::to_string(status) +
           ",\"count\":" + std::to_string(count) + ForFile(file) + "}";
}

std::string Hang(const std::string& prefix, const std::string& file = "") {
    return "{\"path_prefix\":\"" + prefix + "\",\"action\":\"hang\"" + ForFile(file) + "}";
}

// The real progress dialog with the plug-in's own template, for runs whose
// Cancel is pressed as a user would.
class RealProgress {
public:
    RealProgress()
        : m_plugin(::LoadLibraryW((tessaran_test::BuildDir() + L"\\plugin\\TessaranService.dll").c_str())) {
        tessaran::SetModuleInstance(m_plugin);
    }
    ~RealProgress() {
        m_host.EndStatusDlg();
        tessaran::SetModuleInstance(nullptr);
        if (m_plugin) ::FreeLibrary(m_plugin);
    }
    RealProgress(const RealProgress&) = delete;
    RealProgress& operator=(const RealProgress&) = delete;
    bool Loaded() const { return m_plugin != nullptr; }
    CStatusDlgHost* Host() { return &m_host; }

private:
    HMODULE m_plugin;
    CStatusDlgHost m_host;
};

// What the user saw happen when pressing Cancel.
struct Press {
    ULONGLONG at = 0;        // 0: never pressed
    size_t journalSize = 0;  // the requests the stand-in had seen by then
};

// Presses Cancel in the progress dialog once the stand-in holds `held`
// requests under the prefix that it leaves unanswered, and has seen
// `reports` sync ID reports (so that a run that sent OCR requests ahead has
// come as far as the card whose request hangs).
std::thread PressCancelOnceHeld(const StandinControl& standin, const std::string& prefix, Press& press,
                                int held = 1, int reports = 0) {
    return std::thread([&standin, prefix, &press, held, reports] {
        const DialogDriver any(0);
        const bool ready = any.WaitUntil(
            [&] {
                int hung = 0;
                for (const picojson::value& entry : standin.Journal(prefix)) hung += Text(entry, "outcome") == "fault:hang";
                return hung >= held && static_cast<int>(standin.Journal("/service/m_log/").size()) >= reports;
            },
            30000);
        HWND progress = ready ? DialogDriver::FindProcessWindow(kProgressTitle) : nullptr;
        if (!progress) return;
        press.journalSize = standin.Journal().size();
        press.at = ::GetTickCount64();
        DialogDriver::Click(progress, 207);
    });
}

struct Scan {
    std::wstring path;
    std::string name;  // without extension: what the OCR stand-in answers as lastName
    UINT width;
    UINT height;
};

class UploadRun : public testing::Test {
protected:
    StandinControl standin;
    ScriptedDialogs dialogs;
    CMeishiServiceCtrl ctrl;
    ScratchDir folder{L"run"};
    tessaran_test::LogCapture log;
    GUID jobId = {};
    SettingItem job;
    std::vector<Scan> scans;
    std::wstring listFile;

    void SetUp() override {
        ASSERT_NE(standin.port(), 0) << "run this program through tools/standin/run_with_standin.py";
        ASSERT_TRUE(standin.Reset());
        ASSERT_TRUE(standin.AddAccount(kMail, kToken));
        ctrl.SetDialogs(&dialogs);
        ctrl.SetAppConfigValue(L"cardServiceHost", standin.HostAndPort());
        ctrl.SetAppConfigValue(L"ocrServiceHost", standin.HostAndPort());
        ctrl.SetAppConfigValue(L"trustAnyCertificate", L"1");
        ASSERT_EQ(ctrl.Connect(), S_OK);
        job.SetMailAddress(Wide(kMail));
        job.SetAppToken(Wide(kToken));
    }

    // Stores the job with its current settings.
    void StoreJob() {
        ASSERT_EQ(::CoCreateGuid(&jobId), S_OK);
        job.SetGuid(jobId);
        ASSERT_EQ(ctrl.DataStore().AddItem(job), S_OK);
    }

    // n card images of distinct widths, listed in a new list file.
    void MakeScans(int n) {
        for (int i = 1; i <= n; ++i) {
            Scan scan{folder / (L"card" + std::to_wstring(i) + L".jpg"), "card" + std::to_string(i),
                      static_cast<UINT>(300 + 10 * i), 200};
            ASSERT_EQ(tessaran_test::WriteTestImage(scan.path, scan.width, scan.height), S_OK);
            scans.push_back(scan);
        }
        WriteList();
    }

    void WriteList() {
        std::wstring text = L"\xFEFF";
        for (const Scan& scan : scans) text += scan.path + L"\r\n";
        listFile = folder / L"upload.lst";
        tessaran_test::WriteFileBytes(listFile, std::string(reinterpret_cast<const char*>(text.data()),
                                                            text.size() * sizeof(wchar_t)));
    }

    HRESULT Run(VARIANT_BOOL deleteFiles = VARIANT_FALSE) {
        return ctrl.Execute(jobId, listFile.c_str(), deleteFiles, nullptr);
    }

    std::map<std::string, picojson::value> CardsByName() {
        std::map<std::string, picojson::value> cards;
        for (const picojson::value& card : standin.Cards()) cards[Text(Member(card, "card"), "lname")] = card;
        return cards;
    }

    // (file name, meishiLang) of every OCR request the service answered, by
    // file name: requests out together arrive in any order.
    std::vector<std::pair<std::string, std::string>> OcrLog() {
        std::vector<std::pair<std::string, std::string>> log;
        for (const picojson::value& request : standin.OcrRequests()) {
            log.emplace_back(Text(Member(request, "image"), "filename"),
                             Text(Member(request, "fields"), "meishiLang"));
        }
        std::sort(log.begin(), log.end());
        return log;
    }

    int Requests(const std::string& method, const std::string& pathPrefix) {
        int n = 0;
        for (const picojson::value& entry : standin.Journal(pathPrefix)) n += Text(entry, "method") == method;
        return n;
    }

    // Every accepted registration or back image is followed by exactly one
    // sync ID report, and a refused one by none.
    void ExpectOneReportPerStoredImage() {
        const picojson::array journal = standin.Journal("/service/");
        for (size_t i = 0; i < journal.size(); ++i) {
            const std::string path = Text(journal[i], "path");
            if (path.rfind("/service/m_card/", 0) != 0) continue;
            const bool stored = Number(journal[i], "status") == 200;
            const bool reported = i + 1 < journal.size() && Text(journal[i + 1], "path") == "/service/m_log/";
            EXPECT_EQ(reported, stored) << path << " answered " << Number(journal[i], "status");
            if (reported) {
                EXPECT_TRUE(i + 2 >= journal.size() || Text(journal[i + 2], "path") != "/service/m_log/");
            }
        }
    }

    void ExpectThumbnailOf(const picojson::value& image, UINT width, UINT height) {
        const UINT thumbWidth = width > height ? 200 : width * 200 / height;
        const UINT thumbHeight = width > height ? height * 200 / width : 200;
        EXPECT_EQ(Number(image, "width"), thumbWidth);
        EXPECT_EQ(Number(image, "height"), thumbHeight);
    }

    void ExpectNoThumbnailsLeft() {
        for (const Scan& scan : scans) {
            EXPECT_FALSE(tessaran_test::FileExists(folder / (Wide(scan.name) + L"_thumb.jpg"))) << scan.name;
        }
    }

    // The SHA-256 of the thumbnail this thread makes of scan, as the stand-in writes it.
    std::string ThumbnailDigest(const Scan& scan) {
        std::wstring path;
        if (FAILED(ctrl.CreateThumbnailImage(scan.path.c_str(), path))) return "";
        const std::string bytes = tessaran_test::ReadFileBytes(path);
        ::DeleteFileW(path.c_str());
        HCRYPTPROV provider = 0;
        HCRYPTHASH hash = 0;
        BYTE digest[32] = {};
        DWORD length = sizeof(digest);
        std::string hex;
        if (::CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
            if (::CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
                if (::CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()),
                                    0) &&
                    ::CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0)) {
                    static const char kDigits[] = "0123456789abcdef";
                    for (DWORD i = 0; i < length; ++i) {
                        hex += kDigits[digest[i] >> 4];
                        hex += kDigits[digest[i] & 15];
                    }
                }
                ::CryptDestroyHash(hash);
            }
            ::CryptReleaseContext(provider, 0);
        }
        return hex;
    }

    // Whatever ended the pass, the thread that makes thumbnails ahead and the
    // OCR requests read ahead ended with it.
    void ExpectNothingOfThePassLeft() {
        EXPECT_EQ(ThumbnailAhead::RunningThreads(), 0);
        EXPECT_EQ(OcrAhead::Held(), 0);
        ExpectNoThumbnailsLeft();
    }

    // "METHOD path" of every request, in order, from the n-th on.
    std::vector<std::string> WireRecord(size_t from = 0) {
        std::vector<std::string> record;
        const picojson::array journal = standin.Journal();
        for (size_t i = from; i < journal.size(); ++i) {
            record.push_back(Text(journal[i], "method") + " " + Text(journal[i], "path"));
        }
        return record;
    }

    // The same for the card service alone: the requests whose order the
    // reading ahead must keep.
    std::vector<std::string> CardServiceRecord() {
        std::vector<std::string> record;
        for (const std::string& request : WireRecord()) {
            if (request.find(" /CardOCR/") == std::string::npos) record.push_back(request);
        }
        return record;
    }

    // What the first pass asked of the card service, whatever the retry did after.
    void ExpectFirstPass(const std::vector<std::string>& firstPass) {
        const std::vector<std::string> wire = CardServiceRecord();
        ASSERT_GT(wire.size(), firstPass.size());
        EXPECT_EQ(std::vector<std::string>(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(firstPass.size())),
                  firstPass);
    }

    // The names and texts the result dialog listed the n-th time.
    std::vector<std::wstring> ResultNames(size_t shown) {
        std::vector<std::wstring> names;
        if (shown < dialogs.resultShown.size()) {
            for (const auto& row : dialogs.resultShown[shown]) names.push_back(row.name);
        }
        return names;
    }

    // card2's registration is refused; then reading card3's answer runs out
    // of memory, which ends the pass before card4.
    HRESULT RunFailingHalfWay() {
        picojson::object huge;
        huge["path_prefix"] = picojson::value("/CardOCR/cardocr");
        huge["action"] = picojson::value("malformed");
        std::string answer = "{\"lastName\":\"card3\",\"n\":[";
        for (int i = 0; i < 1500000; ++i) answer += "1,";
        answer += "1]}";
        huge["body"] = picojson::value(answer);
        huge["body_contains"] = picojson::value("card3.jpg");
        EXPECT_TRUE(standin.QueueFault(picojson::value(huge).serialize()));
        dialogs.cancelScript = [this](int query) {
            if (query == 2) standin.QueueFault(Fault("/service/m_card/", 500));
            return FALSE;
        };
        // The answer is 3 MB; its array of numbers needs 8 MB and more.
        const upload_test::AllocationLimit limit(8u << 20);
        return Run(VARIANT_TRUE);
    }

    std::string SettingsFileBytes() {
        wchar_t path[MAX_PATH] = {};
        ctrl.DataStore().GetSettingsFilePath(path);
        return tessaran_test::ReadFileBytes(path);
    }
};

// ---- sending ----

TEST_F(UploadRun, PairingSendsOddPagesAsCardsAndEvenPagesAsTheirBacks) {
    job.SetEvenNumberImageToBackPage(1);
    job.SetOCRLangID(1);
    job.SetOCRLangBackID(2);
    StoreJob();
    MakeScans(6);

    ASSERT_EQ(Run(), S_OK);
    EXPECT_TRUE(dialogs.resultShown.empty());
    EXPECT_EQ(OcrLog(), (std::vector<std::pair<std::string, std::string>>{
                            {"card1.jpg", "1"}, {"card3.jpg", "1"}, {"card5.jpg", "1"}}));
    EXPECT_EQ(Requests("GET", "/service/m_newsyncid/"), 3);

    auto cards = CardsByName();
    ASSERT_EQ(cards.size(), 3u);
    for (int front : {0, 2, 4}) {
        const Scan& scan = scans[static_cast<size_t>(front)];
        const Scan& back = scans[static_cast<size_t>(front) + 1];
        SCOPED_TRACE(scan.name);
        ASSERT_EQ(cards.count(scan.name), 1u);
        const picojson::value& card = cards[scan.name];
        EXPECT_EQ(Number(Member(card, "image"), "width"), scan.width);
        ExpectThumbnailOf(Member(card, "thumb"), scan.width, scan.height);
        EXPECT_EQ(Number(Member(card, "back"), "width"), back.width);
        ExpectThumbnailOf(Member(card, "back_thumb"), back.width, back.height);
        EXPECT_EQ(Member(card, "m_log").get<picojson::array>().size(), 2u);  // card and back
        EXPECT_EQ(Text(Member(card, "card"), "group"), u8"グループ未設定");
    }
    EXPECT_EQ(standin.MlogReports().size(), 6u);
    ExpectOneReportPerStoredImage();
    ExpectNothingOfThePassLeft();
    // Made ahead on another thread, each thumbnail is still the very one this
    // thread makes of its own scan, front and back alike.
    for (int front : {0, 2, 4}) {
        const picojson::value& card = cards[scans[static_cast<size_t>(front)].name];
        EXPECT_EQ(Text(Member(card, "thumb"), "sha256"), ThumbnailDigest(scans[static_cast<size_t>(front)]));
        EXPECT_EQ(Text(Member(card, "back_thumb"), "sha256"), ThumbnailDigest(scans[static_cast<size_t>(front) + 1]));
    }

    // Without the delete flag every scan stays.
    for (const Scan& scan : scans) EXPECT_TRUE(tessaran_test::FileExists(scan.path));
    EXPECT_TRUE(tessaran_test::FileExists(listFile));
    EXPECT_TRUE(log.Has(LOG_ERROR, L"bfiledelete == VARIANT_FALSE"));

    EXPECT_EQ(dialogs.statusStarts, 1);
    EXPECT_EQ(dialogs.statusEnds, 1);
    ASSERT_FALSE(dialogs.statusTexts.empty());
    EXPECT_EQ(dialogs.statusTexts.front(), L"サービス へ接続中...");
    EXPECT_EQ(dialogs.statusTexts.back(), L"6個のファイルをアップロード中 : 100%完了");
    for (const wchar_t* line : {L"CMeishiServiceCtrl::Execute start", L"CMeishiServiceCtrl::UploadFiles start",
                                L"CMeishiServiceCtrl::UploadFiles end", L"CMeishiServiceCtrl::Execute end"}) {
        EXPECT_TRUE(log.Has(LOG_TRACE, line)) << tessaran_test::ToUtf8(line);
    }
}

TEST_F(UploadRun, WithoutPairingEveryPageIsACardAndEvenPagesUseTheBackLanguage) {
    job.SetEvenNumberImageToBackPage(0);
    job.SetOCRLangID(1);
    job.SetOCRLangBackID(2);
    StoreJob();
    MakeScans(6);

    ASSERT_EQ(Run(VARIANT_TRUE), S_OK);
    EXPECT_EQ(OcrLog(), (std::vector<std::pair<std::string, std::string>>{{"card1.jpg", "1"},
                                                                          {"card2.jpg", "2"},
                                                                          {"card3.jpg", "1"},
                                                                          {"card4.jpg", "2"},
                                                                          {"card5.jpg", "1"},
                                                                          {"card6.jpg", "2"}}));
    auto cards = CardsByName();
    ASSERT_EQ(cards.size(), 6u);
    for (const Scan& scan : scans) {
        const picojson::value& card = cards[scan.name];
        EXPECT_TRUE(Member(card, "back").is<picojson::null>()) << scan.name;
        EXPECT_EQ(Member(card, "m_log").get<picojson::array>().size(), 1u) << scan.name;
    }
    EXPECT_EQ(Requests("POST", "/service/m_card/backimage/"), 0);
    ExpectOneReportPerStoredImage();
    // Thumbnails and OCR answers got ahead move no request of the card
    // service: each card's three go out in turn.
    std::vector<std::string> wire{"POST /service/m_login"};
    for (size_t i = 0; i < scans.size(); ++i) {
        wire.insert(wire.end(), {"GET /service/m_newsyncid/", "POST /service/m_card/", "POST /service/m_log/"});
    }
    wire.push_back("GET /service/m_logout");
    EXPECT_EQ(CardServiceRecord(), wire);
    EXPECT_EQ(Requests("POST", "/CardOCR/cardocr"), 6);

    // Everything was sent: the scans and the list go, as the host asked.
    for (const Scan& scan : scans) EXPECT_FALSE(tessaran_test::FileExists(scan.path));
    EXPECT_FALSE(tessaran_test::FileExists(listFile));
    EXPECT_TRUE(log.Has(LOG_TRACE, L"CMeishiServiceCtrl::DeleteTargetFiles end"));
}

// The same stack sent with the OCR requests read ahead (the default) and one at
// a time (0): the same cards with the same images, backs and thumbnails, the
// same log lines, progress texts and results, the same requests to the card
// service in the same order; only the OCR requests went earlier. Read one at a
// time, the stand-in's record is request for request what it was before
// there was any reading ahead.
TEST_F(UploadRun, ReadingAheadMovesOnlyTheOcrRequests) {
    struct Outcome {
        std::vector<std::pair<int, std::wstring>> log;
        std::vector<std::wstring> statusTexts;
        std::vector<std::wstring> results;
        std::map<std::string, std::string> cards;
        std::vector<std::string> cardService;
        std::vector<std::pair<std::string, std::string>> ocr;
        std::vector<std::string> wire;
    };
    job.SetEvenNumberImageToBackPage(1);
    job.SetOCRLangID(2);
    StoreJob();
    auto send = [this](Outcome& outcome) {
        ASSERT_TRUE(standin.Reset());
        ASSERT_TRUE(standin.AddAccount(kMail, kToken));
        scans.clear();
        MakeScans(7);
        // card3 cannot be read (and takes its back card4 with it); card5's
        // registration is refused (and card6 is never sent).
        ASSERT_TRUE(standin.QueueFault(Fault("/CardOCR/cardocr", 500, 1, "card3.jpg")));
        ScriptedDialogs runDialogs;
        runDialogs.cancelScript = [this](int query) {
            if (query == 3) standin.QueueFault(Fault("/service/m_card/", 412));
            return FALSE;
        };
        ctrl.SetDialogs(&runDialogs);
        log.Clear();
        EXPECT_EQ(Run(VARIANT_TRUE), S_OK);
        ctrl.SetDialogs(&dialogs);
        outcome.log = log.lines();
        outcome.statusTexts = runDialogs.statusTexts;
        for (const auto& shown : runDialogs.resultShown) {
            for (const auto& row : shown) {
                outcome.results.push_back(row.name + L" " + std::to_wstring(row.result) + L" " + row.text);
            }
        }
        for (const picojson::value& card : standin.Cards()) {
            std::string digest;
            for (const char* image : {"image", "thumb", "back", "back_thumb"}) {
                digest += Text(Member(card, image), "sha256") + " ";
            }
            outcome.cards[Text(Member(card, "card"), "lname")] =
                digest + std::to_string(Member(card, "m_log").get<picojson::array>().size());
        }
        for (std::string request : CardServiceRecord()) {
            const size_t backImage = request.find("/backimage/");
            if (backImage != std::string::npos) request.resize(backImage + 11);  // the sync ID is the run's own
            outcome.cardService.push_back(request);
        }
        outcome.ocr = OcrLog();
        outcome.wire = WireRecord();
        ExpectNothingOfThePassLeft();
    };
    Outcome ahead;
    send(ahead);
    ctrl.SetAppConfigValue(L"ocrRequestsAhead", L"0");
    Outcome oneAtATime;
    send(oneAtATime);

    EXPECT_EQ(ahead.log, oneAtATime.log);
    EXPECT_EQ(ahead.statusTexts, oneAtATime.statusTexts);
    EXPECT_EQ(ahead.results, oneAtATime.results);
    EXPECT_EQ(ahead.results.size(), 4u);
    EXPECT_EQ(ahead.cards, oneAtATime.cards);
    EXPECT_EQ(ahead.cards.size(), 2u);  // card1 with its back, card7
    EXPECT_EQ(ahead.cardService, oneAtATime.cardService);
    EXPECT_EQ(ahead.ocr, oneAtATime.ocr);
    EXPECT_EQ(ahead.ocr,
              (std::vector<std::pair<std::string, std::string>>{{"card1.jpg", "2"}, {"card5.jpg", "2"},
                                                                {"card7.jpg", "2"}}));
    const std::vector<std::string> before = {
        "POST /service/m_login",
        "POST /CardOCR/cardocr", "GET /service/m_newsyncid/", "POST /service/m_card/", "POST /service/m_log/",
        "POST /service/m_card/backimage/", "POST /service/m_log/",
        "POST /CardOCR/cardocr",
        "POST /CardOCR/cardocr", "GET /service/m_newsyncid/", "POST /service/m_card/",
        "POST /CardOCR/cardocr", "GET /service/m_newsyncid/", "POST /service/m_card/", "POST /service/m_log/",
        "GET /service/m_logout"};
    std::vector<std::string> oneAtATimeWire = oneAtATime.wire;
    for (std::string& request : oneAtATimeWire) {
        const size_t backImage = request.find("/backimage/");
        if (backImage != std::string::npos) request.resize(backImage + 11);
    }
    EXPECT_EQ(oneAtATimeWire, before);
    // Read ahead, the first fronts' requests went out together, before card1 was registered.
    const auto firstCard = std::find(ahead.wire.begin(), ahead.wire.end(), "POST /service/m_card/");
    EXPECT_GE(std::count(ahead.wire.begin(), firstCard, "POST /CardOCR/cardocr"), 3);
}

TEST_F(UploadRun, FiveFilesWithPairingEndWithAFrontWithoutBack) {
    job.SetEvenNumberImageToBackPage(1);
    StoreJob();
    MakeScans(5);
    // A failed logoff is only written down.
    ASSERT_TRUE(standin.QueueFault(Fault("/service/m_logout", 500)));
    ASSERT_EQ(Run(), S_OK);
    EXPECT_TRUE(dialogs.resultShown.empty());
    EXPECT_TRUE(log.Has(LOG_ERROR, L"Upload.ServerLogout() Error = 500"));
    auto cards = CardsByName();
    ASSERT_EQ(cards.size(), 3u);
    EXPECT_FALSE(Member(cards["card3"], "back").is<picojson::null>());
    EXPECT_TRUE(Member(cards["card5"], "back").is<picojson::null>());
    EXPECT_EQ(Requests("POST", "/service/m_card/backimage/"), 2);
}

TEST_F(UploadRun, WithoutAThumbnailTheScanIsSentInItsPlace) {
    StoreJob();
    MakeScans(1);
    Scan broken{folder / L"broken.jpg", "broken", 0, 0};
    tessaran_test::WriteFileBytes(broken.path, std::string(3000, 'x'));
    scans.push_back(broken);
    WriteList();

    ASSERT_EQ(Run(), S_OK);
    auto cards = CardsByName();
    ASSERT_EQ(cards.count("broken"), 1u);
    EXPECT_EQ(Number(Member(cards["broken"], "image"), "size"), 3000);
    EXPECT_EQ(Number(Member(cards["broken"], "thumb"), "size"), 3000);
    EXPECT_EQ(Text(Member(cards["broken"], "image"), "sha256"), Text(Member(cards["broken"], "thumb"), "sha256"));
    EXPECT_TRUE(tessaran_test::FileExists(broken.path));  // the scan stood in for the thumbnail; it stays
    ExpectNoThumbnailsLeft();
    // The failure seen ahead on another thread is written here, where the
    // thumbnail is taken, in the order of a thumbnail made on the spot.
    const auto& lines = log.lines();
    const auto failed = std::find(lines.begin(), lines.end(),
                                  std::make_pair(static_cast<int>(LOG_ERROR), std::wstring(L"img.Load Error: error = 80004005")));
    ASSERT_NE(failed, lines.end());
    ASSERT_TRUE(failed > lines.begin() + 1 && failed + 1 < lines.end());
    EXPECT_EQ((failed - 1)->second, L"CMeishiServiceCtrl::CreateThumbnailImage start");
    EXPECT_EQ((failed + 1)->second, L"CreateThumbnailImage Error = 80004005");
    EXPECT_EQ(std::count(log.threads().begin(), log.threads().end(), ::GetCurrentThreadId()),
              static_cast<std::ptrdiff_t>(lines.size()));
}

// The back's own scan stands in for its thumbnail, never the front's.
TEST_F(UploadRun, WithoutABackThumbnailTheBackIsSentInItsPlace) {
    job.SetEvenNumberImageToBackPage(1);
    StoreJob();
    MakeScans(1);
    Scan broken{folder / L"back.jpg", "back", 0, 0};
    tessaran_test::WriteFileBytes(broken.path, std::string(2500, 'b'));
    scans.push_back(broken);
    WriteList();

    ASSERT_EQ(Run(), S_OK);
    auto cards = CardsByName();
    ASSERT_EQ(cards.count("card1"), 1u);
    const picojson::value& card = cards["card1"];
    EXPECT_EQ(Number(Member(card, "back"), "size"), 2500);
    EXPECT_EQ(Number(Member(card, "back_thumb"), "size"), 2500);
    EXPECT_EQ(Text(Member(card, "back"), "sha256"), Text(Member(card, "back_thumb"), "sha256"));
    EXPECT_TRUE(log.Has(LOG_ERROR, L"CreateThumbnailImage Back Error = 80004005"));
    EXPECT_TRUE(tessaran_test::FileExists(broken.path));
    ExpectNoThumbnailsLeft();
}

TEST_F(UploadRun, NonAsciiFileNamesTravelIntact) {
    StoreJob();
    Scan scan{folder / L"山田 太郎＃1.jpeg", u8"山田 太郎＃1", 420, 250};
    ASSERT_EQ(tessaran_test::WriteTestImage(scan.path, scan.width, scan.height), S_OK);
    scans.push_back(scan);
    WriteList();
    ASSERT_EQ(Run(), S_OK);
    EXPECT_EQ(OcrLog(), (std::vector<std::pair<std::string, std::string>>{{u8"山田 太郎＃1.jpeg", "1"}}));
    auto cards = CardsByName();
    ASSERT_EQ(cards.count(scan.name), 1u);
    ExpectThumbnailOf(Member(cards[scan.name], "thumb"), scan.width, scan.height);
    ExpectNoThumbnailsLeft();
}

// ---- failures of single cards ----

TEST_F(UploadRun, FailedOcrOfAFrontFailsItsBackAndFinishGivesUpEverything) {
    job.SetEvenNumberImageToBackPage(1);
    StoreJob();
    MakeScans(4);
    ASSERT_TRUE(standin.QueueFault(Fault("/CardOCR/cardocr", 500, 1, "card1.jpg")));
    dialogs.resultChoices = {UPLOAD_RESULT_FINISH};

    ASSERT_EQ(Run(VARIANT_TRUE), S_OK);
    ASSERT_EQ(dialogs.resultShown.size(), 1u);
    ASSERT_EQ(dialogs.resultShown[0].size(), 2u);
    for (const auto& row : dialogs.resultShown[0]) {
        EXPECT_EQ(row.result, kOcrFailed);
        EXPECT_EQ(row.text, L"接続先のサービスから不明なエラーが返ってきました。\n[エラー:-121]");
    }
    EXPECT_EQ(ResultNames(0), (std::vector<std::wstring>{L"card1.jpg", L"card2.jpg"}));
    auto cards = CardsByName();
    EXPECT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards.count("card3"), 1u);
    EXPECT_EQ(Requests("POST", "/service/m_card/backimage/"), 1);  // card2 was never sent
    EXPECT_TRUE(log.Has(LOG_ERROR, L"Upload.m_HttpOCR.Post_cardocr Error = -121"));

    // Finish gives up the unsent scans too: everything goes.
    for (const Scan& scan : scans) EXPECT_FALSE(tessaran_test::FileExists(scan.path));
    EXPECT_FALSE(tessaran_test::FileExists(listFile));
}

// A line naming a scan that is gone, or no file at all, fails before any
// request: sent without its image, the service could have accepted it.
TEST_F(UploadRun, AScanThatIsGoneFailsWithMinus3AndNothingIsSentForIt) {
    StoreJob();
    MakeScans(2);
    scans.insert(scans.begin() + 1, Scan{folder / L"gone.jpg", "gone", 0, 0});
    scans.push_back(Scan{L"", "", 0, 0});  // an empty line
    WriteList();
    ASSERT_EQ(Run(VARIANT_TRUE), S_OK);
    ASSERT_EQ(ResultNames(0), (std::vector<std::wstring>{L"gone.jpg", L""}));
    for (const auto& row : dialogs.resultShown[0]) EXPECT_EQ(row.result, kUnreadable);
    EXPECT_TRUE(log.Has(LOG_ERROR, L"Upload.m_HttpOCR.Post_cardocr Error = -3"));
    EXPECT_EQ(Requests("POST", "/CardOCR/cardocr"), 2);
    EXPECT_EQ(OcrLog(), (std::vector<std::pair<std::string, std::string>>{{"card1.jpg", "1"}, {"card2.jpg", "1"}}));
    EXPECT_EQ(CardsByName().size(), 2u);
    for (const Scan& scan : scans) EXPECT_FALSE(tessaran_test::FileExists(scan.path)) << scan.name;  // Finish
}

TEST_F(UploadRun, FailedSyncIdOrRegistrationFailsOnlyThatCard) {
    StoreJob();
    MakeScans(3);
    ASSERT_TRUE(standin.QueueFault(Fault("/service/m_newsyncid/", 500)));
    dialogs.cancelScript = [this](int query) {
        if (query == 2) standin.QueueFault(Fault("/service/m_card/", 412));
        return FALSE;
    };
    ASSERT_EQ(Run(), S_OK);
    ASSERT_EQ(dialogs.resultShown.size(), 1u);
    ASSERT_EQ(dialogs.resultShown[0].size(), 2u);
    EXPECT_EQ(dialogs.resultShown[0][0].result, kStatus500);
    EXPECT_EQ(dialogs.resultShown[0][1].name, L"card2.jpg");
    EXPECT_EQ(dialogs.resultShown[0][1].text, L"これ以上登録することができません。\n[エラー:0412]");
    EXPECT_EQ(CardsByName().count("card3"), 1u);
    EXPECT_EQ(standin.MlogReports().size(), 1u);
    ExpectOneReportPerStoredImage();
    ExpectNoThumbnailsLeft();
    EXPECT_TRUE(log.Has(LOG_ERROR, L"Upload.m_Http.Get_m_newsyncid Error = 500"));
    EXPECT_TRUE(log.Has(LOG_ERROR, L"Upload.DoUploadMeishi Error = 412"));
}

// The example of the fault report: card 1 registers but its back fails, the
// reading of card 3 fails and takes card 4 with it. The retry keeps every file
// in its role: card 2 goes to card 1's sync ID, card 3 is read again (with the
// language the retry chose) and card 4 becomes its back. No back is ever read.
TEST_F(UploadRun, RetryKeepsEveryFileInItsRoleOfFrontOrBack) {
    job.SetEvenNumberImageToBackPage(1);
    job.SetOCRLangID(1);
    StoreJob();
    MakeScans(4);
    ASSERT_TRUE(standin.QueueFault(Fault("/service/m_card/backimage/", 500)));
    // card3's reading fails in the first pass only.
    ASSERT_TRUE(standin.QueueFault(Fault("/CardOCR/cardocr", 500, 1, "card3.jpg")));
    dialogs.resultChoices = {UPLOAD_RESULT_RETRY};
    dialogs.settingsOk = true;
    dialogs.settingsEdit = [](SettingItem& item) { item.SetOCRLangID(2); };

    ASSERT_EQ(Run(VARIANT_TRUE), S_OK);
    ASSERT_EQ(dialogs.resultShown.size(), 1u);
    EXPECT_EQ(ResultNames(0), (std::vector<std::wstring>{L"card2.jpg", L"card3.jpg", L"card4.jpg"}));
    EXPECT_EQ(dialogs.resultShown[0][0].result, kStatus500);
    EXPECT_EQ(dialogs.resultShown[0][1].result, kOcrFailed);
    EXPECT_EQ(dialogs.resultShown[0][2].result, kOcrFailed);
    EXPECT_EQ(dialogs.settingsAsked, 1);
    EXPECT_TRUE(dialogs.settingsSendingMode);
    EXPECT_TRUE(log.Has(LOG_ERROR, L"Upload.DoUploadImage Error = 500"));

    // Only fronts are read; the refused reading of card3 is only in the journal.
    EXPECT_EQ(OcrLog(), (std::vector<std::pair<std::string, std::string>>{{"card1.jpg", "1"}, {"card3.jpg", "2"}}));
    EXPECT_EQ(Requests("POST", "/CardOCR/cardocr"), 3);
    EXPECT_EQ(Requests("GET", "/service/m_newsyncid/"), 2);
    auto cards = CardsByName();
    ASSERT_EQ(cards.size(), 2u);
    EXPECT_EQ(Number(Member(cards["card1"], "back"), "width"), scans[1].width);
    EXPECT_EQ(Number(Member(cards["card3"], "back"), "width"), scans[3].width);
    EXPECT_EQ(Number(cards["card1"], "back_uploads"), 1);
    ExpectOneReportPerStoredImage();
    for (const Scan& scan : scans) EXPECT_FALSE(tessaran_test::FileExists(scan.path));
}

// A retried back goes to its own card; the cards finished in the first pass
// are never touched again, let alone attached to another card.
TEST_F(UploadRun, ARetriedBackGoesToItsOwnCardAndFinishedCardsStayAsTheyAre) {
    job.SetEvenNumberImageToBackPage(1);
    StoreJob();
    MakeScans(4);
    ASSERT_TRUE(standin.QueueFault(Fault("/service/m_card/backimage/", 500)));
    dialogs.resultChoices = {UPLOAD_RESULT_RETRY};
    dialogs.settingsOk = true;

    ASSERT_EQ(Run(), S_OK);
    EXPECT_EQ(ResultNames(0), std::vector<std::wstring>{L"card2.jpg"});
    EXPECT_EQ(OcrLog().size(), 2u);  // card1 and card3, in the first pass
    auto cards = CardsByName();
    ASSERT_EQ(cards.size(), 2u);
    EXPECT_EQ(Number(Member(cards["card1"], "back"), "width"), scans[1].width);
    EXPECT_EQ(Number(Member(cards["card3"], "back"), "width"), scans[3].width);
    EXPECT_EQ(Number(cards["card3"], "back_uploads"), 1);
    EXPECT_EQ(Requests("POST", "/service/m_card/backimage/"), 3);  // the failed one, card4, card2 again
}

// Of one pass's cards the run keeps the sync IDs a later pass needs: a card
// stored whole leaves nothing behind, so the record does not grow with the stack.
TEST_F(UploadRun, APassKeepsOnlyTheSyncIdsOfCardsStillToFinish) {
    job.SetEvenNumberImageToBackPage(1);
    MakeScans(6);
    ASSERT_TRUE(standin.QueueFault(Fault("/service/m_card/backimage/", 500)));
    ComPtr<ISMRUploadFileList> list(new CSMRUploadFileList);
    ASSERT_EQ(ctrl.CreateUploadFileList(listFile.c_str(), list.get()), S_OK);
    CardSyncIds syncIds;
    ASSERT_EQ(ctrl.UploadFiles(nullptr, job, list.get(), syncIds), S_OK);
    EXPECT_EQ(syncIds.Count(), 1u);
    EXPECT_NE(syncIds.Find(list->GetAt(0)), nullptr);  // card1, whose back goes again
}

// A registration whose answer never came may have been stored. The retry sends
// it with the sync ID it already has, so the service replaces the card rather
// than keep a second one against the account's limit.
TEST_F(UploadRun, ALostRegistrationAnswerIsResentWithItsOwnSyncId) {
    StoreJob();
    MakeScans(1);
    // Stored, then silence; enough of them for any resend WinINet makes on its
    // own (Wine's tries each connection it keeps to the host, and the OCR
    // requests read ahead leave more of them).
    ASSERT_TRUE(standin.QueueFault(R"({"path_prefix":"/service/m_card/","action":"lose","count":10})"));
    dialogs.resultChoices = {UPLOAD_RESULT_RETRY};
    dialogs.settingsOk = true;
    dialogs.settingsEdit = [this](SettingItem&) { ASSERT_TRUE(standin.ClearFaults()); };

    ASSERT_EQ(Run(VARIANT_TRUE), S_OK);
    ASSERT_EQ(ResultNames(0), std::vector<std::wstring>{L"card1.jpg"});
    // Windows fails the send (-101); Wine's WinINet reads status 0 (-121).
    const HRESULT lost = dialogs.resultShown[0][0].result;
    EXPECT_TRUE(lost == MakeServiceHResult(-101) || lost == MakeServiceHResult(-121)) << std::hex << lost;

    EXPECT_EQ(Requests("GET", "/service/m_newsyncid/"), 1);
    const picojson::array cards = standin.Cards();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_GE(Number(cards[0], "registrations"), 2);
    EXPECT_EQ(standin.MlogReports().size(), 1u);
    EXPECT_FALSE(tessaran_test::FileExists(scans[0].path));
}

// The fault report's case: the registration's answer is lost in the first
// pass, refused with 500 in the second, and taken in the third. The card went
// out under one sync ID every time, and the service holds it once.
TEST_F(UploadRun, ACardThatMayBeStoredKeepsItsSyncIdThroughEveryLaterFailure) {
    StoreJob();
    MakeScans(1);
    ASSERT_TRUE(standin.QueueFault(R"({"path_prefix":"/service/m_card/","action":"lose","count":10})"));
    dialogs.resultChoices = {UPLOAD_RESULT_RETRY, UPLOAD_RESULT_RETRY};
    dialogs.settingsOk = true;
    int retries = 0;
    dialogs.settingsEdit = [this, &retries](SettingItem&) {
        ASSERT_TRUE(standin.ClearFaults());
        if (++retries == 1) {
            ASSERT_TRUE(standin.QueueFault(Fault("/service/m_card/", 500)));
        }
    };

    ASSERT_EQ(Run(VARIANT_TRUE), S_OK);
    ASSERT_EQ(dialogs.resultShown.size(), 2u);
    EXPECT_EQ(dialogs.resultShown[1][0].result, kStatus500);
    EXPECT_EQ(Requests("GET", "/service/m_newsyncid/"), 1);  // the only sync ID ever asked for
    EXPECT_GE(Requests("POST", "/service/m_card/"), 3);
    const picojson::array cards = standin.Cards();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_GE(Number(cards[0], "registrations"), 2);
    EXPECT_FALSE(tessaran_test::FileExists(scans[0].path));
}

// One card's answer that the parser cannot hold (a number beyond a double)
// must not break off the pass and leave the cards after it unsent.
TEST_F(UploadRun, AnUnreadableNumberInOneAnswerStopsNothing) {
    StoreJob();
    MakeScans(3);
    ASSERT_TRUE(standin.QueueFault(R"({"path_prefix":"/CardOCR/cardocr","action":"malformed",)"
                                   R"("body":"{\"lastName\":\"card2\",\"n\":1e999,\"company\":\"x\"}",)"
                                   R"("body_contains":"card2.jpg"})"));
    ASSERT_EQ(Run(VARIANT_TRUE), S_OK);
    EXPECT_TRUE(dialogs.resultShown.empty());
    auto cards = CardsByName();
    ASSERT_EQ(cards.size(), 3u);
    EXPECT_EQ(Text(Member(cards["card2"], "card"), "cname"), "");
    for (const Scan& scan : scans) EXPECT_FALSE(tessaran_test::FileExists(scan.path));
}

// ---- logon ----

TEST_F(UploadRun, RefusedLogonFailsEveryFileWithThe401Message) {
    job.SetAppToken(L"wrong-token");
    StoreJob();
    MakeScans(3);
    ASSERT_EQ(Run(), S_OK);
    ASSERT_EQ(dialogs.resultShown.size(), 1u);
    ASSERT_EQ(dialogs.resultShown[0].size(), 3u);
    for (const auto& row : dialogs.resultShown[0]) {
        EXPECT_EQ(row.result, kLogon401);
        EXPECT_EQ(row.text, L"ログインできません。ログイン情報を正しく設定しているか確認して下さい。\n[エラー:0401]");
    }
    EXPECT_TRUE(standin.OcrRequests().empty());
    EXPECT_EQ(Requests("GET", "/service/m_logout"), 0);  // a refused logon is not logged off
    EXPECT_TRUE(log.Has(LOG_ERROR, L"Upload.ServerLogin: error = 80EF0579"));
    EXPECT_TRUE(log.Has(LOG_ERROR, L"UploadFiles Error = 80EF0579"));
    ExpectNothingOfThePassLeft();  // card1's thumbnail was begun before the logon
}

// The cards sent before stay sent when the logon of a retry fails: marked as
// failed, a further retry would register them a second time.
TEST_F(UploadRun, ARefusedLogonOfARetryFailsOnlyTheUnsentFiles) {
    StoreJob();
    MakeScans(3);
    ASSERT_TRUE(standin.QueueFault(Fault("/service/m_card/", 500)));
    dialogs.resultChoices = {UPLOAD_RESULT_RETRY, UPLOAD_RESULT_RETRY};
    dialogs.settingsOk = true;
    int edits = 0;
    dialogs.settingsEdit = [&edits](SettingItem& item) {
        item.SetAppToken(++edits == 1 ? L"wrong-token" : Wide(kToken));
    };

    ASSERT_EQ(Run(VARIANT_TRUE), S_OK);
    ASSERT_EQ(dialogs.resultShown.size(), 2u);
    EXPECT_EQ(ResultNames(0), std::vector<std::wstring>{L"card1.jpg"});
    ASSERT_EQ(ResultNames(1), std::vector<std::wstring>{L"card1.jpg"});
    EXPECT_EQ(dialogs.resultShown[1][0].result, kLogon401);
    // The third pass sends card1 alone: every card once.
    EXPECT_EQ(CardsByName().size(), 3u);
    EXPECT_EQ(standin.Cards().size(), 3u);
    EXPECT_EQ(dialogs.statusStarts, 3);
    for (const Scan& scan : scans) EXPECT_FALSE(tessaran_test::FileExists(scan.path));
}

TEST_F(UploadRun, CancelledLogonDialogCancelsEveryFile) {
    job.SetAppToken(L"");
    StoreJob();
    MakeScans(2);
    ASSERT_EQ(Run(), S_OK);
    EXPECT_EQ(dialogs.logonAsked, 1);
    EXPECT_EQ(dialogs.logonPresetMail, Wide(kMail));
    EXPECT_EQ(dialogs.showCommands, std::vector<int>{SW_HIDE});
    ASSERT_EQ(dialogs.resultShown.size(), 1u);
    ASSERT_EQ(dialogs.resultShown[0].size(), 2u);
    for (const auto& row : dialogs.resultShown[0]) {
        EXPECT_EQ(row.result, kCancelled);
        EXPECT_EQ(row.text, GetResultText(kCancelled));
        EXPECT_FALSE(row.text.empty());
        EXPECT_EQ(row.text.find(L"[エラー"), std::wstring::npos);  // the system's words, not the table's
    }
    EXPECT_TRUE(standin.Journal("/service/").empty());
    EXPECT_TRUE(log.Has(LOG_ERROR, L"IDCANCEL == Dlg.DoModal(): error = 800704C7"));
}

TEST_F(UploadRun, LogonDialogValuesServeTheRunOnly) {
    job.SetMailAddress(L"");
    job.SetAppToken(L"");
    StoreJob();
    MakeScans(2);
    const std::string settingsBefore = SettingsFileBytes();
    dialogs.logonOk = true;
    dialogs.logonMailAddress = Wide(kMail);
    dialogs.logonAppToken = Wide(kToken);

    ASSERT_EQ(Run(), S_OK);
    EXPECT_EQ(dialogs.showCommands, (std::vector<int>{SW_HIDE, SW_SHOW}));
    EXPECT_EQ(standin.Cards().size(), 2u);
    EXPECT_EQ(SettingsFileBytes(), settingsBefore);
}

// ---- the user's choices ----

TEST_F(UploadRun, CancelDuringTheLoopCancelsTheRemainingFilesAndRetrySkipsTheSentOnes) {
    StoreJob();
    MakeScans(4);
    LONG aheadAtCancel = -1;
    LONG readAheadAtCancel = -1;
    dialogs.cancelScript = [this, &aheadAtCancel, &readAheadAtCancel](int query) {
        if (dialogs.statusStarts == 1 && query == 3) {
            aheadAtCancel = ThumbnailAhead::RunningThreads();
            readAheadAtCancel = OcrAhead::Held();
        }
        return (dialogs.statusStarts == 1 && query >= 3) ? TRUE : FALSE;
    };
    dialogs.resultChoices = {UPLOAD_RESULT_RETRY};
    dialogs.settingsOk = true;
    dialogs.settingsEdit = [this](SettingItem&) { ExpectNothingOfThePassLeft(); };

    ASSERT_EQ(Run(), S_OK);
    EXPECT_EQ(aheadAtCancel, 1);  // card3's thumbnail was under way when the user cancelled
    EXPECT_EQ(readAheadAtCancel, 2);  // and so were the readings of cards 3 and 4
    ExpectNothingOfThePassLeft();
    ASSERT_EQ(dialogs.resultShown.size(), 1u);
    EXPECT_EQ(ResultNames(0), (std::vector<std::wstring>{L"card3.jpg", L"card4.jpg"}));
    for (const auto& row : dialogs.resultShown[0]) {
        EXPECT_EQ(row.result, kCancelled);
        EXPECT_EQ(row.text, GetResultText(kCancelled));
    }
    // Nothing read in the first pass serves the retry: it reads cards 3 and 4 again.
    const std::vector<std::string> wire = WireRecord();
    const auto retry = std::find(std::find(wire.begin(), wire.end(), "POST /service/m_login") + 1, wire.end(),
                                 "POST /service/m_login");
    EXPECT_EQ(std::count(retry, wire.end(), "POST /CardOCR/cardocr"), 2);
    EXPECT_EQ(standin.Cards().size(), 4u);
}

// A service that stops answering, at each of its endpoints in turn, and the
// user presses Cancel in the real progress dialog once the stalled request has
// arrived. Execute returns at once; the card in flight and every later file
// are listed as cancelled and kept (a cancelled settings dialog of the retry
// deletes only what was sent); after the press nothing goes out but a brief
// logoff; the bar never fills.
TEST_F(UploadRun, CancelDuringAStallAtEachEndpointReturnsAtOnce) {
    struct StallCase {
        const char* endpoint;
        std::vector<std::string> hangs;  // faults of the requests that are never answered
        std::string held;                // the press comes once this many requests under this prefix
        int heldCount;                   // are held,
        int reports;                     // and this many sync ID reports came (the run reached the card)
        int atQuery;                     // the faults are queued before the n-th card; 0: before the run
        bool pairing;
        int files;
        std::vector<std::wstring> listed;  // the files left unsent, each cancelled
        std::vector<std::string> cards;    // what the stand-in holds afterwards
        std::vector<std::string> afterPress;  // the requests it saw after the press
    };
    const std::string ocr = "/CardOCR/";
    const std::vector<StallCase> cases = {
        {"logon", {Hang("/service/m_login")}, "/service/m_login", 1, 0, 0, false, 3,
         {L"card1.jpg", L"card2.jpg", L"card3.jpg"}, {}, {}},
        // card2's request went out with card1's, ahead of it.
        {"OCR", {Hang(ocr, "card2.jpg")}, ocr, 1, 1, 0, false, 3, {L"card2.jpg", L"card3.jpg"}, {"card1"},
         {"GET /service/m_logout"}},
        {"sync ID", {Hang("/service/m_newsyncid/")}, "/service/m_newsyncid/", 1, 0, 2, false, 3,
         {L"card2.jpg", L"card3.jpg"}, {"card1"}, {"GET /service/m_logout"}},
        {"registration", {Hang("/service/m_card/")}, "/service/m_card/", 1, 0, 2, false, 3,
         {L"card2.jpg", L"card3.jpg"}, {"card1"}, {"GET /service/m_logout"}},
        {"back image", {Hang("/service/m_card/backimage/")}, "/service/m_card/backimage/", 1, 0, 1, true, 4,
         {L"card2.jpg", L"card3.jpg", L"card4.jpg"}, {"card1"}, {"GET /service/m_logout"}},
        {"report", {Hang("/service/m_log/")}, "/service/m_log/", 1, 0, 1, false, 3, {L"card2.jpg", L"card3.jpg"},
         {"card1"}, {"GET /service/m_logout"}},
        {"logoff", {Hang("/service/m_logout")}, "/service/m_logout", 1, 0, 0, false, 3, {},
         {"card1", "card2", "card3"}, {}},
        // Three OCR requests out ahead, all stalled, while the run waits for
        // the first of them: the cancel gives up all three, and card5's is
        // never sent.
        {"OCR ahead", {Hang(ocr, "card2.jpg"), Hang(ocr, "card3.jpg"), Hang(ocr, "card4.jpg")}, ocr, 3, 1, 0, false,
         5, {L"card2.jpg", L"card3.jpg", L"card4.jpg", L"card5.jpg"}, {"card1"}, {"GET /service/m_logout"}},
        // The logoff after the cancel stalls too: it is bounded, not cut.
        {"OCR+logoff", {Hang(ocr, "card2.jpg"), Hang("/service/m_logout")}, ocr, 1, 1, 0, false, 3,
         {L"card2.jpg", L"card3.jpg"}, {"card1"}, {"GET /service/m_logout"}},
    };
    RealProgress progress;
    ASSERT_TRUE(progress.Loaded());
    std::printf("endpoint      press-to-return  cards held      listed\n");
    for (const StallCase& c : cases) {
        SCOPED_TRACE(c.endpoint);
        ASSERT_TRUE(standin.Reset());
        ASSERT_TRUE(standin.AddAccount(kMail, kToken));
        ScriptedDialogs caseDialogs;
        caseDialogs.realProgress = progress.Host();
        caseDialogs.resultChoices = {UPLOAD_RESULT_RETRY};
        caseDialogs.settingsOk = false;  // the run ends keeping what it did not send
        ctrl.SetDialogs(&caseDialogs);
        job.SetEvenNumberImageToBackPage(c.pairing ? 1 : 0);
        StoreJob();
        scans.clear();
        MakeScans(c.files);
        auto queueHangs = [&] {
            for (const std::string& fault : c.hangs) standin.QueueFault(fault);
        };
        if (c.atQuery == 0) queueHangs();
        caseDialogs.cancelScript = [&](int query) {
            if (query == c.atQuery) queueHangs();
            return FALSE;
        };

        Press press;
        std::thread user = PressCancelOnceHeld(standin, c.held, press, c.heldCount, c.reports);
        const HRESULT hr = Run(VARIANT_TRUE);
        const ULONGLONG returnedAt = ::GetTickCount64();
        user.join();
        if (press.at == 0) ctrl.SetDialogs(&dialogs);
        ASSERT_NE(press.at, 0u) << "the stalled request never arrived";
        const double seconds = static_cast<double>(returnedAt - press.at) / 1000.0;
        // Against a service that would hold the run for minutes.
        EXPECT_LT(seconds, 5.0);

        if (c.listed.empty()) {
            EXPECT_EQ(hr, S_OK);
            EXPECT_TRUE(caseDialogs.resultShown.empty());
        } else {
            EXPECT_EQ(hr, kCancelled);
            ASSERT_EQ(caseDialogs.resultShown.size(), 1u);
            std::vector<std::wstring> listed;
            for (const auto& row : caseDialogs.resultShown[0]) {
                listed.push_back(row.name);
                EXPECT_EQ(row.result, kCancelled) << tessaran_test::ToUtf8(row.name);
            }
            EXPECT_EQ(listed, c.listed);
        }
        std::vector<std::string> held;
        for (const auto& card : CardsByName()) held.push_back(card.first);
        EXPECT_EQ(held, c.cards);
        EXPECT_EQ(WireRecord(press.journalSize), c.afterPress);
        // Sent scans went, as the host asked; those not sent stay.
        for (const Scan& scan : scans) {
            const bool unsent = std::find(c.listed.begin(), c.listed.end(), Wide(scan.name) + L".jpg") != c.listed.end();
            EXPECT_EQ(tessaran_test::FileExists(scan.path), unsent) << scan.name;
        }
        if (!c.listed.empty()) {
            for (const std::wstring& text : caseDialogs.statusTexts) EXPECT_EQ(text.find(L"100%"), std::wstring::npos);
        }
        std::string listedNames;
        for (const std::wstring& name : c.listed) listedNames += tessaran_test::ToUtf8(name) + " ";
        std::printf("%-12s  %6.2f s         %zu of %d      %s\n", c.endpoint, seconds, held.size(), c.files,
                    listedNames.c_str());
        ExpectNothingOfThePassLeft();
    }
    ctrl.SetDialogs(&dialogs);
}

// A registration given up by the cancel may have been stored: the retry sends
// the card again under the sync ID it already went out with, and the service
// holds it once.
TEST_F(UploadRun, ARegistrationGivenUpByTheCancelIsRetriedUnderItsSyncId) {
    StoreJob();
    MakeScans(1);
    RealProgress progress;
    ASSERT_TRUE(progress.Loaded());
    dialogs.realProgress = progress.Host();
    ASSERT_TRUE(standin.QueueFault(Hang("/service/m_card/")));
    dialogs.resultChoices = {UPLOAD_RESULT_RETRY};
    dialogs.settingsOk = true;
    Press press;
    std::thread user = PressCancelOnceHeld(standin, "/service/m_card/", press);
    ASSERT_EQ(Run(VARIANT_TRUE), S_OK);
    user.join();
    ASSERT_EQ(ResultNames(0), std::vector<std::wstring>{L"card1.jpg"});
    EXPECT_EQ(dialogs.resultShown[0][0].result, kCancelled);
    EXPECT_EQ(Requests("GET", "/service/m_newsyncid/"), 1);
    EXPECT_EQ(Requests("POST", "/service/m_card/"), 2);
    const picojson::array cards = standin.Cards();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_FALSE(tessaran_test::FileExists(scans[0].path));
    dialogs.realProgress = nullptr;
}

// A service that stalls without the user doing anything ends the pass after
// one time-out of the request (shortened here): the file in flight and every
// file after it take the time-out, are listed, kept and sent by the retry.
// Before, each card waited a time-out twice (the request and its resend).
// The stalled registration may have been stored: the retry repeats it under
// its sync ID, so that every card is held once under one ID.
TEST_F(UploadRun, AStalledServiceEndsThePassAfterOneTimeOut) {
    RequestTimeoutSetForTest(2000);
    StoreJob();
    MakeScans(4);
    dialogs.cancelScript = [this](int query) {
        if (query == 2 && dialogs.statusStarts == 1) standin.QueueFault(Hang("/service/m_card/"));
        return FALSE;
    };
    dialogs.resultChoices = {UPLOAD_RESULT_RETRY};
    dialogs.settingsOk = true;
    ULONGLONG listedAt = 0;
    dialogs.settingsEdit = [&listedAt](SettingItem&) { listedAt = ::GetTickCount64(); };
    const ULONGLONG start = ::GetTickCount64();
    const HRESULT hr = Run(VARIANT_TRUE);
    RequestTimeoutResetForTest();
    ASSERT_EQ(hr, S_OK);
    const double passSeconds = static_cast<double>(listedAt - start) / 1000.0;
    std::printf("stalled registration of card2, time-out 2 s: the first pass took %.2f s\n", passSeconds);
    EXPECT_LT(passSeconds, 2.0 * 2);  // one time-out, not two

    ASSERT_EQ(ResultNames(0), (std::vector<std::wstring>{L"card2.jpg", L"card3.jpg", L"card4.jpg"}));
    for (const auto& row : dialogs.resultShown[0]) {
        EXPECT_EQ(row.result, kStalled);
        EXPECT_EQ(row.text, L"接続先のサービスから応答がありません。処理を継続することができません。\n[エラー:-007]");
    }
    EXPECT_TRUE(log.Has(LOG_ERROR, L"Upload.DoUploadMeishi Error = -7"));
    EXPECT_TRUE(log.Has(LOG_ERROR, L"UploadFiles service stalled: error = 80EF03E1"));
    // The stalled registration went out once; the first pass still logged off.
    ExpectFirstPass({"POST /service/m_login", "GET /service/m_newsyncid/", "POST /service/m_card/",
                     "POST /service/m_log/", "GET /service/m_newsyncid/", "POST /service/m_card/",
                     "GET /service/m_logout"});
    // The retry sent the rest; card2 went again under the ID it had.
    EXPECT_EQ(standin.Cards().size(), 4u);
    EXPECT_EQ(Requests("GET", "/service/m_newsyncid/"), 4);
    for (const Scan& scan : scans) EXPECT_FALSE(tessaran_test::FileExists(scan.path));
}

// The OCR service stalls on card2's request, which went out ahead with card1's
// while more were out: the pass ends when the run reaches card2, as if card2
// had just sent it (its log line, the time-out for it and every file after
// it), and the card service hears nothing of card2 or later. Nothing read
// ahead serves the retry, which reads them again and sends them all.
TEST_F(UploadRun, AReadingAheadThatStallsEndsThePassAtItsOwnCard) {
    RequestTimeoutSetForTest(2000);
    StoreJob();
    MakeScans(4);
    ASSERT_TRUE(standin.QueueFault(Hang("/CardOCR/", "card2.jpg")));
    dialogs.resultChoices = {UPLOAD_RESULT_RETRY};
    dialogs.settingsOk = true;
    dialogs.settingsEdit = [this](SettingItem&) { ExpectNothingOfThePassLeft(); };
    const HRESULT hr = Run(VARIANT_TRUE);
    RequestTimeoutResetForTest();
    ASSERT_EQ(hr, S_OK);

    ASSERT_EQ(ResultNames(0), (std::vector<std::wstring>{L"card2.jpg", L"card3.jpg", L"card4.jpg"}));
    for (const auto& row : dialogs.resultShown[0]) EXPECT_EQ(row.result, kStalled);
    const auto& lines = log.lines();
    const auto stalled = std::find(lines.begin(), lines.end(),
                                   std::make_pair(static_cast<int>(LOG_ERROR),
                                                  std::wstring(L"Upload.m_HttpOCR.Post_cardocr Error = -7")));
    ASSERT_NE(stalled, lines.end());
    EXPECT_EQ((stalled + 1)->second, L"UploadFiles service stalled: error = 80EF03E1");
    ExpectFirstPass({"POST /service/m_login", "GET /service/m_newsyncid/", "POST /service/m_card/",
                     "POST /service/m_log/", "GET /service/m_logout"});
    EXPECT_EQ(standin.Cards().size(), 4u);
    for (const Scan& scan : scans) EXPECT_FALSE(tessaran_test::FileExists(scan.path));
    ExpectNothingOfThePassLeft();
}

TEST_F(UploadRun, SaveCopiesExactlyTheFailedFilesIntoTheNextFreeFolder) {
    StoreJob();
    MakeScans(5);
    dialogs.cancelScript = [this](int query) {
        if (query == 2 || query == 4) standin.QueueFault(Fault("/service/m_card/", 500));
        return FALSE;
    };
    ScratchDir target(L"sav");
    ::CreateDirectoryW((target / L"名刺_001").c_str(), nullptr);
    dialogs.resultChoices = {UPLOAD_RESULT_SAVE};
    dialogs.folders = {target.path()};

    ASSERT_EQ(Run(VARIANT_TRUE), S_OK);
    EXPECT_EQ(ResultNames(0), (std::vector<std::wstring>{L"card2.jpg", L"card4.jpg"}));
    const std::wstring saved = target / L"名刺_002";
    EXPECT_TRUE(tessaran_test::FileExists(saved + L"\\card2.jpg"));
    EXPECT_TRUE(tessaran_test::FileExists(saved + L"\\card4.jpg"));
    EXPECT_FALSE(tessaran_test::FileExists(saved + L"\\card1.jpg"));
    UINT width = 0, height = 0;
    EXPECT_EQ(tessaran_test::ReadImageSize(saved + L"\\card4.jpg", width, height), S_OK);
    EXPECT_EQ(width, scans[3].width);
    // Saved copies exist, so the scans may go.
    for (const Scan& scan : scans) EXPECT_FALSE(tessaran_test::FileExists(scan.path));
    EXPECT_FALSE(tessaran_test::FileExists(listFile));
    ExpectOneReportPerStoredImage();
}

TEST_F(UploadRun, RetryUsesChangedAccountAndLanguagesWithoutStoringThem) {
    job.SetAppToken(L"wrong-token");
    job.SetOCRLangID(1);
    job.SetOCRLangBackID(1);
    StoreJob();
    MakeScans(3);
    const std::string settingsBefore = SettingsFileBytes();
    dialogs.resultChoices = {UPLOAD_RESULT_RETRY};
    dialogs.settingsOk = true;
    dialogs.settingsEdit = [](SettingItem& item) {
        item.SetAppToken(Wide(kToken));
        item.SetOCRLangID(2);
        item.SetOCRLangBackID(1);
    };

    ASSERT_EQ(Run(), S_OK);
    EXPECT_EQ(OcrLog(), (std::vector<std::pair<std::string, std::string>>{
                            {"card1.jpg", "2"}, {"card2.jpg", "1"}, {"card3.jpg", "2"}}));
    EXPECT_EQ(standin.Cards().size(), 3u);
    EXPECT_EQ(SettingsFileBytes(), settingsBefore);
    SettingItem stored;
    ASSERT_EQ(ctrl.DataStore().GetItem(jobId, stored), S_OK);
    EXPECT_EQ(stored.GetAppToken(), L"wrong-token");
    EXPECT_EQ(stored.GetOCRLangID(), 1);
}

// ---- what a failed run leaves behind (the delete flag is set throughout) ----

TEST_F(UploadRun, MalformedListFailsBeforeAnythingAndDeletesNothing) {
    StoreJob();
    MakeScans(2);
    // The same list without its byte-order mark.
    std::wstring text;
    for (const Scan& scan : scans) text += scan.path + L"\r\n";
    tessaran_test::WriteFileBytes(listFile, std::string(reinterpret_cast<const char*>(text.data()),
                                                        text.size() * sizeof(wchar_t)));
    EXPECT_EQ(Run(VARIANT_TRUE), static_cast<HRESULT>(0x8007000D));
    EXPECT_TRUE(log.Has(LOG_ERROR, L"Execute CreateUploadFileList: error = 8007000D"));
    EXPECT_TRUE(tessaran_test::FileExists(listFile));
    for (const Scan& scan : scans) EXPECT_TRUE(tessaran_test::FileExists(scan.path));
    EXPECT_TRUE(standin.Journal().empty());
    EXPECT_EQ(dialogs.statusStarts, 0);
}

// An internal failure half-way through a pass: the scans it did not reach
// carry that failure, so Save rescues them with the failed card.
TEST_F(UploadRun, AFailureHalfWayThroughAPassLeavesEveryUnsentScanToSave) {
    StoreJob();
    MakeScans(4);
    ScratchDir target(L"sav");
    dialogs.resultChoices = {UPLOAD_RESULT_SAVE};
    dialogs.folders = {target.path()};

    ASSERT_EQ(RunFailingHalfWay(), S_OK);
    EXPECT_TRUE(log.Has(LOG_ERROR, L"UploadFiles Error = 8007000E"));
    ExpectNothingOfThePassLeft();
    ASSERT_EQ(ResultNames(0), (std::vector<std::wstring>{L"card2.jpg", L"card3.jpg", L"card4.jpg"}));
    EXPECT_EQ(dialogs.resultShown[0][0].result, kStatus500);
    EXPECT_EQ(dialogs.resultShown[0][1].result, E_OUTOFMEMORY);
    EXPECT_EQ(dialogs.resultShown[0][2].result, E_OUTOFMEMORY);
    const std::wstring saved = target / L"名刺_001";
    for (const Scan& scan : scans) {
        const bool sent = CardsByName().count(scan.name) == 1;
        EXPECT_NE(sent, tessaran_test::FileExists(saved + L"\\" + Wide(scan.name) + L".jpg")) << scan.name;
        EXPECT_FALSE(tessaran_test::FileExists(scan.path)) << scan.name;
    }
    EXPECT_EQ(CardsByName().size(), 1u);
}

// The same failure, and Finish: every scan that is not in the card database
// was listed to the user before Finish gave it up.
TEST_F(UploadRun, AFailureHalfWayThroughAPassListsEveryUnsentScanBeforeFinish) {
    StoreJob();
    MakeScans(4);
    dialogs.resultChoices = {UPLOAD_RESULT_FINISH};

    ASSERT_EQ(RunFailingHalfWay(), S_OK);
    ASSERT_EQ(dialogs.resultShown.size(), 1u);
    const std::vector<std::wstring> listed = ResultNames(0);
    for (const Scan& scan : scans) {
        const bool sent = CardsByName().count(scan.name) == 1;
        const bool shown = std::find(listed.begin(), listed.end(), Wide(scan.name) + L".jpg") != listed.end();
        EXPECT_NE(sent, shown) << scan.name;
    }
    EXPECT_EQ(listed.size(), 3u);
}

// One failed scan that can no longer be copied fails the save; the others
// are copied all the same, and nothing unsent is deleted.
TEST_F(UploadRun, ASaveWithOneScanGoneStillSavesTheOthers) {
    StoreJob();
    MakeScans(3);
    dialogs.cancelScript = [this](int query) {
        if (query >= 2) standin.QueueFault(Fault("/service/m_card/", 500));
        if (query == 3) ::DeleteFileW(scans[1].path.c_str());  // card2, already failed
        return FALSE;
    };
    ScratchDir target(L"sav");
    dialogs.resultChoices = {UPLOAD_RESULT_SAVE};
    dialogs.folders = {target.path()};

    EXPECT_EQ(Run(VARIANT_TRUE), static_cast<HRESULT>(0x80070002));
    EXPECT_TRUE(log.Has(LOG_ERROR, L"Execute SaveToLocalFolder: error = 80070002"));
    const std::wstring saved = target / L"名刺_001";
    EXPECT_TRUE(tessaran_test::FileExists(saved + L"\\card3.jpg"));
    EXPECT_FALSE(tessaran_test::FileExists(saved + L"\\card2.jpg"));
    EXPECT_FALSE(tessaran_test::FileExists(scans[0].path));  // sent
    EXPECT_TRUE(tessaran_test::FileExists(scans[2].path));   // unsent: stays
    EXPECT_TRUE(tessaran_test::FileExists(listFile));
    EXPECT_EQ(CardsByName().size(), 1u);
}

TEST_F(UploadRun, UnknownJobDeletesNothing) {
    MakeScans(2);
    ASSERT_EQ(::CoCreateGuid(&jobId), S_OK);  // never stored
    EXPECT_EQ(Run(VARIANT_TRUE), static_cast<HRESULT>(0x80070002));
    EXPECT_TRUE(log.Has(LOG_ERROR, L"Execute GetItem: error = 80070002"));
    EXPECT_TRUE(tessaran_test::FileExists(listFile));
    for (const Scan& scan : scans) EXPECT_TRUE(tessaran_test::FileExists(scan.path));
}

TEST_F(UploadRun, CancelledSaveDeletesOnlyTheSentFiles) {
    StoreJob();
    MakeScans(3);
    dialogs.cancelScript = [this](int query) {
        if (query == 2) standin.QueueFault(Fault("/service/m_card/", 500));
        return FALSE;
    };
    dialogs.resultChoices = {UPLOAD_RESULT_SAVE};  // and no folder: the picker is cancelled
    EXPECT_EQ(Run(VARIANT_TRUE), kCancelled);
    EXPECT_TRUE(log.Has(LOG_ERROR, L"Execute SaveToLocalFolder: error = 800704C7"));
    EXPECT_FALSE(tessaran_test::FileExists(scans[0].path));
    EXPECT_TRUE(tessaran_test::FileExists(scans[1].path));
    EXPECT_FALSE(tessaran_test::FileExists(scans[2].path));
    EXPECT_TRUE(tessaran_test::FileExists(listFile));
}

TEST_F(UploadRun, CancelledRetrySettingsDeleteOnlyTheSentFiles) {
    job.SetEvenNumberImageToBackPage(1);
    StoreJob();
    MakeScans(4);
    ASSERT_TRUE(standin.QueueFault(Fault("/CardOCR/cardocr", 500, 1, "card1.jpg")));
    dialogs.resultChoices = {UPLOAD_RESULT_RETRY};
    dialogs.settingsOk = false;
    EXPECT_EQ(Run(VARIANT_TRUE), kCancelled);
    EXPECT_TRUE(log.Has(LOG_ERROR, L"Execute CMeishiServiceSettingDlg CANCEL: error = 800704C7"));
    EXPECT_TRUE(tessaran_test::FileExists(scans[0].path));  // front and back never sent
    EXPECT_TRUE(tessaran_test::FileExists(scans[1].path));
    EXPECT_FALSE(tessaran_test::FileExists(scans[2].path));
    EXPECT_FALSE(tessaran_test::FileExists(scans[3].path));
    EXPECT_TRUE(tessaran_test::FileExists(listFile));
}

// A settings dialog that could not be shown for a retry is no cancel: the run
// ends with its failure.
TEST_F(UploadRun, RetrySettingsDialogThatCannotBeShownEndsTheRunWithItsFailure) {
    StoreJob();
    MakeScans(2);
    ASSERT_TRUE(standin.QueueFault(Fault("/CardOCR/cardocr", 500, 1, "card1.jpg")));
    dialogs.resultChoices = {UPLOAD_RESULT_RETRY};
    dialogs.settingsFailure = static_cast<HRESULT>(0x80070716);
    EXPECT_EQ(Run(VARIANT_TRUE), dialogs.settingsFailure);
    EXPECT_TRUE(log.Has(LOG_ERROR, L"Execute CMeishiServiceSettingDlg: error = 80070716"));
    EXPECT_TRUE(tessaran_test::FileExists(scans[0].path));  // never sent
}

// An empty list whose logon fails leaves no failed file to show: the run ends
// with the failure instead of logging on again and again.
TEST_F(UploadRun, PassThatFailsWithoutAFailedFileEndsTheRun) {
    job.SetAppToken(L"wrong-token");
    StoreJob();
    WriteList();  // no scans
    EXPECT_EQ(Run(VARIANT_TRUE), kLogon401);
    EXPECT_EQ(dialogs.statusStarts, 1);
    EXPECT_TRUE(dialogs.resultShown.empty());
    EXPECT_EQ(Requests("POST", "/service/m_login"), 1);
    EXPECT_TRUE(tessaran_test::FileExists(listFile));
}

}  // namespace
