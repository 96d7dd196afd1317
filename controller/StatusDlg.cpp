// The controller's progress operations. The dialog runs on a thread of its
// own behind the dialog interface; none of these report a failure.
#include "controller/MeishiServiceCtrl.h"
#include "support/Format.h"

namespace tessaran {

void CMeishiServiceCtrl::StartStatusDlg(HWND parent) { Dialogs().StartStatusDlg(parent); }

void CMeishiServiceCtrl::SetStatusText(const wchar_t* text, int position) {
    try {
        Dialogs().SetStatusText(text, position);
    } catch (...) {
    }
}

void CMeishiServiceCtrl::SetUploadProgress(int total, int done) {
    try {
        const int percent = (done > 0 && total > 0) ? static_cast<int>(static_cast<long long>(done) * 100 / total) : 0;
        wchar_t text[256];
        Format(text, 256, L"%d個のファイルをアップロード中 : %d%%完了", total, percent);
        SetStatusText(text, percent);
    } catch (...) {
    }
}

BOOL CMeishiServiceCtrl::IsCancelRequested() {
    try {
        return Dialogs().IsCancelRequested();
    } catch (...) {
        return FALSE;
    }
}

HANDLE CMeishiServiceCtrl::CancelEvent() {
    try {
        return Dialogs().CancelEvent();
    } catch (...) {
        return nullptr;
    }
}

void CMeishiServiceCtrl::ShowStatusDlg(int showCommand) {
    try {
        Dialogs().ShowStatusDlg(showCommand);
    } catch (...) {
    }
}

void CMeishiServiceCtrl::EndStatusDlg() {
    // Nothing to end when no dialog set was ever made.
    if (m_pDialogs) m_pDialogs->EndStatusDlg();
}

}  // namespace tessaran
