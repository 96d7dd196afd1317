#include "ui/UiThread.h"

#include "support/Result.h"

namespace tessaran {

namespace {
std::atomic<LONG> g_liveThreads{0};
}  // namespace

CUiThread::CUiThread() noexcept { ++g_liveThreads; }

CUiThread::~CUiThread() { --g_liveThreads; }

LONG CUiThread::LiveCount() noexcept { return g_liveThreads.load(); }

bool CUiThread::CreateThread(DWORD flags) noexcept {
    if (m_thread) return false;
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCWSTR>(&CUiThread::ThreadStart), &module)) {
        LogFailure(L"CUiThread GetModuleHandleEx", LastErrorHResult());
        return false;
    }
    m_codeModule = module;
    m_thread.reset(::CreateThread(nullptr, 0, &CUiThread::ThreadStart, this, flags, &m_threadId));
    if (!m_thread) {
        LogFailure(L"CUiThread CreateThread", LastErrorHResult());
        m_codeModule = nullptr;
        ::FreeLibrary(module);
        return false;
    }
    return true;
}

DWORD CUiThread::ResumeThread() noexcept { return m_thread ? ::ResumeThread(m_thread.get()) : static_cast<DWORD>(-1); }

void CUiThread::Abandon() noexcept {
    if (m_state.exchange(kAbandoned) == kEnded) delete this;
}

void CUiThread::HandOverFailure(const wchar_t* step, HRESULT hr) noexcept {
    int expected = kEmpty;
    if (!m_mailbox.compare_exchange_strong(expected, kBusy, std::memory_order_acquire)) return;
    m_failureStep = step;
    m_failure = hr;
    m_mailbox.store(kFull, std::memory_order_release);
}

bool CUiThread::TakeFailure(const wchar_t*& step, HRESULT& hr) noexcept {
    int expected = kFull;
    if (!m_mailbox.compare_exchange_strong(expected, kBusy, std::memory_order_acquire)) return false;
    step = m_failureStep;
    hr = m_failure;
    m_mailbox.store(kEmpty, std::memory_order_release);
    return true;
}

int CUiThread::Run() noexcept {
    MSG message;
    for (;;) {
        const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
        if (got == 0) return static_cast<int>(message.wParam);
        if (got == -1) return -1;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

DWORD WINAPI CUiThread::ThreadStart(void* parameter) noexcept {
    auto* self = static_cast<CUiThread*>(parameter);
    const HMODULE module = self->m_codeModule;
    int exitCode = 0;
    try {
        if (self->InitInstance()) self->Run();
        exitCode = self->ExitInstance();
    } catch (...) {
        const HRESULT hr = HResultFromCaughtException();
        self->HandOverFailure(L"CUiThread", hr);
        exitCode = static_cast<int>(hr);
    }
    self->SetMainWindow(nullptr);
    // From here on the object belongs to the owner, unless it was abandoned.
    if (self->m_state.exchange(kEnded) == kAbandoned) delete self;
    ::FreeLibraryAndExitThread(module, static_cast<DWORD>(exitCode));
}

}  // namespace tessaran
