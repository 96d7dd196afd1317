#include "service/HttpBase.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "service/FormBody.h"
#include "service/ServiceGuard.h"
#include "service/TextCodec.h"
#include "support/Clock.h"
#include "support/Format.h"

namespace tessaran {

namespace {

// WinINet's own time-outs, each as long as a whole request may take.
constexpr DWORD kTimeoutMs = 300000;
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
    m_Cancelled = false;
    m_TimedOut = false;
    m_Farewell = false;

    // Asynchronous, so that the thread that waits for a request can give it
    // up at once: a blocking call cannot be cut short.
    m_hSession.reset(
        ::InternetOpenW(m_Agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, INTERNET_FLAG_ASYNC));
    if (!m_hSession) return kServiceSessionFailed;
    if (!InstallRequestCallback(m_hSession.get())) {
        m_hSession.reset();
        return kServiceSessionFailed;
    }
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

bool CHttp_base::Cancelled() const noexcept {
    return m_Cancelled || (m_hCancel && ::WaitForSingleObject(m_hCancel, 0) == WAIT_OBJECT_0);
}

int CHttp_base::RequestBarred() noexcept {
    if (m_Farewell) return kServiceOk;
    if (Cancelled()) {
        m_Cancelled = true;
        return kServiceCancelled;
    }
    return m_TimedOut ? kServiceTimedOut : kServiceOk;
}

bool CHttp_base::RetryAllowed() noexcept { return !m_Farewell && RequestBarred() == kServiceOk; }

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
    if (!m_HasLastAccess || !RetryAllowed()) return;
    const SYSTEMTIME now = ToTheSecond(ClockNow());
    if (ClockSecondsBetween(m_LastAccess, now) <= kIdleRefreshSeconds) return;
    // Set first, so that the logon's own request does not refresh again.
    m_LastAccess = now;
    Connect();
    Login(0);
}

bool CHttp_base::OpenRequest(AsyncRequest& request, const wchar_t* verb, const wchar_t* path) noexcept {
    return OpenRequestOn(m_hConnect.get(), request, verb, path);
}

bool CHttp_base::OpenRequestOn(HINTERNET connection, AsyncRequest& request, const wchar_t* verb,
                               const wchar_t* path) noexcept {
    const DWORD flags = kRequestFlags | (m_TrustAnyCertificate ? kTrustAnyFlags : 0);
    if (!request.Open(connection, verb, path, flags)) return false;
    if (m_TrustAnyCertificate) {
        DWORD security = 0;
        DWORD length = sizeof(security);
        if (::InternetQueryOptionW(request.Handle(), INTERNET_OPTION_SECURITY_FLAGS, &security, &length)) {
            security |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
            ::InternetSetOptionW(request.Handle(), INTERNET_OPTION_SECURITY_FLAGS, &security, sizeof(security));
        }
    }
    return true;
}

DWORD CHttp_base::RequestDeadlineMs() const noexcept {
    return m_Farewell ? std::min(kFarewellTimeoutMs, RequestTimeoutMs()) : RequestTimeoutMs();
}

int CHttp_base::Await(AsyncRequest& request) noexcept {
    // The last word of an ended pass is bounded by its short deadline alone.
    switch (RunRequest(request, m_Farewell ? nullptr : m_hCancel, m_PumpMessages,
                       m_Farewell ? nullptr : m_Companions)) {
        case RequestWait::kCancelled:
            m_Cancelled = true;
            return kServiceCancelled;
        case RequestWait::kTimedOut:
            m_TimedOut = true;
            return kServiceTimedOut;
        case RequestWait::kProgress:
            break;
    }
    // WinINet's own time-outs (all as long as the request's) count the same.
    if (request.GetState() == AsyncRequest::State::kFailed && request.Error() == ERROR_INTERNET_TIMEOUT) {
        m_TimedOut = true;
        return kServiceTimedOut;
    }
    return kServiceOk;
}

int CHttp_base::Exchange(AsyncRequest& request, const std::wstring& headers, DWORD length) noexcept {
    request.BeginSend(headers, length, RequestDeadlineMs());
    return Await(request);
}

void CHttp_base::DrainAnswer(AsyncRequest& request) noexcept {
    // Only a connection whose answer was read to its end goes back for the
    // next request; one closed with bytes unread is dropped, and the next
    // request pays for a new connection and TLS handshake. A cancel or the
    // deadline here ends only the reading: the answer's status stands.
    request.BeginRead(false, kMaxResponseBytes);
    Await(request);
}

void CHttp_base::CaptureCookie(HINTERNET request, bool replace) noexcept {
    if (!request || (!m_Cookie.empty() && !replace)) return;
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
        if (const int barred = RequestBarred()) return barred;
        AsyncRequest request;
        if (!OpenRequest(request, verb, path)) return kServiceRequestFailed;

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
        const DWORD sentLength = body ? length : 0;
        char* content = request.BodyBuffer(sentLength);
        if (!content) return kServiceNoMemory;
        if (sentLength) std::memcpy(content, body, sentLength);

        const int exchanged = Exchange(request, headerText, sentLength);
        if (exchanged != kServiceOk) return exchanged;
        const bool sent = request.GetState() == AsyncRequest::State::kAnswered;
        CaptureCookie(request.Handle(), logon);

        if (!sent) {
            const int result =
                request.Error() == ERROR_INTERNET_CANNOT_CONNECT ? kServiceCannotConnect : kServiceRequestFailed;
            request.Close();
            // A dropped connection fails fast and gets its one resend.
            if (retry == 1 && RetryAllowed()) {
                retry = 0;
                Reconnect();
                if (Login(0) == kServiceOk) continue;
            }
            return result;
        }

        DWORD status = 0;
        if (!QueryStatus(request.Handle(), &status)) return kServiceUnexpectedStatus;
        const int mapped = MapStatus(status);
        if (mapped == kServiceOk) {
            if (response) {
                HGLOBAL block = nullptr;
                const int read = ReadResponse(request, &block);
                if (read < 0) return read;
                *response = block;
                if (size) *size = static_cast<DWORD>(read);
            } else {
                DrainAnswer(request);
            }
            request.Close();
            UpdateLastAccess();
            return kServiceOk;
        }
        DrainAnswer(request);
        request.Close();
        if (status == 401 && retry == 1 && RetryAllowed()) {
            retry = 0;
            if (Login(0) == kServiceOk) continue;
        }
        return mapped;
    }
}

