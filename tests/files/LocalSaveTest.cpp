#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>

#include "common/LogCapture.h"
#include "common/ScriptedDialogs.h"
#include "common/TestPaths.h"
#include "controller/MeishiServiceCtrl.h"
#include "controller/UploadFileList.h"
#include "support/Handles.h"

using namespace tessaran;
using tessaran_test::ScratchDir;
using tessaran_test::ScriptedDialogs;

namespace {

constexpr HRESULT kCancelled = static_cast<HRESULT>(0x800704C7);
constexpr HRESULT kNameTooLong = static_cast<HRESULT>(0x800700CE);
const std::wstring kCardFolder = L"名刺_";

// A list of files in `folder`, each with its result; the files exist.
ComPtr<ISMRUploadFileList> MakeList(const std::wstring& folder,
                                    const std::vector<std::pair<std::wstring, HRESULT>>& files) {
    ComPtr<ISMRUploadFileList> list(new CSMRUploadFileList);
    for (const auto& entry : files) {
        const std::wstring path = folder + L"\\" + entry.first;
        tessaran_test::WriteFileBytes(path, "scan " + tessaran_test::ToUtf8(path));
        ComPtr<ISMRUploadFile> file(new CSMRUploadFile);
        file->SetFilePath(path.c_str());
        file->SetFileName(entry.first.c_str());
        file->SetStatus(2);
        file->SetResult(entry.second);
        list->Add(file.Detach());
    }
    return list;
}

std::vector<std::wstring> Entries(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

// A folder whose path has exactly `length` characters, made below `base`
// through the long-path form, since ordinary calls refuse to create it.
std::wstring DeepFolder(const std::wstring& base, size_t length) {
    std::wstring path = base;
    while (path.size() < length) {
        const size_t room = length - path.size() - 1;
        path += L"\\" + std::wstring(std::min<size_t>(room, 60), L'd');
        ::CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr);
    }
    return path;
}

struct SaveFixture {
    ScratchDir scans{L"scn"};
    ScratchDir target{L"sav"};
    ScriptedDialogs dialogs;
    CMeishiServiceCtrl ctrl;
    SaveFixture() { ctrl.SetDialogs(&dialogs); }
};

}  // namespace

TEST(LocalSave, FailedFilesGoIntoTheNextFreeNumberedFolder) {
    SaveFixture f;
    ComPtr<ISMRUploadFileList> list = MakeList(f.scans.path(), {{L"1.jpg", static_cast<HRESULT>(0x80EF0579)},
                                                                {L"2.jpg", S_OK},
                                                                {L"3.jpg", kCancelled},
                                                                {L"4.jpg", S_OK},
                                                                {L"5.jpg", static_cast<HRESULT>(0x80EF036F)}});
    ::CreateDirectoryW((f.target / (kCardFolder + L"001")).c_str(), nullptr);
    ::CreateDirectoryW((f.target / (kCardFolder + L"002")).c_str(), nullptr);
    f.dialogs.folders.push_back(f.target.path());

    tessaran_test::LogCapture log;
    ASSERT_EQ(f.ctrl.SaveToLocalFolder(nullptr, list.get()), S_OK);
    const std::wstring saved = f.target / (kCardFolder + L"003");
    EXPECT_EQ(Entries(saved), (std::vector<std::wstring>{L"1.jpg", L"3.jpg", L"5.jpg"}));
    EXPECT_EQ(tessaran_test::ReadFileBytes(saved + L"\\3.jpg"),
              tessaran_test::ReadFileBytes(f.scans / L"3.jpg"));
    EXPECT_TRUE(tessaran_test::FileExists(f.scans / L"3.jpg"));  // copied, not moved
    EXPECT_EQ(Entries(f.target.path()).size(), 3u);
    EXPECT_TRUE(log.Has(LOG_TRACE, L"CMeishiServiceCtrl::SaveToLocalFolder start"));
    EXPECT_TRUE(log.Has(LOG_TRACE, L"CMeishiServiceCtrl::SaveToLocalFolder end"));

    // The picker opens on the user's pictures folder.
    ASSERT_EQ(f.dialogs.browseInitial.size(), 1u);
    wchar_t pictures[MAX_PATH] = {};
    ::SHGetSpecialFolderPathW(nullptr, pictures, CSIDL_MYPICTURES, FALSE);
    EXPECT_EQ(f.dialogs.browseInitial[0], pictures);
}

