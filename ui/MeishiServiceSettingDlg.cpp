#include "ui/MeishiServiceSettingDlg.h"

#include "ui/AccountChecks.h"
#include "ui/resource.h"

namespace tessaran {

namespace {

struct LanguageEntry {
    const wchar_t* text;
    int languageId;
};
constexpr LanguageEntry kLanguages[] = {{L"日本語", 1}, {L"英語", 2}};

void FillLanguages(const CComboBoxControl& combo, int selected) {
    for (const LanguageEntry& language : kLanguages) {
        const int index = combo.AddString(language.text);
        if (index >= 0) combo.SetItemData(index, static_cast<DWORD_PTR>(language.languageId));
    }
    combo.SetCurSel(selected);
}

// Selects the first entry holding the language; otherwise the selection stays.
void SelectLanguage(const CComboBoxControl& combo, int languageId) {
    const int count = combo.GetCount();
    for (int index = 0; index < count; ++index) {
        if (combo.GetItemData(index) == static_cast<DWORD_PTR>(languageId)) {
            combo.SetCurSel(index);
            return;
        }
    }
}

int SelectedLanguage(const CComboBoxControl& combo) {
    const int index = combo.GetCurSel();
    return index < 0 ? static_cast<int>(combo.GetItemData(0)) : static_cast<int>(combo.GetItemData(index));
}

}  // namespace

CMeishiServiceSettingDlg::CMeishiServiceSettingDlg(HWND parent) noexcept
    : CDialogBase(IDD_MEISHISERVICE_SETTING, parent) {}

void CMeishiServiceSettingDlg::DoDataExchange() {
    BindControl(IDC_COMBO_FRONTLANG, m_comboFrontLang);
    BindControl(IDC_COMBO_BACKLANG, m_comboBackLang);
}

BOOL CMeishiServiceSettingDlg::OnInitDialog() {
    CDialogBase::OnInitDialog();
    SetItemText(IDOK, m_nMode == kModeSending ? L"送信(&L)" : L"OK");

    FillLanguages(m_comboFrontLang, 0);
    FillLanguages(m_comboBackLang, 1);

    ::SendDlgItemMessageW(m_hWnd, IDC_EDIT_MAILADDRESS, EM_LIMITTEXT, kAccountFieldLimit, 0);
    ::SendDlgItemMessageW(m_hWnd, IDC_EDIT_APPTOKEN, EM_LIMITTEXT, kAccountFieldLimit, 0);
    SetItemText(IDC_EDIT_MAILADDRESS, m_item.GetMailAddress().c_str());
    SetItemText(IDC_EDIT_APPTOKEN, m_item.GetAppToken().c_str());

    ::CheckDlgButton(m_hWnd, IDC_CHECK_EVEN_BACKPAGE,
                     m_item.GetEvenNumberImageToBackPage() == 1 ? BST_CHECKED : BST_UNCHECKED);
    UpdateBackLanguage();

    SelectLanguage(m_comboFrontLang, m_item.GetOCRLangID());
    SelectLanguage(m_comboBackLang, m_item.GetOCRLangBackID());
    return TRUE;
}

// With pairing on, even pages are card backs and are never read on their own.
void CMeishiServiceSettingDlg::UpdateBackLanguage() {
    const bool pairing = ::IsDlgButtonChecked(m_hWnd, IDC_CHECK_EVEN_BACKPAGE) == BST_CHECKED;
    m_comboBackLang.EnableWindow(!pairing);
    ::EnableWindow(GetItem(IDC_SETTING_BACKLANG_LABEL), pairing ? FALSE : TRUE);
}

void CMeishiServiceSettingDlg::OnOK() {
    if (m_querying) return;  // the query's answer comes first
    const std::wstring caption = LocalizeText("Error");
    const UINT style = ErrorMessageBoxStyle();
    std::wstring mailAddress = GetItemText(IDC_EDIT_MAILADDRESS);
    std::wstring appToken = GetItemText(IDC_EDIT_APPTOKEN);
    if (const wchar_t* message = CheckAccountOptional(mailAddress, appToken)) {
        MessageBox(message, caption.c_str(), style);
        return;
    }
    m_item.SetMailAddress(mailAddress);
    m_item.SetAppToken(appToken);
    m_item.SetEvenNumberImageToBackPage(::IsDlgButtonChecked(m_hWnd, IDC_CHECK_EVEN_BACKPAGE) == BST_CHECKED ? 1 : 0);
    m_item.SetOCRLangID(SelectedLanguage(m_comboFrontLang));
    m_item.SetOCRLangBackID(SelectedLanguage(m_comboBackLang));
    EndDialog(IDOK);
}

void CMeishiServiceSettingDlg::OnCancel() {
    if (m_querying) {
        m_closeAfterQuery = true;
        if (m_queryCancel) ::SetEvent(m_queryCancel.get());
        return;
    }
    EndDialog(IDCANCEL);
}

bool CMeishiServiceSettingDlg::OnCommand(UINT id, UINT notifyCode) {
    switch (id) {
        case ID_HELP_COMMAND:
            m_help.ShowHelp(m_hWnd, 0);
            return true;
        case IDC_BUTTON_ACCOUNT_STATUS:
            if (notifyCode != BN_CLICKED) return false;
            if (m_querying) return true;
            OnBnClickedStatusBtn();
            if (m_closeAfterQuery) EndDialog(IDCANCEL);
            return true;
        case IDC_CHECK_EVEN_BACKPAGE:
            if (notifyCode != BN_CLICKED) return false;
            UpdateBackLanguage();
            return true;
        default:
            return false;
    }
}

bool CMeishiServiceSettingDlg::OnMessage(UINT message, WPARAM wParam, LPARAM, LRESULT& result) {
    if (IsHelpRequest(message, wParam)) {
        m_help.ShowHelp(m_hWnd, 0);
        result = TRUE;
        return true;
    }
    return false;
}

void CMeishiServiceSettingDlg::OnBnClickedStatusBtn() {
    const std::wstring caption = LocalizeText("Error");
    const UINT style = ErrorMessageBoxStyle();
    const std::wstring mailAddress = GetItemText(IDC_EDIT_MAILADDRESS);
    const std::wstring appToken = GetItemText(IDC_EDIT_APPTOKEN);
    if (const wchar_t* message = CheckAccountBothRequired(mailAddress, appToken)) {
        MessageBox(message, caption.c_str(), style);
        return;
    }
    QueryAccountStatus(mailAddress, appToken);
}

}  // namespace tessaran
