// The download progress dialog (template 9): it starts the download worker
// when it opens, shows what the worker reports, turns Cancel into a cancel
// of the download and ends once the worker has finished.
#pragma once

#include "download/download_job.h"

// Room for the dialog's line of text.
const int kLineChars = 64;

// What one open dialog holds; DialogBoxParamW's parameter.
struct ProgressDialog {
    DownloadJob* job;
    HICON smallIcon;  // the icons and the background picture,
    HICON largeIcon;  // released when the dialog is destroyed
    HBITMAP background;
    bool prompting;                 // a proxy sign-in prompt it owns is open
    WCHAR downloading[kLineChars];  // the line as the template has it
};

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The bar's position and upper limit for a byte count and size: both scaled
// alike so that the limit fits the bar's signed 32-bit range.
void ScaleProgress(DWORD received, DWORD total, int* position, int* limit);

// The dialog's line: while the connection is lost, which try is about to be
// made (tryNumber 2 to 5); otherwise (0) the template's own text.
void ChooseLine(int tryNumber, const WCHAR* downloading, WCHAR (&line)[kLineChars]);
