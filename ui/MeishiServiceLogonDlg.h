// Asks for the account of a run whose job has none stored. The values are
// used for that run only.
#pragma once

#include <string>

#include "ui/DialogBase.h"

namespace tessaran {

class CMeishiServiceLogonDlg : public CDialogBase {
public:
    explicit CMeishiServiceLogonDlg(HWND parent = nullptr) noexcept;

    std::wstring m_strMailAddress;  // shown at start, taken on OK
    std::wstring m_strAppToken;

protected:
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override { CDialogBase::OnCancel(); }
};

}  // namespace tessaran
