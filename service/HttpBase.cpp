#include "service/HttpBase.h"

#include <cstring>
#include <limits>

#include "service/FormBody.h"
#include "service/ServiceGuard.h"
#include "service/TextCodec.h"
#include "support/Clock.h"
#include "support/Format.h"

namespace tessaran {

namespace {

constexpr DWORD kTimeoutMs = 300000;
constexpr DWORD kReadStep = 16384;
// TLS, nothing cached, no redirect followed, cookies left to the transport.
// The two certificate-ignoring flags are added only by a configured
// trust-any policy (together 0x84A83000).
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE |
                                INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_COOKIES;
constexpr DWORD kTrustAnyFlags = INTERNET_FLAG_IGNORE_CERT_DATE_INVALID | INTERNET_FLAG_IGNORE_CERT_CN_INVALID;
static_assert(kRequestFlags == 0x84A80000u && (kRequestFlags | kTrustAnyFlags) == 0x84A83000u, "request flags");
constexpr wchar_t kSessionCookieName[] = L"JSESSIONID=";

int MapStatus(DWORD status) noexcept {
    if (status >= 200 && status <= 299) return kServiceOk;
    switch (status) {
        case 400:
        case 401:
        case 403:
        case 404:
        case 409:
        case 412:
        case 500:
            return static_cast<int>(status);
        default:
            return kServiceUnexpectedStatus;
    }
}

bool QueryStatus(HINTERNET request, DWORD* status) noexcept {
    DWORD length = sizeof(*status);
    *status = 0;
    return ::HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, status, &length, nullptr) !=
           FALSE;
}

// Reads what is left of an answer and drops it. Only a connection whose
// answer was read to its end goes back for the next request; one closed
// with bytes unread is dropped, and the next request pays for a new
// connection and TLS handshake (and Wine keeps what the old one held).
void DrainAnswer(HINTERNET request) noexcept {
    char scrap[4096];
    DWORD total = 0;
    DWORD read = 0;
    while (total <= kMaxResponseBytes && ::InternetReadFile(request, scrap, sizeof(scrap), &read) && read != 0) {
        total += read;
    }
}

SYSTEMTIME ToTheSecond(SYSTEMTIME time) noexcept {
    time.wMilliseconds = 0;
    return time;
}

}  // namespace

CHttp_base::CHttp_base() noexcept
    : m_Port(0), m_LastAccess(), m_HasLastAccess(false), m_TrustAnyCertificate(false) {}

CHttp_base::~CHttp_base() {
    m_hConnect.reset();
    m_hSession.reset();
}

int CHttp_base::Init_Http(const wchar_t* agent, const wchar_t* host, uint16_t port) noexcept {
    if (m_hSession) return kServiceAlreadyOpen;
    const int stored = ServiceGuard([&] {
        m_Agent = agent ? agent : L"";
        m_Host = host ? host : L"";
        return kServiceOk;
    });
    if (stored != kServiceOk) return kServiceSessionFailed;
    m_Port = port;

    m_hSession.reset(::InternetOpenW(m_Agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!m_hSession) return kServiceSessionFailed;
    DWORD timeout = kTimeoutMs;
    // The session stays open when this fails: it counts as open until Close.
    if (!::InternetSetOptionW(m_hSession.get(), INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof(timeout))) {
        return kServiceTimeoutNotSet;
    }
    for (DWORD option : {static_cast<DWORD>(INTERNET_OPTION_RECEIVE_TIMEOUT),
                         static_cast<DWORD>(INTERNET_OPTION_SEND_TIMEOUT),
                         static_cast<DWORD>(INTERNET_OPTION_DATA_SEND_TIMEOUT),
                         static_cast<DWORD>(INTERNET_OPTION_DATA_RECEIVE_TIMEOUT)}) {
        timeout = kTimeoutMs;
        ::InternetSetOptionW(m_hSession.get(), option, &timeout, sizeof(timeout));
    }
    const int connected = Connect();
    if (connected != kServiceOk) {
        Close();
        return connected;
    }
    return kServiceOk;
}

int CHttp_base::Connect() noexcept {
    if (!m_hSession) return kServiceNotOpen;
    m_hConnect.reset();
    m_hConnect.reset(::InternetConnectW(m_hSession.get(), m_Host.c_str(), m_Port, nullptr, nullptr,
                                        INTERNET_SERVICE_HTTP, 0, 0));
    return m_hConnect ? kServiceOk : kServiceCannotConnect;
}

void CHttp_base::Reconnect() noexcept {
    if (m_hSession) Connect();
}

void CHttp_base::Close() noexcept {
    m_hConnect.reset();
    m_hSession.reset();
    m_Cookie.clear();
}

void CHttp_base::UpdateLastAccess() noexcept {
    m_LastAccess = ToTheSecond(ClockNow());
    m_HasLastAccess = true;
}

int CHttp_base::Get(const wchar_t* path, HGLOBAL* response, DWORD* size) noexcept {
    if (!path || (response && *response)) return kServiceBadArgument;
    if (!IsOpen()) return kServiceNotOpen;
    return SendRequest(1, L"GET", path, nullptr, nullptr, 0, response, size);
}

int CHttp_base::Post(int retry, const wchar_t* path, const wchar_t* headers, const void* body, DWORD length,
                     HGLOBAL* response, DWORD* size) noexcept {
    if (!path || !body || (response && *response)) return kServiceBadArgument;
    if (!IsOpen()) return kServiceNotOpen;
    return SendRequest(retry, L"POST", path, headers, body, length, response, size);
}

int CHttp_base::PostLogon(int retry, const wchar_t* path, const wchar_t* headers, const void* body,
                          DWORD length) noexcept {
    if (!path || !body) return kServiceBadArgument;
    if (!IsOpen()) return kServiceNotOpen;
    return SendRequest(retry, L"POST", path, headers, body, length, nullptr, nullptr, true);
}

void CHttp_base::RefreshIfIdle() noexcept {
    if (!m_HasLastAccess) return;
    const SYSTEMTIME now = ToTheSecond(ClockNow());
    if (ClockSecondsBetween(m_LastAccess, now) <= kIdleRefreshSeconds) return;
    // Set first, so that the logon's own request does not refresh again.
    m_LastAccess = now;
    Connect();
    Login(0);
}

HINTERNET CHttp_base::OpenRequest(const wchar_t* verb, const wchar_t* path) noexcept {
    const DWORD flags = kRequestFlags | (m_TrustAnyCertificate ? kTrustAnyFlags : 0);
    HINTERNET request =
        ::HttpOpenRequestW(m_hConnect.get(), verb, path, nullptr, nullptr, nullptr, flags, 0);
    if (request && m_TrustAnyCertificate) {
        DWORD security = 0;
        DWORD length = sizeof(security);
        if (::InternetQueryOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &security, &length)) {
            security |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
            ::InternetSetOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &security, sizeof(security));
        }
    }
    return request;
}