int CHttp_base::SendMultipart(MultipartKind kind, const wchar_t* path, const CFormBody& body,
                              std::string* response) noexcept {
    CMultipartExchange exchange;
    exchange.Begin(*this, kind, path, body, false);
    const int result = Complete(exchange);
    if (result == kServiceOk && kind == MultipartKind::CardOcr && response) response->swap(exchange.Answer());
    return result;
}

int CHttp_base::Complete(CMultipartExchange& exchange) noexcept {
    while (AsyncRequest* out = exchange.Out()) {
        RunRequest(*out, m_Farewell ? nullptr : m_hCancel, m_PumpMessages, m_Farewell ? nullptr : m_Companions);
        exchange.Advance();
    }
    exchange.Settle();
    return exchange.Result();
}

void CMultipartExchange::Begin(CHttp_base& client, Kind kind, const wchar_t* path, const CFormBody& body,
                               bool ownConnection) noexcept {
    m_client = &client;
    m_kind = kind;
    m_body = &body;
    m_ownConnection = ownConnection;
    m_resendLeft = true;
    m_sawCancel = false;
    m_sawTimeout = false;
    m_answer.clear();
    m_phase = Phase::kIdle;
    // A connection of its own is new anyway: the idle refresh would only
    // replace the client's, which this exchange does not use.
    if (!ownConnection) client.RefreshIfIdle();
    if (body.Measure() > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
        return Finish(kServiceNoMemory);
    }
    wchar_t boundary[64] = {};
    DecodeUtf8(kFormBoundary, boundary, 64);
    wchar_t contentType[128];
    Format(contentType, 128, L"Content-Type: multipart/form-data; boundary=%s", boundary);
    const int stored = ServiceGuard([&] {
        m_path = path;
        m_contentType = contentType;
        return kServiceOk;
    });
    if (stored != kServiceOk) return Finish(stored);
    if (ownConnection) Reconnect();
    Attempt();
}

AsyncRequest* CMultipartExchange::Out() noexcept {
    return m_phase != Phase::kDone && m_request.Waiting() ? &m_request : nullptr;
}

void CMultipartExchange::Reconnect() noexcept {
    CHttp_base& client = *m_client;
    m_request.Close();
    m_connection.reset();
    if (!client.m_hSession) return;
    m_connection.reset(::InternetConnectW(client.m_hSession.get(), client.m_Host.c_str(), client.m_Port, nullptr,
                                          nullptr, INTERNET_SERVICE_HTTP, 0, 0));
}

void CMultipartExchange::Attempt() noexcept {
    CHttp_base& client = *m_client;
    if (const int barred = client.RequestBarred()) return Finish(barred);
    HINTERNET connection = m_ownConnection ? m_connection.get() : client.m_hConnect.get();
    if (!client.OpenRequestOn(connection, m_request, L"POST", m_path.c_str())) return Finish(kServiceRequestFailed);

    std::wstring headerText;
    const int built = ServiceGuard([&] {
        headerText = m_contentType;
        if (!client.m_Cookie.empty()) headerText += L"\r\nCookie: " + client.m_Cookie + L"\r\n";
        return kServiceOk;
    });
    if (built != kServiceOk) return Finish(built);

    // Written for every attempt into a buffer that stays with the request
    // until WinINet lets go of it.
    char* content = m_request.BodyBuffer(static_cast<DWORD>(m_body->Measure()));
    if (!content) return Finish(kServiceNoMemory);
    const DWORD written = m_body->Write(content);
    m_phase = Phase::kSending;
    m_request.BeginSend(headerText, written, client.RequestDeadlineMs());
    if (!m_request.Waiting()) Sent();
}

