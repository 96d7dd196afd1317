#include "ui/MeishiServiceLogonDlg.h"

#include "support/Localize.h"
#include "support/Result.h"
#include "ui/AccountChecks.h"
#include "ui/resource.h"

namespace tessaran {

CMeishiServiceLogonDlg::CMeishiServiceLogonDlg(HWND parent) noexcept : CDialogBase(IDD_MEISHISERVICE_LOGON, parent) {}

BOOL CMeishiServiceLogonDlg::OnInitDialog() {
    CDialogBase::OnInitDialog();
    ::SendDlgItemMessageW(m_hWnd, IDC_EDIT_MAILADDRESS, EM_LIMITTEXT, kAccountFieldLimit, 0);
    ::SendDlgItemMessageW(m_hWnd, IDC_EDIT_APPTOKEN, EM_LIMITTEXT, kAccountFieldLimit, 0);
    SetItemText(IDC_EDIT_MAILADDRESS, m_strMailAddress.c_str());
    SetItemText(IDC_EDIT_APPTOKEN, m_strAppToken.c_str());
    return TRUE;
}

void CMeishiServiceLogonDlg::OnOK() {
    const std::wstring caption = LocalizeText("Error");
    const UINT style = ErrorMessageBoxStyle();
    try {
        std::wstring mailAddress = GetItemText(IDC_EDIT_MAILADDRESS);
        std::wstring appToken = GetItemText(IDC_EDIT_APPTOKEN);
        if (const wchar_t* message = CheckAccountBothRequired(mailAddress, appToken)) {
            MessageBox(message, caption.c_str(), style);
            return;
        }
        m_strMailAddress = std::move(mailAddress);
        m_strAppToken = std::move(appToken);
    } catch (...) {
        MessageBox(SystemMessageText(HResultFromCaughtException()).c_str(), caption.c_str(), style);
        return;
    }
    EndDialog(IDOK);
}

}  // namespace tessaran
