#include "service/AsyncRequest.h"

#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

namespace tessaran {

namespace {

constexpr DWORD kRequestTimeoutMs = 300000;
constexpr DWORD kReadStep = 16384;

std::atomic<DWORD> g_timeoutForTest{0};
std::atomic<LONG> g_heldByWinInet{0};

}  // namespace

DWORD RequestTimeoutMs() noexcept {
    const DWORD forTest = g_timeoutForTest.load();
    return forTest ? forTest : kRequestTimeoutMs;
}

void RequestTimeoutSetForTest(DWORD milliseconds) noexcept { g_timeoutForTest.store(milliseconds); }

void RequestTimeoutResetForTest() noexcept { g_timeoutForTest.store(0); }

LONG RequestsHeldByWinInet() noexcept { return g_heldByWinInet.load(); }

// What WinINet may touch of one request: the context its callback receives,
// the body and header text of the send, the count its calls fill in and the
// buffer a read fills. One reference is the owner's, one WinINet's.
class RequestContext {
public:
    static RequestContext* Create() noexcept {
        auto* context = new (std::nothrow) RequestContext;
        if (!context) return nullptr;
        context->m_event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!context->m_event) {
            delete context;
            return nullptr;
        }
        return context;
    }

    void Release() noexcept {
        if (--m_refs == 0) delete this;
    }

    // WinINet's reference, taken before the handle exists so that a closing
    // notice can never find it missing; given back exactly once.
    void HoldForWinInet() noexcept {
        ++m_refs;
        ++g_heldByWinInet;
        m_heldByWinInet.store(true);
    }
    void LetGoForWinInet() noexcept {
        if (!m_heldByWinInet.exchange(false)) return;
        --g_heldByWinInet;
        Release();
    }

    // Before a call that may go pending.
    void Expect() noexcept {
        ::ResetEvent(m_event.get());
        m_expecting.store(true);
    }
    // After a call that did not go pending: no completion belongs to it.
    void Settled() noexcept {
        if (!m_expecting.exchange(false)) ::ResetEvent(m_event.get());
    }
    // On WinINet's thread: the pending call has completed.
    void Complete(const INTERNET_ASYNC_RESULT* result) noexcept {
        if (!m_expecting.exchange(false)) return;
        m_succeeded = result && result->dwResult != 0;
        m_error = result ? result->dwError : ERROR_INTERNET_INTERNAL_ERROR;
        ::SetEvent(m_event.get());
    }
    bool Succeeded() const noexcept { return m_succeeded; }
    // The error of a call that failed; WinINet puts other numbers here on success.
    DWORD Error() const noexcept { return m_error ? m_error : ERROR_INTERNET_INTERNAL_ERROR; }
    HANDLE Event() const noexcept { return m_event.get(); }

    bool AllocateBody(DWORD length) noexcept {
        m_body.reset(new (std::nothrow) char[length ? length : 1]);
        return m_body != nullptr;
    }

    std::wstring headers;
    char* body() noexcept { return m_body.get(); }
    DWORD available = 0;
    DWORD bytesRead = 0;
    char scratch[kReadStep];

private:
    RequestContext() noexcept = default;
    ~RequestContext() = default;

    std::atomic<LONG> m_refs{1};
    std::atomic<bool> m_heldByWinInet{false};
    std::atomic<bool> m_expecting{false};
    bool m_succeeded = false;
    DWORD m_error = 0;
    UniqueHandleNull m_event;  // manual reset: set when the call out completes
    std::unique_ptr<char[]> m_body;
};

