// Lists the files of a pass that could not be sent, with the reason for
// each, and asks what to do with them: send again (4), save them to a local
// folder (2) or finish (1, after confirmation). The run carries out the choice.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include "support/Localize.h"
#include "ui/DialogBase.h"

namespace tessaran {

struct ISMRUploadFileList;

class CUploadResultDlg : public CDialogBase {
public:
    static constexpr INT_PTR kFinish = 1;
    static constexpr INT_PTR kSave = 2;
    static constexpr INT_PTR kRetry = 4;

    explicit CUploadResultDlg(HWND parent) noexcept;
    ~CUploadResultDlg() override;

    // The run's list; not owned, and must outlive the dialog's run.
    void SetUploadFileList(ISMRUploadFileList* list) noexcept { m_pUploadFileList = list; }

protected:
    void DoDataExchange() override;
    BOOL OnInitDialog() override;
    void OnCancel() override;
    bool OnCommand(UINT id, UINT notifyCode) override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    void SetupList();
    void FillList();
    // Finishing loses the unsent files: only a Yes ends the dialog.
    void ConfirmFinish();

    ISMRUploadFileList* m_pUploadFileList = nullptr;
    CListViewControl m_listFile;
    HIMAGELIST m_imageList = nullptr;
    CHelpLibrary m_help;
};

}  // namespace tessaran
