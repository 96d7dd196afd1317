// The upload run: Execute with its passes over the scanned files, one pass
// (UploadFiles), and the removal of the scans at the end.
#include <windows.h>

#include <cwchar>
#include <new>
#include <string>

#include "controller/MeishiServiceCtrl.h"
#include "controller/UploadFileList.h"
#include "service/ServiceConfig.h"
#include "support/Format.h"
#include "support/Handles.h"
#include "support/Log.h"
#include "support/Result.h"
#include "upload/MeishiUpload.h"
#include "upload/ServiceResult.h"

namespace tessaran {

namespace {

constexpr HRESULT kCancelled = HResultFromWin32(ERROR_CANCELLED);
constexpr HRESULT kOutOfMemory = HResultFromWin32(ERROR_NOT_ENOUGH_MEMORY);
constexpr wchar_t kThumbnailMark[] = L"_thumb.jpg";

bool AnyFileFailed(ISMRUploadFileList* list) {
    for (INT_PTR i = 0; i < list->GetCount(); ++i) {
        ISMRUploadFile* file = list->GetAt(i);
        if (file && file->GetResult() < 0) return true;
    }
    return false;
}

void MarkEveryFile(ISMRUploadFileList* list, HRESULT result) {
    for (INT_PTR i = 0; i < list->GetCount(); ++i) {
        if (ISMRUploadFile* file = list->GetAt(i)) {
            file->SetStatus(UPLOAD_FILE_FINISHED);
            file->SetResult(result);
        }
    }
}

// A thumbnail the run made itself; never the scan that stood in for one.
void DeleteThumbnail(HRESULT made, const std::wstring& thumbnailPath) {
    if (FAILED(made)) return;
    const wchar_t* mark = std::wcsstr(thumbnailPath.c_str(), kThumbnailMark);
    if (mark && mark > thumbnailPath.c_str()) ::DeleteFileW(thumbnailPath.c_str());
}

// Ends the progress dialog if an unexpected failure leaves the pass early.
class StatusDlgScope {
public:
    explicit StatusDlgScope(CMeishiServiceCtrl& ctrl) : m_ctrl(ctrl) {}
    ~StatusDlgScope() {
        if (m_open) m_ctrl.EndStatusDlg();
    }
    StatusDlgScope(const StatusDlgScope&) = delete;
    StatusDlgScope& operator=(const StatusDlgScope&) = delete;
    void End() {
        m_open = false;
        m_ctrl.EndStatusDlg();
    }

private:
    CMeishiServiceCtrl& m_ctrl;
    bool m_open = true;
};

}  // namespace

// A run that stops on a failure deletes only what is already in the card
// database: the files sent. Unsent scans and the list file stay for the
// user, whatever the host asked.
HRESULT CMeishiServiceCtrl::DeleteSentFiles(VARIANT_BOOL deleteFiles, ISMRUploadFileList* list) {
    // Guarded on its own: the caller returns its own failure whatever happens here.
    return TessaranGuard([&]() -> HRESULT {
        ComPtr<ISMRUploadFileList> sent(new CSMRUploadFileList);
        if (list) {
            for (INT_PTR i = 0; i < list->GetCount(); ++i) {
                ISMRUploadFile* file = list->GetAt(i);
                if (file && file->GetStatus() == UPLOAD_FILE_FINISHED && file->GetResult() == S_OK) {
                    file->AddRef();
                    sent->Add(file);
                }
            }
        }
        return DeleteTargetFiles(deleteFiles, sent.get(), nullptr);
    });
}

HRESULT CMeishiServiceCtrl::Execute(const GUID& jobId, const wchar_t* listFilePath, VARIANT_BOOL deleteFiles,
                                    HWND parent) {
    return TessaranGuard([&]() -> HRESULT {
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::Execute start");

        CSMRUploadFileList* newList = new (std::nothrow) CSMRUploadFileList;
        if (!newList) return LogFailure(L"Execute ISMRUploadFileList new", kOutOfMemory);
        ComPtr<ISMRUploadFileList> list(newList);

        HRESULT hr = CreateUploadFileList(listFilePath, list.get());
        if (FAILED(hr)) {
            DeleteSentFiles(deleteFiles, list.get());
            return LogFailure(L"Execute CreateUploadFileList", hr);
        }

        SettingItem item;
        hr = m_DataStore.GetItem(jobId, item);
        if (FAILED(hr)) {
            DeleteSentFiles(deleteFiles, list.get());
            return LogFailure(L"Execute GetItem", hr);
        }

        for (;;) {
            StartStatusDlg(parent);
            StatusDlgScope statusDlg(*this);
            SetStatusText(FormatString(255, L"%s へ接続中...", L"サービス").c_str(), 0);
            hr = UploadFiles(parent, item, list.get());
            if (FAILED(hr)) LogWrite(LOG_ERROR, L"UploadFiles Error = %08X", static_cast<unsigned>(hr));
            // Closed at once: a pause for the full bar to be seen would hold
            // every pass, and the host, for nothing.
            statusDlg.End();

            if (!AnyFileFailed(list.get())) {
                // A pass that failed without a failed file (an empty list whose
                // logon failed, an internal failure) would fail again the same
                // way: the run ends here instead of passing forever.
                if (FAILED(hr)) {
                    DeleteSentFiles(deleteFiles, list.get());
                    return hr;
                }
                break;
            }

            const int choice = Dialogs().ShowUploadResult(parent, list.get());
            if (choice == UPLOAD_RESULT_FINISH) break;
            if (choice == UPLOAD_RESULT_SAVE) {
                hr = SaveToLocalFolder(parent, list.get());
                if (FAILED(hr)) {
                    DeleteSentFiles(deleteFiles, list.get());
                    return LogFailure(L"Execute SaveToLocalFolder", hr);
                }
                break;
            }

            // Retry: the changed settings serve this run only; the job's
            // settings file keeps what the user stored.
            SettingItem edited = item;
            if (!Dialogs().EditSettings(edited, true)) {
                DeleteSentFiles(deleteFiles, list.get());
                return LogFailure(L"Execute CMeishiServiceSettingDlg CANCEL", kCancelled);
            }
            item = edited;
            for (INT_PTR i = 0; i < list->GetCount(); ++i) {
                ISMRUploadFile* file = list->GetAt(i);
                if (file && file->GetResult() < 0) {
                    file->SetResult(S_OK);
                    file->SetStatus(UPLOAD_FILE_PENDING);
                }
            }
        }

        DeleteTargetFiles(deleteFiles, list.get(), listFilePath);
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::Execute end");
        return S_OK;
    });
}

HRESULT CMeishiServiceCtrl::UploadFiles(HWND parent, SettingItem& item, ISMRUploadFileList* list) {
    (void)parent;  // the logon dialog has no owner, as the settings dialog of a retry
    return TessaranGuard([&]() -> HRESULT {
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::UploadFiles start");
        if (!list) return LogFailure(L"UploadFiles list", E_POINTER);

        if (item.GetMailAddress().empty() || item.GetAppToken().empty()) {
            ShowStatusDlg(SW_HIDE);
            std::wstring mailAddress = item.GetMailAddress();
            std::wstring appToken = item.GetAppToken();
            if (!Dialogs().AskLogon(mailAddress, appToken)) {
                MarkEveryFile(list, kCancelled);
                return LogFailure(L"IDCANCEL == Dlg.DoModal()", kCancelled);
            }
            item.SetMailAddress(mailAddress);
            item.SetAppToken(appToken);
            ShowStatusDlg(SW_SHOW);
        }

        const ServiceConfig config = ServiceConfig::FromAppConfig(m_AppConfig);
        CMeishiUpload upload(config.trustAnyCertificate);

        int result = upload.ServerLogin(config.cardService.host.c_str(), item.GetMailAddress().c_str(),
                                        item.GetAppToken().c_str(), config.cardService.port);
        if (!IsServiceSuccess(result)) {
            const HRESULT hr = MakeServiceHResult(result);
            MarkEveryFile(list, hr);
            return LogFailure(L"Upload.ServerLogin", hr);
        }
        result = upload.m_HttpOCR.Init_HttpOCR(kServiceAgent, config.ocrService.host.c_str(), config.ocrService.port);
        if (!IsServiceSuccess(result)) {
            const HRESULT hr = MakeServiceHResult(result);
            MarkEveryFile(list, hr);
            upload.ServerLogout();
            return LogFailure(L"Upload.m_HttpOCR.Init_HttpOCR Error", hr);
        }
        result = upload.m_HttpOCR.Login(0);
        if (!IsServiceSuccess(result)) {
            const HRESULT hr = MakeServiceHResult(result);
            MarkEveryFile(list, hr);
            upload.ServerLogout();
            return LogFailure(L"Upload.m_HttpOCR.Login Error", hr);
        }

        const bool pairing = item.GetEvenNumberImageToBackPage() == 1;
        MeishiRecord record;
        std::string ocrText;
        std::string syncId;
        INT_PTR i = 0;
        while (i < list->GetCount()) {
            const int count = static_cast<int>(list->GetCount());
            ISMRUploadFile* front = list->GetAt(i);
            if (!front || front->GetStatus() == UPLOAD_FILE_FINISHED) {
                ++i;
                continue;
            }
            if (IsCancelRequested()) {
                front->SetStatus(UPLOAD_FILE_FINISHED);
                front->SetResult(kCancelled);
                ++i;
                continue;
            }
            SetUploadProgress(count, static_cast<int>(i));
            front->SetStatus(UPLOAD_FILE_SENDING);

            // A card's back takes the front's failure: it is never read on its own.
            auto failFront = [&](int code) {
                front->SetStatus(UPLOAD_FILE_FINISHED);
                front->SetResult(MakeServiceHResult(code));
                if (!pairing) {
                    ++i;
                    return;
                }
                SetUploadProgress(count, static_cast<int>(i + 1));
                if (i + 1 < list->GetCount()) {
                    if (ISMRUploadFile* back = list->GetAt(i + 1)) {
                        if (back->GetStatus() != UPLOAD_FILE_FINISHED) {
                            back->SetResult(front->GetResult());
                            back->SetStatus(UPLOAD_FILE_FINISHED);
                        }
                    }
                }
                i += 2;
            };

            const int page = static_cast<int>(i) + 1;
            const int language = (page % 2 == 1 || pairing) ? item.GetOCRLangID() : item.GetOCRLangBackID();
            result = upload.m_HttpOCR.Post_cardocr(front->GetFilePath(), &ocrText, language);
            if (!IsServiceSuccess(result)) {
                LogWrite(LOG_ERROR, L"Upload.m_HttpOCR.Post_cardocr Error = %d", result);
                failFront(result);
                continue;
            }

            ZeroMemory(&record, sizeof(record));
            CMeishiUpload::ParseOcrResult(ocrText.c_str(), record);

            result = upload.m_Http.Get_m_newsyncid(&syncId);
            if (!IsServiceSuccess(result)) {
                LogWrite(LOG_ERROR, L"Upload.m_Http.Get_m_newsyncid Error = %d", result);
                failFront(result);
                continue;
            }

            std::wstring thumbnail;
            const HRESULT thumbnailMade = CreateThumbnailImage(front->GetFilePath(), thumbnail);
            if (FAILED(thumbnailMade)) {
                LogWrite(LOG_ERROR, L"CreateThumbnailImage Error = %08X", static_cast<unsigned>(thumbnailMade));
                thumbnail = front->GetFilePath();
            }
            result = upload.DoUploadMeishi(syncId.c_str(), front->GetFilePath(), thumbnail.c_str(), record);
            if (IsServiceSuccess(result)) {
                front->SetResult(S_OK);
            } else {
                LogWrite(LOG_ERROR, L"Upload.DoUploadMeishi Error = %d", result);
                front->SetResult(MakeServiceHResult(result));
            }
            front->SetStatus(UPLOAD_FILE_FINISHED);
            DeleteThumbnail(thumbnailMade, thumbnail);

            if (!pairing) {
                ++i;
                continue;
            }
            SetUploadProgress(count, static_cast<int>(i + 1));
            ISMRUploadFile* back = i + 1 < list->GetCount() ? list->GetAt(i + 1) : nullptr;
            // A file finished in an earlier pass (a card of its own that was
            // sent) is never attached to another card.
            if (back && back->GetStatus() != UPLOAD_FILE_FINISHED) {
                if (front->GetResult() != S_OK) {
                    back->SetResult(front->GetResult());
                } else {
                    std::wstring backThumbnail;
                    const HRESULT backThumbnailMade = CreateThumbnailImage(back->GetFilePath(), backThumbnail);
                    if (FAILED(backThumbnailMade)) {
                        LogWrite(LOG_ERROR, L"CreateThumbnailImage Back Error = %08X",
                                 static_cast<unsigned>(backThumbnailMade));
                        backThumbnail = back->GetFilePath();
                    }
                    result = upload.DoUploadImage(syncId.c_str(), back->GetFilePath(), backThumbnail.c_str());
                    if (IsServiceSuccess(result)) {
                        back->SetResult(S_OK);
                    } else {
                        LogWrite(LOG_ERROR, L"Upload.DoUploadImage Error = %d", result);
                        back->SetResult(MakeServiceHResult(result));
                    }
                    DeleteThumbnail(backThumbnailMade, backThumbnail);
                }
                back->SetStatus(UPLOAD_FILE_FINISHED);
            }
            i += 2;
        }

        const int count = static_cast<int>(list->GetCount());
        SetUploadProgress(count, count);
        result = upload.m_HttpOCR.Logout();
        if (!IsServiceSuccess(result)) LogWrite(LOG_ERROR, L"Upload.m_HttpOCR.Logout Error = %d", result);
        result = upload.ServerLogout();
        if (!IsServiceSuccess(result)) LogWrite(LOG_ERROR, L"Upload.ServerLogout() Error = %d", result);

        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::UploadFiles end");
        return S_OK;
    });
}

HRESULT CMeishiServiceCtrl::DeleteTargetFiles(VARIANT_BOOL deleteFiles, ISMRUploadFileList* list,
                                              const wchar_t* listFilePath) {
    return TessaranGuard([&]() -> HRESULT {
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::DeleteTargetFiles start");
        if (LOWORD(deleteFiles) == 0) {
            LogWrite(LOG_ERROR, L"bfiledelete == VARIANT_FALSE");
            return S_OK;
        }
        // Each deletion is tried whatever became of the one before.
        if (list) {
            for (INT_PTR i = 0; i < list->GetCount(); ++i) {
                ISMRUploadFile* file = list->GetAt(i);
                if (file && *file->GetFilePath()) ::DeleteFileW(file->GetFilePath());
            }
        }
        if (listFilePath && *listFilePath) ::DeleteFileW(listFilePath);
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::DeleteTargetFiles end");
        return S_OK;
    });
}

}  // namespace tessaran
