#include "upload/ThumbnailAhead.h"

#include "support/Log.h"
#include "support/Result.h"

namespace tessaran {

namespace {
std::atomic<LONG> g_runningThreads{0};
}  // namespace

LONG ThumbnailAhead::RunningThreads() noexcept { return g_runningThreads.load(); }

ThumbnailAhead::ThumbnailAhead() noexcept {
    m_wake.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    m_done.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!m_wake || !m_done) {
        LogFailure(L"ThumbnailAhead CreateEvent", LastErrorHResult());
        return;
    }
    m_thread.reset(::CreateThread(nullptr, 0, &ThumbnailAhead::ThreadStart, this, 0, nullptr));
    if (!m_thread) {
        LogFailure(L"ThumbnailAhead CreateThread", LastErrorHResult());
        return;
    }
    // The thread says it is ready once its COM is; one that cannot have COM
    // ends, and the pictures are made here.
    HANDLE waits[2] = {m_done.get(), m_thread.get()};
    if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        m_stop.store(true);
        ::SetEvent(m_wake.get());
        ::WaitForSingleObject(m_thread.get(), INFINITE);
        m_thread.reset();
    }
}

ThumbnailAhead::~ThumbnailAhead() {
    if (!m_thread) return;
    m_stop.store(true);
    ::SetEvent(m_wake.get());
    ::WaitForSingleObject(m_thread.get(), INFINITE);
}

DWORD WINAPI ThumbnailAhead::ThreadStart(void* parameter) noexcept {
    ++g_runningThreads;
    static_cast<ThumbnailAhead*>(parameter)->Work();
    --g_runningThreads;
    return 0;
}

void ThumbnailAhead::Work() noexcept {
    // Its own apartment: the pictures are plain bytes, no COM object leaves it.
    const ComInit com(COINIT_MULTITHREADED);
    if (FAILED(com.hr())) return;
    ::SetEvent(m_done.get());
    for (;;) {
        ::WaitForSingleObject(m_wake.get(), INFINITE);
        if (m_stop.load()) return;
        MakeThumbnailPicture(m_path.c_str(), m_picture);
        ::SetEvent(m_done.get());
    }
}

void ThumbnailAhead::Finish() noexcept {
    if (!m_handedOver) return;
    ::WaitForSingleObject(m_done.get(), INFINITE);
    m_handedOver = false;
}

void ThumbnailAhead::Begin(const wchar_t* path) noexcept {
    if (!m_thread || !path) return;
    if (m_handedOver && m_path == path) return;
    Finish();
    try {
        m_path = path;
    } catch (...) {
        return;  // made when it is taken
    }
    m_handedOver = true;
    ::SetEvent(m_wake.get());
}

void ThumbnailAhead::Take(const wchar_t* path, ThumbnailPicture& picture) noexcept {
    const bool begun = m_handedOver && path && m_path == path;
    Finish();
    if (begun) {
        std::swap(picture, m_picture);
        return;
    }
    MakeThumbnailPicture(path, picture);
}

}  // namespace tessaran
