// Shows what the card service reports about an account; displays only.
#pragma once

#include <string>

#include "ui/DialogBase.h"

namespace tessaran {

class CMeishiServiceStatusDlg : public CDialogBase {
public:
    explicit CMeishiServiceStatusDlg(HWND parent = nullptr) noexcept;

    std::wstring m_strAccountName;
    std::wstring m_strUserName;
    int m_nMaxCount = 0;  // cards the account may hold
    int m_nUseCount = 0;  // cards it holds

protected:
    BOOL OnInitDialog() override;
};

}  // namespace tessaran
