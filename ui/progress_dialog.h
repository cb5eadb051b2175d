// The download progress dialog (template 9): it starts the download worker
// when it opens, shows what the worker reports, turns Cancel into a cancel
// of the download and ends once the worker has finished.
#pragma once

#include "download/download_job.h"

// What one open dialog holds; DialogBoxParamW's parameter.
struct ProgressDialog {
    DownloadJob* job;
    HICON smallIcon;  // the icons and the background picture,
    HICON largeIcon;  // released when the dialog is destroyed
    HBITMAP background;
};

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The bar's position and upper limit for a byte count and size: both scaled
// alike so that the limit fits the bar's signed 32-bit range.
void ScaleProgress(DWORD received, DWORD total, int* position, int* limit);
