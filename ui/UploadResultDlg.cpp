#include "ui/UploadResultDlg.h"

#include "controller/UploadFileList.h"
#include "host/Module.h"
#include "support/Handles.h"
#include "support/Result.h"
#include "ui/resource.h"
#include "upload/ServiceResult.h"

namespace tessaran {

CUploadResultDlg::CUploadResultDlg(HWND parent) noexcept : CDialogBase(IDD_UPLOADRESULT, parent) {}

CUploadResultDlg::~CUploadResultDlg() = default;

void CUploadResultDlg::DoDataExchange() { BindControl(IDC_RESULT_LIST, m_listFile); }

BOOL CUploadResultDlg::OnInitDialog() {
    CDialogBase::OnInitDialog();
    SetupList();
    FillList();
    return TRUE;
}

void CUploadResultDlg::SetupList() {
    m_listFile.InsertColumn(0, L"ファイル名", LVCFMT_LEFT, 140, 0);
    m_listFile.InsertColumn(1, L"送信結果", LVCFMT_LEFT, 290, 1);

    UniqueImageList images(::ImageList_Create(24, 24, ILC_COLOR24 | ILC_MASK, 0, 2));
    if (images) {
        UniqueGdiObject page(::LoadBitmapW(ModuleInstance(), MAKEINTRESOURCEW(IDB_DOCUMENT_PAGE)));
        if (page) ::ImageList_AddMasked(images.get(), static_cast<HBITMAP>(page.get()), RGB(0, 0, 0));
        m_listFile.SetImageList(images.get(), LVSIL_SMALL);
        // The list view destroys its image list with itself.
        m_imageList = images.release();
    } else {
        LogFailure(L"CUploadResultDlg ImageList_Create", LastErrorHResult());
    }
    m_listFile.SetExtendedStyle(LVS_EX_GRIDLINES | LVS_EX_SUBITEMIMAGES | LVS_EX_FULLROWSELECT);
}

void CUploadResultDlg::FillList() {
    if (!m_pUploadFileList) return;
    try {
        int row = 0;
        for (INT_PTR index = 0; index < m_pUploadFileList->GetCount(); ++index) {
            ISMRUploadFile* file = m_pUploadFileList->GetAt(index);
            if (!file) continue;
            const HRESULT result = file->GetResult();
            if (result >= 0) continue;
            const int inserted = m_listFile.InsertItem(row, file->GetFileName(), 0);
            if (inserted < 0) return;
            m_listFile.SetItemText(inserted, 1, GetResultText(result).c_str());
            ++row;
        }
    } catch (...) {
        // The rows made so far stay; the choice is still the user's.
        LogFailure(L"CUploadResultDlg FillList", HResultFromCaughtException());
    }
}

void CUploadResultDlg::ConfirmFinish() {
    const int answer = MessageBox(L"送信していないファイルは削除されますが、よろしいですか?", L"確認",
                                  MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
    if (answer == IDYES) EndDialog(kFinish);
}

void CUploadResultDlg::OnCancel() { ConfirmFinish(); }

bool CUploadResultDlg::OnCommand(UINT id, UINT notifyCode) {
    switch (id) {
        case IDC_RESULT_RETRY:
            if (notifyCode != BN_CLICKED) return false;
            EndDialog(kRetry);
            return true;
        case IDC_RESULT_SAVE:
            if (notifyCode != BN_CLICKED) return false;
            EndDialog(kSave);
            return true;
        case IDC_RESULT_FINISH:
            if (notifyCode != BN_CLICKED) return false;
            ConfirmFinish();
            return true;
        case ID_HELP_COMMAND:
            m_help.ShowHelp(m_hWnd, 0);
            return true;
        default:
            return false;
    }
}

bool CUploadResultDlg::OnMessage(UINT message, WPARAM wParam, LPARAM, LRESULT& result) {
    if (IsHelpRequest(message, wParam)) {
        m_help.ShowHelp(m_hWnd, 0);
        result = TRUE;
        return true;
    }
    return false;
}

}  // namespace tessaran
