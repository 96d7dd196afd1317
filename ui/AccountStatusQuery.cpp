#include "ui/MeishiServiceSettingDlg.h"

namespace tessaran {

void QueryAccountStatus(HWND, const std::wstring&, const std::wstring&) {}

}  // namespace tessaran
