// Rescue of the files that could not be sent: they are copied into a new
// numbered folder that the user picks, so that nothing is lost when the run
// afterwards deletes the scans.
#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <string>
#include <vector>

#include "controller/MeishiServiceCtrl.h"
#include "controller/UploadFileList.h"
#include "support/Format.h"
#include "support/Log.h"
#include "support/Result.h"

namespace tessaran {

namespace {

constexpr int kLastFolderNumber = 999998;
constexpr int kMaxCopyNameTries = 999;

struct FileToSave {
    std::wstring path;
    std::wstring name;
};

bool EndsWithBackslash(const std::wstring& path) { return !path.empty() && path.back() == L'\\'; }

// The new folder "<chosen>名刺_NNN\" with the lowest free number, or the
// chosen folder itself when every number is taken. A name that does not fit a
// path is refused instead of cut.
HRESULT FindSaveFolder(const std::wstring& chosen, std::wstring& target, bool& create) {
    wchar_t name[MAX_PATH];
    for (int number = 1; number <= kLastFolderNumber; ++number) {
        if (Format(name, MAX_PATH, L"%s名刺_%03d\\", chosen.c_str(), number) < 0) {
            return HResultFromWin32(ERROR_FILENAME_EXCED_RANGE);
        }
        // Asked without the trailing backslash: a file of that name takes the
        // number as well, and the folder could never be made beside it.
        std::wstring entry(name);
        entry.pop_back();
        if (!::PathFileExistsW(entry.c_str())) {
            target = name;
            create = true;
            return S_OK;
        }
    }
    target = chosen;
    create = false;
    return S_OK;
}

// Copies without ever replacing a file: two failed scans with the same name
// from different folders, or a file of the user's in the chosen folder, must
// both survive the deletion of the scans that follows a successful save.
HRESULT CopyWithoutReplacing(const FileToSave& file, const std::wstring& folder) {
    const std::wstring extension = ::PathFindExtensionW(file.name.c_str());
    const std::wstring stem = file.name.substr(0, file.name.size() - extension.size());
    for (int attempt = 1; attempt <= kMaxCopyNameTries; ++attempt) {
        std::wstring target = folder + (attempt == 1 ? file.name : stem + FormatString(16, L" (%d)", attempt) + extension);
        if (target.size() >= MAX_PATH) return HResultFromWin32(ERROR_FILENAME_EXCED_RANGE);
        if (::CopyFileW(file.path.c_str(), target.c_str(), TRUE)) return S_OK;
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return LastErrorHResult();
    }
    return HResultFromWin32(ERROR_FILE_EXISTS);
}

}  // namespace

HRESULT CMeishiServiceCtrl::SaveToLocalFolder(HWND parent, ISMRUploadFileList* list) {
    return TessaranGuard([&]() -> HRESULT {
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::SaveToLocalFolder start");

        // The failed files, taken before the user is asked anything.
        std::vector<FileToSave> files;
        if (list) {
            for (INT_PTR i = 0; i < list->GetCount(); ++i) {
                ISMRUploadFile* file = list->GetAt(i);
                // An empty line of the list names no file: there is nothing to save.
                if (!file || file->GetResult() >= 0 || !*file->GetFilePath()) continue;
                files.push_back({file->GetFilePath(), file->GetFileName()});
            }
        }

        wchar_t pictures[MAX_PATH] = {};
        std::wstring initial;
        if (::SHGetSpecialFolderPathW(nullptr, pictures, CSIDL_MYPICTURES, FALSE)) initial = pictures;

        std::wstring folder;
        for (;;) {
            std::wstring chosen;
            if (!Dialogs().BrowseForFolder(parent, initial, chosen)) {
                LogWrite(LOG_ERROR, L"BrowseForFolder.BFFModal() = IDCANCEL");
                return HResultFromWin32(ERROR_CANCELLED);
            }
            folder = chosen;
            if (!EndsWithBackslash(folder)) folder += L'\\';
            initial = folder;
            // The picker can hand back a display name instead of a path; that
            // is as unusable as a path too long to hold a file.
            if (folder.size() < MAX_PATH && !chosen.empty() && ::PathIsDirectoryW(folder.c_str())) break;
            Dialogs().ShowMessage(parent, L"指定されたパスは、無効か長すぎます。再度選択してください。", L"エラー",
                                  MB_OK | MB_ICONWARNING);
        }

        std::wstring target;
        bool create = false;
        HRESULT hr = FindSaveFolder(folder, target, create);
        // Every file must fit below the folder before anything is made, so
        // that a refused save leaves no half-filled folder behind.
        for (const FileToSave& file : files) {
            if (SUCCEEDED(hr) && target.size() + file.name.size() >= MAX_PATH) {
                hr = HResultFromWin32(ERROR_FILENAME_EXCED_RANGE);
            }
        }
        if (FAILED(hr)) return LogFailure(L"SaveToLocalFolder PathLength", hr);

        if (create && !::CreateDirectoryW(target.c_str(), nullptr)) {
            return LogFailure(L"SaveToLocalFolder CreateDirectory", LastErrorHResult());
        }
        // One file that cannot be copied (gone, locked) must not keep the
        // others from being rescued: every later save would stop at it too.
        HRESULT firstFailure = S_OK;
        for (const FileToSave& file : files) {
            const HRESULT copied = CopyWithoutReplacing(file, target);
            if (FAILED(copied)) {
                LogFailure(L"CopyFile", copied);
                if (SUCCEEDED(firstFailure)) firstFailure = copied;
            }
        }
        if (FAILED(firstFailure)) return firstFailure;

        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::SaveToLocalFolder end");
        return S_OK;
    });
}

}  // namespace tessaran
