// The configuration error dialog: a blue support link that shows a hand
// cursor and opens the troubleshooting page, and an OK button or close box to
// end it. The link is a plain static control, which takes no mouse input, so
// the dialog itself hit-tests the control's window rectangle.
#include "checks/error_dialog.h"

#include "base/acts.h"
#include "res/resource.h"

static const COLORREF kLinkColour = RGB(0, 0, 255);  // 0x00FF0000

// Whether a point in screen coordinates lies on the link control.
static bool OnLink(HWND dialog, POINT screenPoint)
{
    RECT link = {0, 0, 0, 0};
    if (!GetWindowRect(GetDlgItem(dialog, IDC_SUPPORT_LINK), &link))
        return false;
    return PtInRect(&link, screenPoint) != FALSE;
}

INT_PTR CALLBACK ErrorDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_SETCURSOR: {
        // Over the caption and the border the system's own cursor applies.
        if (LOWORD(lParam) != HTCLIENT)
            return FALSE;
        POINT cursor = {0, 0};
        GetCursorPos(&cursor);
        SetCursor(LoadCursorW(nullptr, OnLink(dialog, cursor) ? IDC_HAND : IDC_ARROW));
        SetWindowLongPtrW(dialog, DWLP_MSGRESULT, TRUE);
        return TRUE;
    }
    case WM_COMMAND:
        // Escape arrives as IDCANCEL and is ignored: only OK ends the dialog.
        if (LOWORD(wParam) == IDOK)
            EndDialog(dialog, 0);
        return FALSE;
    case WM_CLOSE:
        EndDialog(dialog, 0);
        return FALSE;
    case WM_CTLCOLORSTATIC:
        if (reinterpret_cast<HWND>(lParam) != GetDlgItem(dialog, IDC_SUPPORT_LINK))
            return FALSE;
        SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
        SetTextColor(reinterpret_cast<HDC>(wParam), kLinkColour);
        // A system brush, returned as the result itself and never deleted.
        return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
    case WM_LBUTTONDOWN: {
        // Client coordinates, each a signed 16-bit number.
        POINT click = {static_cast<SHORT>(LOWORD(lParam)), static_cast<SHORT>(HIWORD(lParam))};
        ClientToScreen(dialog, &click);
        if (!OnLink(dialog, click))
            return FALSE;
        // The dialog stays open; the page may be opened again.
        g_shellExecute(nullptr, L"open", kSupportPageUrl, nullptr, nullptr, SW_SHOWNORMAL);
        return TRUE;
    }
    }
    return FALSE;
}
