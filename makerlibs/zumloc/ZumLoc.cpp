// The maker's localisation library, our own build: translations of the
// plug-in's displayed texts read from ".loc" files, chosen by the current
// language. Keys come in as Shift-JIS (code page 932) or UTF-16 text.
//
// The ".loc" format (UTF-8, a byte-order mark allowed):
//   ; or #            a comment line; blank lines are ignored
//   [names]           starts a section for the languages listed, separated by
//                     commas: a primary language ("en", "ja"), one language ID
//                     in hexadecimal ("0x0411"), or "*" for any language
//   "key" = "text"    one translation; both quoted, with the escapes \" \\ \n
//                     \r \t and \uXXXX; the key is the text as the plug-in holds it
// Lines that do not parse are skipped; a later file or line wins over an
// earlier one. A lookup tries the exact language ID, then its primary
// language, then "*".
#include <windows.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "support/Handles.h"

namespace {

constexpr UINT kShiftJis = 932;
constexpr DWORD kMaxFileBytes = 16 * 1024 * 1024;

struct Catalog {
    // Returned texts point into the pool; it only grows until ClearFiles.
    std::deque<std::wstring> pool;
    std::map<std::wstring, std::map<std::wstring, const std::wstring*>> sections;
    LANGID language = 0;  // 0 until set: the user's default language
};

SRWLOCK g_lock = SRWLOCK_INIT;
Catalog g_catalog;

using Lock = tessaran::SrwExclusiveGuard;

LANGID CurrentLanguage() {
    return g_catalog.language != 0 ? g_catalog.language : ::GetUserDefaultLangID();
}

// ---- text conversions ----

std::wstring Widen(UINT codePage, const char* text, int length) {
    if (!text || length <= 0) return {};
    const int size = ::MultiByteToWideChar(codePage, 0, text, length, nullptr, 0);
    if (size <= 0) return {};
    std::wstring result(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(codePage, 0, text, length, &result[0], size);
    return result;
}

// Strict UTF-8: a line with invalid bytes is not taken.
bool FromUtf8(const std::string& bytes, std::wstring& text) {
    text.clear();
    if (bytes.empty()) return true;
    const int size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                           static_cast<int>(bytes.size()), nullptr, 0);
    if (size <= 0) return false;
    text.assign(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), &text[0],
                          size);
    return true;
}

// ---- the .loc parser ----

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

