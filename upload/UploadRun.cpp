// The upload run: Execute with its passes over the scanned files, one pass
// (UploadFiles), and the removal of the scans at the end.
#include <windows.h>

#include <cwchar>
#include <new>
#include <string>

#include "controller/MeishiServiceCtrl.h"
#include "controller/ThumbnailPicture.h"
#include "controller/UploadFileList.h"
#include "service/ServiceConfig.h"
#include "support/Format.h"
#include "support/Handles.h"
#include "support/Log.h"
#include "support/Result.h"
#include "upload/MeishiUpload.h"
#include "upload/OcrAhead.h"
#include "upload/ServiceResult.h"
#include "upload/ThumbnailAhead.h"

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

bool IsPending(ISMRUploadFile* file) { return file && file->GetStatus() != UPLOAD_FILE_FINISHED; }

void Finish(ISMRUploadFile* file, HRESULT result) {
    file->SetStatus(UPLOAD_FILE_FINISHED);
    file->SetResult(result);
}

// Every file the pass has not finished takes the pass's failure, so that it is
// listed, saved and sent again like any failed file. Files already finished
// keep their outcome: a sent card marked as failed would be registered twice
// by the next retry, and a failed one keeps its own reason.
void FinishPendingFiles(ISMRUploadFileList* list, HRESULT result) noexcept {
    try {
        for (INT_PTR i = 0; i < list->GetCount(); ++i) {
            ISMRUploadFile* file = list->GetAt(i);
            if (IsPending(file)) Finish(file, result);
        }
    } catch (...) {
        // Only a list changed under the pass gets here; what was marked stays.
    }
}

// A thumbnail the run made itself; never the scan that stood in for one.
void DeleteThumbnail(HRESULT made, const std::wstring& thumbnailPath) {
    if (FAILED(made)) return;
    const wchar_t* mark = std::wcsstr(thumbnailPath.c_str(), kThumbnailMark);
    if (mark && mark > thumbnailPath.c_str()) ::DeleteFileW(thumbnailPath.c_str());
}

// The registration went out but its answer never came back, or was given up
// (the user's cancel, the time-out): the card may be in the database. Every
// later attempt must carry the same sync ID, so that the service sees a
// repeat instead of a new card.
bool AnswerLost(int result) {
    return result == kServiceRequestFailed || result == kServiceUnexpectedStatus || result == kServiceTimedOut ||
           result == kServiceCancelled;
}

// What a file carries after a step failed with the code.
HRESULT FileResultOf(int code) { return code == kServiceCancelled ? kCancelled : MakeServiceHResult(code); }

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

// One card of the list. With pairing, the files at even places (the 1st, 3rd,
// 5th ... page) are fronts and each is followed by its back; without it every
// file is a front of its own. The roles follow the place in the host's list,
// never the files a pass still has to send.
struct Card {
    INT_PTR index;          // of the front
    ISMRUploadFile* front;  // null for an empty slot
    ISMRUploadFile* back;   // null without pairing or after the last front

    INT_PTR Files() const { return back ? 2 : 1; }
};

// Sends the cards of one pass, one card per step. Two things are done ahead
// of the card being sent, while its requests are out: the next file's
// thumbnail (on a thread of its own) and the OCR requests of the next fronts
// (driven by this thread while it waits). Neither moves a log line, a
// progress text, a file's status or a request to the card service.
class CardSender {
public:
    CardSender(CMeishiServiceCtrl& ctrl, CMeishiUpload& upload, const SettingItem& item, ISMRUploadFileList* list,
               CardSyncIds& syncIds, ThumbnailAhead& ahead, OcrAhead& ocrAhead)
        : m_ctrl(ctrl), m_upload(upload), m_item(item), m_list(list), m_syncIds(syncIds), m_ahead(ahead),
          m_ocrAhead(ocrAhead), m_pairing(item.GetEvenNumberImageToBackPage() == 1) {}

    // The first thumbnail of the pass is made while the pass logs on.
    void BeginFirstThumbnail() { BeginThumbnailAfter(-1); }
    // The first fronts are read once the OCR service is open.
    void BeginFirstReadings() { ReadAheadOf(-1); }

    Card CardAt(INT_PTR index) const {
        Card card{index, m_list->GetAt(index), nullptr};
        if (m_pairing && index + 1 < m_list->GetCount()) card.back = m_list->GetAt(index + 1);
        return card;
    }

