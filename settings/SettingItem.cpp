#include "settings/SettingItem.h"

#include <objbase.h>

namespace tessaran {

std::wstring CSMRGuid::ToString() const {
    wchar_t text[39] = {};
    if (::StringFromGUID2(m_guid, text, 39) == 0) return {};
    return text;
}

bool SettingsFileCanHold(const std::wstring& text) noexcept {
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c < 0x20 && c != L'\t' && c != L'\r' && c != L'\n') return false;
        if (c == 0xFFFE || c == 0xFFFF) return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
            ++i;  // the pair's second half
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

}  // namespace tessaran
