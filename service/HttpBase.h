// The HTTPS transport under both web service clients, on WinINet: one session
// and one connection to one host, the card service's session cookie, GET and
// POST with status mapping, one logon-and-resend, the idle refresh, and the
// multipart uploads with their part writers.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <string>

#include "service/AsyncRequest.h"
#include "support/Handles.h"

namespace tessaran {

// The result of every service client operation. Callers count 0 and 200 to
// 299 as success; 400, 401, 403, 404, 409, 412 and 500 are HTTP statuses
// passed on as they are.
enum ServiceResult : int {
    kServiceOk = 0,
    kServiceNotOpen = -1,
    kServiceAlreadyOpen = -2,
    kServiceBadArgument = -3,        // also: a file part's file is missing or unreadable
    kServiceSessionFailed = -4,
    kServiceCannotConnect = -5,
    kServiceNoMemory = -6,           // also: a file part's file is 4 GiB or larger
    kServiceTimedOut = -7,           // no whole answer within the request's time-out; the request was abandoned
    kServiceCancelled = -8,          // the user cancelled: the request was abandoned, or never went out
    kServiceRequestFailed = -101,    // request not opened, or not sent and no resend left
    kServiceBadResponse = -102,      // the answer could not be read, is too long, or is unusable
    kServiceUnexpectedStatus = -121,
    kServiceTimeoutNotSet = -999,
};

inline bool IsServiceSuccess(int code) noexcept { return code == 0 || (code >= 200 && code <= 299); }

// What both clients present themselves as, and the port of both services.
constexpr wchar_t kServiceAgent[] = L"SMR-MeishiRegister/1.0";
constexpr uint16_t kServicePort = 443;

// Both uploads use this boundary; every delimiter line is "--" followed by it.
constexpr char kFormBoundary[] = "--------FFF3F395A90B452BB8BEDC878DDBD152";

// A response body longer than this is refused (-102) rather than held.
constexpr DWORD kMaxResponseBytes = 8u * 1024u * 1024u;

// Idle time after which the next request first reconnects and logs on again.
constexpr int64_t kIdleRefreshSeconds = 300;

// The most a request may take when a pass ends after a cancel or a time-out
// (the logoff): the service has had its chance.
constexpr DWORD kFarewellTimeoutMs = 3000;

class CFormBody;
class CMultipartExchange;

class CHttp_base {
public:
    CHttp_base() noexcept;
    virtual ~CHttp_base();
    CHttp_base(const CHttp_base&) = delete;
    CHttp_base& operator=(const CHttp_base&) = delete;

    // The client's logon; the transport calls Login(0) whenever it has to log
    // on again. Returns a result code (0 = success).
    virtual int Login(int retry) = 0;
    // The client's logoff; ends in Close.
    virtual int Logout() = 0;

    // Opens session and connection: 0, or -2 (already open), -4, -5, -999.
    int Init_Http(const wchar_t* agent, const wchar_t* host, uint16_t port) noexcept;
    // Replaces the connection: 0, -1 without a session, -5 on failure.
    int Connect() noexcept;
    // Closes connection and session and forgets the cookie.
    void Close() noexcept;
    bool IsOpen() const noexcept { return static_cast<bool>(m_hSession); }

    // The response slot, when given, must be empty; on success it receives a
    // movable global memory block (owned by the caller) holding exactly *size
    // valid bytes, or stays null for an empty body.
    int Get(const wchar_t* path, HGLOBAL* response, DWORD* size) noexcept;
    // retry 1 allows one logon and resend after a 401 or a failed send.
    // `headers` is one header line without a line end, or null.
    int Post(int retry, const wchar_t* path, const wchar_t* headers, const void* body, DWORD length,
             HGLOBAL* response, DWORD* size) noexcept;

    void UpdateLastAccess() noexcept;

    // The run's cancel: a manual-reset event (null: none), not owned. Once it
    // is set, the request in flight is abandoned at once, and no request,
    // resend, logon or idle refresh starts; they give -8.
    void SetCancelEvent(HANDLE cancel) noexcept { m_hCancel = cancel; }
    // Dispatches the calling thread's window messages while a request is out,
    // for a dialog's thread that must stay responsive meanwhile.
    void SetPumpMessages(bool pump) noexcept { m_PumpMessages = pump; }
    // Requests the same thread has out beside this client's (not owned; null:
    // none): every wait for one of this client's requests drives them too.
    void SetCompanions(RequestCompanions* companions) noexcept { m_Companions = companions; }
    HANDLE CancelEvent() const noexcept { return m_hCancel; }
    bool PumpsMessages() const noexcept { return m_PumpMessages; }
    // The user cancelled (the event is set, or a request was abandoned for it).
    bool Cancelled() const noexcept;
    // A request ran past its time-out and was abandoned: the service stalls,
    // and every later request gives -7 at once.
    bool TimedOut() const noexcept { return m_TimedOut; }
    // For the last word of a pass that ends after a cancel or a time-out (the
    // logoff): each request may take kFarewellTimeoutMs at most, the cancel no
    // longer cuts it short, and nothing is resent or logged on for it.
    void BeginFarewell() noexcept { m_Farewell = true; }