    // Sends what is left of the card at `index`; returns the files it takes.
    INT_PTR SendCard(INT_PTR index) {
        const Card card = CardAt(index);
        if (!IsPending(card.front) && !IsPending(card.back)) return card.Files();
        if (m_ctrl.IsCancelRequested()) {
            // Whatever is read ahead is for cards that will not be sent.
            m_ocrAhead.Abandon();
            if (IsPending(card.front)) Finish(card.front, kCancelled);
            if (IsPending(card.back)) Finish(card.back, kCancelled);
            return card.Files();
        }
        if (IsPending(card.front)) {
            SetProgress(card.index);
            SendFront(card);
        }
        if (IsPending(card.back)) {
            SetProgress(card.index + 1);
            SendBack(card);
        }
        // A card stored whole needs its sync ID no more: the record keeps
        // what a later pass sends again, not one entry for every card.
        if (card.front && card.front->GetResult() == S_OK && (!card.back || card.back->GetResult() == S_OK)) {
            m_syncIds.Forget(card.front);
        }
        return card.Files();
    }

private:
    void SetProgress(INT_PTR done) {
        m_ctrl.SetUploadProgress(static_cast<int>(m_list->GetCount()), static_cast<int>(done));
    }

    // OCR, a sync ID, and the registration with image and thumbnail.
    void SendFront(const Card& card) {
        ISMRUploadFile* front = card.front;
        front->SetStatus(UPLOAD_FILE_SENDING);
        // Begun during the card before, unless that one ended early.
        m_ahead.Begin(front->GetFilePath());
        int result = ReadFront(card);
        if (!IsServiceSuccess(result)) {
            ReadAheadOf(card.index);
            return FinishStep(front, result, L"Upload.m_HttpOCR.Post_cardocr Error = %d");
        }
        ZeroMemory(&m_record, sizeof(m_record));
        CMeishiUpload::ParseOcrResult(m_ocrText.c_str(), m_record);

        std::string syncId;
        if (const std::string* earlier = m_syncIds.Find(front)) {
            syncId = *earlier;
        } else {
            result = m_upload.m_Http.Get_m_newsyncid(&syncId);
            if (!IsServiceSuccess(result)) {
                ReadAheadOf(card.index);
                return FinishStep(front, result, L"Upload.m_Http.Get_m_newsyncid Error = %d");
            }
        }

        HRESULT thumbnailMade = S_OK;
        const std::wstring thumbnail =
            ThumbnailOf(front, card.index, L"CreateThumbnailImage Error = %08X", thumbnailMade);
        result = m_upload.RegisterMeishi(syncId.c_str(), front->GetFilePath(), thumbnail.c_str(), m_record);
        // The next reading's image goes up while the report and the next
        // sync ID, which carry next to nothing, are out: on a shared uplink
        // it then takes nothing from a registration's image.
        ReadAheadOf(card.index);
        if (IsServiceSuccess(result)) m_upload.ReportRegistered(syncId.c_str());
        if (IsServiceSuccess(result) || AnswerLost(result)) {
            // Its back, or the registration's repeat, goes to this sync ID.
            m_syncIds.Keep(front, syncId, true);
        } else {
            m_syncIds.Release(front);
        }
        FinishStep(front, result, L"Upload.DoUploadMeishi Error = %d");
        DeleteThumbnail(thumbnailMade, thumbnail);
    }

    // The back image of the card's front, which is never read on its own: it
    // goes to the front's sync ID (registered in this pass or an earlier one),
    // or takes the front's failure.
    void SendBack(const Card& card) {
        ISMRUploadFile* back = card.back;
        const std::string* syncId = card.front ? m_syncIds.Find(card.front) : nullptr;
        if (!card.front || card.front->GetResult() != S_OK || !syncId) {
            const HRESULT failed = card.front && FAILED(card.front->GetResult()) ? card.front->GetResult()
                                                                               : E_UNEXPECTED;
            Finish(back, failed);
            return;
        }
        HRESULT thumbnailMade = S_OK;
        const std::wstring thumbnail =
            ThumbnailOf(back, card.index + 1, L"CreateThumbnailImage Back Error = %08X", thumbnailMade);
        const int result = m_upload.DoUploadImage(syncId->c_str(), back->GetFilePath(), thumbnail.c_str());
        FinishStep(back, result, L"Upload.DoUploadImage Error = %d");
        DeleteThumbnail(thumbnailMade, thumbnail);
    }

    // The OCR language of the front at index: its page number's (odd pages,
    // and every front with pairing, use the first language).
    int LanguageOf(INT_PTR index) const {
        const INT_PTR page = index + 1;
        return (page % 2 == 1 || m_pairing) ? m_item.GetOCRLangID() : m_item.GetOCRLangBackID();
    }

