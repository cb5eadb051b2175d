// The progress callback of the installer download. It runs on the worker
// thread and talks to the bar with sent messages, so each report waits until
// the dialog's message loop has handled it.
#include "ui/download_ui.h"

#include "res/resource.h"

#include <commctrl.h>

LRESULT OnDownloadProgressOn(const ProgressPlatform& os, int position, int total)
{
    HWND bar = os.GetDlgItem(g_hProgressDialog, IDC_DOWNLOAD_PROGRESS);
    if (!bar)
        return 0;
    // The range is sent only when it changes: once per download with a
    // Content-Length (unless that is the bar's initial 100), after that only
    // the position moves.
    int high = static_cast<int>(os.SendMessageW(bar, PBM_GETRANGE, FALSE, 0));
    if (high != total)
        os.SendMessageW(bar, PBM_SETRANGE32, 0, static_cast<LPARAM>(total));
    return os.SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

LRESULT OnDownloadProgress(int position, int total)
{
    return OnDownloadProgressOn(kWin32Progress, position, total);
}

const ProgressPlatform kWin32Progress = {::GetDlgItem, ::SendMessageW};
