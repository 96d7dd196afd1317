// Edits one job's settings: the account, page pairing and the OCR languages.
// The upload run's retry shows it in its sending mode, where OK reads "送信(&L)".
#pragma once

#include "settings/SettingItem.h"
#include "support/Localize.h"
#include "ui/DialogBase.h"

namespace tessaran {

class CMeishiServiceSettingDlg : public CDialogBase {
public:
    explicit CMeishiServiceSettingDlg(HWND parent = nullptr) noexcept;

    void SetSettingItem(const SettingItem& item) { m_item = item; }
    void SetMode(int mode) noexcept { m_nMode = mode; }
    void GetSettingItem(SettingItem& item) const { item = m_item; }

    static constexpr int kModeSending = 1;

protected:
    void DoDataExchange() override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    bool OnCommand(UINT id, UINT notifyCode) override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    void OnBnClickedStatusBtn();
    void UpdateBackLanguage();

    CComboBoxControl m_comboFrontLang;
    CComboBoxControl m_comboBackLang;
    int m_nMode = 0;
    SettingItem m_item;
    CHelpLibrary m_help;
};

// The settings dialog's account status query: logs on with the typed account,
// asks the card service for the account's status and shows it, or shows the
// service's message. Changes nothing in the settings.
void QueryAccountStatus(HWND owner, const std::wstring& mailAddress, const std::wstring& appToken);

}  // namespace tessaran