    // The OCR answer of the card's front: read ahead, or read now. The place
    // it frees is taken by the next front's reading once this card is
    // registered, or has failed.
    int ReadFront(const Card& card) {
        int result = kServiceOk;
        if (!m_ocrAhead.Take(card.index, &m_ocrText, &result)) {
            result = m_upload.m_HttpOCR.Post_cardocr(card.front->GetFilePath(), &m_ocrText, LanguageOf(card.index));
        }
        return result;
    }

    // Fronts the pass will read after the card at `current` (-1: before the
    // first), in list order: those its later cards start with and that are
    // not finished. What an earlier pass sent whole stays unread, as when
    // the run reaches it.
    void ReadAheadOf(INT_PTR current) {
        if (!m_ocrAhead.MayBegin()) return;
        const INT_PTR count = m_list->GetCount();
        for (INT_PTR index = current < 0 ? 0 : current + CardAt(current).Files(); index < count && !m_ocrAhead.Full();
             index += CardAt(index).Files()) {
            const Card card = CardAt(index);
            if (IsPending(card.front)) m_ocrAhead.Begin(index, card.front->GetFilePath(), LanguageOf(index));
        }
    }

    // The file's thumbnail, or the file itself when none can be made. The
    // next file's is made meanwhile, while this card's requests are out.
    std::wstring ThumbnailOf(ISMRUploadFile* file, INT_PTR index, const wchar_t* failureFormat, HRESULT& made) {
        m_ahead.Take(file->GetFilePath(), m_picture);
        BeginThumbnailAfter(index);
        std::wstring thumbnail;
        made = m_ctrl.StoreThumbnailImage(file->GetFilePath(), m_picture, thumbnail);
        if (FAILED(made)) {
            LogWrite(LOG_ERROR, failureFormat, static_cast<unsigned>(made));
            thumbnail = file->GetFilePath();
        }
        return thumbnail;
    }

    // The next file the pass sends after the one at index, front or back,
    // is the next one that needs a thumbnail if all goes well.
    void BeginThumbnailAfter(INT_PTR index) {
        for (INT_PTR next = index + 1; next < m_list->GetCount(); ++next) {
            ISMRUploadFile* file = m_list->GetAt(next);
            if (IsPending(file)) {
                m_ahead.Begin(file->GetFilePath());
                return;
            }
        }
    }

    // Ends the file with a step's service result, logging a failure.
    static void FinishStep(ISMRUploadFile* file, int result, const wchar_t* failureFormat) {
        if (IsServiceSuccess(result)) {
            Finish(file, S_OK);
            return;
        }
        LogWrite(LOG_ERROR, failureFormat, result);
        Finish(file, FileResultOf(result));
    }

    CMeishiServiceCtrl& m_ctrl;
    CMeishiUpload& m_upload;
    const SettingItem& m_item;
    ISMRUploadFileList* m_list;
    CardSyncIds& m_syncIds;
    ThumbnailAhead& m_ahead;
    OcrAhead& m_ocrAhead;
    const bool m_pairing;
    MeishiRecord m_record;
    std::string m_ocrText;
    ThumbnailPicture m_picture;  // its bytes' room serves every card
};

}  // namespace

const std::string* CardSyncIds::Find(ISMRUploadFile* front) const {
    const auto it = m_ids.find(front);
    return it == m_ids.end() ? nullptr : &it->second.syncId;
}

void CardSyncIds::Keep(ISMRUploadFile* front, const std::string& syncId, bool mayBeStored) {
    Entry& entry = m_ids[front];
    entry.syncId = syncId;
    entry.mayBeStored = entry.mayBeStored || mayBeStored;
}

void CardSyncIds::Release(ISMRUploadFile* front) {
    const auto it = m_ids.find(front);
    if (it != m_ids.end() && !it->second.mayBeStored) m_ids.erase(it);
}

void CardSyncIds::Forget(ISMRUploadFile* front) { m_ids.erase(front); }

