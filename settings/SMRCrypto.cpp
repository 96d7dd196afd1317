#include "settings/SMRCrypto.h"

#include <wincrypt.h>

#include <cstring>
#include <cwchar>

#include "support/Format.h"
#include "support/Handles.h"
#include "support/Result.h"

namespace tessaran {

namespace {

using BinaryToStringFn = BOOL(WINAPI*)(const BYTE*, DWORD, DWORD, LPWSTR, DWORD*);
using StringToBinaryFn = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, BYTE*, DWORD*, DWORD*, DWORD*);

constexpr DWORD kBase64NoLineBreaks = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
// RC4 with a 128-bit key and no salt; the key length sits in the upper 16 bits.
constexpr DWORD kRc4Key128 = 0x00800000;

HRESULT StepFailed(const wchar_t* step) noexcept { return LogFailure(step, LastErrorHResult()); }

HRESULT BufferTooSmall(const wchar_t* step) noexcept {
    return LogFailure(step, HResultFromWin32(ERROR_INSUFFICIENT_BUFFER));
}

// Everything one call holds; members are released in reverse order, the key
// before the hash and both before the provider.
struct CipherKey {
    UniqueCryptProv provider;
    UniqueCryptHash hash;
    UniqueCryptKey key;
};

HRESULT DeriveKey(const wchar_t* passPhrase, CipherKey& cipher) noexcept {
    // An ephemeral context is enough to derive a key and leaves no key
    // container behind in the user's profile; the key bytes are the same.
    if (!::CryptAcquireContextW(cipher.provider.put(), nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL,
                                CRYPT_VERIFYCONTEXT)) {
        return StepFailed(L"CryptAcquireContext");
    }
    if (!::CryptCreateHash(cipher.provider.get(), CALG_SHA1, 0, 0, cipher.hash.put())) {
        return StepFailed(L"CryptCreateHash");
    }
    // Only as many bytes as the pass phrase has characters take part: texts
    // already stored were made that way.
    const DWORD hashed = static_cast<DWORD>(::wcslen(passPhrase));
    if (!::CryptHashData(cipher.hash.get(), reinterpret_cast<const BYTE*>(passPhrase), hashed, 0)) {
        return StepFailed(L"CryptHashData");
    }
    if (!::CryptDeriveKey(cipher.provider.get(), CALG_RC4, cipher.hash.get(), kRc4Key128, cipher.key.put())) {
        return StepFailed(L"CryptDeriveKey");
    }
    return S_OK;
}

// Crypt32 from the system folder only, never from a planted copy.
UniqueHModule LoadCrypt32() noexcept {
    wchar_t path[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return UniqueHModule();
    if (Format(path + length, MAX_PATH - length, L"\\crypt32.dll") < 0) return UniqueHModule();
    return UniqueHModule(::LoadLibraryW(path));
}

}  // namespace

HRESULT CSMRCrypto::EnCode(wchar_t* plainText, const wchar_t* passPhrase, wchar_t* output, size_t outputUnits) {
    if (!plainText || !passPhrase || !output || outputUnits == 0) return E_POINTER;
    output[0] = L'\0';
    const size_t characters = ::wcslen(plainText);
    if (characters == 0) return S_OK;
    if (characters > 0x7FFFFFFF / sizeof(wchar_t)) return BufferTooSmall(L"CryptEncrypt");

    CipherKey cipher;
    TESSARAN_RETURN_IF_FAILED(DeriveKey(passPhrase, cipher));

    DWORD bytes = static_cast<DWORD>(characters * sizeof(wchar_t));
    BYTE* data = reinterpret_cast<BYTE*>(plainText);
    if (!::CryptEncrypt(cipher.key.get(), 0, TRUE, 0, data, &bytes, bytes)) return StepFailed(L"CryptEncrypt");

    const UniqueHModule crypt32 = LoadCrypt32();
    const auto binaryToString = GetProc<BinaryToStringFn>(crypt32.get(), "CryptBinaryToStringW");
    if (!binaryToString) {
        ::SetLastError(ERROR_INVALID_FUNCTION);
        return StepFailed(L"CryptBinaryToString 1");
    }
    DWORD units = 0;
    if (!binaryToString(data, bytes, kBase64NoLineBreaks, nullptr, &units)) {
        return StepFailed(L"CryptBinaryToString 1");
    }
    // The length asked for includes the terminator.
    if (units > outputUnits) return BufferTooSmall(L"CryptBinaryToString 2");
    if (!binaryToString(data, bytes, kBase64NoLineBreaks, output, &units)) {
        output[0] = L'\0';
        return StepFailed(L"CryptBinaryToString 2");
    }
    return S_OK;
}

HRESULT CSMRCrypto::DeCode(const wchar_t* cipherText, const wchar_t* passPhrase, wchar_t* output,
                           size_t outputUnits) {
    if (!cipherText || !passPhrase || !output || outputUnits == 0) return E_POINTER;
    std::memset(output, 0, outputUnits * sizeof(wchar_t));
    const size_t characters = ::wcslen(cipherText);
    if (characters == 0) return S_OK;
    if (characters > 0x7FFFFFFF) return BufferTooSmall(L"CryptStringToBinary 1");

    CipherKey cipher;
    TESSARAN_RETURN_IF_FAILED(DeriveKey(passPhrase, cipher));

    const UniqueHModule crypt32 = LoadCrypt32();
    const auto stringToBinary = GetProc<StringToBinaryFn>(crypt32.get(), "CryptStringToBinaryW");
    if (!stringToBinary) {
        ::SetLastError(ERROR_INVALID_FUNCTION);
        return StepFailed(L"CryptStringToBinary 1");
    }
    const DWORD length = static_cast<DWORD>(characters);
    DWORD bytes = 0;
    if (!stringToBinary(cipherText, length, CRYPT_STRING_BASE64, nullptr, &bytes, nullptr, nullptr)) {
        return StepFailed(L"CryptStringToBinary 1");
    }
    // One unit stays zero so that the result always reads as a terminated text.
    if (bytes > (outputUnits - 1) * sizeof(wchar_t)) return BufferTooSmall(L"CryptStringToBinary 2");
    BYTE* data = reinterpret_cast<BYTE*>(output);
    if (!stringToBinary(cipherText, length, CRYPT_STRING_BASE64, data, &bytes, nullptr, nullptr)) {
        std::memset(output, 0, outputUnits * sizeof(wchar_t));
        return StepFailed(L"CryptStringToBinary 2");
    }
    if (!::CryptDecrypt(cipher.key.get(), 0, TRUE, 0, data, &bytes)) {
        ::SecureZeroMemory(output, outputUnits * sizeof(wchar_t));
        return StepFailed(L"CryptDecrypt");
    }
    return S_OK;
}

}  // namespace tessaran
