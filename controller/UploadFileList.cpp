#include "controller/UploadFileList.h"

#include <shlwapi.h>

#include <algorithm>

#include "controller/MeishiServiceCtrl.h"
#include "support/Handles.h"
#include "support/Log.h"
#include "support/Result.h"

namespace tessaran {

// ---- CSMRUploadFile ----

HRESULT STDMETHODCALLTYPE CSMRUploadFile::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!::IsEqualIID(iid, IID_IUnknown)) return E_NOINTERFACE;
    *object = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE CSMRUploadFile::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&m_refCount)); }

ULONG STDMETHODCALLTYPE CSMRUploadFile::Release() {
    const LONG count = ::InterlockedDecrement(&m_refCount);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

void STDMETHODCALLTYPE CSMRUploadFile::SetFilePath(LPCWSTR path) { m_filePath = path ? path : L""; }

void STDMETHODCALLTYPE CSMRUploadFile::SetFileName(LPCWSTR name) { m_fileName = name ? name : L""; }

// ---- CSMRUploadFileList ----

CSMRUploadFileList::~CSMRUploadFileList() { RemoveAll(); }

HRESULT STDMETHODCALLTYPE CSMRUploadFileList::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!::IsEqualIID(iid, IID_IUnknown)) return E_NOINTERFACE;
    *object = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE CSMRUploadFileList::AddRef() {
    return static_cast<ULONG>(::InterlockedIncrement(&m_refCount));
}

ULONG STDMETHODCALLTYPE CSMRUploadFileList::Release() {
    const LONG count = ::InterlockedDecrement(&m_refCount);
    if (count == 0) delete this;  // the destructor releases the elements
    return static_cast<ULONG>(count);
}

void STDMETHODCALLTYPE CSMRUploadFileList::RemoveAll() {
    // Taken out first so that an element's destruction never sees a half-emptied list.
    std::vector<ISMRUploadFile*> files;
    files.swap(m_files);
    for (auto it = files.rbegin(); it != files.rend(); ++it) {
        if (*it) (*it)->Release();
    }
}

void CSMRUploadFileList::CheckIndex(INT_PTR index, INT_PTR limit) const {
    if (index < 0 || index >= limit) throw HResultError{E_INVALIDARG};
}

ISMRUploadFile** STDMETHODCALLTYPE CSMRUploadFileList::ElementAt(INT_PTR index) {
    CheckIndex(index, GetCount());
    return &m_files[static_cast<size_t>(index)];
}

ISMRUploadFile* STDMETHODCALLTYPE CSMRUploadFileList::GetAt(INT_PTR index) {
    CheckIndex(index, GetCount());
    return m_files[static_cast<size_t>(index)];
}

void STDMETHODCALLTYPE CSMRUploadFileList::SetAt(INT_PTR index, ISMRUploadFile* file) {
    CheckIndex(index, GetCount());
    m_files[static_cast<size_t>(index)] = file;
}

// Grows like a plain pointer array: by an eighth of the size, at least 4 and
// at most 1024 slots at a time.
void CSMRUploadFileList::MakeRoomForOne() {
    if (m_files.size() < m_files.capacity()) return;
    const size_t step = std::min<size_t>(1024, std::max<size_t>(4, m_files.size() / 8));
    m_files.reserve(m_files.size() + step);
}

INT_PTR STDMETHODCALLTYPE CSMRUploadFileList::Add(ISMRUploadFile* file) {
    try {
        MakeRoomForOne();
    } catch (...) {
        // The reference was handed over; a list that cannot keep it lets it go.
        if (file) file->Release();
        throw;
    }
    m_files.push_back(file);
    return GetCount() - 1;
}

void STDMETHODCALLTYPE CSMRUploadFileList::InsertAt(INT_PTR index, ISMRUploadFile* file) {
    // Inserting past the end would leave empty slots behind that every reader
    // would have to survive; only 0 to count is accepted.
    if (index < 0 || index > GetCount()) {
        if (file) file->Release();
        throw HResultError{E_INVALIDARG};
    }
    try {
        MakeRoomForOne();
    } catch (...) {
        if (file) file->Release();
        throw;
    }
    m_files.insert(m_files.begin() + index, file);
}

void STDMETHODCALLTYPE CSMRUploadFileList::RemoveAt(INT_PTR index) {
    CheckIndex(index, GetCount());
    ISMRUploadFile* file = m_files[static_cast<size_t>(index)];
    m_files.erase(m_files.begin() + index);
    if (file) file->Release();
}

// ---- reading the upload list file ----

namespace {

// A list names scanned images, one per line; even a very large scan batch
// stays far below this, and a bigger file is not a list the host wrote.
constexpr LONGLONG kMaxListFileBytes = 16LL * 1024 * 1024;
// Characters of a path before its CR LF.
constexpr size_t kMaxLineChars = MAX_PATH;

HRESULT ReadWholeFile(const wchar_t* path, std::vector<wchar_t>& units, HRESULT& formatError) {
    UniqueFile file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return LogFailure(L"CreateUploadFileList CreateFile", LastErrorHResult());
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file.get(), &size)) return LogFailure(L"CreateUploadFileList GetFileSize", LastErrorHResult());
    if (size.QuadPart > kMaxListFileBytes) {
        return LogFailure(L"CreateUploadFileList FileSize", HResultFromWin32(ERROR_FILE_TOO_LARGE));
    }
    // UTF-16 text has an even byte count; an odd one is a cut or foreign file.
    if (size.QuadPart % 2 != 0) formatError = HResultFromWin32(ERROR_INVALID_DATA);

    const DWORD bytes = static_cast<DWORD>(size.QuadPart);
    units.assign(bytes / 2, L'\0');
    DWORD read = 0;
    if (bytes / 2 > 0 && (!::ReadFile(file.get(), units.data(), (bytes / 2) * 2, &read, nullptr) ||
                          read != (bytes / 2) * 2)) {
        return LogFailure(L"CreateUploadFileList ReadFile", read == 0 ? LastErrorHResult() : E_FAIL);
    }
    return S_OK;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// "X:\..." or "\\server\share\...": a path that names the same file whatever the