size_t CardSyncIds::Count() const noexcept { return m_ids.size(); }

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

        // Sync IDs of the cards this run registered, or tried to: a retry sends
        // backs and lost registrations to the card they belong to.
        CardSyncIds syncIds;
        for (;;) {
            StartStatusDlg(parent);
            StatusDlgScope statusDlg(*this);
            SetStatusText(FormatString(255, L"%s へ接続中...", L"サービス").c_str(), 0);
            hr = UploadFiles(parent, item, list.get(), syncIds);
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
            const HRESULT edit = Dialogs().RunSettingsDialog(edited, true);
            if (edit != S_OK) {
                DeleteSentFiles(deleteFiles, list.get());
                if (FAILED(edit)) return LogFailure(L"Execute CMeishiServiceSettingDlg", edit);
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
    return TessaranGuard([&]() -> HRESULT {
        CardSyncIds syncIds;
        return UploadFiles(parent, item, list, syncIds);
    });
}

HRESULT CMeishiServiceCtrl::UploadFiles(HWND parent, SettingItem& item, ISMRUploadFileList* list,
                                        CardSyncIds& syncIds) {
    (void)parent;  // the logon dialog has no owner, as the settings dialog of a retry
    const HRESULT hr = TessaranGuard([&]() -> HRESULT {
        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::UploadFiles start");
        if (!list) return LogFailure(L"UploadFiles list", E_POINTER);

        if (item.GetMailAddress().empty() || item.GetAppToken().empty()) {
            ShowStatusDlg(SW_HIDE);
            std::wstring mailAddress = item.GetMailAddress();
            std::wstring appToken = item.GetAppToken();
            const HRESULT logon = Dialogs().RunLogonDialog(mailAddress, appToken);
            // A dialog that never appeared is no cancel: the files carry its
            // failure (the pass's end gives it to every file not yet sent).
            if (FAILED(logon)) return LogFailure(L"Dlg.DoModal()", logon);
            if (logon != S_OK) {
                return LogFailure(L"IDCANCEL == Dlg.DoModal()", kCancelled);
            }
            item.SetMailAddress(mailAddress);
            item.SetAppToken(appToken);
            ShowStatusDlg(SW_SHOW);
        }

        const ServiceConfig config = ServiceConfig::FromAppConfig(m_AppConfig);
        CMeishiUpload upload(config.trustAnyCertificate);
        // The user's cancel gives up the request in flight at once.
        upload.SetCancelEvent(CancelEvent());
        // Declared before the sender, so that its thread is ended and joined
        // after the sender is gone, on every way out of the pass; the OCR
        // readings ahead go before the clients they were sent through.
        ThumbnailAhead ahead;
        OcrAhead ocrAhead(upload, config.ocrRequestsAhead);
        CardSender sender(*this, upload, item, list, syncIds, ahead, ocrAhead);
        sender.BeginFirstThumbnail();

        int result = upload.ServerLogin(config.cardService.host.c_str(), item.GetMailAddress().c_str(),
                                        item.GetAppToken().c_str(), config.cardService.port);
        if (!IsServiceSuccess(result)) return LogFailure(L"Upload.ServerLogin", FileResultOf(result));
        result = upload.m_HttpOCR.Init_HttpOCR(kServiceAgent, config.ocrService.host.c_str(), config.ocrService.port);
        if (!IsServiceSuccess(result)) {
            upload.ServerLogout();
            return LogFailure(L"Upload.m_HttpOCR.Init_HttpOCR Error", MakeServiceHResult(result));
        }
        result = upload.m_HttpOCR.Login(0);
        if (!IsServiceSuccess(result)) {
            upload.ServerLogout();
            return LogFailure(L"Upload.m_HttpOCR.Login Error", MakeServiceHResult(result));
        }

        sender.BeginFirstReadings();
        for (INT_PTR index = 0; index < list->GetCount();) {
            index += sender.SendCard(index);
            if (upload.TimedOut()) {
                // A service that stalls would stall every card after this one
                // too: the pass ends, and what it did not send is kept, listed
                // and sent again by a retry.
                FinishPendingFiles(list, LogFailure(L"UploadFiles service stalled",
                                                    MakeServiceHResult(kServiceTimedOut)));
                break;
            }
        }

        // Nothing read ahead outlives the loop: a pass that ended early
        // leaves readings for cards it will not send.
        ocrAhead.Abandon();
        // The bar fills only for a pass that got through the list.
        if (!upload.TimedOut() && !upload.Cancelled()) {
            const int count = static_cast<int>(list->GetCount());
            SetUploadProgress(count, count);
        }
        result = upload.m_HttpOCR.Logout();
        if (!IsServiceSuccess(result)) LogWrite(LOG_ERROR, L"Upload.m_HttpOCR.Logout Error = %d", result);
        result = upload.ServerLogout();
        if (!IsServiceSuccess(result)) LogWrite(LOG_ERROR, L"Upload.ServerLogout() Error = %d", result);

        LogWrite(LOG_TRACE, L"CMeishiServiceCtrl::UploadFiles end");
        return S_OK;
    });
    // Whatever ended the pass early (a refused or cancelled logon, an internal
    // failure half-way), the files it did not finish carry that failure.
    if (FAILED(hr) && list) FinishPendingFiles(list, hr);
    return hr;
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
