// The configuration error dialog, built from its real template: the cursor
// over and off the link, the link's colours, clicks that open the support
// page, and which messages end the dialog.
#include "checks/error_dialog.h"
#include "res/resource.h"
#include "support/fake_ui.h"

#include <gtest/gtest.h>

namespace {

using fakeui::Actions;
using fakeui::g_actions;  // what the dialog handed to the shell
const ErrorDialogPlatform kFakeShell = {.ShellExecuteW = fakeui::ShellExecuteW};
const std::string kOpenedSupport =
    "shell open http://www.corvidapp.example/support#app-troubleshooting-csc";

INT_PTR CALLBACK TestProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    return ErrorDialogProcOn(kFakeShell, dialog, message, wParam, lParam);
}

// A modeless copy of the dialog, shown, from the template linked into this
// test program.
HWND OpenDialog()
{
    g_hInstance = GetModuleHandleW(nullptr);
    HWND dialog =
        CreateDialogParamW(g_hInstance, MAKEINTRESOURCEW(IDD_CONFIG_ERROR), nullptr, TestProc, 0);
    if (dialog)
        ShowWindow(dialog, SW_SHOW);
    return dialog;
}

RECT ScreenRect(HWND dialog, int id)
{
    RECT r = {0, 0, 0, 0};
    GetWindowRect(GetDlgItem(dialog, id), &r);
    return r;
}

POINT Centre(const RECT& r)
{
    return {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

// A static control without an id, found by its text.
HWND StaticWithText(HWND dialog, const wchar_t* text)
{
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t buffer[128] = L"";
        GetWindowTextW(child, buffer, 128);
        if (wcscmp(buffer, text) == 0)
            return child;
    }
    return nullptr;
}

const wchar_t kShutDownText[] = L"The Corvid App encountered an error and has been shut down.";
const wchar_t kAssistText[] = L"For assistance with this issue, please visit:";

}  // namespace

TEST(ErrorDialog, HandOverTheLinkOnlyAndTheSystemCursorOutsideTheClientArea)
{
    HWND dialog = OpenDialog();
    ASSERT_TRUE(dialog);
    const RECT link = ScreenRect(dialog, IDC_SUPPORT_LINK);
    const RECT ok = ScreenRect(dialog, IDOK);
    RECT shutDown = {0, 0, 0, 0};
    GetWindowRect(StaticWithText(dialog, kShutDownText), &shutDown);
    RECT client;
    GetClientRect(dialog, &client);
    POINT clientCorner = {client.right - 2, client.bottom - 2};
    ClientToScreen(dialog, &clientCorner);
    const HCURSOR hand = LoadCursorW(nullptr, IDC_HAND);
    const HCURSOR arrow = LoadCursorW(nullptr, IDC_ARROW);
    const HCURSOR before = LoadCursorW(nullptr, IDC_WAIT);

    // clang-format off
    struct CursorCase {
        const char* label;
        POINT at;
        WORD hitCode;
        LRESULT result;   // of the dialog procedure
        HCURSOR cursor;   // afterwards
    } cases[] = {
        {"centre of the link", Centre(link), HTCLIENT, TRUE, hand},
        {"top-left corner of the link", {link.left, link.top}, HTCLIENT, TRUE, hand},
        {"last pixel of the link", {link.right - 1, link.bottom - 1}, HTCLIENT, TRUE, hand},
        {"just right of the link", {link.right, link.top}, HTCLIENT, TRUE, arrow},
        {"just below the link", {link.left, link.bottom}, HTCLIENT, TRUE, arrow},
        {"OK button", Centre(ok), HTCLIENT, TRUE, arrow},
        {"shut-down text", Centre(shutDown), HTCLIENT, TRUE, arrow},
        {"error line", Centre(ScreenRect(dialog, IDC_ERROR_DETAIL)), HTCLIENT, TRUE, arrow},
        {"empty corner of the client area", clientCorner, HTCLIENT, TRUE, arrow},
        {"caption, pointer over the link", Centre(link), HTCAPTION, FALSE, before},
        {"nowhere", Centre(link), HTNOWHERE, FALSE, before},
        {"error code (negative)", Centre(link), WORD(HTERROR), FALSE, before},
    };
    // clang-format on
    for (const CursorCase& c : cases) {
        SCOPED_TRACE(c.label);
        SetCursor(before);
        SetWindowLongPtrW(dialog, DWLP_MSGRESULT, 0);
        ASSERT_TRUE(SetCursorPos(c.at.x, c.at.y));
        POINT now;
        GetCursorPos(&now);
        ASSERT_EQ(c.at.x, now.x);
        ASSERT_EQ(c.at.y, now.y);

        LPARAM lParam = MAKELPARAM(c.hitCode, WM_MOUSEMOVE);
        EXPECT_EQ(c.result, TestProc(dialog, WM_SETCURSOR, WPARAM(dialog), lParam));
        EXPECT_EQ(c.cursor, GetCursor());
        // The dialog manager answers WM_SETCURSOR from the message-result slot.
        EXPECT_EQ(c.result, GetWindowLongPtrW(dialog, DWLP_MSGRESULT));
        if (c.hitCode == HTCLIENT) {
            SetCursor(before);
            EXPECT_EQ(TRUE, SendMessageW(dialog, WM_SETCURSOR, WPARAM(dialog), lParam));
            EXPECT_EQ(c.cursor, GetCursor());
        }
    }
    DestroyWindow(dialog);
}