namespace {

// WinINet's threads (and, for a close, the closing thread) come here. The
// closing notice is the last one a handle gets.
void CALLBACK RequestStatusCallback(HINTERNET, DWORD_PTR context, DWORD status, void* information,
                                    DWORD) noexcept {
    auto* request = reinterpret_cast<RequestContext*>(context);
    if (!request) return;
    switch (status) {
        case INTERNET_STATUS_REQUEST_COMPLETE:
            request->Complete(static_cast<const INTERNET_ASYNC_RESULT*>(information));
            break;
        case INTERNET_STATUS_HANDLE_CLOSING:
            request->LetGoForWinInet();
            break;
        default:
            break;
    }
}

bool IsDialogWindow(HWND window) noexcept {
    // The class atom of dialog boxes (WC_DIALOG).
    return window && ::GetClassLongPtrW(window, GCW_ATOM) == 32770;
}

// Dispatches what the thread's queue holds; false when it held WM_QUIT,
// which is put back for the loop that owns it.
bool PumpMessages() noexcept {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            ::PostQuitMessage(static_cast<int>(message.wParam));
            return false;
        }
        HWND root = message.hwnd ? ::GetAncestor(message.hwnd, GA_ROOT) : nullptr;
        if (IsDialogWindow(root) && ::IsDialogMessageW(root, &message)) continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return true;
}

}  // namespace

bool InstallRequestCallback(HINTERNET session) noexcept {
    return ::InternetSetStatusCallbackW(session, &RequestStatusCallback) != INTERNET_INVALID_STATUS_CALLBACK;
}

AsyncRequest::~AsyncRequest() { Close(); }

bool AsyncRequest::Open(HINTERNET connection, const wchar_t* verb, const wchar_t* path, DWORD flags) noexcept {
    Close();
    m_state = State::kClosed;
    m_error = 0;
    m_expired = false;
    RequestContext* context = RequestContext::Create();
    if (!context) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    context->HoldForWinInet();
    HINTERNET handle = ::HttpOpenRequestW(connection, verb, path, nullptr, nullptr, nullptr, flags,
                                          reinterpret_cast<DWORD_PTR>(context));
    if (!handle) {
        const DWORD error = ::GetLastError();
        context->LetGoForWinInet();
        context->Release();
        ::SetLastError(error);
        return false;
    }
    m_handle.reset(handle);
    m_context = context;
    m_state = State::kOpen;
    return true;
}

char* AsyncRequest::BodyBuffer(DWORD length) noexcept {
    if (!m_context || m_state != State::kOpen) return nullptr;
    return m_context->AllocateBody(length) ? m_context->body() : nullptr;
}

void AsyncRequest::BeginSend(const std::wstring& headers, DWORD length, DWORD timeoutMs) noexcept {
    if (m_state != State::kOpen || !m_context->body()) return Fail(ERROR_INVALID_FUNCTION);
    m_deadline = ::GetTickCount64() + timeoutMs;
    try {
        m_context->headers = headers;
    } catch (...) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    const std::wstring& text = m_context->headers;
    m_state = State::kSending;
    m_context->Expect();
    if (::HttpSendRequestW(m_handle.get(), text.empty() ? nullptr : text.c_str(), static_cast<DWORD>(text.size()),
                           length ? m_context->body() : nullptr, length)) {
        m_context->Settled();
        m_state = State::kAnswered;
        return;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING) {
        m_waiting = true;
        return;
    }
    m_context->Settled();
    Fail(error);
}

void AsyncRequest::BeginRead(bool keep, DWORD limit) noexcept {
    if (m_state != State::kAnswered) return;
    m_state = State::kReading;
    m_keep = keep;
    m_limit = limit;
    m_bodySize = 0;
    m_dropped = 0;
    m_body.reset();
    m_bodyRoom = 0;
    if (keep) {
        m_body.reset(::GlobalAlloc(GMEM_MOVEABLE, kReadStep));
        if (!m_body) return Fail(ERROR_NOT_ENOUGH_MEMORY);
        m_bodyRoom = kReadStep;
    }
    while (ReadSome()) {
    }
}

HANDLE AsyncRequest::CompletionEvent() const noexcept { return m_context ? m_context->Event() : nullptr; }

