// Client of the card OCR service: posts one card image with the fixed form
// fields and hands back the service's JSON answer as it came.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "service/FormBody.h"
#include "service/HttpBase.h"

namespace tessaran {

class CHttpOCR;

// One card's OCR request, taken a step at a time by whoever holds it (see
// CMultipartExchange): the form is read and built when it begins, and the
// result and answer are Post_cardocr's.
class COcrReading {
public:
    COcrReading() noexcept = default;
    COcrReading(const COcrReading&) = delete;
    COcrReading& operator=(const COcrReading&) = delete;

    // With ownConnection the request goes on a connection of its own, so
    // that several readings can be out at once.
    void Begin(CHttpOCR& client, const wchar_t* imagePath, int language, bool ownConnection) noexcept;
    AsyncRequest* Out() noexcept { return m_early == kServiceOk ? m_exchange.Out() : nullptr; }
    void Advance() noexcept;
    bool Done() const noexcept { return m_early != kServiceOk || m_exchange.Done(); }
    // Its request ran out of time: the service stalls.
    bool TimedOut() const noexcept { return m_early == kServiceOk && m_exchange.SawTimeout(); }
    // Post_cardocr's result, with the answer moved into `response`; what the
    // request learnt about the service now counts for the client.
    int Finish(std::string* response) noexcept;
    // Gives the request up (-8); its image's copy goes with it.
    void Abandon() noexcept;

private:
    std::unique_ptr<CFormBody> m_body;  // a resend writes it again
    CMultipartExchange m_exchange;
    int m_early = kServiceOk;  // the form's failure: nothing went out
};

class CHttpOCR : public CHttp_base {
public:
    CHttpOCR() noexcept = default;
    ~CHttpOCR() override = default;

    // Exactly Init_Http.
    int Init_HttpOCR(const wchar_t* agent, const wchar_t* host, uint16_t port) noexcept;
    // Sends nothing: -1 when not open, otherwise forgets the cookie and gives 0.
    int Login(int retry) noexcept override;
    // Sends nothing: -1 when not open, otherwise Close and 0.
    int Logout() noexcept override;

    // POST "/CardOCR/cardocr" with the image and the OCR language (1 Japanese,
    // 2 English). On 0 `response` holds the answer's bytes (UTF-8 JSON, maybe
    // empty). -3 without path or response text (left untouched), -1 not open,
    // -101 not sent, -102 answer unreadable or too long, -121 any status but 2xx.
    int Post_cardocr(const wchar_t* imagePath, std::string* response, int language) noexcept;

private:
    friend class COcrReading;
    // The form of one OCR request: 0, or the file part's failure (-3, -6).
    static int BuildForm(const wchar_t* imagePath, int language, CFormBody& body);
};

}  // namespace tessaran