// A file that carries a folder's name takes its number too: the folder could
// not be made beside it, and the save would fail for good in that place.
TEST(LocalSave, FileWithAFolderNameTakesItsNumber) {
    SaveFixture f;
    ComPtr<ISMRUploadFileList> list = MakeList(f.scans.path(), {{L"1.jpg", kCancelled}});
    tessaran_test::WriteFileBytes(f.target / (kCardFolder + L"001"), "the user's own file");
    f.dialogs.folders.push_back(f.target.path());
    ASSERT_EQ(f.ctrl.SaveToLocalFolder(nullptr, list.get()), S_OK);
    EXPECT_EQ(Entries(f.target / (kCardFolder + L"002")), std::vector<std::wstring>{L"1.jpg"});
    EXPECT_EQ(tessaran_test::ReadFileBytes(f.target / (kCardFolder + L"001")), "the user's own file");
}

TEST(LocalSave, CancelledPickerCreatesNothing) {
    SaveFixture f;
    ComPtr<ISMRUploadFileList> list = MakeList(f.scans.path(), {{L"1.jpg", kCancelled}});
    tessaran_test::LogCapture log;
    EXPECT_EQ(f.ctrl.SaveToLocalFolder(nullptr, list.get()), kCancelled);
    EXPECT_TRUE(log.Has(LOG_ERROR, L"BrowseForFolder.BFFModal() = IDCANCEL"));
    EXPECT_TRUE(f.dialogs.messages.empty());
}

TEST(LocalSave, UnusableChoiceWarnsAndReopensThePickerThere) {
    SaveFixture f;
    ComPtr<ISMRUploadFileList> list = MakeList(f.scans.path(), {{L"1.jpg", kCancelled}});
    const std::wstring deep = DeepFolder(f.target.path(), 259);  // 260 with the backslash
    f.dialogs.folders = {deep, f.target / L"does-not-exist", f.target.path()};

    ASSERT_EQ(f.ctrl.SaveToLocalFolder(nullptr, list.get()), S_OK);
    ASSERT_EQ(f.dialogs.messages.size(), 2u);
    for (const auto& message : f.dialogs.messages) {
        EXPECT_EQ(message.text, L"指定されたパスは、無効か長すぎます。再度選択してください。");
        EXPECT_EQ(message.caption, L"エラー");
        EXPECT_EQ(message.type & MB_ICONMASK, static_cast<UINT>(MB_ICONWARNING));
    }
    ASSERT_EQ(f.dialogs.browseInitial.size(), 3u);
    EXPECT_EQ(f.dialogs.browseInitial[1], deep + L"\\");
    EXPECT_EQ(f.dialogs.browseInitial[2], f.target / L"does-not-exist\\");
    EXPECT_TRUE(tessaran_test::FileExists(f.target / (kCardFolder + L"001\\1.jpg")));
}

// Without the checks the folder name or the target file names would be cut
// to 259 characters and the copies would land under other names or in
// another folder, while the save reported success and the scans were deleted.
TEST(LocalSave, FolderWithoutRoomForTheSubfolderIsRefused) {
    SaveFixture f;
    ComPtr<ISMRUploadFileList> list = MakeList(f.scans.path(), {{L"1.jpg", kCancelled}});
    const std::wstring deep = DeepFolder(f.target.path(), 252);  // + "\名刺_001\" = 261
    f.dialogs.folders.push_back(deep);
    tessaran_test::LogCapture log;
    EXPECT_EQ(f.ctrl.SaveToLocalFolder(nullptr, list.get()), kNameTooLong);
    EXPECT_TRUE(log.Has(LOG_ERROR, L"SaveToLocalFolder PathLength: error = 800700CE"));
    EXPECT_TRUE(Entries(deep).empty());
}

TEST(LocalSave, FileNamesWithoutRoomAreRefusedBeforeAnythingIsMade) {
    SaveFixture f;
    const std::wstring longName = std::wstring(40, L'n') + L".jpg";
    ComPtr<ISMRUploadFileList> list =
        MakeList(f.scans.path(), {{L"1.jpg", kCancelled}, {longName, kCancelled}});
    const std::wstring deep = DeepFolder(f.target.path(), 220);  // 229 for the folder, 44 for the name
    f.dialogs.folders.push_back(deep);
    EXPECT_EQ(f.ctrl.SaveToLocalFolder(nullptr, list.get()), kNameTooLong);
    EXPECT_TRUE(Entries(deep).empty());
}

