// The progress callback of the installer download. It runs on the worker
// thread and talks to the bar with sent messages, so each report waits until
// the dialog's message loop has handled it.
#include "ui/download_ui.h"

#include "res/resource.h"

#include <commctrl.h>

LRESULT OnDownloadProgressOn(const ProgressPlatform& os, DownloadJob* job, int position, int total)
{
    HWND bar = os.GetDlgItem(job->dialog, IDC_DOWNLOAD_PROGRESS);
    if (!bar)
        return 0;
    // Without a Content-Length the size is unknown (the one report is
    // (-1, -1)): the bar runs as a marquee, as Windows shows work of unknown
    // length, instead of sitting empty.
    if (total < 0) {
        os.SetWindowLongW(bar, GWL_STYLE, os.GetWindowLongW(bar, GWL_STYLE) | PBS_MARQUEE);
        return os.SendMessageW(bar, PBM_SETMARQUEE, TRUE, 0);
    }
    // The range is sent only when it changes: once per download with a
    // Content-Length (unless that is the bar's initial 100), after that only
    // the position moves.
    int high = static_cast<int>(os.SendMessageW(bar, PBM_GETRANGE, FALSE, 0));
    if (high != total)
        os.SendMessageW(bar, PBM_SETRANGE32, 0, static_cast<LPARAM>(total));
    return os.SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

LRESULT OnDownloadProgress(void* job, int position, int total)
{
    return OnDownloadProgressOn(kWin32Progress, static_cast<DownloadJob*>(job), position, total);
}

const ProgressPlatform kWin32Progress = {
    .GetDlgItem = ::GetDlgItem,
    .SendMessageW = ::SendMessageW,
    .GetWindowLongW = ::GetWindowLongW,
    .SetWindowLongW = ::SetWindowLongW,
};
