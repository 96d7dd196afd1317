// One WinINet request in asynchronous mode, driven by the thread that owns
// it: every call that goes pending is waited for by that thread, on the
// call's completion, the run's cancel event and the request's deadline, and
// on a cancel or a deadline that thread closes the handle itself. A blocked
// call cannot be cut short any other way: closing a handle from another
// thread is allowed only while no call is out, or after one went pending.
//
// Several requests may be out at once from one thread (each on a connection
// of its own); WaitForRequests waits for all of them and the cancel abandons
// them together.
//
// WinINet may still call back after a request was abandoned, until it says
// the handle is closing: everything it may touch (the context its callback
// receives, the body it sends, the counts and buffers its calls fill in) lives
// in a reference-counted context that holds one reference for WinINet,
// dropped only at INTERNET_STATUS_HANDLE_CLOSING, and the module stays loaded
// while any such reference is out (see RequestsHeldByWinInet).
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstddef>
#include <string>

#include "support/Handles.h"

namespace tessaran {

// How long one request may take, from the start of its send to the end of
// its answer's body: 300 s. Tests shorten it; the product keeps its own.
DWORD RequestTimeoutMs() noexcept;
void RequestTimeoutSetForTest(DWORD milliseconds) noexcept;
void RequestTimeoutResetForTest() noexcept;

// Makes the requests of a session opened with INTERNET_FLAG_ASYNC report to
// the plug-in; every request of that session is then made with a context.
bool InstallRequestCallback(HINTERNET session) noexcept;

// Request contexts WinINet has not let go of yet. While any is out, WinINet
// may call into the module's code: it must not be unloaded.
LONG RequestsHeldByWinInet() noexcept;

class RequestContext;

class AsyncRequest {
public:
    enum class State {
        kClosed,     // not opened, or closed after its answer
        kOpen,       // opened; nothing sent
        kSending,    // the send is out: connecting, sending, waiting for the answer's head
        kAnswered,   // the status and headers are in; the body is unread
        kReading,    // reading the body
        kRead,       // the body was read to its end (or, when dropped, as far as it mattered)
        kFailed,     // a call failed: Error() says why
        kAbandoned,  // closed while a call was out (cancel or deadline)
    };

    AsyncRequest() noexcept = default;
    // Closes the handle, abandoning a call still out.
    ~AsyncRequest();
    AsyncRequest(const AsyncRequest&) = delete;
    AsyncRequest& operator=(const AsyncRequest&) = delete;

    // Opens the request on a connection of an asynchronous session. False
    // when it cannot be (the last error is WinINet's).
    bool Open(HINTERNET connection, const wchar_t* verb, const wchar_t* path, DWORD flags) noexcept;
    HINTERNET Handle() const noexcept { return m_handle.get(); }

    // Room for a body of `length` bytes that stays where WinINet can read it
    // until it lets go of the request; null when there is no memory.
    char* BodyBuffer(DWORD length) noexcept;
    // Begins the send of the headers (may be empty) and the first `length`
    // bytes of the body buffer. The deadline runs from here.
    void BeginSend(const std::wstring& headers, DWORD length, DWORD timeoutMs) noexcept;
    // Begins reading the answer's body: kept up to `limit` bytes (more fails
    // the read), or dropped after `limit` bytes without failing.
    void BeginRead(bool keep, DWORD limit) noexcept;

    // Takes the completion of the call that was out and goes on as far as
    // it can without waiting.
    void Continue() noexcept;
    // True while a call is out and the request waits for its completion.
    bool Waiting() const noexcept { return m_waiting; }
    // Set when the call out has completed; then Continue.
    HANDLE CompletionEvent() const noexcept;
    ULONGLONG Deadline() const noexcept { return m_deadline; }

    // Closes the handle. With a call out, WinINet finishes or drops it on its
    // own and the request is abandoned.
    void Close() noexcept;
    // Close, for a request abandoned at its deadline (or for a wait that
    // failed): Expired() then tells it from one given up for the cancel.
    void Expire() noexcept;
    bool Expired() const noexcept { return m_expired; }

    State GetState() const noexcept { return m_state; }
    // The error of a failed call (a WinINet or Windows error code).
    DWORD Error() const noexcept { return m_error; }
    // The body kept by a read: a movable block of *size valid bytes, null
    // for an empty body. The caller owns it.
    HGLOBAL TakeBody(DWORD* size) noexcept;

private:
    void Fail(DWORD error) noexcept;
    // One step of reading: true when it should go on at once.
    bool ReadSome() noexcept;
    void Consume(DWORD count) noexcept;
    void EndOfBody() noexcept;

    UniqueHInternet m_handle;  // closed by Close, with a call out or not
    RequestContext* m_context = nullptr;  // the owner's reference
    State m_state = State::kClosed;
    bool m_waiting = false;
    bool m_expired = false;
    bool m_readOut = false;  // the call out is a read (else a query of what can be read)
    bool m_keep = false;
    DWORD m_limit = 0;
    DWORD m_error = 0;
    ULONGLONG m_deadline = 0;
    UniqueHGlobal m_body;
    DWORD m_bodySize = 0;
    DWORD m_bodyRoom = 0;
    DWORD m_dropped = 0;
};

// How a wait for requests ended.
enum class RequestWait {
    kProgress,   // a request's call completed (each was given its Continue)
    kCancelled,  // the cancel event was set: every request waiting was abandoned
    kTimedOut,   // a request's deadline passed: that request was abandoned
};

// Waits until one of the requests that wait can go on, the cancel event
// (may be null) is set, or the earliest deadline passes. With pumpMessages
// the calling thread's window messages are dispatched meanwhile (a dialog's
// thread that must stay responsive).
RequestWait WaitForRequests(AsyncRequest* const* requests, size_t count, HANDLE cancel,
                            bool pumpMessages) noexcept;

// Requests out on the same thread beside the one it waits for (the OCR
// requests of the cards ahead of the one being sent): every wait of that
// thread waits for them too and takes their steps, so that one thread drives
// them all, and the cancel abandons them all.
class RequestCompanions {
public:
    // Puts the requests whose calls are out into `into` (room for `room`);
    // returns how many.
    virtual size_t Waiting(AsyncRequest** into, size_t room) noexcept = 0;
    // Takes the next step of every request whose call has completed or was
    // given up. Never starts a request of its own accord.
    virtual void Advance() noexcept = 0;

protected:
    ~RequestCompanions() = default;
};

// Runs one request until its step ends (its answer's head is in, its body
// read, or a call failed), or until it is abandoned for the cancel or its
// deadline. The companions' requests (may be null) are waited for alongside
// and advanced after every wake; one of theirs passing its deadline ends
// only that one.
RequestWait RunRequest(AsyncRequest& request, HANDLE cancel, bool pumpMessages,
                       RequestCompanions* companions = nullptr) noexcept;

}  // namespace tessaran
