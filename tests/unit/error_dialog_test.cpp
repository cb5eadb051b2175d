// The configuration error dialog, built from its real template: the hand
// cursor and a click that opens the support page over the link's rectangle
// only, the link's colours, and which messages end the dialog.
#include "checks/error_dialog.h"
#include "res/resource.h"

#include <gtest/gtest.h>

#include "support/recorded_acts.h"

namespace {

// A modeless copy of the dialog, shown, from the template linked into this
// test program.
HWND OpenDialog()
{
    g_hInstance = GetModuleHandleW(nullptr);
    HWND dialog = CreateDialogParamW(g_hInstance, MAKEINTRESOURCEW(IDD_CONFIG_ERROR), nullptr,
                                     ErrorDialogProc, 0);
    if (dialog)
        ShowWindow(dialog, SW_SHOW);
    return dialog;
}

RECT ScreenRect(HWND control)
{
    RECT r = {0, 0, 0, 0};
    GetWindowRect(control, &r);
    return r;
}

POINT Centre(const RECT& r)
{
    return {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

// A click on the dialog at a point in client coordinates, each a signed
// 16-bit number as the mouse messages carry them.
INT_PTR Click(HWND dialog, POINT at)
{
    return ErrorDialogProc(dialog, WM_LBUTTONDOWN, MK_LBUTTON,
                           MAKELPARAM(WORD(SHORT(at.x)), WORD(SHORT(at.y))));
}

void ExpectOpenedSupport(const RecordedActs& acts, size_t times)
{
    ASSERT_EQ(times, acts.starts.size());
    for (const ShellStart& s : acts.starts) {
        EXPECT_EQ(L"open", s.verb);
        EXPECT_EQ(L"http://www.corvidapp.example/support#app-troubleshooting-csc", s.file);
        EXPECT_EQ(L"", s.parameters);
        EXPECT_EQ(L"", s.directory);
        EXPECT_EQ(SW_SHOWNORMAL, s.show);
    }
}

}  // namespace

TEST(ErrorDialog, HandAndClickOnTheLinkRectangleOnly)
{
    HWND dialog = OpenDialog();
    ASSERT_TRUE(dialog);
    const RECT link = ScreenRect(GetDlgItem(dialog, IDC_SUPPORT_LINK));
    RECT client;
    GetClientRect(dialog, &client);
    POINT clientCorner = {client.right - 2, client.bottom - 2};
    ClientToScreen(dialog, &clientCorner);
    const HCURSOR hand = LoadCursorW(nullptr, IDC_HAND);
    const HCURSOR arrow = LoadCursorW(nullptr, IDC_ARROW);
    // clang-format off
    struct PointCase {
        const char* label;
        POINT at;  // screen coordinates
        bool onLink;
    } cases[] = {
        {"centre of the link", Centre(link), true},
        {"top-left corner of the link", {link.left, link.top}, true},
        {"last pixel of the link", {link.right - 1, link.bottom - 1}, true},
        {"just right of the link", {link.right, link.top}, false},
        {"just below the link", {link.left, link.bottom}, false},
        {"OK button", Centre(ScreenRect(GetDlgItem(dialog, IDOK))), false},
        {"error line", Centre(ScreenRect(GetDlgItem(dialog, IDC_ERROR_DETAIL))), false},
        {"empty corner of the client area", clientCorner, false},
    };
    // clang-format on
    const LPARAM overClient = MAKELPARAM(HTCLIENT, WM_MOUSEMOVE);
    for (const PointCase& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(SetCursorPos(c.at.x, c.at.y));
        POINT now;
        GetCursorPos(&now);
        ASSERT_EQ(c.at.x, now.x);
        ASSERT_EQ(c.at.y, now.y);
        // Through the dialog manager, which answers from the message-result slot.
        SetCursor(nullptr);
        EXPECT_EQ(TRUE, SendMessageW(dialog, WM_SETCURSOR, WPARAM(dialog), overClient));
        EXPECT_EQ(c.onLink ? hand : arrow, GetCursor());

        RecordedActs acts;
        POINT at = c.at;
        ScreenToClient(dialog, &at);
        EXPECT_EQ(c.onLink ? TRUE : FALSE, Click(dialog, at));
        ExpectOpenedSupport(acts, c.onLink ? 1 : 0);
    }

    // Over the caption and the border the system's own cursor applies.
    const HCURSOR before = LoadCursorW(nullptr, IDC_WAIT);
    SetCursorPos(Centre(link).x, Centre(link).y);
    for (WORD hitCode : {WORD(HTCAPTION), WORD(HTERROR)}) {
        SCOPED_TRACE(hitCode);
        SetCursor(before);
        EXPECT_EQ(FALSE, ErrorDialogProc(dialog, WM_SETCURSOR, WPARAM(dialog),
                                         MAKELPARAM(hitCode, WM_MOUSEMOVE)));
        EXPECT_EQ(before, GetCursor());
    }

    // Clicked twice through the window's own message path: opened twice, the
    // dialog stays.
    RecordedActs acts;
    POINT centre = Centre(link);
    ScreenToClient(dialog, &centre);
    SendMessageW(dialog, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(centre.x, centre.y));
    SendMessageW(dialog, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(centre.x, centre.y));
    ExpectOpenedSupport(acts, 2);
    EXPECT_TRUE(IsWindowVisible(dialog));

    // A click position is signed: with the link moved partly left of the
    // client area, a click at x -5 lies on it, while 65531 would not.
    SetWindowPos(GetDlgItem(dialog, IDC_SUPPORT_LINK), nullptr, -20, centre.y - 2, 40, 8,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    EXPECT_EQ(TRUE, Click(dialog, {-5, centre.y}));
    ExpectOpenedSupport(acts, 3);
    DestroyWindow(dialog);
}

TEST(ErrorDialog, OnlyTheLinkIsBlue)
{
    HWND dialog = OpenDialog();
    ASSERT_TRUE(dialog);
    HDC dc = GetDC(dialog);
    const HBRUSH face = GetSysColorBrush(COLOR_BTNFACE);
    const HWND link = GetDlgItem(dialog, IDC_SUPPORT_LINK);
    int statics = 0;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t name[16] = L"";
        GetClassNameW(child, name, 16);
        if (_wcsicmp(name, L"Static") != 0)
            continue;
        ++statics;
        const bool blue = child == link;
        SCOPED_TRACE(GetDlgCtrlID(child));
        SetTextColor(dc, RGB(0x12, 0x34, 0x56));
        SetBkMode(dc, OPAQUE);
        INT_PTR result = ErrorDialogProc(dialog, WM_CTLCOLORSTATIC, WPARAM(dc), LPARAM(child));
        EXPECT_EQ(blue ? INT_PTR(face) : 0, result);
        EXPECT_EQ(blue ? RGB(0, 0, 255) : RGB(0x12, 0x34, 0x56), GetTextColor(dc));
        EXPECT_EQ(blue ? TRANSPARENT : OPAQUE, GetBkMode(dc));
    }
    EXPECT_EQ(4, statics);
    // Through the dialog manager the brush comes back as the result itself.
    EXPECT_EQ(LRESULT(face), SendMessageW(dialog, WM_CTLCOLORSTATIC, WPARAM(dc), LPARAM(link)));
    ReleaseDC(dialog, dc);
    DestroyWindow(dialog);
}

namespace {

// What to post once the modal dialog is up; a later sentinel message ends it
// with 99 if it is still open by then.
UINT g_postMessage;
WPARAM g_postWParam;
bool g_postToOkButton;
const UINT kSentinel = WM_APP + 7;

INT_PTR CALLBACK ModalProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        HWND target = g_postToOkButton ? GetDlgItem(dialog, IDOK) : dialog;
        PostMessageW(target, g_postMessage, g_postWParam, 0);
        PostMessageW(dialog, kSentinel, 0, 0);
    } else if (message == kSentinel) {
        EndDialog(dialog, 99);
        return TRUE;
    }
    return ErrorDialogProc(dialog, message, wParam, lParam);
}

}  // namespace

TEST(ErrorDialog, OkAndTheCloseBoxEndItEscapeDoesNot)
{
    g_hInstance = GetModuleHandleW(nullptr);
    // clang-format off
    struct EndCase {
        const char* label;
        UINT message;
        WPARAM wParam;
        bool toOkButton;
        INT_PTR result;  // 0: ended by the dialog, 99: still open
    } cases[] = {
        {"OK button", WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), false, 0},
        {"close box", WM_SYSCOMMAND, SC_CLOSE, false, 0},
        {"Escape key", WM_KEYDOWN, VK_ESCAPE, true, 99},
    };
    // clang-format on
    for (const EndCase& c : cases) {
        SCOPED_TRACE(c.label);
        g_postMessage = c.message;
        g_postWParam = c.wParam;
        g_postToOkButton = c.toOkButton;
        EXPECT_EQ(c.result, DialogBoxParamW(g_hInstance, MAKEINTRESOURCEW(IDD_CONFIG_ERROR),
                                            nullptr, ModalProc, 0));
    }
}
