// The pair of service clients one upload pass (or one account status query)
// works with, and the steps it takes per card: reading the OCR answer into a
// card record, registering the card, storing a back image.
#pragma once

#include <cstdint>

#include "service/HttpMeishiRegister.h"
#include "service/HttpOCR.h"
#include "service/MeishiRecord.h"

namespace tessaran {

class CMeishiUpload {
public:
    // With trustAnyCertificate both clients accept any server certificate
    // (test and staging servers only).
    explicit CMeishiUpload(bool trustAnyCertificate = false) noexcept;

    // Opens the card service client and logs on: 0, or the first failing code.
    int ServerLogin(const wchar_t* host, const wchar_t* mailAddress, const wchar_t* appToken,
                    uint16_t port = kServicePort) noexcept;
    // Logs off the card service; the OCR client is left alone. After a cancel
    // or a time-out of either client the logoff is brief (BeginFarewell).
    int ServerLogout() noexcept;

    // The run's cancel for both clients (see CHttp_base::SetCancelEvent).
    void SetCancelEvent(HANDLE cancel) noexcept;
    // Both clients keep the calling dialog's thread responsive while they wait.
    void SetPumpMessages(bool pump) noexcept;
    // A request of either client was abandoned for its time-out: the pass is over.
    bool TimedOut() const noexcept { return m_HttpOCR.TimedOut() || m_Http.TimedOut(); }
    // The user cancelled (the clients' cancel event is set).
    bool Cancelled() const noexcept { return m_HttpOCR.Cancelled() || m_Http.Cancelled(); }

    // Fills the OCR fields of a cleared record from the service's JSON answer.
    // Anything that is not a JSON object, or is nested more than 32 levels
    // deep, leaves the record as it was; a value too long for its field keeps
    // what fits.
    static void ParseOcrResult(const char* ocrText, MeishiRecord& record);

    // Sets the values of a new card, registers it with its image and
    // thumbnail and, once registered, reports its sync ID: 0 or the
    // registration's code.
    int DoUploadMeishi(const char* syncId, const wchar_t* imagePath, const wchar_t* thumbnailPath,
                       MeishiRecord& record) noexcept;
    // Its two halves, for a caller that does something between them: the
    // registration (0 or its code), and the report of a registered card.
    int RegisterMeishi(const char* syncId, const wchar_t* imagePath, const wchar_t* thumbnailPath,
                       MeishiRecord& record) noexcept;
    void ReportRegistered(const char* syncId) noexcept;
    // Stores the back image of a registered card: 0 or the upload's code.
    int DoUploadImage(const char* syncId, const wchar_t* imagePath, const wchar_t* thumbnailPath) noexcept;

    CHttpOCR m_HttpOCR;
    CHttpMeishiRegister m_Http;
};

}  // namespace tessaran