    // Certificates are verified unless this is set (test and staging servers
    // only): then wrong names, invalid dates and unknown authorities pass.
    // Applies to every later request.
    void SetTrustAnyCertificate(bool trustAny) noexcept { m_TrustAnyCertificate = trustAny; }
    bool TrustAnyCertificate() const noexcept { return m_TrustAnyCertificate; }

    // Part writers of a multipart/form-data body. Without a destination they
    // only measure. They check their required arguments (-3, size slot left
    // alone), set *size to 0 and then to the bytes the piece takes, and
    // return 0. The caller guarantees room at the destination.
    static int WriteFormField(char* destination, const char* boundary, const char* name, const char* value,
                              DWORD* size) noexcept;
    static int WriteFormFileData(char* destination, const char* boundary, const char* name,
                                 const char* fileName, const void* content, DWORD length, DWORD* size) noexcept;
    // Reads the file at `path` (null: empty content) on every call, measuring
    // included; -3 when it is missing or cannot be opened or read, -6 when it
    // is 4 GiB or larger or no memory can hold it.
    static int WriteFormFile(char* destination, const char* boundary, const char* name, const char* fileName,
                             const wchar_t* path, DWORD* size) noexcept;
    static int WriteFormEnd(char* destination, const char* boundary, DWORD* size) noexcept;

protected:
    friend class CMultipartExchange;

    enum class MultipartKind {
        CardUpload,  // the card service's image uploads: full status mapping, no body read
        CardOcr,     // the OCR request: 2xx or -121, body read into the response text
    };

    // Reconnects and logs on again when the last exchange is more than five
    // minutes old; the first step of every request.
    void RefreshIfIdle() noexcept;

    // The client's own logon request: Post without the idle refresh (the
    // logon is the refresh), and its answer's session cookie replaces any
    // cookie held. Logons must never nest: an inner one's session would be
    // the one kept, and a service that ends it at the outer logon refuses
    // everything after.
    int PostLogon(int retry, const wchar_t* path, const wchar_t* headers, const void* body, DWORD length) noexcept;

    int SendRequest(int retry, const wchar_t* verb, const wchar_t* path, const wchar_t* headers,
                    const void* body, DWORD length, HGLOBAL* response, DWORD* size, bool logon = false) noexcept;

    // One multipart POST with one resend allowed (after Connect and Login(0)),
    // on this client's connection, taken to its end here. `response`
    // receives the body for CardOcr and is ignored otherwise.
    int SendMultipart(MultipartKind kind, const wchar_t* path, const CFormBody& body,
                      std::string* response) noexcept;
    // Takes an exchange begun on this client to its end on this thread.
    int Complete(CMultipartExchange& exchange) noexcept;

    // Reads the whole body of an answered request into a new block. Returns
    // its length (0: no block), -102 when reading fails, memory runs out, the
    // body passes kMaxResponseBytes or ends before its Content-Length, or -7
    // or -8 when the reading was abandoned.
    int ReadResponse(AsyncRequest& request, HGLOBAL* block) noexcept;