void CMultipartExchange::Advance() noexcept {
    if (m_request.Waiting()) return;
    switch (m_phase) {
        case Phase::kSending:
            return Sent();
        case Phase::kDraining:
            return Drained();
        case Phase::kReading:
            return Read();
        case Phase::kIdle:
        case Phase::kDone:
            return;
    }
}

int CMultipartExchange::Interrupted() noexcept {
    const AsyncRequest::State state = m_request.GetState();
    if (state == AsyncRequest::State::kAbandoned) {
        if (m_request.Expired()) {
            m_sawTimeout = true;
            return kServiceTimedOut;
        }
        m_sawCancel = true;
        return kServiceCancelled;
    }
    // WinINet's own time-outs (all as long as the request's) count the same.
    if (state == AsyncRequest::State::kFailed && m_request.Error() == ERROR_INTERNET_TIMEOUT) {
        m_sawTimeout = true;
        return kServiceTimedOut;
    }
    return kServiceOk;
}

void CMultipartExchange::Sent() noexcept {
    CHttp_base& client = *m_client;
    if (const int interrupted = Interrupted()) return Finish(interrupted);
    if (m_request.GetState() != AsyncRequest::State::kAnswered) {
        m_request.Close();
        if (m_resendLeft && client.RetryAllowed()) {
            m_resendLeft = false;
            if (m_ownConnection) {
                Reconnect();
            } else {
                client.Connect();
            }
            if (client.Login(0) == kServiceOk) return Attempt();
        }
        return Finish(kServiceRequestFailed);
    }
    if (!QueryStatus(m_request.Handle(), &m_status)) return Finish(kServiceUnexpectedStatus);
    if (m_kind == Kind::CardOcr && MapStatus(m_status) == kServiceOk) {
        m_phase = Phase::kReading;
        m_request.BeginRead(true, kMaxResponseBytes);
        if (!m_request.Waiting()) Read();
        return;
    }
    // The service's answer to an upload is not needed, only its status; nor
    // is the OCR service's to a request it refused.
    BeginDrain();
}

void CMultipartExchange::BeginDrain() noexcept {
    // Only a connection whose answer was read to its end goes back for the
    // next request; one closed with bytes unread is dropped, and the next
    // request pays for a new connection and TLS handshake.
    m_phase = Phase::kDraining;
    m_request.BeginRead(false, kMaxResponseBytes);
    if (!m_request.Waiting()) Drained();
}

void CMultipartExchange::Drained() noexcept {
    CHttp_base& client = *m_client;
    // A cancel or the deadline here ends only the reading: the answer's
    // status stands.
    Interrupted();
    // The OCR service knows no logon: anything but 2xx is just unexpected.
    if (m_kind == Kind::CardOcr) return Finish(kServiceUnexpectedStatus);
    m_request.Close();
    const int mapped = MapStatus(m_status);
    if (mapped == kServiceOk) {
        client.UpdateLastAccess();
        return Finish(kServiceOk);
    }
    if (m_status == 401 && m_resendLeft && client.RetryAllowed()) {
        m_resendLeft = false;
        if (client.Login(0) == kServiceOk) return Attempt();
    }
    Finish(mapped);
}

void CMultipartExchange::Read() noexcept {
    if (const int interrupted = Interrupted()) return Finish(interrupted);
    // A body that cannot be read whole is no answer at all.
    if (m_request.GetState() != AsyncRequest::State::kRead) return Finish(kServiceBadResponse);
    DWORD size = 0;
    UniqueHGlobal owner(m_request.TakeBody(&size));
    if (owner) {
        GlobalLockGuard lock(owner.get());
        if (!lock.get()) return Finish(kServiceBadResponse);
        const int copied = ServiceGuard([&] {
            m_answer.assign(lock.as<char>(), static_cast<size_t>(size));
            return kServiceOk;
        });
        if (copied != kServiceOk) return Finish(copied);
    }
    m_request.Close();
    m_client->UpdateLastAccess();
    Finish(kServiceOk);
}

void CMultipartExchange::Finish(int result) noexcept {
    // Nothing of a finished exchange stays open: an answer waiting for its
    // card holds no connection.
    m_request.Close();
    m_connection.reset();
    m_result = result;
    m_phase = Phase::kDone;
}

void CMultipartExchange::Settle() noexcept {
    if (!m_client) return;
    if (m_sawCancel) m_client->m_Cancelled = true;
    if (m_sawTimeout) m_client->m_TimedOut = true;
}

void CMultipartExchange::Abandon() noexcept {
    if (m_phase == Phase::kDone) return;
    m_sawCancel = true;
    Finish(kServiceCancelled);
}

int CHttp_base::ReadResponse(AsyncRequest& request, HGLOBAL* block) noexcept {
    *block = nullptr;
    request.BeginRead(true, kMaxResponseBytes);
    const int waited = Await(request);
    if (waited != kServiceOk) return waited;
    // A body that cannot be read whole is no answer at all.
    if (request.GetState() != AsyncRequest::State::kRead) return kServiceBadResponse;
    DWORD size = 0;
    *block = request.TakeBody(&size);
    return static_cast<int>(size);
}

}  // namespace tessaran