void AsyncRequest::Continue() noexcept {
    if (!m_waiting || ::WaitForSingleObject(m_context->Event(), 0) != WAIT_OBJECT_0) return;
    m_waiting = false;
    if (!m_context->Succeeded()) return Fail(m_context->Error());
    if (m_state == State::kSending) {
        m_state = State::kAnswered;
        return;
    }
    if (m_state != State::kReading) return;
    // A read that went out has filled the buffer; a query that went out
    // is asked again, now that its bytes have come.
    if (m_readOut) {
        m_readOut = false;
        if (m_context->bytesRead == 0) return EndOfBody();
        Consume(m_context->bytesRead);
    }
    while (m_state == State::kReading && ReadSome()) {
    }
}

bool AsyncRequest::ReadSome() noexcept {
    RequestContext& context = *m_context;
    context.available = 0;
    context.Expect();
    if (!::InternetQueryDataAvailable(m_handle.get(), &context.available, 0, 0)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_PENDING) {
            m_waiting = true;
            return false;
        }
        context.Settled();
        Fail(error);
        return false;
    }
    context.Settled();
    if (context.available == 0) {
        EndOfBody();
        return false;
    }
    // What is available is read at once; a read that goes pending all the
    // same fills the context's buffer, which outlives an abandoned request.
    const DWORD wanted = context.available < kReadStep ? context.available : kReadStep;
    context.bytesRead = 0;
    context.Expect();
    if (!::InternetReadFile(m_handle.get(), context.scratch, wanted, &context.bytesRead)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_PENDING) {
            m_readOut = true;
            m_waiting = true;
            return false;
        }
        context.Settled();
        Fail(error);
        return false;
    }
    context.Settled();
    if (context.bytesRead == 0) {
        EndOfBody();
        return false;
    }
    Consume(context.bytesRead);
    return m_state == State::kReading;
}

void AsyncRequest::Consume(DWORD count) noexcept {
    if (!m_keep) {
        // An answer read to its end leaves the connection for the next
        // request; one too long to be worth it is dropped with it.
        m_dropped += count;
        if (m_dropped > m_limit) m_state = State::kRead;
        return;
    }
    if (count > m_limit - m_bodySize) return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (m_bodySize + count > m_bodyRoom) {
        // Grown a read step at a time.
        const DWORD room = m_bodySize + count + kReadStep;
        HGLOBAL larger = ::GlobalReAlloc(m_body.get(), room, GMEM_MOVEABLE);
        if (!larger) return Fail(ERROR_NOT_ENOUGH_MEMORY);
        m_body.release();
        m_body.reset(larger);
        m_bodyRoom = room;
    }
    GlobalLockGuard lock(m_body.get());
    if (!lock.get()) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    std::memcpy(lock.as<char>() + m_bodySize, m_context->scratch, count);
    m_bodySize += count;
}

void AsyncRequest::EndOfBody() noexcept {
    if (m_keep) {
        // A connection that closes early ends the reading like a complete
        // body does; only the announced length tells the two apart.
        DWORD announced = 0;
        DWORD length = sizeof(announced);
        if (::HttpQueryInfoW(m_handle.get(), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &announced, &length,
                             nullptr) &&
            m_bodySize < announced) {
            return Fail(ERROR_HANDLE_EOF);
        }
    }
    m_state = State::kRead;
}

void AsyncRequest::Fail(DWORD error) noexcept {
    m_state = State::kFailed;
    m_error = error ? error : ERROR_INTERNET_INTERNAL_ERROR;
    m_waiting = false;
    m_readOut = false;
    m_body.reset();
    m_bodySize = 0;
}

void AsyncRequest::Expire() noexcept {
    if (m_waiting) m_expired = true;
    Close();
}

