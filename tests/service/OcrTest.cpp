// The OCR client against the stand-in: the eight parts in order, the answer
// passed on byte for byte, and -121 for every refusal without a resend.

#include <gtest/gtest.h>

#include "ServiceFixture.h"
#include "common/TestPaths.h"
#include "service/HttpOCR.h"

using namespace tessaran;
using namespace tessaran_test;

namespace {

class Ocr : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(Open(client), 0);
        ASSERT_EQ(client.Login(0), 0);
        sample = ReadFileBytes(SourceDir() + L"\\tools\\samples\\card01_yamada.jpg");
        answer = ReadFileBytes(SourceDir() + L"\\tools\\samples\\card01_yamada.json");
        // A folder name and a file name in Japanese: only the last component goes.
        folder = dir / L"\x540D\x523A";
        ::CreateDirectoryW(folder.c_str(), nullptr);
        image = folder + L"\\\x540D\x523A 1.jpg";
        WriteFileBytes(image, sample);
    }

    std::string ExpectedBody(const std::string& language, const std::string& imagePart) const {
        return FieldPart("venderCode", "pX4rTq8LmW2zVn6Hc9JdB3sK") + FieldPart("appliCode", "QRVX52CLIENT") +
               FieldPart("cognitionType", "1") + FieldPart("imageFilter", "0") + FieldPart("meishiLang", language) +
               FieldPart("version", "1") + FieldPart("JSONType", "1") + imagePart + ClosingDelimiter();
    }

    CHttpOCR client;
    ScratchDir dir;
    std::wstring folder;
    std::wstring image;
    std::string sample;
    std::string answer;
};

}  // namespace

TEST_F(Ocr, TheImageAndItsFieldsOnTheWireAndTheAnswerAsItCame) {
    std::string response = "old";
    ASSERT_EQ(client.Post_cardocr(image.c_str(), &response, 2), 0);
    EXPECT_EQ(response, answer);
    ASSERT_EQ(client.Post_cardocr(image.c_str(), &response, 1), 0);

    const std::vector<JournalEntry> journal = standin.Journal();
    ASSERT_EQ(journal.size(), 2u);
    const std::string fileName = "\xE5\x90\x8D\xE5\x88\xBA 1.jpg";
    EXPECT_EQ(journal[0].method, "POST");
    EXPECT_EQ(journal[0].path, "/CardOCR/cardocr");
    EXPECT_EQ(journal[0].Header("Content-Type"),
              "multipart/form-data; boundary=--------FFF3F395A90B452BB8BEDC878DDBD152");
    EXPECT_EQ(journal[0].HeaderCount("Cookie"), 0);
    EXPECT_EQ(journal[0].body, ExpectedBody("2", FilePart("image", fileName, sample)));
    EXPECT_EQ(journal[1].body, ExpectedBody("1", FilePart("image", fileName, sample)));

    // The service's own multipart parser sees the same parts in the same order.
    const picojson::array requests = standin.OcrRequests();
    ASSERT_EQ(requests.size(), 2u);
    const picojson::array& parts = requests[0].get("multipart").get("parts").get<picojson::array>();
    const char* names[] = {"venderCode", "appliCode", "cognitionType", "imageFilter",
                           "meishiLang", "version",   "JSONType",      "image"};
    ASSERT_EQ(parts.size(), 8u);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(parts[i].get("name").to_str(), names[i]);
    EXPECT_EQ(parts[7].get("filename").to_str(), fileName);
    EXPECT_EQ(parts[7].get("content_type").to_str(), "application/octet-stream");
    EXPECT_EQ(requests[0].get("answer_source").to_str(), "sample:card01_yamada.json");
    EXPECT_TRUE(requests[0].get("multipart").get("preamble").is<picojson::null>());
    EXPECT_EQ(requests[0].get("multipart").get("epilogue").to_str(), "");
    EXPECT_EQ(requests[1].get("fields").get("meishiLang").to_str(), "1");
}

TEST_F(Ocr, RefusalsGiveMinus121WithoutLogonOrResend) {
    for (int status : {401, 500, 403, 302}) {
        standin.QueueFault(Fault("/CardOCR/cardocr", "status", status));
        std::string response = "old";
        EXPECT_EQ(client.Post_cardocr(image.c_str(), &response, 1), -121) << status;
        EXPECT_EQ(response, "") << status;
    }
    // A missing image or a folder in its place: nothing is sent for it.
    std::string response = "old";
    EXPECT_EQ(client.Post_cardocr((dir / L"gone.jpg").c_str(), &response, 1), -3);
    EXPECT_EQ(response, "");
    EXPECT_EQ(client.Post_cardocr(folder.c_str(), &response, 1), -3);
    EXPECT_EQ(client.Post_cardocr(L"", &response, 1), -3);
    const std::vector<JournalEntry> journal = standin.Journal();
    ASSERT_EQ(journal.size(), 4u);
    for (const JournalEntry& entry : journal) EXPECT_EQ(entry.path, "/CardOCR/cardocr");
}

TEST_F(Ocr, EmptyOversizedAndMissingArguments) {
    picojson::object empty = Fault("/CardOCR/cardocr", "status", 200);
    empty["body"] = picojson::value(std::string());
    standin.QueueFault(empty);
    std::string response = "old";
    EXPECT_EQ(client.Post_cardocr(image.c_str(), &response, 1), 0);
    EXPECT_EQ(response, "");

    standin.QueueFault(Fault("/CardOCR/cardocr", "oversized"));
    response = "old";
    EXPECT_EQ(client.Post_cardocr(image.c_str(), &response, 1), -102);
    EXPECT_EQ(response, "");

    standin.QueueFault(Fault("/CardOCR/cardocr", "malformed"));
    EXPECT_EQ(client.Post_cardocr(image.c_str(), &response, 1), 0);
    EXPECT_EQ(response, "{\"firstName\":\"Malformed\",\"company\":\"cut off");

    // The real answer, cut off by a closed connection: no half-read card.
    standin.QueueFault(Fault("/CardOCR/cardocr", "cut"));
    response = "old";
    EXPECT_EQ(client.Post_cardocr(image.c_str(), &response, 1), -102);
    EXPECT_EQ(response, "");

    response = "kept";
    EXPECT_EQ(client.Post_cardocr(nullptr, &response, 1), -3);
    EXPECT_EQ(response, "kept");
    EXPECT_EQ(client.Post_cardocr(image.c_str(), nullptr, 1), -3);
    EXPECT_EQ(standin.Journal().size(), 4u);

    EXPECT_EQ(client.Logout(), 0);
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(client.Post_cardocr(image.c_str(), &response, 1), -1);
    EXPECT_EQ(response, "");
    EXPECT_EQ(standin.Journal().size(), 4u);
}
