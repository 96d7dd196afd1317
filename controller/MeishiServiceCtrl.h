// The job controller behind the plug-in object: job IDs and their settings,
// the summary line, supported file types, configuration, import and export,
// the upload file list, thumbnails and local saving, and the upload run.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <map>
#include <memory>
#include <string>

#include "controller/UploadDialogs.h"
#include "settings/MeishiDataStore.h"

namespace tessaran {

struct ISMRUploadFile;
struct ISMRUploadFileList;
struct ThumbnailPicture;

// The sync IDs of the cards one Execute registered but did not store whole
// (a back is still to go), or whose registration may have been stored (its
// answer was lost or given up), by their front file; they outlive the passes
// of the run. A card that may be stored keeps its ID for good: every later
// attempt carries it, so that the service never holds the card twice.
class CardSyncIds {
public:
    const std::string* Find(ISMRUploadFile* front) const;
    // Keeps the card's ID; once mayBeStored, for the rest of the run.
    void Keep(ISMRUploadFile* front, const std::string& syncId, bool mayBeStored);
    // After a failure that stored nothing: the ID goes, unless an earlier
    // attempt may have stored the card under it.
    void Release(ISMRUploadFile* front);
    // The card is stored whole and is never sent again.
    void Forget(ISMRUploadFile* front);
    size_t Count() const noexcept;

private:
    struct Entry {
        std::string syncId;
        bool mayBeStored;
    };
    std::map<ISMRUploadFile*, Entry> m_ids;
};

class CMeishiServiceCtrl {
public:
    CMeishiServiceCtrl();
    ~CMeishiServiceCtrl();
    CMeishiServiceCtrl(const CMeishiServiceCtrl&) = delete;
    CMeishiServiceCtrl& operator=(const CMeishiServiceCtrl&) = delete;

    // Tests answer the dialogs with a script; the controller does not own it.
    void SetDialogs(IUploadDialogs* dialogs) noexcept;

    // Job operations.
    void Init();
    HRESULT Connect();
    HRESULT Disconnect();
    HRESULT CreateID(GUID* newId);
    HRESULT CopyID(const GUID& sourceId, GUID* newId);
    HRESULT DeleteID(const GUID& jobId);
    HRESULT ShowSettingDlg(const GUID& jobId, HWND parent);
    HRESULT SettingsSummary(const GUID& jobId, BSTR* summary);
    HRESULT IsSupportedFileType(const wchar_t* fileType, VARIANT_BOOL* supported);
    std::wstring GetIconPath();
    std::wstring GetVersion() const;
    int GetAppDataLocationID();

    // Import and export of the settings file.
    HRESULT ImportData(const wchar_t* folderPath);
    HRESULT ExportData(const wchar_t* folderPath);

    // Application configuration ("AppConfig.XML" beside the module).
    HRESULT LoadAppConfig(HMODULE module);
    const std::map<std::wstring, std::wstring>& AppConfig() const noexcept { return m_AppConfig; }
    // Sets one entry as if "AppConfig.XML" held it (tests point the services
    // at a local stand-in this way).
    void SetAppConfigValue(const std::wstring& key, const std::wstring& value) { m_AppConfig[key] = value; }

    // Upload file list, thumbnails and local saving.
    HRESULT CreateUploadFileList(const wchar_t* listFilePath, ISMRUploadFileList* list);
    HRESULT CreateThumbnailImage(const wchar_t* imagePath, std::wstring& thumbnailPath);
    // The second half of CreateThumbnailImage, with its log lines: stores a
    // picture made beforehand (on another thread, say) beside imagePath.
    HRESULT StoreThumbnailImage(const wchar_t* imagePath, const ThumbnailPicture& picture,
                                std::wstring& thumbnailPath);
    HRESULT SaveToLocalFolder(HWND parent, ISMRUploadFileList* list);

    // The upload run.
    HRESULT Execute(const GUID& jobId, const wchar_t* listFilePath, VARIANT_BOOL deleteFiles, HWND parent);
    // One pass; the files it does not finish carry its failure. The second
    // form is a pass of a run that keeps its cards' sync IDs between passes.
    HRESULT UploadFiles(HWND parent, SettingItem& item, ISMRUploadFileList* list);
    HRESULT UploadFiles(HWND parent, SettingItem& item, ISMRUploadFileList* list, CardSyncIds& syncIds);
    HRESULT DeleteTargetFiles(VARIANT_BOOL deleteFiles, ISMRUploadFileList* list, const wchar_t* listFilePath);

    // Progress operations (the progress dialog runs on its own thread).
    void StartStatusDlg(HWND parent);
    void SetStatusText(const wchar_t* text, int position);
    void SetUploadProgress(int total, int done);
    BOOL IsCancelRequested();
    // Set when the user cancels the progress dialog; null without one.
    HANDLE CancelEvent();
    void ShowStatusDlg(int showCommand);
    void EndStatusDlg();

    CMeishiDataStore& DataStore() noexcept { return m_DataStore; }

private:
    IUploadDialogs& Dialogs();
    // DeleteTargetFiles for the files of the list that were sent, without the
    // list file: what a run that stops on a failure may delete.
    HRESULT DeleteSentFiles(VARIANT_BOOL deleteFiles, ISMRUploadFileList* list);

    CMeishiDataStore m_DataStore;
    std::map<std::wstring, std::wstring> m_AppConfig;
    std::unique_ptr<IUploadDialogs> m_ownDialogs;  // the real dialogs, made on first use
    IUploadDialogs* m_pDialogs = nullptr;          // what the controller talks to
};

}  // namespace tessaran