std::wstring Trim(const std::wstring& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// Reads a quoted text starting at line[pos] == '"'; pos ends after the closing quote.
bool ParseQuoted(const std::wstring& line, size_t& pos, std::wstring& text) {
    if (pos >= line.size() || line[pos] != L'"') return false;
    text.clear();
    for (++pos; pos < line.size(); ++pos) {
        const wchar_t c = line[pos];
        if (c == L'"') {
            ++pos;
            return true;
        }
        if (c != L'\\') {
            text += c;
            continue;
        }
        if (++pos >= line.size()) return false;
        switch (line[pos]) {
        case L'"': text += L'"'; break;
        case L'\\': text += L'\\'; break;
        case L'n': text += L'\n'; break;
        case L'r': text += L'\r'; break;
        case L't': text += L'\t'; break;
        case L'u': {
            if (pos + 4 >= line.size()) return false;
            int value = 0;
            for (int i = 1; i <= 4; ++i) {
                const int digit = HexDigit(line[pos + static_cast<size_t>(i)]);
                if (digit < 0) return false;
                value = value * 16 + digit;
            }
            text += static_cast<wchar_t>(value);
            pos += 4;
            break;
        }
        default:
            return false;
        }
    }
    return false;  // no closing quote
}

struct PrimaryTag {
    const wchar_t* tag;
    WORD language;
};
constexpr PrimaryTag kPrimaryTags[] = {
    {L"ar", LANG_ARABIC},  {L"de", LANG_GERMAN},   {L"en", LANG_ENGLISH}, {L"es", LANG_SPANISH},
    {L"fr", LANG_FRENCH},  {L"it", LANG_ITALIAN},  {L"ja", LANG_JAPANESE}, {L"ko", LANG_KOREAN},
    {L"nl", LANG_DUTCH},   {L"pt", LANG_PORTUGUESE}, {L"ru", LANG_RUSSIAN}, {L"zh", LANG_CHINESE},
};

std::wstring ExactSection(LANGID language) { return L"id:" + std::to_wstring(language); }
std::wstring PrimarySection(WORD primary) { return L"primary:" + std::to_wstring(primary); }
constexpr wchar_t kAnySection[] = L"*";

// The section key of one name in a [..] header; empty when unknown.
std::wstring SectionOf(const std::wstring& name) {
    if (name == L"*") return kAnySection;
    if (name.size() > 2 && name[0] == L'0' && (name[1] == L'x' || name[1] == L'X')) {
        unsigned value = 0;
        for (size_t i = 2; i < name.size(); ++i) {
            const int digit = HexDigit(name[i]);
            if (digit < 0 || value > 0xFFF) return {};
            value = value * 16 + static_cast<unsigned>(digit);
        }
        return ExactSection(static_cast<LANGID>(value));
    }
    for (const PrimaryTag& tag : kPrimaryTags) {
        if (::_wcsicmp(name.c_str(), tag.tag) == 0) return PrimarySection(tag.language);
    }
    return {};
}

std::vector<std::wstring> ParseHeader(const std::wstring& line) {
    std::vector<std::wstring> sections;
    const std::wstring inner = line.substr(1, line.size() - 2);
    size_t start = 0;
    while (start <= inner.size()) {
        size_t comma = inner.find(L',', start);
        if (comma == std::wstring::npos) comma = inner.size();
        const std::wstring section = SectionOf(Trim(inner.substr(start, comma - start)));
        if (!section.empty()) sections.push_back(section);
        start = comma + 1;
    }
    return sections;
}

// Adds the translations of one file's bytes; the number taken.
int AddCatalogText(const std::string& bytes) {
    size_t offset = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    std::vector<std::wstring> current = {kAnySection};
    int added = 0;
    while (offset < bytes.size()) {
        size_t end = bytes.find('\n', offset);
        if (end == std::string::npos) end = bytes.size();
        std::string raw = bytes.substr(offset, end - offset);
        offset = end + 1;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();

        std::wstring line;
        if (!FromUtf8(raw, line)) continue;
        line = Trim(line);
        if (line.empty() || line[0] == L';' || line[0] == L'#') continue;
        if (line[0] == L'[') {
            current = line.back() == L']' ? ParseHeader(line) : std::vector<std::wstring>();
            continue;
        }
        size_t pos = 0;
        std::wstring key;
        std::wstring text;
        if (!ParseQuoted(line, pos, key)) continue;
        while (pos < line.size() && IsBlank(line[pos])) ++pos;
        if (pos >= line.size() || line[pos] != L'=') continue;
        ++pos;
        while (pos < line.size() && IsBlank(line[pos])) ++pos;
        if (!ParseQuoted(line, pos, text)) continue;
        if (!Trim(line.substr(pos)).empty() || current.empty()) continue;

        g_catalog.pool.push_back(text);
        for (const std::wstring& section : current) g_catalog.sections[section][key] = &g_catalog.pool.back();
        ++added;
    }
    return added;
}

int AddFile(const wchar_t* path) {
    if (!path || !*path) return 0;
    tessaran::UniqueFile file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return 0;
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart > kMaxFileBytes) return 0;
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() && (!::ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) ||
                           read != bytes.size())) {
        return 0;
    }
    Lock lock(g_lock);
    return AddCatalogText(bytes);
}

const std::wstring* Find(const std::wstring& key) {
    const LANGID language = CurrentLanguage();
    for (const std::wstring& section :
         {ExactSection(language), PrimarySection(PRIMARYLANGID(language)), std::wstring(kAnySection)}) {
        const auto table = g_catalog.sections.find(section);
        if (table == g_catalog.sections.end()) continue;
        const auto entry = table->second.find(key);
        if (entry != table->second.end()) return entry->second;
    }
    return nullptr;
}

LPCWSTR Lookup(const std::wstring& key, int* sizeBytes, int missSize) {
    Lock lock(g_lock);
    const std::wstring* text = Find(key);
    if (sizeBytes) *sizeBytes = text ? static_cast<int>((text->size() + 1) * sizeof(wchar_t)) : missSize;
    return text ? text->c_str() : nullptr;
}

BOOL CALLBACK TranslateWindow(HWND window, LPARAM changed) {
    try {
        wchar_t text[1024] = {};
        const int length = ::GetWindowTextW(window, text, 1024);
        if (length <= 0) return TRUE;
        std::wstring translation;
        {
            Lock lock(g_lock);
            const std::wstring* found = Find(std::wstring(text, static_cast<size_t>(length)));
            if (!found) return TRUE;
            translation = *found;
        }
        if (::SetWindowTextW(window, translation.c_str())) ++*reinterpret_cast<int*>(changed);
    } catch (...) {
        // Out of memory: this window keeps its text.
    }
    return TRUE;
}

}  // namespace

