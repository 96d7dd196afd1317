#include "ui/MeishiServiceStatusDlg.h"

#include "support/Format.h"
#include "ui/resource.h"

namespace tessaran {

CMeishiServiceStatusDlg::CMeishiServiceStatusDlg(HWND parent) noexcept
    : CDialogBase(IDD_MEISHISERVICE_STATUS, parent) {}

BOOL CMeishiServiceStatusDlg::OnInitDialog() {
    CDialogBase::OnInitDialog();
    SetItemText(IDC_STATUS_ACCOUNTNAME, m_strAccountName.c_str());
    SetItemText(IDC_STATUS_USERNAME, m_strUserName.c_str());
    wchar_t count[64];
    Format(count, 64, L"%d / %d", m_nUseCount, m_nMaxCount);
    SetItemText(IDC_STATUS_COUNT, count);
    return TRUE;
}

}  // namespace tessaran
