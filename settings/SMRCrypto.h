// The cipher of the account token in the settings file. Settings files already
// written depend on every detail: an RC4 key of 128 bits taken from the SHA-1
// of the pass phrase's first bytes, and the cipher bytes as one line of Base64.
#pragma once

#include <windows.h>

#include <cstddef>

namespace tessaran {

class CSMRCrypto {
public:
    // The settings store's buffers: 255 characters and the terminator.
    static constexpr size_t kBufferUnits = 256;

    // Enciphers plainText in its own buffer (it holds cipher bytes afterwards)
    // and writes the terminated Base64 text into output[outputUnits].
    static HRESULT EnCode(wchar_t* plainText, const wchar_t* passPhrase, wchar_t* output, size_t outputUnits);

    // Decodes the Base64 text into output[outputUnits] and deciphers it there;
    // the result is always terminated.
    static HRESULT DeCode(const wchar_t* cipherText, const wchar_t* passPhrase, wchar_t* output, size_t outputUnits);

    CSMRCrypto() = delete;
};

}  // namespace tessaran
