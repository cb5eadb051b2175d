// The download progress dialog. It starts the download worker when it opens,
// paints its tiled background, turns Cancel (or Esc, or Enter) into the two
// cancel flags without closing, and closes itself only when the worker's
// final message arrives, so the worker always finds the dialog it reports to.
#include "ui/download_ui.h"

#include "res/resource.h"

// Owned by the open dialog; released when it is destroyed.
static HICON s_hSmallIcon = nullptr;
static HICON s_hLargeIcon = nullptr;
static HBITMAP s_hBackground = nullptr;

static void OnInitDialog(const DialogPlatform& os, HWND dialog)
{
    g_hProgressDialog = dialog;

    // Greys the close button and the window menu's Close. The change is on
    // the dialog class, so it holds for every dialog created after this one.
    SetClassLongPtrW(dialog, GCL_STYLE, GetClassLongPtrW(dialog, GCL_STYLE) | CS_NOCLOSE);

    s_hSmallIcon = static_cast<HICON>(os.LoadImageW(
        g_hInstance, MAKEINTRESOURCEW(IDI_LAUNCHER), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
    s_hLargeIcon = static_cast<HICON>(os.LoadImageW(
        g_hInstance, MAKEINTRESOURCEW(IDI_LAUNCHER), IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR));
    if (!s_hLargeIcon)
        s_hLargeIcon = s_hSmallIcon;
    SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(s_hSmallIcon));
    SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(s_hLargeIcon));

    s_hBackground = static_cast<HBITMAP>(os.LoadImageW(
        g_hInstance, MAKEINTRESOURCEW(IDB_DIALOG_BACKGROUND), IMAGE_BITMAP, 0, 0,
        LR_DEFAULTCOLOR));

    // The worker is never waited for. If it cannot be started, nothing would
    // ever close the dialog (Cancel only sets flags), so the dialog reports
    // the failure to itself, and as after any failed download without a
    // cancel, no installer of an earlier run is left to be started.
    HANDLE worker = os.CreateThread(nullptr, 0, os.DownloadWorker, nullptr, 0, nullptr);
    if (worker) {
        os.CloseHandle(worker);
    } else {
        if (!g_bCancelledByUser)
            os.DeleteFileW(g_szInstallerPath);
        PostMessageW(dialog, WM_DOWNLOAD_FAILED, DOWNLOAD_MESSAGE_TAG, 0);
    }
}

// Tiles the background picture from the client area's top-left corner, rows
// top to bottom, each left to right; the last tiles are cut by the client
// area. Without a usable picture the dialog's own brush erases instead.
static INT_PTR OnEraseBackground(const DialogPlatform& os, HWND dialog, HDC target)
{
    BITMAP picture = {};
    if (!s_hBackground || !GetObjectW(s_hBackground, sizeof(picture), &picture) ||
        picture.bmWidth <= 0 || picture.bmHeight <= 0)
        return FALSE;

    RECT client;
    GetClientRect(dialog, &client);
    HDC memory = CreateCompatibleDC(target);
    if (!memory)
        return FALSE;
    HGDIOBJ previous = SelectObject(memory, s_hBackground);
    for (int y = 0; y < client.bottom; y += picture.bmHeight)
        for (int x = 0; x < client.right; x += picture.bmWidth)
            os.BitBlt(target, x, y, picture.bmWidth, picture.bmHeight, memory, 0, 0, SRCCOPY);
    SelectObject(memory, previous);
    DeleteDC(memory);
    // A dialog answers through DWLP_MSGRESULT: tell the caller it is erased.
    SetWindowLongPtrW(dialog, DWLP_MSGRESULT, TRUE);
    return TRUE;
}

static void OnDestroy(const DialogPlatform& os)
{
    if (s_hBackground)
        os.DeleteObject(s_hBackground);
    g_hProgressDialog = nullptr;
    if (s_hLargeIcon && s_hLargeIcon != s_hSmallIcon)
        os.DestroyIcon(s_hLargeIcon);
    if (s_hSmallIcon)
        os.DestroyIcon(s_hSmallIcon);
    s_hBackground = nullptr;
    s_hLargeIcon = nullptr;
    s_hSmallIcon = nullptr;
}

INT_PTR ProgressDialogProcOn(const DialogPlatform& os, HWND dialog, UINT message,
                             WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        OnInitDialog(os, dialog);
        return TRUE;  // the dialog manager sets the default focus
    case WM_ERASEBKGND:
        return OnEraseBackground(os, dialog, reinterpret_cast<HDC>(wParam));
    case WM_CTLCOLORSTATIC:
        // The text is drawn straight onto the tiled background.
        SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
        return reinterpret_cast<INT_PTR>(GetStockObject(NULL_BRUSH));
    case WM_COMMAND:
        // Cancel, Esc and Enter only ask the fetch to stop; the dialog stays
        // open until the worker reports.
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            g_bCancelledByUser = true;
            g_bCancel = true;
        }
        return FALSE;
    case WM_DOWNLOAD_FAILED:
    case WM_DOWNLOAD_DONE:
        // Both close alike; what the worker left on disk tells them apart.
        if (wParam == DOWNLOAD_MESSAGE_TAG)
            DestroyWindow(dialog);
        return FALSE;
    case WM_DESTROY:
        OnDestroy(os);
        return FALSE;
    }
    return FALSE;
}

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    return ProgressDialogProcOn(kWin32Dialog, dialog, message, wParam, lParam);
}

const DialogPlatform kWin32Dialog = {
    ::LoadImageW, ::DestroyIcon, ::DeleteObject, ::BitBlt, ::CreateThread,
    ::CloseHandle, ::DeleteFileW, DownloadWorker,
};
