// Resource IDs of the plug-in's dialogs and of the result list's bitmap.
// Shared by the resource script and the dialog code; values repeat between
// dialogs where their templates use the same number.
#pragma once

// Dialog templates.
#define IDD_MEISHISERVICE_SETTING 201
#define IDD_MEISHISERVICE_STATUS 202
#define IDD_FTPSTATUS 203
#define IDD_MEISHISERVICE_LOGON 204
#define IDD_UPLOADRESULT 205

// The document page shown on every row of the result list.
#define IDB_DOCUMENT_PAGE 204

// Settings dialog (201).
#define IDC_SETTING_ACCOUNT_GROUP 201
#define IDC_SETTING_ACCOUNT_NOTE 202
#define IDC_SETTING_MAIL_LABEL 203
#define IDC_SETTING_TOKEN_LABEL 204
#define IDC_SETTING_UPLOAD_GROUP 205
#define IDC_SETTING_FRONTLANG_LABEL 206
#define IDC_SETTING_BACKLANG_LABEL 207
#define IDC_BUTTON_ACCOUNT_STATUS 1000
#define IDC_EDIT_MAILADDRESS 1002
#define IDC_EDIT_APPTOKEN 1003
#define IDC_COMBO_FRONTLANG 1005
#define IDC_CHECK_EVEN_BACKPAGE 1006
#define IDC_COMBO_BACKLANG 1007

// Logon dialog (204); the edit boxes share 1002 and 1003 with the settings dialog.
#define IDC_LOGON_PROMPT 202
#define IDC_LOGON_MAIL_LABEL 203
#define IDC_LOGON_TOKEN_LABEL 204

// Account status dialog (202).
#define IDC_STATUS_ACCOUNTNAME 1007
#define IDC_STATUS_USERNAME 1008
#define IDC_STATUS_COUNT 1009

// Progress dialog (203).
#define IDC_FTPSTATUS_TEXT 201
#define IDC_FTPSTATUS_PROGRESS 202
#define IDC_FTPSTATUS_CANCEL 207

// Upload result dialog (205).
#define IDC_RESULT_MESSAGE 201
#define IDC_RESULT_LIST_LABEL 202
#define IDC_RESULT_RETRY_NOTE 203
#define IDC_RESULT_SAVE_NOTE 204
#define IDC_RESULT_FINISH_NOTE 205
#define IDC_RESULT_LIST 1026
#define IDC_RESULT_RETRY 1027
#define IDC_RESULT_SAVE 1028
#define IDC_RESULT_FINISH 1029

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
