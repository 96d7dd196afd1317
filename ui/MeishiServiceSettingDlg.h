// Edits one job's settings: the account, page pairing and the OCR languages.
// The upload run's retry shows it in its sending mode, where OK reads "送信(&L)".
#pragma once

#include "service/ServiceConfig.h"
#include "settings/SettingItem.h"
#include "support/Handles.h"
#include "support/Localize.h"
#include "ui/DialogBase.h"

namespace tessaran {

class CMeishiServiceSettingDlg : public CDialogBase {
public:
    explicit CMeishiServiceSettingDlg(HWND parent = nullptr) noexcept;

    void SetSettingItem(const SettingItem& item) { m_item = item; }
    void SetMode(int mode) noexcept { m_nMode = mode; }
    void GetSettingItem(SettingItem& item) const { item = m_item; }
    // Where the account status query finds the card service.
    void SetServiceConfig(const ServiceConfig& services) { m_services = services; }

    static constexpr int kModeSending = 1;

protected:
    void DoDataExchange() override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    // While the account status query is out, Cancel (Esc, the close box)
    // gives it up at once and then closes the dialog.
    void OnCancel() override;
    bool OnCommand(UINT id, UINT notifyCode) override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    void OnBnClickedStatusBtn();
    // Logs on with the typed account, asks the card service for the account's
    // status and shows it, or shows the service's message. Changes nothing.
    // The dialog stays responsive meanwhile; a cancel shows nothing.
    void QueryAccountStatus(const std::wstring& mailAddress, const std::wstring& appToken);
    void UpdateBackLanguage();

    CComboBoxControl m_comboFrontLang;
    CComboBoxControl m_comboBackLang;
    int m_nMode = 0;
    SettingItem m_item;
    ServiceConfig m_services;
    CHelpLibrary m_help;
    // The account status query's cancel; set while the query is out.
    UniqueHandleNull m_queryCancel;
    bool m_querying = false;
    bool m_closeAfterQuery = false;
};

}  // namespace tessaran
