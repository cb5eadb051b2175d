// Resource ids shared by the resource script and the code.
#pragma once

#define IDD_DOWNLOAD_PROGRESS 9
#define IDI_LAUNCHER 101
#define IDB_DIALOG_BACKGROUND 103
#define IDD_CONFIG_ERROR 104

#define IDC_DOWNLOAD_PROGRESS 1001
#define IDC_SUPPORT_LINK 1002
#define IDC_ERROR_DETAIL 1003

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