TEST(ErrorDialog, OnlyTheLinkIsBlue)
{
    HWND dialog = OpenDialog();
    ASSERT_TRUE(dialog);
    HDC dc = GetDC(dialog);
    const HBRUSH face = GetSysColorBrush(COLOR_BTNFACE);
    // clang-format off
    struct ColourCase {
        const char* label;
        HWND control;
        bool blue;
    } cases[] = {
        {"link", GetDlgItem(dialog, IDC_SUPPORT_LINK), true},
        {"error line", GetDlgItem(dialog, IDC_ERROR_DETAIL), false},
        {"shut-down text", StaticWithText(dialog, kShutDownText), false},
        {"assistance text", StaticWithText(dialog, kAssistText), false},
    };
    // clang-format on
    for (const ColourCase& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(c.control);
        SetTextColor(dc, RGB(0x12, 0x34, 0x56));
        SetBkMode(dc, OPAQUE);
        INT_PTR result = TestProc(dialog, WM_CTLCOLORSTATIC, WPARAM(dc), LPARAM(c.control));
        EXPECT_EQ(c.blue ? INT_PTR(face) : 0, result);
        EXPECT_EQ(c.blue ? RGB(0, 0, 255) : RGB(0x12, 0x34, 0x56), GetTextColor(dc));
        EXPECT_EQ(c.blue ? TRANSPARENT : OPAQUE, GetBkMode(dc));
    }
    // Through the dialog manager the brush comes back as the result itself.
    EXPECT_EQ(LRESULT(face), SendMessageW(dialog, WM_CTLCOLORSTATIC, WPARAM(dc),
                                          LPARAM(GetDlgItem(dialog, IDC_SUPPORT_LINK))));
    ReleaseDC(dialog, dc);
    DestroyWindow(dialog);
}

TEST(ErrorDialog, ClickOnTheLinkOpensTheSupportPageAndKeepsTheDialog)
{
    HWND dialog = OpenDialog();
    ASSERT_TRUE(dialog);
    auto toClient = [dialog](POINT p) {
        ScreenToClient(dialog, &p);
        return p;
    };
    const RECT link = ScreenRect(dialog, IDC_SUPPORT_LINK);
    // clang-format off
    struct ClickCase {
        const char* label;
        POINT at;  // client coordinates
        bool opens;
    } cases[] = {
        {"centre of the link", toClient(Centre(link)), true},
        {"top-left corner of the link", toClient({link.left, link.top}), true},
        {"last pixel of the link", toClient({link.right - 1, link.bottom - 1}), true},
        {"just right of the link", toClient({link.right, link.top}), false},
        {"just above the link", toClient({link.left, link.top - 1}), false},
        {"error line", toClient(Centre(ScreenRect(dialog, IDC_ERROR_DETAIL))), false},
        {"client origin", {0, 0}, false},
        {"left of the client area (captured, negative x)", {-3, toClient(Centre(link)).y}, false},
    };
    // clang-format on
    for (const ClickCase& c : cases) {
        SCOPED_TRACE(c.label);
        g_actions.clear();
        LPARAM lParam = MAKELPARAM(WORD(SHORT(c.at.x)), WORD(SHORT(c.at.y)));
        EXPECT_EQ(c.opens ? TRUE : FALSE, TestProc(dialog, WM_LBUTTONDOWN, MK_LBUTTON, lParam));
        EXPECT_EQ(c.opens ? Actions{kOpenedSupport} : Actions{}, g_actions);
    }
    // Clicked again, through the window's own message path: opened again, the
    // dialog stays.
    g_actions.clear();
    POINT centre = toClient(Centre(link));
    SendMessageW(dialog, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(centre.x, centre.y));
    SendMessageW(dialog, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(centre.x, centre.y));
    EXPECT_EQ((Actions{kOpenedSupport, kOpenedSupport}), g_actions);
    EXPECT_TRUE(IsWindowVisible(dialog));

    // A click position is signed: with the link moved partly left of the
    // client area, a click at x -5 lies on it, while 65531 would not.
    SetWindowPos(GetDlgItem(dialog, IDC_SUPPORT_LINK), nullptr, -20, centre.y - 2, 40, 8,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    g_actions.clear();
    EXPECT_EQ(TRUE,
              TestProc(dialog, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(WORD(SHORT(-5)), centre.y)));
    EXPECT_EQ(Actions{kOpenedSupport}, g_actions);
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
        LPARAM postL =
            g_postMessage == WM_COMMAND ? LPARAM(GetDlgItem(dialog, LOWORD(g_postWParam))) : 0;
        PostMessageW(target, g_postMessage, g_postWParam, postL);
        PostMessageW(dialog, kSentinel, 0, 0);
    } else if (message == kSentinel) {
        EndDialog(dialog, 99);
        return TRUE;
    }
    return ErrorDialogProcOn(kFakeShell, dialog, message, wParam, lParam);
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
        {"Enter on the default button", WM_KEYDOWN, VK_RETURN, true, 0},
        {"WM_CLOSE", WM_CLOSE, 0, false, 0},
        {"close box", WM_SYSCOMMAND, SC_CLOSE, false, 0},
        {"IDCANCEL", WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), false, 99},
        {"Escape key", WM_KEYDOWN, VK_ESCAPE, true, 99},
        {"another control id", WM_COMMAND, MAKEWPARAM(IDC_SUPPORT_LINK, 0), false, 99},
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