// current folder is. "a.jpg", "\\scan\\a.jpg" and "C:a.jpg" all depend on it,
// and "\\\\.\\" or "\\\\?\\" name devices rather than scans.
bool IsFullPath(const std::wstring& path) {
    if (path.size() >= 3 && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
        path[1] == L':' && IsSeparator(path[2])) {
        return true;
    }
    if (path.size() < 5 || !IsSeparator(path[0]) || !IsSeparator(path[1])) return false;
    size_t serverEnd = 2;
    while (serverEnd < path.size() && !IsSeparator(path[serverEnd])) ++serverEnd;
    const std::wstring server = path.substr(2, serverEnd - 2);
    if (server.empty() || server == L"." || server == L"?" || serverEnd + 1 >= path.size()) return false;
    return !IsSeparator(path[serverEnd + 1]);
}

// Splits the text into paths. Anything the host would not have written makes
// the whole list unusable rather than guessing at paths: a lost first letter or
// a cut path would send or later delete the wrong file.
HRESULT SplitLines(const std::vector<wchar_t>& units, std::vector<std::wstring>& paths) {
    if (units.empty()) return S_OK;
    if (units[0] != 0xFEFF) {
        return LogFailure(L"CreateUploadFileList ByteOrderMark", HResultFromWin32(ERROR_INVALID_DATA));
    }
    size_t start = 1;
    while (start < units.size()) {
        size_t end = start;
        while (end < units.size() && units[end] != L'\n') ++end;
        if (end == units.size()) {
            return LogFailure(L"CreateUploadFileList UnterminatedLine", HResultFromWin32(ERROR_INVALID_DATA));
        }
        if (end == start || units[end - 1] != L'\r') {
            return LogFailure(L"CreateUploadFileList LineEnd", HResultFromWin32(ERROR_INVALID_DATA));
        }
        const size_t length = end - 1 - start;
        if (length > kMaxLineChars) {
            return LogFailure(L"CreateUploadFileList LineLength", HResultFromWin32(ERROR_FILENAME_EXCED_RANGE));
        }
        std::wstring line(units.data() + start, length);
        if (line.find(L'\0') != std::wstring::npos) {
            return LogFailure(L"CreateUploadFileList NulCharacter", HResultFromWin32(ERROR_INVALID_DATA));
        }
        // A control character (a second CR before the line end) or a second
        // byte-order mark is part of no file name: the text was not written
        // as the host writes its lists.
        for (const wchar_t c : line) {
            if (c < 0x20 || c == 0xFEFF) {
                return LogFailure(L"CreateUploadFileList Character", HResultFromWin32(ERROR_INVALID_DATA));
            }
        }
        // A relative path would be resolved against the host's current folder
        // and could send, and afterwards delete, a file that is no scan. An
        // empty line names no file; the run fails it without sending anything.
        if (!line.empty() && !IsFullPath(line)) {
            return LogFailure(L"CreateUploadFileList RelativePath", HResultFromWin32(ERROR_INVALID_DATA));
        }
        paths.push_back(std::move(line));
        start = end + 1;
    }
    return S_OK;
}

}  // namespace

HRESULT CMeishiServiceCtrl::CreateUploadFileList(const wchar_t* listFilePath, ISMRUploadFileList* list) {
    return TessaranGuard([&]() -> HRESULT {
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::CreateUploadFileList start");
        if (!list) return LogFailure(L"CreateUploadFileList list", E_POINTER);
        // An empty path names no file, whatever the path functions make of it.
        if (!listFilePath || !*listFilePath || !::PathFileExistsW(listFilePath)) {
            return LogFailure(L"CreateUploadFileList PathFileExists", HResultFromWin32(ERROR_FILE_NOT_FOUND));
        }

        std::vector<wchar_t> units;
        HRESULT formatError = S_OK;
        TESSARAN_RETURN_IF_FAILED(ReadWholeFile(listFilePath, units, formatError));
        if (FAILED(formatError)) return LogFailure(L"CreateUploadFileList OddByteCount", formatError);
        std::vector<std::wstring> paths;
        TESSARAN_RETURN_IF_FAILED(SplitLines(units, paths));

        // The list is filled only once the whole file has been read, so that a
        // failure leaves it empty.
        try {
            for (const std::wstring& path : paths) {
                ComPtr<ISMRUploadFile> file(new CSMRUploadFile);
                file->SetFilePath(path.c_str());
                file->SetFileName(::PathFindFileNameW(path.c_str()));
                file->SetStatus(UPLOAD_FILE_PENDING);
                list->Add(file.Detach());
            }
        } catch (...) {
            list->RemoveAll();
            throw;
        }
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::CreateUploadFileList end");
        return S_OK;
    });
}

}  // namespace tessaran