void AsyncRequest::Close() noexcept {
    // Allowed with a call out only because that call went pending; its
    // completion and the closing notice go to the context, whose buffers stay
    // until WinINet lets go.
    m_handle.reset();
    if (m_waiting) {
        m_waiting = false;
        m_readOut = false;
        m_state = State::kAbandoned;
    }
    if (m_context) {
        m_context->Release();
        m_context = nullptr;
    }
}

HGLOBAL AsyncRequest::TakeBody(DWORD* size) noexcept {
    if (size) *size = m_bodySize;
    if (m_bodySize == 0) {
        m_body.reset();
        return nullptr;
    }
    m_bodySize = 0;
    return m_body.release();
}

RequestWait WaitForRequests(AsyncRequest* const* requests, size_t count, HANDLE cancel, bool pumpMessages) noexcept {
    for (;;) {
        // The cancel first: when it and a completion come together, the cancel wins.
        HANDLE events[MAXIMUM_WAIT_OBJECTS];
        AsyncRequest* owners[MAXIMUM_WAIT_OBJECTS];
        DWORD n = 0;
        if (cancel) events[n++] = cancel;
        const DWORD first = n;
        ULONGLONG earliest = ULLONG_MAX;
        for (size_t i = 0; i < count && n < MAXIMUM_WAIT_OBJECTS - 1; ++i) {
            AsyncRequest* request = requests[i];
            if (!request || !request->Waiting()) continue;
            owners[n] = request;
            events[n++] = request->CompletionEvent();
            if (request->Deadline() < earliest) earliest = request->Deadline();
        }
        if (n == first) return RequestWait::kProgress;

        const ULONGLONG now = ::GetTickCount64();
        if (now >= earliest) {
            for (DWORD i = first; i < n; ++i) {
                if (owners[i]->Deadline() <= now) owners[i]->Expire();
            }
            return RequestWait::kTimedOut;
        }
        const ULONGLONG left = earliest - now;
        const DWORD timeout = left >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(left);
        const DWORD waited = pumpMessages
                                 ? ::MsgWaitForMultipleObjectsEx(n, events, timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE)
                                 : ::WaitForMultipleObjects(n, events, FALSE, timeout);
        if (waited == WAIT_TIMEOUT) continue;  // the deadline is handled above
        if (pumpMessages && waited == WAIT_OBJECT_0 + n) {
            if (PumpMessages()) continue;
            // The thread is being told to quit: nothing may hold it.
            for (DWORD i = first; i < n; ++i) owners[i]->Close();
            return RequestWait::kCancelled;
        }
        if (waited >= WAIT_OBJECT_0 + first && waited < WAIT_OBJECT_0 + n) {
            owners[waited - WAIT_OBJECT_0]->Continue();
            return RequestWait::kProgress;
        }
        // The cancel, or a wait that failed: either way nothing is waited
        // for any longer, and nothing the requests hold is touched again.
        const bool cancelled = waited == WAIT_OBJECT_0 && cancel;
        for (DWORD i = first; i < n; ++i) {
            if (cancelled) {
                owners[i]->Close();
            } else {
                owners[i]->Expire();
            }
        }
        return cancelled ? RequestWait::kCancelled : RequestWait::kTimedOut;
    }
}

RequestWait RunRequest(AsyncRequest& request, HANDLE cancel, bool pumpMessages,
                       RequestCompanions* companions) noexcept {
    AsyncRequest* all[MAXIMUM_WAIT_OBJECTS - 1];
    while (request.Waiting()) {
        all[0] = &request;
        size_t count = 1;
        if (companions) count += companions->Waiting(all + 1, MAXIMUM_WAIT_OBJECTS - 2);
        const RequestWait waited = WaitForRequests(all, count, cancel, pumpMessages);
        if (companions) companions->Advance();
        if (waited == RequestWait::kCancelled) return waited;
    }
    // Abandoned without the cancel: its deadline, or a wait that failed.
    return request.GetState() == AsyncRequest::State::kAbandoned ? RequestWait::kTimedOut : RequestWait::kProgress;
}

}  // namespace tessaran
