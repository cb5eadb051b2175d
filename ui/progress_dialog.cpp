// The download progress dialog. It starts the download worker when it opens,
// paints its tiled background, moves its bar as the worker reports, says
// when the connection was lost and a try is about to be made, shows the
// proxy's sign-in prompt for the worker, turns Cancel (or Esc, Enter or a
// close request) into a cancel of the download without closing, and ends
// only when its worker has finished, so that install mode never looks at a
// file that is still being written. A worker message posted by anyone else
// before the worker has finished changes nothing.
#include "ui/progress_dialog.h"

#include "download/proxy_sign_in.h"
#include "download/resume.h"
#include "res/resource.h"

#include <commctrl.h>

static ProgressDialog* StateOf(HWND dialog)
{
    return reinterpret_cast<ProgressDialog*>(GetWindowLongPtrW(dialog, DWLP_USER));
}

// The dialog's one line of text, found by what it is: its only static control.
static HWND Line(HWND dialog)
{
    return FindWindowExW(dialog, nullptr, L"Static", nullptr);
}

static void OnInitDialog(HWND dialog, ProgressDialog* state)
{
    SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(state));
    DownloadJob* job = state->job;
    job->dialog = dialog;

    // Greys the close button and the window menu's Close. The change is on
    // the dialog class, so it holds for every dialog created after this one.
    SetClassLongPtrW(dialog, GCL_STYLE, GetClassLongPtrW(dialog, GCL_STYLE) | CS_NOCLOSE);

    state->smallIcon = static_cast<HICON>(LoadImageW(g_hInstance, MAKEINTRESOURCEW(IDI_LAUNCHER),
                                                     IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
    state->largeIcon = static_cast<HICON>(LoadImageW(g_hInstance, MAKEINTRESOURCEW(IDI_LAUNCHER),
                                                     IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR));
    if (!state->largeIcon)
        state->largeIcon = state->smallIcon;
    SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(state->smallIcon));
    SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(state->largeIcon));

    state->background = static_cast<HBITMAP>(LoadImageW(
        g_hInstance, MAKEINTRESOURCEW(IDB_DIALOG_BACKGROUND), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
    GetWindowTextW(Line(dialog), state->downloading, kLineChars);

    // Install mode waits for the worker once the dialog has ended. If it
    // cannot be started, nothing else would ever end the dialog, so the
    // dialog reports the failure to itself.
    job->worker = CreateThread(nullptr, 0, DownloadWorker, job, 0, nullptr);
    if (!job->worker) {
        job->finished = true;
        PostMessageW(dialog, WM_DOWNLOAD_FAILED, DOWNLOAD_MESSAGE_TAG, 0);
    }
}

// Tiles the background picture from the client area's top-left corner, rows
// top to bottom, each left to right; the last tiles are cut by the client
// area. Without a usable picture the dialog's own brush erases instead.
static INT_PTR OnEraseBackground(HWND dialog, HDC target)
{
    ProgressDialog* state = StateOf(dialog);
    BITMAP picture = {};
    if (!state || !state->background || !GetObjectW(state->background, sizeof(picture), &picture) ||
        picture.bmWidth <= 0 || picture.bmHeight <= 0)
        return FALSE;

    RECT client;
    GetClientRect(dialog, &client);
    HDC memory = CreateCompatibleDC(target);
    if (!memory)
        return FALSE;
    HGDIOBJ previous = SelectObject(memory, state->background);
    for (int y = 0; y < client.bottom; y += picture.bmHeight)
        for (int x = 0; x < client.right; x += picture.bmWidth)
            BitBlt(target, x, y, picture.bmWidth, picture.bmHeight, memory, 0, 0, SRCCOPY);
    SelectObject(memory, previous);
    DeleteDC(memory);
    // A dialog answers through DWLP_MSGRESULT: tell the caller it is erased.
    SetWindowLongPtrW(dialog, DWLP_MSGRESULT, TRUE);
    return TRUE;
}

void ScaleProgress(DWORD received, DWORD total, int* position, int* limit)
{
    int shift = total > 0x7FFFFFFFu ? 1 : 0;
    *position = static_cast<int>(received >> shift);
    *limit = static_cast<int>(total >> shift);
}

// Moves the bar. Without a size it runs as a marquee, as Windows shows work
// of unknown length; with one, its limit is set only when it changes.
static void OnProgress(HWND dialog, DWORD received, DWORD total)
{
    HWND bar = GetDlgItem(dialog, IDC_DOWNLOAD_PROGRESS);
    if (!bar)
        return;
    LONG_PTR style = GetWindowLongPtrW(bar, GWL_STYLE);
    if (total == 0) {
        if (!(style & PBS_MARQUEE)) {
            SetWindowLongPtrW(bar, GWL_STYLE, style | PBS_MARQUEE);
            SendMessageW(bar, PBM_SETMARQUEE, TRUE, 0);
        }
        return;
    }
    if (style & PBS_MARQUEE) {
        SendMessageW(bar, PBM_SETMARQUEE, FALSE, 0);
        SetWindowLongPtrW(bar, GWL_STYLE, style & ~PBS_MARQUEE);
    }
    int position, limit;
    ScaleProgress(received, total, &position, &limit);
    if (static_cast<int>(SendMessageW(bar, PBM_GETRANGE, FALSE, 0)) != limit)
        SendMessageW(bar, PBM_SETRANGE32, 0, limit);
    SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void ChooseLine(int tryNumber, const WCHAR* downloading, WCHAR (&line)[kLineChars])
{
    if (tryNumber == 0)
        CopyText(line, downloading);
    else
        wsprintfW(line, L"Connection lost, trying again (%d of %d)...", tryNumber, kDownloadTries);
}

// Shows the proxy's sign-in prompt for the worker, unless the download was
// cancelled meanwhile, and hands the answer back.
static void OnSignIn(HWND dialog, ProgressDialog* state)
{
    DownloadJob* job = state->job;
    DWORD answer = ERROR_CANCELLED;
    if (WaitForSingleObject(job->cancel, 0) != WAIT_OBJECT_0) {
        // While the prompt it owns is open, the dialog's Cancel waits: the
        // worker holds the request the prompt works on.
        state->prompting = true;
        answer = PromptProxySignIn(dialog, job->signInRequest);
        state->prompting = false;
    }
    job->signInAnswer = answer;
    SetEvent(job->signedIn);
}

static void OnDestroy(ProgressDialog* state)
{
    if (!state)
        return;
    if (state->background)
        DeleteObject(state->background);
    state->job->dialog = nullptr;
    if (state->largeIcon && state->largeIcon != state->smallIcon)
        DestroyIcon(state->largeIcon);
    if (state->smallIcon)
        DestroyIcon(state->smallIcon);
    state->background = nullptr;
    state->largeIcon = nullptr;
    state->smallIcon = nullptr;
}

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        OnInitDialog(dialog, reinterpret_cast<ProgressDialog*>(lParam));
        return TRUE;  // the dialog manager sets the default focus
    case WM_ERASEBKGND:
        return OnEraseBackground(dialog, reinterpret_cast<HDC>(wParam));
    case WM_CTLCOLORSTATIC:
        // The text is drawn straight onto the tiled background.
        SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
        return reinterpret_cast<INT_PTR>(GetStockObject(NULL_BRUSH));
    case WM_COMMAND:
        // Cancel, Esc, Enter and a close request (which the dialog manager
        // turns into IDCANCEL) stop the download; the dialog stays open
        // until the worker has finished.
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            ProgressDialog* state = StateOf(dialog);
            if (state && !state->prompting) {
                state->job->cancelledByUser = true;
                SetEvent(state->job->cancel);
            }
        }
        return FALSE;
    case WM_DOWNLOAD_PROGRESS:
        OnProgress(dialog, static_cast<DWORD>(wParam), static_cast<DWORD>(lParam));
        return FALSE;
    case WM_DOWNLOAD_RETRYING:
        if (ProgressDialog* state = StateOf(dialog)) {
            WCHAR line[kLineChars];
            ChooseLine(static_cast<int>(wParam), state->downloading, line);
            SetWindowTextW(Line(dialog), line);
            // The line has no background of its own: the tiles go back under
            // it first, or the new text would be drawn over the old.
            RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
        }
        return FALSE;
    case WM_DOWNLOAD_SIGN_IN:
        if (ProgressDialog* state = StateOf(dialog))
            OnSignIn(dialog, state);
        return FALSE;
    case WM_DOWNLOAD_FAILED:
    case WM_DOWNLOAD_DONE:
        // Both end alike; the job tells install mode what was saved.
        if (wParam == DOWNLOAD_MESSAGE_TAG) {
            ProgressDialog* state = StateOf(dialog);
            if (state && state->job->finished)
                EndDialog(dialog, 0);
        }
        return FALSE;
    case WM_DESTROY:
        OnDestroy(StateOf(dialog));
        return FALSE;
    }
    return FALSE;
}