void CHttp_base::CaptureCookie(HINTERNET request, bool replace) noexcept {
    if (!m_Cookie.empty() && !replace) return;
    // 4096 bytes for the header, one more unit that stays zero.
    wchar_t text[2049] = {};
    DWORD length = 4096;
    DWORD index = 0;
    if (!::HttpQueryInfoW(request, HTTP_QUERY_SET_COOKIE, text, &length, &index)) return;
    const wchar_t* start = std::wcsstr(text, kSessionCookieName);
    if (!start) return;
    const wchar_t* end = std::wcschr(start, L';');
    ServiceGuard([&] {
        m_Cookie.assign(start, end ? end : start + std::wcslen(start));
        return kServiceOk;
    });
}

int CHttp_base::SendRequest(int retry, const wchar_t* verb, const wchar_t* path, const wchar_t* headers,
                            const void* body, DWORD length, HGLOBAL* response, DWORD* size, bool logon) noexcept {
    if (!logon) RefreshIfIdle();
    if (size) *size = 0;
    for (;;) {
        int result = kServiceRequestFailed;
        UniqueHInternet request(OpenRequest(verb, path));
        if (!request) return kServiceRequestFailed;

        std::wstring headerText;
        const int built = ServiceGuard([&] {
            headerText = headers ? headers : L"";
            if (!m_Cookie.empty()) {
                if (body) {
                    // An empty line first would end the header block early.
                    if (!headerText.empty()) headerText += L"\r\n";
                    headerText += L"Cookie: " + m_Cookie + L"\r\n";
                } else {
                    headerText += L"Cookie: " + m_Cookie;
                }
            }
            return kServiceOk;
        });
        if (built != kServiceOk) return built;

        const BOOL sent = ::HttpSendRequestW(request.get(), headerText.empty() ? nullptr : headerText.c_str(),
                                             static_cast<DWORD>(headerText.size()), const_cast<void*>(body),
                                             body ? length : 0);
        if (!sent && ::GetLastError() == ERROR_INTERNET_CANNOT_CONNECT) result = kServiceCannotConnect;
        CaptureCookie(request.get(), logon);

        if (!sent) {
            request.reset();
            if (retry == 1) {
                retry = 0;
                Reconnect();
                if (Login(0) == kServiceOk) continue;
            }
            return result;
        }

        DWORD status = 0;
        if (!QueryStatus(request.get(), &status)) return kServiceUnexpectedStatus;
        const int mapped = MapStatus(status);
        if (mapped == kServiceOk) {
            if (response) {
                HGLOBAL block = nullptr;
                const int read = ReadResponse(request.get(), &block);
                if (read < 0) return read;
                *response = block;
                if (size) *size = static_cast<DWORD>(read);
            } else {
                DrainAnswer(request.get());
            }
            request.reset();
            UpdateLastAccess();
            return kServiceOk;
        }
        DrainAnswer(request.get());
        request.reset();
        if (status == 401 && retry == 1) {
            retry = 0;
            if (Login(0) == kServiceOk) continue;
        }
        return mapped;
    }
}