extern "C" {

int WINAPI ZumLocalizeSetLocale(LANGID language) {
    Lock lock(g_lock);
    g_catalog.language = language;
    return 1;
}

LANGID WINAPI ZumLocalizeGetLocale() {
    Lock lock(g_lock);
    return CurrentLanguage();
}

// The number of translations taken from the file; 0 when it cannot be read.
int WINAPI ZumLocalizeAddFileW(LPCWSTR path) {
    try {
        return AddFile(path);
    } catch (...) {
        return 0;
    }
}

int WINAPI ZumLocalizeAddFileA(LPCSTR path) {
    try {
        if (!path) return 0;
        const std::wstring wide = Widen(CP_ACP, path, static_cast<int>(::strlen(path)));
        return AddFile(wide.c_str());
    } catch (...) {
        return 0;
    }
}

void WINAPI ZumLocalizeClearFiles() {
    Lock lock(g_lock);
    g_catalog.sections.clear();
    g_catalog.pool.clear();
}

// The translation of a Shift-JIS key, or null. The size is that of the text
// returned, or on a miss that of the key, in bytes with the terminator.
LPCWSTR WINAPI ZumLocalizeLookupAW(LPCSTR key, int* sizeBytes) {
    if (sizeBytes) *sizeBytes = 0;
    if (!key) return nullptr;
    try {
        const int length = static_cast<int>(::strlen(key));
        return Lookup(Widen(kShiftJis, key, length), sizeBytes, length + 1);
    } catch (...) {
        return nullptr;
    }
}

// The same for a UTF-16 key; sizes in bytes.
LPCWSTR WINAPI ZumLocalizeLookupWW(LPCWSTR key, int* sizeBytes) {
    if (sizeBytes) *sizeBytes = 0;
    if (!key) return nullptr;
    try {
        const std::wstring wide = key;
        return Lookup(wide, sizeBytes, static_cast<int>((wide.size() + 1) * sizeof(wchar_t)));
    } catch (...) {
        return nullptr;
    }
}

// Converts at most sizeBytes bytes of Shift-JIS text, up to its terminator,
// into dst, which holds sizeBytes characters; always terminated. The number of
// characters written.
int WINAPI ZumLocalizeA2W(LPWSTR dst, LPCSTR src, int sizeBytes) {
    if (!dst || sizeBytes <= 0) return 0;
    dst[0] = L'\0';
    if (!src) return 0;
    int length = 0;
    while (length < sizeBytes && src[length] != '\0') ++length;
    try {
        // A text without a terminator inside the size can give one character
        // more than the buffer holds besides its terminator: cut it.
        const std::wstring text = Widen(kShiftJis, src, length);
        const size_t count = text.size() < static_cast<size_t>(sizeBytes) ? text.size() : sizeBytes - 1u;
        ::CopyMemory(dst, text.data(), count * sizeof(wchar_t));
        dst[count] = L'\0';
        return static_cast<int>(count);
    } catch (...) {
        return 0;
    }
}

// Converts UTF-16 text into dst of sizeBytes bytes as Shift-JIS, cut before a
// character that would not fit; always terminated. The number of bytes written.
int WINAPI ZumLocalizeW2A(LPSTR dst, LPCWSTR src, int sizeBytes) {
    if (!dst || sizeBytes <= 0) return 0;
    dst[0] = '\0';
    if (!src) return 0;
    try {
        const int length = static_cast<int>(::wcslen(src));
        const int size = ::WideCharToMultiByte(kShiftJis, 0, src, length, nullptr, 0, nullptr, nullptr);
        if (size <= 0) return 0;
        std::string bytes(static_cast<size_t>(size), '\0');
        ::WideCharToMultiByte(kShiftJis, 0, src, length, &bytes[0], size, nullptr, nullptr);
        int taken = 0;
        while (taken < size) {
            const int step = ::IsDBCSLeadByteEx(kShiftJis, static_cast<BYTE>(bytes[static_cast<size_t>(taken)])) ? 2 : 1;
            if (taken + step > sizeBytes - 1) break;
            taken += step;
        }
        ::CopyMemory(dst, bytes.data(), static_cast<size_t>(taken));
        dst[taken] = '\0';
        return taken;
    } catch (...) {
        return 0;
    }
}

// Translates a dialog's caption and its controls' texts; the number changed.
int WINAPI ZumLocalizeDialog(HWND dialog) {
    if (!dialog) return 0;
    int changed = 0;
    TranslateWindow(dialog, reinterpret_cast<LPARAM>(&changed));
    ::EnumChildWindows(dialog, TranslateWindow, reinterpret_cast<LPARAM>(&changed));
    return changed;
}

}  // extern "C"