    std::wstring m_Cookie;         // "JSESSIONID=value" as sent; empty when none
    UniqueHInternet m_hSession;    // null while closed
    UniqueHInternet m_hConnect;    // null when there is no connection
    std::wstring m_Agent;
    std::wstring m_Host;
    uint16_t m_Port;
    SYSTEMTIME m_LastAccess;       // end of the last 2xx exchange, logon or refresh
    bool m_HasLastAccess;
    bool m_TrustAnyCertificate;
    HANDLE m_hCancel = nullptr;  // the run's, not owned
    bool m_PumpMessages = false;
    RequestCompanions* m_Companions = nullptr;  // not owned
    bool m_Cancelled = false;    // a request was abandoned for the cancel, or refused for it
    bool m_TimedOut = false;
    bool m_Farewell = false;

private:
    bool OpenRequest(AsyncRequest& request, const wchar_t* verb, const wchar_t* path) noexcept;
    bool OpenRequestOn(HINTERNET connection, AsyncRequest& request, const wchar_t* verb,
                       const wchar_t* path) noexcept;
    // How long a request begun now may take.
    DWORD RequestDeadlineMs() const noexcept;
    // The code a new exchange gets without going out (-8, -7), or 0.
    int RequestBarred() noexcept;
    // Whether a resend, a logon or an idle refresh may start.
    bool RetryAllowed() noexcept;
    // Sends the request (its body already in its buffer) and waits for the
    // answer's head: 0 (the request then is answered or failed), or -8 or -7
    // when it was abandoned or its failure was WinINet's own time-out.
    int Exchange(AsyncRequest& request, const std::wstring& headers, DWORD length) noexcept;
    // Waits for the request's step: 0, or -8 or -7 when it was abandoned.
    int Await(AsyncRequest& request) noexcept;
    // Reads what is left of an answer and drops it.
    void DrainAnswer(AsyncRequest& request) noexcept;
    // Only into an empty cookie, unless `replace`.
    void CaptureCookie(HINTERNET request, bool replace) noexcept;
    void Reconnect() noexcept;
};

// One multipart POST taken a step at a time: each call that goes pending is
// waited for by whoever holds the exchange, together with any other requests
// that thread drives, and Advance takes the next step (status, body, the one
// resend). SendMultipart takes one to its end at once; the upload run keeps
// OCR requests for the cards ahead out this way, each on a connection of its
// own. Whatever the exchange learns about the service (the user's cancel, a
// request that ran out of time) counts for its client only when Settle says
// so: an OCR request ahead that stalled ends the pass when the run reaches its
// card, as if that card had sent it.
class CMultipartExchange {
public:
    using Kind = CHttp_base::MultipartKind;

    CMultipartExchange() noexcept = default;
    // Closes a request still out (it is abandoned).
    ~CMultipartExchange() = default;
    CMultipartExchange(const CMultipartExchange&) = delete;
    CMultipartExchange& operator=(const CMultipartExchange&) = delete;

    // Begins the POST of `body` (which must outlive the exchange: a resend
    // writes it again) to `path` on the client's connection, or with
    // ownConnection on one the exchange opens on the client's session (and
    // opens anew for the resend), so that several can be out at once.
    void Begin(CHttp_base& client, Kind kind, const wchar_t* path, const CFormBody& body,
               bool ownConnection) noexcept;
    // The request whose call is out, or null.
    AsyncRequest* Out() noexcept;
    // Takes the next steps once the call out completed or was given up.
    void Advance() noexcept;
    bool Done() const noexcept { return m_phase == Phase::kDone; }
    // The operation's result code, once done.
    int Result() const noexcept { return m_result; }
    // The answer's body (CardOcr, after 0); empty for an empty body.
    std::string& Answer() noexcept { return m_answer; }
    // A request of the exchange ran out of time.
    bool SawTimeout() const noexcept { return m_sawTimeout; }
    // Passes what the exchange learnt on to the client (-8 and -7 then bar
    // the client's later requests).
    void Settle() noexcept;
    // Gives the exchange up: a call out is abandoned, the result is -8.
    void Abandon() noexcept;

private:
    enum class Phase { kIdle, kSending, kDraining, kReading, kDone };

    // Opens and sends one attempt, as far as it goes without waiting.
    void Attempt() noexcept;
    void Sent() noexcept;
    void Drained() noexcept;
    void Read() noexcept;
    void BeginDrain() noexcept;
    // -8 or -7 when the call out was given up or ran out of time (noted for
    // Settle), else 0.
    int Interrupted() noexcept;
    // A new connection for this exchange alone.
    void Reconnect() noexcept;
    void Finish(int result) noexcept;

    CHttp_base* m_client = nullptr;
    Kind m_kind = Kind::CardUpload;
    std::wstring m_path;
    const CFormBody* m_body = nullptr;
    std::wstring m_contentType;
    bool m_ownConnection = false;
    UniqueHInternet m_connection;  // with ownConnection
    // Declared after the connection: closed before it.
    AsyncRequest m_request;
    Phase m_phase = Phase::kIdle;
    bool m_resendLeft = true;
    DWORD m_status = 0;
    int m_result = kServiceRequestFailed;
    std::string m_answer;
    bool m_sawCancel = false;
    bool m_sawTimeout = false;
};

}  // namespace tessaran
