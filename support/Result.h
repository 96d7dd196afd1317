// HRESULT helpers. Failures travel as HRESULTs; each is logged once, where it
// is first seen, with "%s: error = %08X" and the name of the failed step.
#pragma once

#include <windows.h>

#include <exception>
#include <new>

namespace tessaran {

// A Windows error e becomes 0x80070000 | (e & 0xFFFF); 0 or below passes unchanged.
constexpr HRESULT HResultFromWin32(long error) noexcept {
    return error <= 0 ? static_cast<HRESULT>(error)
                      : static_cast<HRESULT>((static_cast<unsigned long>(error) & 0x0000FFFFu) | 0x80070000u);
}

// The last error as an HRESULT; a call that failed without setting one still
// reports a failure.
inline HRESULT LastErrorHResult() noexcept {
    const HRESULT hr = HResultFromWin32(static_cast<long>(::GetLastError()));
    return FAILED(hr) ? hr : E_FAIL;
}

// Writes "<step>: error = %08X" at the failure level and returns hr.
HRESULT LogFailure(const wchar_t* step, HRESULT hr) noexcept;

// Thrown inside an operation and caught at its boundary (see ReturnHResultFromException).
struct HResultError {
    HRESULT hr;
};

// The HRESULT for whatever was thrown; call only inside a catch block.
inline HRESULT HResultFromCaughtException() noexcept {
    try {
        throw;
    } catch (const HResultError& e) {
        return FAILED(e.hr) ? e.hr : E_FAIL;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace tessaran

// Evaluates expr once; returns its HRESULT from the enclosing function when it failed.
#define TESSARAN_RETURN_IF_FAILED(expr)            \
    do {                                           \
        const HRESULT tessaran_hr_ = (expr);       \
        if (FAILED(tessaran_hr_)) return tessaran_hr_; \
    } while (0)

// Same, writing the failure line first.
#define TESSARAN_RETURN_IF_FAILED_LOG(step, expr)                          \
    do {                                                                   \
        const HRESULT tessaran_hr_ = (expr);                               \
        if (FAILED(tessaran_hr_)) return ::tessaran::LogFailure((step), tessaran_hr_); \
    } while (0)

// Runs body (a lambda returning HRESULT) so that no exception escapes a boundary.
template <typename Body>
HRESULT TessaranGuard(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return ::tessaran::HResultFromCaughtException();
    }
}
