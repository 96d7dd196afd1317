#include <gtest/gtest.h>

#include "common/TestPaths.h"
#include "controller/MeishiServiceCtrl.h"
#include "controller/UploadFileList.h"
#include "support/Handles.h"
#include "support/Result.h"

using namespace tessaran;
using tessaran_test::ScratchDir;

namespace {

ComPtr<ISMRUploadFile> NewFile(const wchar_t* path) {
    ComPtr<ISMRUploadFile> file(new CSMRUploadFile);
    file->SetFilePath(path);
    return file;
}

// The current reference count, without changing it.
ULONG RefCount(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

HRESULT ThrownBy(const std::function<void()>& call) {
    try {
        call();
    } catch (const HResultError& e) {
        return e.hr;
    }
    return S_OK;
}

// UTF-16 LE bytes of a text.
std::string Utf16(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

struct ListResult {
    HRESULT hr;
    std::vector<std::wstring> paths;
    std::vector<std::wstring> names;
};

ListResult ReadList(const std::string& bytes) {
    ScratchDir dir(L"lst");
    const std::wstring path = dir / L"upload.lst";
    tessaran_test::WriteFileBytes(path, bytes);
    CMeishiServiceCtrl ctrl;
    ComPtr<ISMRUploadFileList> list(new CSMRUploadFileList);
    ListResult result{ctrl.CreateUploadFileList(path.c_str(), list.get()), {}, {}};
    for (INT_PTR i = 0; i < list->GetCount(); ++i) {
        ISMRUploadFile* file = list->GetAt(i);
        EXPECT_EQ(file->GetStatus(), 0);
        EXPECT_EQ(file->GetResult(), S_OK);
        result.paths.push_back(file->GetFilePath());
        result.names.push_back(file->GetFileName());
    }
    return result;
}

constexpr HRESULT kInvalidData = static_cast<HRESULT>(0x8007000D);
constexpr HRESULT kNameTooLong = static_cast<HRESULT>(0x800700CE);

}  // namespace

TEST(UploadFileObjects, StartEmptyAndAnswerOnlyIUnknown) {
    CSMRUploadFile* raw = new CSMRUploadFile;
    EXPECT_EQ(raw->AddRef(), 1u);  // a new object has no reference yet
    EXPECT_EQ(raw->GetStatus(), 2);
    EXPECT_EQ(raw->GetResult(), S_OK);
    EXPECT_STREQ(raw->GetFilePath(), L"");
    raw->SetFilePath(nullptr);
    EXPECT_STREQ(raw->GetFilePath(), L"");

    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(raw->QueryInterface(IID_IDispatch, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(raw->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    ASSERT_EQ(raw->QueryInterface(IID_IUnknown, &out), S_OK);
    EXPECT_EQ(out, static_cast<IUnknown*>(raw));
    EXPECT_EQ(raw->Release(), 1u);
    EXPECT_EQ(raw->Release(), 0u);

    CSMRUploadFileList* list = new CSMRUploadFileList;
    EXPECT_EQ(list->AddRef(), 1u);
    EXPECT_EQ(list->QueryInterface(IID_IClassFactory, &out), E_NOINTERFACE);
    EXPECT_TRUE(list->IsEmpty());
    EXPECT_EQ(list->GetUpperBound(), -1);
    EXPECT_EQ(list->GetData(), nullptr);
    EXPECT_EQ(list->Release(), 0u);
}

TEST(UploadFileObjects, ListHoldsOneReferencePerElement) {
    ComPtr<ISMRUploadFileList> list(new CSMRUploadFileList);
    ComPtr<ISMRUploadFile> a = NewFile(L"a");
    ComPtr<ISMRUploadFile> b = NewFile(L"b");
    ComPtr<ISMRUploadFile> c = NewFile(L"c");

    a->AddRef();
    EXPECT_EQ(list->Add(a.get()), 0);
    c->AddRef();
    EXPECT_EQ(list->Add(c.get()), 1);
    b->AddRef();
    list->InsertAt(1, b.get());
    EXPECT_EQ(RefCount(a.get()), 2u);
    ASSERT_EQ(list->GetCount(), 3);
    EXPECT_EQ(list->GetSize(), 3);
    EXPECT_EQ(list->GetUpperBound(), 2);
    EXPECT_STREQ(list->GetAt(0)->GetFilePath(), L"a");
    EXPECT_STREQ(list->GetAt(1)->GetFilePath(), L"b");
    EXPECT_STREQ((*list->ElementAt(2))->GetFilePath(), L"c");
    EXPECT_EQ(list->GetData()[1], b.get());
    EXPECT_EQ(RefCount(b.get()), 2u);  // GetAt gives no reference

    list->RemoveAt(0);
    EXPECT_EQ(RefCount(a.get()), 1u);
    EXPECT_EQ(list->GetCount(), 2);
    EXPECT_STREQ(list->GetAt(0)->GetFilePath(), L"b");

    // SetAt takes over the new reference and leaves the old one to the caller.
    a->AddRef();
    list->SetAt(0, a.get());
    EXPECT_EQ(RefCount(b.get()), 2u);
    b->Release();

    list->RemoveAll();
    EXPECT_TRUE(list->IsEmpty());
    EXPECT_EQ(RefCount(a.get()), 1u);
    EXPECT_EQ(RefCount(c.get()), 1u);

    // The last release of the list releases its elements.
    CSMRUploadFileList* owner = new CSMRUploadFileList;
    owner->AddRef();
    c->AddRef();
    owner->Add(c.get());
    EXPECT_EQ(RefCount(c.get()), 2u);
    EXPECT_EQ(owner->Release(), 0u);
    EXPECT_EQ(RefCount(c.get()), 1u);
}

TEST(UploadFileObjects, RemoveAtOnOneElementLeavesAnEmptyList) {
    ComPtr<ISMRUploadFileList> list(new CSMRUploadFileList);
    ComPtr<ISMRUploadFile> a = NewFile(L"a");
    a->AddRef();
    list->Add(a.get());
    list->RemoveAt(0);
    EXPECT_TRUE(list->IsEmpty());
    EXPECT_EQ(RefCount(a.get()), 1u);
}

TEST(UploadFileObjects, IndicesOutsideTheListThrowInvalidArgument) {
    ComPtr<ISMRUploadFileList> list(new CSMRUploadFileList);
    ComPtr<ISMRUploadFile> a = NewFile(L"a");
    EXPECT_EQ(ThrownBy([&] { list->GetAt(0); }), E_INVALIDARG);
    a->AddRef();
    list->Add(a.get());
    EXPECT_EQ(ThrownBy([&] { list->GetAt(1); }), E_INVALIDARG);
    EXPECT_EQ(ThrownBy([&] { list->GetAt(-1); }), E_INVALIDARG);
    EXPECT_EQ(ThrownBy([&] { list->ElementAt(1); }), E_INVALIDARG);
    EXPECT_EQ(ThrownBy([&] { list->SetAt(1, nullptr); }), E_INVALIDARG);
    EXPECT_EQ(ThrownBy([&] { list->RemoveAt(1); }), E_INVALIDARG);
    a->AddRef();
    EXPECT_EQ(ThrownBy([&] { list->InsertAt(2, a.get()); }), E_INVALIDARG);
    EXPECT_EQ(RefCount(a.get()), 2u);  // the refused reference was let go
    EXPECT_EQ(list->GetCount(), 1);

    // At an operation's boundary the exception becomes its HRESULT.
    EXPECT_EQ(TessaranGuard([&]() -> HRESULT {
                  list->GetAt(5);
                  return S_OK;
              }),
              E_INVALIDARG);
}

TEST(UploadListFile, LinesBecomeFilesInOrder) {
    const std::vector<std::wstring> paths = {L"C:\\scan\\a.jpg", L"C:\\scan\\sub\\b.png", L"\\\\server\\share\\c.bmp",
                                             L"d:/e.jpg"};
    std::wstring text = L"\xFEFF";
    for (const std::wstring& path : paths) text += path + L"\r\n";
    const ListResult r = ReadList(Utf16(text));
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.paths, paths);
    EXPECT_EQ(r.names, (std::vector<std::wstring>{L"a.jpg", L"b.png", L"c.bmp", L"e.jpg"}));
}

TEST(UploadListFile, EmptyLineGivesAnEmptyPathAndNoTrimming) {
    const ListResult r = ReadList(Utf16(L"\xFEFF\r\nC:\\x y.jpg \r\n"));
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.paths, (std::vector<std::wstring>{L"", L"C:\\x y.jpg "}));
}

TEST(UploadListFile, EmptyFilesGiveEmptyLists) {
    EXPECT_EQ(ReadList("").hr, S_OK);
    EXPECT_TRUE(ReadList("").paths.empty());
    const ListResult bomOnly = ReadList(Utf16(L"\xFEFF"));
    EXPECT_EQ(bomOnly.hr, S_OK);
    EXPECT_TRUE(bomOnly.paths.empty());
}

TEST(UploadListFile, MissingFileIsNotFound) {
    CMeishiServiceCtrl ctrl;
    ComPtr<ISMRUploadFileList> list(new CSMRUploadFileList);
    EXPECT_EQ(ctrl.CreateUploadFileList(L"C:\\no\\such\\list.lst", list.get()), static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(ctrl.CreateUploadFileList(nullptr, list.get()), static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(ctrl.CreateUploadFileList(L"", list.get()), static_cast<HRESULT>(0x80070002));
    EXPECT_TRUE(list->IsEmpty());
}

TEST(UploadListFile, PathsOfFullLengthAreRead) {
    const std::wstring path = L"C:\\" + std::wstring(253, L'p') + L".jpg";  // 260 characters
    const ListResult r = ReadList(Utf16(L"\xFEFF" + path + L"\r\n"));
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.paths, std::vector<std::wstring>{path});
}

// Each of these would otherwise name files that are not the scans: a lost first
// letter, a cut path, or a path split into two. The list is refused whole and
// nothing is read from it.
TEST(UploadListFile, MalformedListsAreRefusedWhole) {
    const std::wstring good = L"C:\\scan\\a.jpg\r\n";
    const ListResult noBom = ReadList(Utf16(good + L"C:\\scan\\b.jpg\r\n"));
    EXPECT_EQ(noBom.hr, kInvalidData);
    EXPECT_TRUE(noBom.paths.empty());

    const ListResult unterminated = ReadList(Utf16(L"\xFEFF" + good + L"C:\\scan\\b.jpg"));
    EXPECT_EQ(unterminated.hr, kInvalidData);
    EXPECT_TRUE(unterminated.paths.empty());

    EXPECT_EQ(ReadList(Utf16(L"\xFEFFx")).hr, kInvalidData);  // one unterminated character
    EXPECT_EQ(ReadList(Utf16(L"\xFEFF" + good) + "A").hr, kInvalidData);  // odd byte count
    EXPECT_EQ(ReadList("\xFF").hr, kInvalidData);
    EXPECT_EQ(ReadList(Utf16(L"\xFEFF" L"C:\\a.jpg\n")).hr, kInvalidData);  // LF without CR
    EXPECT_EQ(ReadList(Utf16(std::wstring(L"\xFEFF" L"C:\\a.jpg") + L'\0' + L"x\r\n")).hr, kInvalidData);
    EXPECT_EQ(ReadList(Utf16(L"\xFEFF" L"C:\\a.jpg\r\r\n")).hr, kInvalidData);  // CR CR LF
    EXPECT_EQ(ReadList(Utf16(L"\xFEFF\xFEFF" L"C:\\a.jpg\r\n")).hr, kInvalidData);
    EXPECT_EQ(ReadList(Utf16(L"\xFEFF" + good + L"\xFEFF" L"C:\\b.jpg\r\n")).hr, kInvalidData);
    // Relative lines would name files in whatever folder the host is in.
    for (const wchar_t* relative : {L"a.jpg", L" C:\\a.jpg", L"scan\\a.jpg", L"\\scan\\a.jpg", L"C:a.jpg",
                                    L"..\\a.jpg", L"\\\\server", L"\\\\server\\", L"\\\\.\\C:\\a.jpg",
                                    L"\\\\?\\C:\\a.jpg"}) {
        const ListResult r = ReadList(Utf16(L"\xFEFF" + good + relative + L"\r\n"));
        EXPECT_EQ(r.hr, kInvalidData) << tessaran_test::ToUtf8(relative);
        EXPECT_TRUE(r.paths.empty());
    }

    const std::wstring tooLong = L"C:\\" + std::wstring(254, L'p') + L".jpg";  // 261 characters
    const ListResult longLine = ReadList(Utf16(L"\xFEFF" + good + tooLong + L"\r\n"));
    EXPECT_EQ(longLine.hr, kNameTooLong);
    EXPECT_TRUE(longLine.paths.empty());
}
