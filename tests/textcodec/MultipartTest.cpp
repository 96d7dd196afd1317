// Part writers and whole form bodies, measured and written.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/TestPaths.h"
#include "service/FormBody.h"
#include "service/HttpBase.h"

using namespace tessaran;
using tessaran_test::ScratchDir;
using tessaran_test::WriteFileBytes;

namespace {

const std::string kBoundary = kFormBoundary;

std::string FieldBytes(const std::string& name, const std::string& value) {
    return "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
}

std::string FileBytes(const std::string& name, const std::string& fileName, const std::string& content) {
    return "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"; filename=\"" + fileName +
           "\"\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: binary\r\n\r\n" + content +
           "\r\n";
}

const std::string kEnd = "--" + kBoundary + "--\r\n";

}  // namespace

TEST(FormWriters, SizesOfTheFixedPieces) {
    EXPECT_EQ(kBoundary.size(), 40u);
    DWORD size = 123;
    EXPECT_EQ(CHttp_base::WriteFormField(nullptr, kFormBoundary, "version", "1", &size), 0);
    EXPECT_EQ(size, 97u);
    EXPECT_EQ(CHttp_base::WriteFormEnd(nullptr, kFormBoundary, &size), 0);
    EXPECT_EQ(size, 46u);
    EXPECT_EQ(CHttp_base::WriteFormField(nullptr, kFormBoundary, "Card", nullptr, &size), 0);
    EXPECT_EQ(size, 49u + 40 + 4);
    EXPECT_EQ(CHttp_base::WriteFormFileData(nullptr, kFormBoundary, "image", "a.jpg", nullptr, 500, &size), 0);
    EXPECT_EQ(size, 137u + 40 + 5 + 5);
}

TEST(FormWriters, WriteExactlyWhatTheyMeasure) {
    char buffer[512];
    DWORD size = 0;
    ASSERT_EQ(CHttp_base::WriteFormField(buffer, kFormBoundary, "version", "1", &size), 0);
    EXPECT_EQ(std::string(buffer, size), FieldBytes("version", "1"));
    ASSERT_EQ(CHttp_base::WriteFormField(buffer, kFormBoundary, "empty", nullptr, &size), 0);
    EXPECT_EQ(std::string(buffer, size), FieldBytes("empty", ""));
    const char content[] = {'\0', '\xFF', '"', '\r'};
    ASSERT_EQ(CHttp_base::WriteFormFileData(buffer, kFormBoundary, "image", "q\"1.jpg", content, 4, &size), 0);
    EXPECT_EQ(std::string(buffer, size), FileBytes("image", "q\"1.jpg", std::string(content, 4)));
    ASSERT_EQ(CHttp_base::WriteFormEnd(buffer, kFormBoundary, &size), 0);
    EXPECT_EQ(std::string(buffer, size), kEnd);
}

TEST(FormWriters, MissingArgumentsLeaveTheSizeAlone) {
    DWORD size = 77;
    EXPECT_EQ(CHttp_base::WriteFormField(nullptr, nullptr, "n", "v", &size), -3);
    EXPECT_EQ(CHttp_base::WriteFormField(nullptr, kFormBoundary, nullptr, "v", &size), -3);
    EXPECT_EQ(CHttp_base::WriteFormFileData(nullptr, kFormBoundary, "n", nullptr, nullptr, 0, &size), -3);
    EXPECT_EQ(CHttp_base::WriteFormFile(nullptr, kFormBoundary, "n", nullptr, L"x", &size), -3);
    EXPECT_EQ(CHttp_base::WriteFormEnd(nullptr, nullptr, &size), -3);
    EXPECT_EQ(size, 77u);
}

TEST(FormWriters, FileWriterReadsTheFileOrReportsNothing) {
    ScratchDir dir;
    WriteFileBytes(dir / L"card.jpg", std::string("\xFF\xD8\x00\x01jpeg", 8));
    WriteFileBytes(dir / L"empty.jpg", "");
    char buffer[512];
    DWORD size = 0;
    ASSERT_EQ(CHttp_base::WriteFormFile(buffer, kFormBoundary, "image", "card.jpg", (dir / L"card.jpg").c_str(), &size), 0);
    EXPECT_EQ(std::string(buffer, size), FileBytes("image", "card.jpg", std::string("\xFF\xD8\x00\x01jpeg", 8)));

    ASSERT_EQ(CHttp_base::WriteFormFile(nullptr, kFormBoundary, "image", "e.jpg", (dir / L"empty.jpg").c_str(), &size), 0);
    EXPECT_EQ(size, 137u + 40 + 5 + 5);
    ASSERT_EQ(CHttp_base::WriteFormFile(nullptr, kFormBoundary, "image", "e.jpg", nullptr, &size), 0);
    EXPECT_EQ(size, 137u + 40 + 5 + 5);

    size = 99;
    EXPECT_EQ(CHttp_base::WriteFormFile(buffer, kFormBoundary, "image", "gone.jpg", (dir / L"gone.jpg").c_str(), &size), -3);
    EXPECT_EQ(size, 0u);
    // A folder exists but cannot be opened as a file.
    size = 99;
    EXPECT_EQ(CHttp_base::WriteFormFile(buffer, kFormBoundary, "image", "dir", dir.path().c_str(), &size), -3);
    EXPECT_EQ(size, 0u);
}

TEST(FormBody, TwoPartsThenTheClosingDelimiterAndNothingElse) {
    ScratchDir dir;
    WriteFileBytes(dir / L"t.jpg", "THUMB");
    CFormBody body(kFormBoundary);
    body.AddField("SyncData", "{\"a\":1}");
    EXPECT_EQ(body.AddFile("thumb", "thumb.jpeg", (dir / L"t.jpg").c_str()), 0);
    const std::string expected = FieldBytes("SyncData", "{\"a\":1}") + FileBytes("thumb", "thumb.jpeg", "THUMB") + kEnd;
    ASSERT_EQ(body.Measure(), expected.size());
    std::vector<char> buffer(expected.size() + 8, '#');
    const DWORD written = body.Write(buffer.data());
    EXPECT_EQ(std::string(buffer.data(), written), expected);
    EXPECT_EQ(buffer[expected.size()], '#');
}

TEST(FormBody, AMissingFileLeavesItsPartOutOfAWellFormedBody) {
    ScratchDir dir;
    CFormBody body(kFormBoundary);
    body.AddField("version", "1");
    EXPECT_EQ(body.AddFile("image", "gone.jpg", (dir / L"gone.jpg").c_str()), -3);
    const std::string expected = FieldBytes("version", "1") + kEnd;
    ASSERT_EQ(body.Measure(), expected.size());
    std::vector<char> buffer(expected.size());
    EXPECT_EQ(std::string(buffer.data(), body.Write(buffer.data())), expected);
}

TEST(FormBody, AFileChangedAfterMeasuringCannotOutgrowTheBuffer) {
    ScratchDir dir;
    const std::wstring path = dir / L"grows.jpg";
    WriteFileBytes(path, "small");
    CFormBody body(kFormBoundary);
    body.AddFile("image", "grows.jpg", path.c_str());
    const uint64_t measured = body.Measure();
    WriteFileBytes(path, std::string(4096, 'x'));
    std::vector<char> buffer(static_cast<size_t>(measured) + 16, '#');
    EXPECT_EQ(body.Write(buffer.data()), measured);
    EXPECT_EQ(buffer[measured], '#');
    EXPECT_NE(std::string(buffer.data(), static_cast<size_t>(measured)).find("\r\n\r\nsmall\r\n"), std::string::npos);
}
