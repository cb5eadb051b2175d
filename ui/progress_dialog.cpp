// The download progress dialog. It starts the download worker when it opens,
// paints its tiled background, turns Cancel (or Esc, Enter or a close
// request) into a cancel of the download without closing, and ends only when
// its worker has finished, so that install mode never looks at a file that
// is still being written. A worker message posted by anyone else before the
// worker has finished changes nothing.
#include "ui/download_ui.h"

#include "res/resource.h"

static DownloadJob* JobOf(HWND dialog)
{
    return reinterpret_cast<DownloadJob*>(GetWindowLongPtrW(dialog, DWLP_USER));
}

static void OnInitDialog(const DialogPlatform& os, HWND dialog, DownloadJob* job)
{
    SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(job));
    job->dialog = dialog;

    // Greys the close button and the window menu's Close. The change is on
    // the dialog class, so it holds for every dialog created after this one.
    SetClassLongPtrW(dialog, GCL_STYLE, GetClassLongPtrW(dialog, GCL_STYLE) | CS_NOCLOSE);

    job->smallIcon = static_cast<HICON>(os.LoadImageW(g_hInstance, MAKEINTRESOURCEW(IDI_LAUNCHER),
                                                      IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
    job->largeIcon = static_cast<HICON>(os.LoadImageW(g_hInstance, MAKEINTRESOURCEW(IDI_LAUNCHER),
                                                      IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR));
    if (!job->largeIcon)
        job->largeIcon = job->smallIcon;
    SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(job->smallIcon));
    SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(job->largeIcon));

    job->background = static_cast<HBITMAP>(os.LoadImageW(
        g_hInstance, MAKEINTRESOURCEW(IDB_DIALOG_BACKGROUND), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));

    // Install mode waits for the worker once the dialog has ended. If it
    // cannot be started, nothing else would ever end the dialog, so the
    // dialog reports the failure to itself; as after any failed download
    // without a cancel, no installer of an earlier run is left behind.
    job->worker = os.CreateThread(nullptr, 0, os.DownloadWorker, job, 0, nullptr);
    if (!job->worker) {
        if (!job->cancelledByUser)
            os.DeleteFileW(job->installerPath);
        job->finished = true;
        PostMessageW(dialog, WM_DOWNLOAD_FAILED, DOWNLOAD_MESSAGE_TAG, 0);
    }
}

// Tiles the background picture from the client area's top-left corner, rows
// top to bottom, each left to right; the last tiles are cut by the client
// area. Without a usable picture the dialog's own brush erases instead.
static INT_PTR OnEraseBackground(const DialogPlatform& os, HWND dialog, HDC target)
{
    DownloadJob* job = JobOf(dialog);
    BITMAP picture = {};
    if (!job || !job->background || !GetObjectW(job->background, sizeof(picture), &picture) ||
        picture.bmWidth <= 0 || picture.bmHeight <= 0)
        return FALSE;

    RECT client;
    GetClientRect(dialog, &client);
    HDC memory = CreateCompatibleDC(target);
    if (!memory)
        return FALSE;
    HGDIOBJ previous = SelectObject(memory, job->background);
    for (int y = 0; y < client.bottom; y += picture.bmHeight)
        for (int x = 0; x < client.right; x += picture.bmWidth)
            os.BitBlt(target, x, y, picture.bmWidth, picture.bmHeight, memory, 0, 0, SRCCOPY);
    SelectObject(memory, previous);
    DeleteDC(memory);
    // A dialog answers through DWLP_MSGRESULT: tell the caller it is erased.
    SetWindowLongPtrW(dialog, DWLP_MSGRESULT, TRUE);
    return TRUE;
}

static void OnDestroy(const DialogPlatform& os, DownloadJob* job)
{
    if (!job)
        return;
    if (job->background)
        os.DeleteObject(job->background);
    job->dialog = nullptr;
    if (job->largeIcon && job->largeIcon != job->smallIcon)
        os.DestroyIcon(job->largeIcon);
    if (job->smallIcon)
        os.DestroyIcon(job->smallIcon);
    job->background = nullptr;
    job->largeIcon = nullptr;
    job->smallIcon = nullptr;
}

INT_PTR ProgressDialogProcOn(const DialogPlatform& os, HWND dialog, UINT message, WPARAM wParam,
                             LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        OnInitDialog(os, dialog, reinterpret_cast<DownloadJob*>(lParam));
        return TRUE;  // the dialog manager sets the default focus
    case WM_ERASEBKGND:
        return OnEraseBackground(os, dialog, reinterpret_cast<HDC>(wParam));
    case WM_CTLCOLORSTATIC:
        // The text is drawn straight onto the tiled background.
        SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
        return reinterpret_cast<INT_PTR>(GetStockObject(NULL_BRUSH));
    case WM_COMMAND:
        // Cancel, Esc, Enter and a close request (which the dialog manager
        // turns into IDCANCEL) stop the fetch; the dialog stays open until
        // the worker has finished.
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            if (DownloadJob* job = JobOf(dialog)) {
                job->cancelledByUser = true;
                SetEvent(job->cancel);
            }
        }
        return FALSE;
    case WM_DOWNLOAD_FAILED:
    case WM_DOWNLOAD_DONE:
        // Both end alike; the job tells install mode what was saved.
        if (wParam == DOWNLOAD_MESSAGE_TAG) {
            DownloadJob* job = JobOf(dialog);
            if (job && job->finished)
                os.EndDialog(dialog, 0);
        }
        return FALSE;
    case WM_DESTROY:
        OnDestroy(os, JobOf(dialog));
        return FALSE;
    }
    return FALSE;
}

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    return ProgressDialogProcOn(kWin32Dialog, dialog, message, wParam, lParam);
}

const DialogPlatform kWin32Dialog = {
    .LoadImageW = ::LoadImageW,
    .DestroyIcon = ::DestroyIcon,
    .DeleteObject = ::DeleteObject,
    .BitBlt = ::BitBlt,
    .CreateThread = ::CreateThread,
    .DeleteFileW = ::DeleteFileW,
    .EndDialog = ::EndDialog,
    .DownloadWorker = DownloadWorker,
};
