#include "service/HttpOCR.h"

#include <cstdio>
#include <cwchar>

#include "service/FormBody.h"
#include "service/ServiceGuard.h"
#include "service/TextCodec.h"

namespace tessaran {

namespace {

constexpr wchar_t kOcrPath[] = L"/CardOCR/cardocr";
constexpr char kVenderCode[] = "pX4rTq8LmW2zVn6Hc9JdB3sK";
constexpr char kAppliCode[] = "QRVX52CLIENT";

// The last component of a path: after the last backslash, slash or drive colon.
const wchar_t* LastComponent(const wchar_t* path) {
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; ++p) {
        if (*p == L'\\' || *p == L'/' || *p == L':') name = p + 1;
    }
    return name;
}

}  // namespace

int CHttpOCR::Init_HttpOCR(const wchar_t* agent, const wchar_t* host, uint16_t port) noexcept {
    return Init_Http(agent, host, port);
}

int CHttpOCR::Login(int /*retry*/) noexcept {
    if (!IsOpen()) return kServiceNotOpen;
    m_Cookie.clear();
    return kServiceOk;
}

int CHttpOCR::Logout() noexcept {
    if (!IsOpen()) return kServiceNotOpen;
    Close();
    return kServiceOk;
}

int CHttpOCR::Post_cardocr(const wchar_t* imagePath, std::string* response, int language) noexcept {
    if (!imagePath || !response) return kServiceBadArgument;
    response->clear();
    if (!IsOpen()) return kServiceNotOpen;
    COcrReading reading;
    reading.Begin(*this, imagePath, language, false);
    while (AsyncRequest* out = reading.Out()) {
        RunRequest(*out, m_Farewell ? nullptr : m_hCancel, m_PumpMessages, m_Farewell ? nullptr : m_Companions);
        reading.Advance();
    }
    return reading.Finish(response);
}

int CHttpOCR::BuildForm(const wchar_t* imagePath, int language, CFormBody& body) {
    char languageText[16];
    std::snprintf(languageText, sizeof(languageText), "%d", language);

    // Sized exactly: a file name longer than a path allows must not be cut
    // in the middle of a UTF-8 sequence or left without its terminator.
    const wchar_t* name = LastComponent(imagePath);
    std::string fileName(static_cast<size_t>(EncodeUtf8(name, nullptr, 0)), '\0');
    EncodeUtf8(name, &fileName[0], static_cast<int>(fileName.size()));
    fileName.resize(fileName.size() - 1);

    body.AddField("venderCode", kVenderCode);
    body.AddField("appliCode", kAppliCode);
    body.AddField("cognitionType", "1");
    body.AddField("imageFilter", "0");
    body.AddField("meishiLang", languageText);
    body.AddField("version", "1");
    body.AddField("JSONType", "1");
    // A scan that cannot be read is not sent at all: without its image the
    // request could only be refused, or worse, answered.
    return body.AddFile("image", fileName.c_str(), imagePath);
}

void COcrReading::Begin(CHttpOCR& client, const wchar_t* imagePath, int language, bool ownConnection) noexcept {
    m_early = kServiceOk;
    const int built = ServiceGuard([&] {
        m_body.reset(new CFormBody(kFormBoundary));
        return CHttpOCR::BuildForm(imagePath, language, *m_body);
    });
    if (built != kServiceOk) {
        // Nothing goes out: the reading ends at once with the form's failure.
        m_body.reset();
        m_early = built;
        return;
    }
    m_exchange.Begin(client, CMultipartExchange::Kind::CardOcr, kOcrPath, *m_body, ownConnection);
    if (m_exchange.Done()) m_body.reset();
}

void COcrReading::Advance() noexcept {
    m_exchange.Advance();
    // An answer waiting for its card holds no image.
    if (m_exchange.Done()) m_body.reset();
}

int COcrReading::Finish(std::string* response) noexcept {
    if (m_early != kServiceOk) return m_early;
    m_exchange.Settle();
    const int result = m_exchange.Result();
    if (result == kServiceOk && response) response->swap(m_exchange.Answer());
    m_body.reset();
    return result;
}

void COcrReading::Abandon() noexcept {
    if (m_early == kServiceOk) m_exchange.Abandon();
    m_body.reset();
}

}  // namespace tessaran
