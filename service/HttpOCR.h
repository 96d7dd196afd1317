// Client of the card OCR service: posts one card image with the fixed form
// fields and hands back the service's JSON answer as it came.
#pragma once

#include <cstdint>
#include <string>

#include "service/HttpBase.h"

namespace tessaran {

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
};

}  // namespace tessaran