int CHttp_base::SendMultipart(MultipartKind kind, const wchar_t* path, const CFormBody& body,
                              std::string* response) noexcept {
    RefreshIfIdle();
    const uint64_t measured = body.Measure();
    if (measured > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) return kServiceNoMemory;

    wchar_t boundary[64] = {};
    DecodeUtf8(kFormBoundary, boundary, 64);
    wchar_t contentType[128];
    Format(contentType, 128, L"Content-Type: multipart/form-data; boundary=%s", boundary);

    bool resendLeft = true;
    for (;;) {
        UniqueHInternet request(OpenRequest(L"POST", path));
        if (!request) return kServiceRequestFailed;

        std::wstring headerText;
        const int built = ServiceGuard([&] {
            headerText = contentType;
            if (!m_Cookie.empty()) headerText += L"\r\nCookie: " + m_Cookie + L"\r\n";
            return kServiceOk;
        });
        if (built != kServiceOk) return built;

        BOOL sent;
        {
            UniqueHGlobal buffer(::GlobalAlloc(GMEM_MOVEABLE, static_cast<SIZE_T>(measured ? measured : 1)));
            if (!buffer) return kServiceNoMemory;
            GlobalLockGuard lock(buffer.get());
            if (!lock.get()) return kServiceNoMemory;
            const DWORD written = body.Write(lock.as<char>());
            sent = ::HttpSendRequestW(request.get(), headerText.c_str(), static_cast<DWORD>(headerText.size()),
                                      lock.get(), written);
        }

        if (!sent) {
            request.reset();
            if (resendLeft) {
                resendLeft = false;
                Connect();
                if (Login(0) == kServiceOk) continue;
            }
            return kServiceRequestFailed;
        }

        DWORD status = 0;
        const bool haveStatus = QueryStatus(request.get(), &status);
        if (kind == MultipartKind::CardOcr) {
            // The OCR service knows no logon: anything but 2xx is just unexpected.
            if (!haveStatus) return kServiceUnexpectedStatus;
            if (MapStatus(status) != kServiceOk) {
                DrainAnswer(request.get());
                return kServiceUnexpectedStatus;
            }
            HGLOBAL block = nullptr;
            const int read = ReadResponse(request.get(), &block);
            if (read < 0) return read;
            UniqueHGlobal owner(block);
            if (response && owner) {
                GlobalLockGuard lock(owner.get());
                if (!lock.get()) return kServiceBadResponse;
                const int copied = ServiceGuard([&] {
                    response->assign(lock.as<char>(), static_cast<size_t>(read));
                    return kServiceOk;
                });
                if (copied != kServiceOk) return copied;
            }
            request.reset();
            UpdateLastAccess();
            return kServiceOk;
        }

        if (!haveStatus) return kServiceUnexpectedStatus;
        const int mapped = MapStatus(status);
        // The service's answer to an upload is not needed, only its status.
        DrainAnswer(request.get());
        request.reset();
        if (mapped == kServiceOk) {
            UpdateLastAccess();
            return kServiceOk;
        }
        if (status == 401 && resendLeft) {
            resendLeft = false;
            if (Login(0) == kServiceOk) continue;
        }
        return mapped;
    }
}

int CHttp_base::ReadResponse(HINTERNET request, HGLOBAL* block) noexcept {
    *block = nullptr;
    UniqueHGlobal memory(::GlobalAlloc(GMEM_MOVEABLE, kReadStep));
    if (!memory) return kServiceBadResponse;
    DWORD total = 0;
    for (;;) {
        DWORD read = 0;
        BOOL ok;
        {
            GlobalLockGuard lock(memory.get());
            if (!lock.get()) return kServiceBadResponse;
            ok = ::InternetReadFile(request, lock.as<char>() + total, kReadStep, &read);
        }
        // A body that cannot be read whole is no answer at all.
        if (!ok) return kServiceBadResponse;
        if (read == 0) {
            // A connection that closes early ends the reading like a complete
            // body does; only the announced length tells the two apart.
            DWORD announced = 0;
            DWORD length = sizeof(announced);
            if (::HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &announced, &length,
                                 nullptr) &&
                total < announced) {
                return kServiceBadResponse;
            }
            if (total != 0) *block = memory.release();
            return static_cast<int>(total);
        }
        total += read;
        if (total > kMaxResponseBytes) return kServiceBadResponse;
        HGLOBAL larger = ::GlobalReAlloc(memory.get(), total + kReadStep, GMEM_MOVEABLE);
        if (!larger) return kServiceBadResponse;
        memory.release();
        memory.reset(larger);
    }
}

}  // namespace tessaran