// Two failed scans of the same name (from two folders) both survive: the scans
// are deleted after a successful save.
TEST(LocalSave, SameNamesAreKeptSideBySide) {
    SaveFixture f;
    ScratchDir other(L"scn");
    ComPtr<ISMRUploadFileList> list = MakeList(f.scans.path(), {{L"card.jpg", kCancelled}});
    ComPtr<ISMRUploadFileList> second = MakeList(other.path(), {{L"card.jpg", kCancelled}});
    list->Add(second->GetAt(0));
    second->GetAt(0)->AddRef();
    f.dialogs.folders.push_back(f.target.path());
    ASSERT_EQ(f.ctrl.SaveToLocalFolder(nullptr, list.get()), S_OK);
    const std::wstring saved = f.target / (kCardFolder + L"001");
    EXPECT_EQ(Entries(saved), (std::vector<std::wstring>{L"card (2).jpg", L"card.jpg"}));
    EXPECT_EQ(tessaran_test::ReadFileBytes(saved + L"\\card (2).jpg"),
              tessaran_test::ReadFileBytes(other / L"card.jpg"));
}

// A source that cannot be copied fails the save, but only after every other
// failed file has been rescued; the next save would otherwise stop there too.
TEST(LocalSave, AFileThatCannotBeCopiedKeepsNoOtherFromBeingSaved) {
    SaveFixture f;
    ComPtr<ISMRUploadFileList> list = MakeList(
        f.scans.path(), {{L"1.jpg", kCancelled}, {L"2.jpg", kCancelled}, {L"3.jpg", S_OK}, {L"4.jpg", kCancelled}});
    ::DeleteFileW((f.scans / L"1.jpg").c_str());
    ::DeleteFileW((f.scans / L"2.jpg").c_str());
    f.dialogs.folders.push_back(f.target.path());
    tessaran_test::LogCapture log;
    EXPECT_EQ(f.ctrl.SaveToLocalFolder(nullptr, list.get()), static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(Entries(f.target / (kCardFolder + L"001")), std::vector<std::wstring>{L"4.jpg"});
    EXPECT_EQ(log.Count(L"CopyFile: error = 80070002"), 2);
    EXPECT_EQ(log.Count(L"CMeishiServiceCtrl::SaveToLocalFolder end"), 0);
}

TEST(DeleteTargetFiles, DeletesEveryListedFileAndTheListOnlyWhenAsked) {
    ScratchDir scans(L"del");
    ComPtr<ISMRUploadFileList> list =
        MakeList(scans.path(), {{L"1.jpg", S_OK}, {L"2.jpg", kCancelled}, {L"3.jpg", S_OK}});
    const std::wstring listFile = scans / L"upload.lst";
    tessaran_test::WriteFileBytes(listFile, "list");
    CMeishiServiceCtrl ctrl;

    tessaran_test::LogCapture log;
    EXPECT_EQ(ctrl.DeleteTargetFiles(VARIANT_FALSE, list.get(), listFile.c_str()), S_OK);
    EXPECT_EQ(Entries(scans.path()).size(), 4u);
    EXPECT_TRUE(log.Has(LOG_ERROR, L"bfiledelete == VARIANT_FALSE"));
    EXPECT_EQ(log.Count(L"CMeishiServiceCtrl::DeleteTargetFiles end"), 0);

    // Only the low 16 bits count.
    EXPECT_EQ(ctrl.DeleteTargetFiles(static_cast<VARIANT_BOOL>(0), list.get(), listFile.c_str()), S_OK);
    EXPECT_EQ(Entries(scans.path()).size(), 4u);

    ::DeleteFileW((scans / L"2.jpg").c_str());  // a missing file does not stop the others
    log.Clear();
    EXPECT_EQ(ctrl.DeleteTargetFiles(VARIANT_TRUE, list.get(), listFile.c_str()), S_OK);
    EXPECT_TRUE(Entries(scans.path()).empty());
    EXPECT_TRUE(log.Has(LOG_TRACE, L"CMeishiServiceCtrl::DeleteTargetFiles end"));

    EXPECT_EQ(ctrl.DeleteTargetFiles(VARIANT_TRUE, nullptr, nullptr), S_OK);
}
