// The files of one upload run and the list that holds them. Both are
// reference-counted objects shaped like COM objects but private to the
// plug-in: the run, the result dialog and local saving share them.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <string>
#include <vector>

namespace tessaran {

// Status of a file during a run.
enum UploadFileStatus : LONG {
    UPLOAD_FILE_PENDING = 0,
    UPLOAD_FILE_SENDING = 1,
    UPLOAD_FILE_FINISHED = 2,
};

struct ISMRUploadFile : public IUnknown {
    virtual void STDMETHODCALLTYPE SetFilePath(LPCWSTR path) = 0;
    // Valid while the object lives and the path is not set again.
    virtual LPCWSTR STDMETHODCALLTYPE GetFilePath() = 0;
    virtual void STDMETHODCALLTYPE SetFileName(LPCWSTR name) = 0;
    virtual LPCWSTR STDMETHODCALLTYPE GetFileName() = 0;
    virtual void STDMETHODCALLTYPE SetStatus(LONG status) = 0;
    virtual LONG STDMETHODCALLTYPE GetStatus() = 0;
    virtual void STDMETHODCALLTYPE SetResult(HRESULT result) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetResult() = 0;
};

// ElementAt, GetAt and SetAt accept indices 0 to count-1, InsertAt 0 to count
// and RemoveAt 0 to count-1; any other index throws HResultError{E_INVALIDARG},
// which the calling operation turns into its HRESULT at its boundary.
struct ISMRUploadFileList : public IUnknown {
    virtual INT_PTR STDMETHODCALLTYPE GetCount() = 0;
    virtual INT_PTR STDMETHODCALLTYPE GetSize() = 0;
    virtual INT_PTR STDMETHODCALLTYPE GetUpperBound() = 0;
    virtual BOOL STDMETHODCALLTYPE IsEmpty() = 0;
    // Releases every element, last first.
    virtual void STDMETHODCALLTYPE RemoveAll() = 0;
    virtual ISMRUploadFile** STDMETHODCALLTYPE ElementAt(INT_PTR index) = 0;
    // No extra reference for the caller.
    virtual ISMRUploadFile* STDMETHODCALLTYPE GetAt(INT_PTR index) = 0;
    virtual ISMRUploadFile** STDMETHODCALLTYPE GetData() = 0;
    // Takes over the caller's reference and releases nothing: the caller owns
    // whatever was in the slot before.
    virtual void STDMETHODCALLTYPE SetAt(INT_PTR index, ISMRUploadFile* file) = 0;
    // Takes over one reference; returns the new element's index.
    virtual INT_PTR STDMETHODCALLTYPE Add(ISMRUploadFile* file) = 0;
    virtual void STDMETHODCALLTYPE InsertAt(INT_PTR index, ISMRUploadFile* file) = 0;
    // Releases the element, then closes the gap.
    virtual void STDMETHODCALLTYPE RemoveAt(INT_PTR index) = 0;
};

class CSMRUploadFile final : public ISMRUploadFile {
public:
    // Starts with no reference; the creator takes the first.
    CSMRUploadFile() = default;
    CSMRUploadFile(const CSMRUploadFile&) = delete;
    CSMRUploadFile& operator=(const CSMRUploadFile&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    void STDMETHODCALLTYPE SetFilePath(LPCWSTR path) override;
    LPCWSTR STDMETHODCALLTYPE GetFilePath() override { return m_filePath.c_str(); }
    void STDMETHODCALLTYPE SetFileName(LPCWSTR name) override;
    LPCWSTR STDMETHODCALLTYPE GetFileName() override { return m_fileName.c_str(); }
    void STDMETHODCALLTYPE SetStatus(LONG status) override { m_status = status; }
    LONG STDMETHODCALLTYPE GetStatus() override { return m_status; }
    void STDMETHODCALLTYPE SetResult(HRESULT result) override { m_result = result; }
    HRESULT STDMETHODCALLTYPE GetResult() override { return m_result; }

private:
    ~CSMRUploadFile() = default;

    volatile LONG m_refCount = 0;
    std::wstring m_filePath;
    std::wstring m_fileName;
    LONG m_status = UPLOAD_FILE_FINISHED;
    HRESULT m_result = S_OK;
};

class CSMRUploadFileList final : public ISMRUploadFileList {
public:
    CSMRUploadFileList() = default;
    CSMRUploadFileList(const CSMRUploadFileList&) = delete;
    CSMRUploadFileList& operator=(const CSMRUploadFileList&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    INT_PTR STDMETHODCALLTYPE GetCount() override { return static_cast<INT_PTR>(m_files.size()); }
    INT_PTR STDMETHODCALLTYPE GetSize() override { return GetCount(); }
    INT_PTR STDMETHODCALLTYPE GetUpperBound() override { return GetCount() - 1; }
    BOOL STDMETHODCALLTYPE IsEmpty() override { return m_files.empty() ? TRUE : FALSE; }
    void STDMETHODCALLTYPE RemoveAll() override;
    ISMRUploadFile** STDMETHODCALLTYPE ElementAt(INT_PTR index) override;
    ISMRUploadFile* STDMETHODCALLTYPE GetAt(INT_PTR index) override;
    ISMRUploadFile** STDMETHODCALLTYPE GetData() override { return m_files.empty() ? nullptr : m_files.data(); }
    void STDMETHODCALLTYPE SetAt(INT_PTR index, ISMRUploadFile* file) override;
    INT_PTR STDMETHODCALLTYPE Add(ISMRUploadFile* file) override;
    void STDMETHODCALLTYPE InsertAt(INT_PTR index, ISMRUploadFile* file) override;
    void STDMETHODCALLTYPE RemoveAt(INT_PTR index) override;

private:
    ~CSMRUploadFileList();
    void CheckIndex(INT_PTR index, INT_PTR limit) const;
    void MakeRoomForOne();

    volatile LONG m_refCount = 0;
    std::vector<ISMRUploadFile*> m_files;
};

}  // namespace tessaran
