// Owners for every kind of Windows resource the plug-in holds. Each owner
// releases exactly once, moves but never copies, and keeps the thread's last
// error across the release so that a failure path can still read it.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wininet.h>
#include <wincrypt.h>
#include <commctrl.h>

#include <utility>

namespace tessaran {

// Releases a handle of type T through Traits::Close when Traits::IsValid.
template <typename Traits>
class UniqueHandle {
public:
    using pointer = typename Traits::Type;

    UniqueHandle() noexcept : m_value(Traits::Invalid()) {}
    explicit UniqueHandle(pointer value) noexcept : m_value(value) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : m_value(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    pointer get() const noexcept { return m_value; }
    explicit operator bool() const noexcept { return Traits::IsValid(m_value); }

    pointer release() noexcept {
        pointer value = m_value;
        m_value = Traits::Invalid();
        return value;
    }

    void reset(pointer value = Traits::Invalid()) noexcept {
        if (Traits::IsValid(m_value)) {
            const DWORD lastError = ::GetLastError();
            Traits::Close(m_value);
            ::SetLastError(lastError);
        }
        m_value = value;
    }

    // For out-parameters: releases what was held first.
    pointer* put() noexcept {
        reset();
        return &m_value;
    }

private:
    pointer m_value;
};

template <typename T, typename CloseFn, CloseFn Fn>
struct NullInvalidTraits {
    using Type = T;
    static constexpr T Invalid() noexcept { return T(); }
    static bool IsValid(T value) noexcept { return value != T(); }
    static void Close(T value) noexcept { Fn(value); }
};

namespace detail {
inline void CloseKernelHandle(HANDLE h) noexcept { ::CloseHandle(h); }
inline void CloseRegKey(HKEY h) noexcept { ::RegCloseKey(h); }
inline void CloseInternet(HINTERNET h) noexcept { ::InternetCloseHandle(h); }
inline void FreeGlobal(HGLOBAL h) noexcept { ::GlobalFree(h); }
inline void FreeLocal(HLOCAL h) noexcept { ::LocalFree(h); }
inline void UnloadLibrary(HMODULE h) noexcept { ::FreeLibrary(h); }
inline void ReleaseCryptProv(HCRYPTPROV h) noexcept { ::CryptReleaseContext(h, 0); }
inline void DestroyCryptHash(HCRYPTHASH h) noexcept { ::CryptDestroyHash(h); }
inline void DestroyCryptKey(HCRYPTKEY h) noexcept { ::CryptDestroyKey(h); }
inline void FreeBstr(BSTR s) noexcept { ::SysFreeString(s); }
inline void DestroyWnd(HWND h) noexcept { ::DestroyWindow(h); }
inline void DeleteGdiObject(HGDIOBJ h) noexcept { ::DeleteObject(h); }
inline void DeleteMemDc(HDC h) noexcept { ::DeleteDC(h); }
inline void DestroyImageList(HIMAGELIST h) noexcept { ::ImageList_Destroy(h); }
inline void ReleaseHeldMutex(HANDLE h) noexcept { ::ReleaseMutex(h); }
}  // namespace detail

struct FileHandleTraits {
    using Type = HANDLE;
    static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(HANDLE value) noexcept { return value != INVALID_HANDLE_VALUE && value != nullptr; }
    static void Close(HANDLE value) noexcept { ::CloseHandle(value); }
};

struct FindHandleTraits {
    using Type = HANDLE;
    static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(HANDLE value) noexcept { return value != INVALID_HANDLE_VALUE && value != nullptr; }
    static void Close(HANDLE value) noexcept { ::FindClose(value); }
};

struct ActCtxTraits {
    using Type = HANDLE;
    static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(HANDLE value) noexcept { return value != INVALID_HANDLE_VALUE && value != nullptr; }
    static void Close(HANDLE value) noexcept { ::ReleaseActCtx(value); }
};

#define TESSARAN_NULL_OWNER(Name, T, Fn) \
    using Name = UniqueHandle<NullInvalidTraits<T, decltype(&Fn), &Fn>>

// Events, threads, mutexes: null when absent.
TESSARAN_NULL_OWNER(UniqueHandleNull, HANDLE, detail::CloseKernelHandle);
// Files: INVALID_HANDLE_VALUE when absent.
using UniqueFile = UniqueHandle<FileHandleTraits>;
using UniqueFind = UniqueHandle<FindHandleTraits>;
// Activation contexts: INVALID_HANDLE_VALUE when absent.
using UniqueActCtx = UniqueHandle<ActCtxTraits>;
TESSARAN_NULL_OWNER(UniqueHKey, HKEY, detail::CloseRegKey);
TESSARAN_NULL_OWNER(UniqueHInternet, HINTERNET, detail::CloseInternet);
TESSARAN_NULL_OWNER(UniqueHGlobal, HGLOBAL, detail::FreeGlobal);
// Blocks the system allocates for the caller (FormatMessageW's text).
TESSARAN_NULL_OWNER(UniqueHLocal, HLOCAL, detail::FreeLocal);
TESSARAN_NULL_OWNER(UniqueHModule, HMODULE, detail::UnloadLibrary);
TESSARAN_NULL_OWNER(UniqueCryptProv, HCRYPTPROV, detail::ReleaseCryptProv);
TESSARAN_NULL_OWNER(UniqueCryptHash, HCRYPTHASH, detail::DestroyCryptHash);
TESSARAN_NULL_OWNER(UniqueCryptKey, HCRYPTKEY, detail::DestroyCryptKey);
TESSARAN_NULL_OWNER(UniqueBstr, BSTR, detail::FreeBstr);
TESSARAN_NULL_OWNER(UniqueHwnd, HWND, detail::DestroyWnd);
TESSARAN_NULL_OWNER(UniqueGdiObject, HGDIOBJ, detail::DeleteGdiObject);
TESSARAN_NULL_OWNER(UniqueMemDc, HDC, detail::DeleteMemDc);
// Image lists of common controls; a list view given one without
// LVS_SHAREIMAGELISTS destroys it itself, so ownership is released to it.
TESSARAN_NULL_OWNER(UniqueImageList, HIMAGELIST, detail::DestroyImageList);
// Ownership of a mutex that a wait acquired (the handle itself lives in a
// UniqueHandleNull declared before it, so that ownership ends first).
TESSARAN_NULL_OWNER(UniqueMutexHold, HANDLE, detail::ReleaseHeldMutex);

#undef TESSARAN_NULL_OWNER

// A typed entry point of a loaded library; null when the library lacks it.
template <typename Fn>
Fn GetProc(HMODULE module, const char* name) noexcept {
    if (!module) return nullptr;
    FARPROC proc = ::GetProcAddress(module, name);
    // GetProcAddress's untyped pointer must be reinterpreted through void*.
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
}

// Keeps a global memory block locked for a scope.
class GlobalLockGuard {
public:
    explicit GlobalLockGuard(HGLOBAL block) noexcept
        : m_block(block), m_data(block ? ::GlobalLock(block) : nullptr) {}
    ~GlobalLockGuard() {
        if (m_data) ::GlobalUnlock(m_block);
    }
    GlobalLockGuard(const GlobalLockGuard&) = delete;
    GlobalLockGuard& operator=(const GlobalLockGuard&) = delete;
    void* get() const noexcept { return m_data; }
    template <typename T>
    T* as() const noexcept { return static_cast<T*>(m_data); }

private:
    HGLOBAL m_block;
    void* m_data;
};

// Keeps an activation context active on this thread for a scope; nothing
// when the context is absent.
class ActivationScope {
public:
    explicit ActivationScope(HANDLE context) noexcept {
        if (context != INVALID_HANDLE_VALUE && context != nullptr) {
            m_active = ::ActivateActCtx(context, &m_cookie) != FALSE;
        }
    }
    ~ActivationScope() {
        if (m_active) {
            const DWORD lastError = ::GetLastError();
            ::DeactivateActCtx(0, m_cookie);
            ::SetLastError(lastError);
        }
    }
    ActivationScope(const ActivationScope&) = delete;
    ActivationScope& operator=(const ActivationScope&) = delete;

private:
    ULONG_PTR m_cookie = 0;
    bool m_active = false;
};

// Holds a slim reader/writer lock exclusively for a scope.
class SrwExclusiveGuard {
public:
    explicit SrwExclusiveGuard(SRWLOCK& lock) noexcept : m_lock(lock) { ::AcquireSRWLockExclusive(&m_lock); }
    ~SrwExclusiveGuard() { ::ReleaseSRWLockExclusive(&m_lock); }
    SrwExclusiveGuard(const SrwExclusiveGuard&) = delete;
    SrwExclusiveGuard& operator=(const SrwExclusiveGuard&) = delete;

private:
    SRWLOCK& m_lock;
};

// Owns a VARIANT and clears it.
class UniqueVariant {
public:
    UniqueVariant() noexcept { ::VariantInit(&m_value); }
    ~UniqueVariant() { ::VariantClear(&m_value); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;
    VARIANT* get() noexcept { return &m_value; }
    const VARIANT* get() const noexcept { return &m_value; }
    VARIANT* put() noexcept {
        ::VariantClear(&m_value);
        return &m_value;
    }

private:
    VARIANT m_value;
};

// Holds one reference to a COM interface.
template <typename T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    // Takes an extra reference on what it is given.
    explicit ComPtr(T* value) noexcept : m_value(value) {
        if (m_value) m_value->AddRef();
    }
    ~ComPtr() { reset(); }
    ComPtr(const ComPtr& other) noexcept : ComPtr(other.m_value) {}
    ComPtr& operator=(const ComPtr& other) noexcept {
        ComPtr(other).swap(*this);
        return *this;
    }
    ComPtr(ComPtr&& other) noexcept : m_value(other.m_value) { other.m_value = nullptr; }
    ComPtr& operator=(ComPtr&& other) noexcept {
        ComPtr(std::move(other)).swap(*this);
        return *this;
    }

