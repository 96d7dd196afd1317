#include "settings/SettingItem.h"

#include <objbase.h>

namespace tessaran {

std::wstring CSMRGuid::ToString() const {
    wchar_t text[39] = {};
    if (::StringFromGUID2(m_guid, text, 39) == 0) return {};
    return text;
}

}  // namespace tessaran
