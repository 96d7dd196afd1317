#include "service/TextCodec.h"

#include <cstdint>

namespace tessaran {

int EncodeUtf8(const wchar_t* source, char* destination, int capacity) noexcept {
    static const wchar_t kEmpty[1] = {0};
    const wchar_t* s = source ? source : kEmpty;
    int n = 0;
    for (size_t i = 0;; ++i) {
        const uint32_t u = static_cast<uint16_t>(s[i]);
        if (u == 0) {
            if (destination) {
                if (n >= capacity) return -1;
                destination[n] = 0;
            }
            return n + 1;
        }
        uint8_t bytes[4];
        int count;
        if (u >= 0xD800 && u <= 0xDBFF) {
            // The next unit is read whatever it is (s[i] is not the terminator,
            // so s[i + 1] exists) and is visited again in its own turn.
            const uint32_t w = static_cast<uint16_t>(s[i + 1]);
            const uint32_t c = 0x10000 + ((u & 0x3FF) << 10) + (w & 0x3FF);
            bytes[0] = static_cast<uint8_t>(0xF0 | ((c >> 18) & 0x07));
            bytes[1] = static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F));
            bytes[2] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
            bytes[3] = static_cast<uint8_t>(0x80 | (c & 0x3F));
            count = 4;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            continue;  // the low half of a pair already written, or a lone one
        } else if (u < 0x80) {
            bytes[0] = static_cast<uint8_t>(u);
            count = 1;
        } else if (u < 0x800) {
            bytes[0] = static_cast<uint8_t>(0xC0 | ((u >> 6) & 0x1F));
            bytes[1] = static_cast<uint8_t>(0x80 | (u & 0x3F));
            count = 2;
        } else {
            bytes[0] = static_cast<uint8_t>(0xE0 | ((u >> 12) & 0x0F));
            bytes[1] = static_cast<uint8_t>(0x80 | ((u >> 6) & 0x3F));
            bytes[2] = static_cast<uint8_t>(0x80 | (u & 0x3F));
            count = 3;
        }
        if (destination) {
            if (n + count > capacity) return -1;
            for (int k = 0; k < count; ++k) destination[n + k] = static_cast<char>(bytes[k]);
        }
        n += count;
    }
}

int DecodeUtf8(const char* source, wchar_t* destination, int capacity) noexcept {
    static const char kEmpty[1] = {0};
    const uint8_t* s = reinterpret_cast<const uint8_t*>(source ? source : kEmpty);
    int n = 0;
    for (size_t i = 0;; ++i) {
        const uint32_t b = s[i];
        if (b == 0) {
            if (destination) {
                if (n >= capacity) return -1;
                destination[n] = 0;
            }
            return n + 1;
        }
        // Bytes a lead byte announces; they are visited again in their own turn.
        int follow = 0;
        if (b >= 0xC0 && b <= 0xDF) {
            follow = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            follow = 2;
        } else if (b >= 0xF0 && b <= 0xF7) {
            follow = 3;
        }
        uint32_t next[3] = {0, 0, 0};
        bool cut = false;
        for (int k = 0; k < follow; ++k) {
            next[k] = s[i + 1 + k];
            if (next[k] == 0) {
                cut = true;  // the text ends inside the sequence: it yields nothing
                break;
            }
        }
        uint16_t units[2];
        int count = 0;
        if (b < 0x80) {
            units[0] = static_cast<uint16_t>(b);
            count = 1;
        } else if (cut || follow == 0) {
            count = 0;  // continuation byte, 0xF8 to 0xFF, or a sequence cut short
        } else if (follow == 1) {
            const uint32_t v = ((b & 0x1F) << 6) | (next[0] & 0x3F);
            if (v >= 0x80) {
                units[0] = static_cast<uint16_t>(v);
                count = 1;
            }
        } else if (follow == 2) {
            const uint32_t v = ((b & 0x0F) << 12) | ((next[0] & 0x3F) << 6) | (next[1] & 0x3F);
            // An encoded surrogate (CESU-8 and the like) is no character: kept,
            // it would pair with whatever follows it once encoded again.
            if (v >= 0x800 && (v < 0xD800 || v > 0xDFFF)) {
                units[0] = static_cast<uint16_t>(v);
                count = 1;
            }
        } else {
            const uint32_t v = ((b & 0x07) << 18) | ((next[0] & 0x3F) << 12) | ((next[1] & 0x3F) << 6) |
                               (next[2] & 0x3F);
            if (v >= 0x10000 && v <= 0x10FFFF) {
                units[0] = static_cast<uint16_t>(0xD800 | ((v - 0x10000) >> 10));
                units[1] = static_cast<uint16_t>(0xDC00 | (v & 0x3FF));
                count = 2;
            }
        }
        if (count == 0) continue;
        if (destination) {
            if (n + count > capacity) return -1;
            for (int k = 0; k < count; ++k) destination[n + k] = static_cast<wchar_t>(units[k]);
        }
        n += count;
    }
}

int EscapeJsonString(const char* source, char* destination, int capacity) noexcept {
    static const char kEmpty[1] = {0};
    static const char kHex[] = "0123456789abcdef";
    const uint8_t* s = reinterpret_cast<const uint8_t*>(source ? source : kEmpty);
    // The terminator is written without a test of its own; the strict tests
    // below keep room for it only when there is room for anything.
    if (destination && capacity < 1) return -1;
    int n = 0;
    for (size_t i = 0; s[i] != 0; ++i) {
        const uint8_t c = s[i];
        char out[6];
        int count;
        char escaped = 0;
        switch (c) {
            case 0x08: escaped = 'b'; break;
            case 0x09: escaped = 't'; break;
            case 0x0A: escaped = 'n'; break;
            case 0x0C: escaped = 'f'; break;
            case 0x0D: escaped = 'r'; break;
            case 0x22: escaped = '"'; break;
            case 0x2F: escaped = '/'; break;
            case 0x5C: escaped = '\\'; break;
            default: break;
        }
        if (escaped) {
            out[0] = '\\';
            out[1] = escaped;
            count = 2;
        } else if (c < 0x20 || c == 0x7F) {
            out[0] = '\\';
            out[1] = 'u';
            out[2] = '0';
            out[3] = '0';
            out[4] = kHex[c >> 4];
            out[5] = kHex[c & 0x0F];
            count = 6;
        } else {
            out[0] = static_cast<char>(c);
            count = 1;
        }
        if (destination) {
            if (!(n + count < capacity)) return -1;
            for (int k = 0; k < count; ++k) destination[n + k] = out[k];
        }
        n += count;
    }
    if (destination) destination[n] = 0;
    return n;
}

std::wstring EscapeFormValue(const std::wstring& value) {
    // One pass gives what replacing "%" first, then "&", then "=" gives: the
    // percent signs that the escapes bring in are never escaped again. "+"
    // is escaped too: a form decoder reads a bare one as a space, so a token
    // holding it could never log on.
    std::wstring result;
    result.reserve(value.size());
    for (wchar_t c : value) {
        if (c == L'%') {
            result += L"%25";
        } else if (c == L'&') {
            result += L"%26";
        } else if (c == L'=') {
            result += L"%3D";
        } else if (c == L'+') {
            result += L"%2B";
        } else {
            result += c;
        }
    }
    return result;
}

}  // namespace tessaran