    // Adopts a reference the caller already owns.
    static ComPtr Attach(T* value) noexcept {
        ComPtr result;
        result.m_value = value;
        return result;
    }
    T* Detach() noexcept {
        T* value = m_value;
        m_value = nullptr;
        return value;
    }

    T* get() const noexcept { return m_value; }
    T* operator->() const noexcept { return m_value; }
    explicit operator bool() const noexcept { return m_value != nullptr; }

    void reset() noexcept {
        if (m_value) {
            T* value = m_value;
            m_value = nullptr;
            value->Release();
        }
    }
    T** put() noexcept {
        reset();
        return &m_value;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

    template <typename U>
    HRESULT As(ComPtr<U>* out) const noexcept {
        return m_value ? m_value->QueryInterface(__uuidof(U), out->put_void()) : E_POINTER;
    }

    void swap(ComPtr& other) noexcept { std::swap(m_value, other.m_value); }

private:
    T* m_value = nullptr;
};

// Initialises COM for a scope on threads the plug-in itself starts.
class ComInit {
public:
    explicit ComInit(DWORD model = COINIT_APARTMENTTHREADED) noexcept : m_hr(::CoInitializeEx(nullptr, model)) {}
    ~ComInit() {
        if (SUCCEEDED(m_hr)) ::CoUninitialize();
    }
    ComInit(const ComInit&) = delete;
    ComInit& operator=(const ComInit&) = delete;
    HRESULT hr() const noexcept { return m_hr; }

private:
    HRESULT m_hr;
};

}  // namespace tessaran
