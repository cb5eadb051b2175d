// The progress dialog from the real template 9 with real windows and its real
// worker, which downloads from a loopback server: opening, the commands and
// worker messages, the bar, the background tiling, and a whole modal
// download.
#include "ui/progress_dialog.h"

#include "res/resource.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include "support/loopback_server.h"

#include <string>
#include <vector>

using loopback::Reply;

namespace {

void Pump()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
}

// A modeless dialog whose worker waits on a host that stays silent until
// the test lets it go.
struct Open {
    loopback::Server server;
    std::wstring url, folder;
    DownloadJob job;
    ProgressDialog state = {};
    HWND dialog;
    Open()
    {
        g_hInstance = GetModuleHandleW(nullptr);
        server.Serve("/setup", {Reply{.body = "MZ", .stallAfter = 0}});
        url = server.Url("/setup");
        WCHAR temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder = temp;
        InitDownloadJob(&job);
        job.url = url.c_str();
        wcscpy(job.installerPath, (folder + L"rookmini_dialog.exe").c_str());
        wcscpy(job.partialPath, (folder + L"rookmini_dialog.partial").c_str());
        job.partialFile = CreateFileW(job.partialPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, 0, nullptr);
        job.cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        state.job = &job;
        dialog = CreateDialogParamW(g_hInstance, MAKEINTRESOURCEW(IDD_DOWNLOAD_PROGRESS), nullptr,
                                    ProgressDialogProc, reinterpret_cast<LPARAM>(&state));
        ShowWindow(dialog, SW_SHOWNA);
    }
    // Lets the worker end once its request is in (it takes the end of the
    // silence as a failed download).
    void Finish()
    {
        for (int i = 0; i < 500 && server.Requests().empty(); ++i)
            Sleep(10);
        server.Unstall();
        WaitForSingleObject(job.worker, 10000);
    }
    // The worker uses the job, the URL and the server until it ends: only
    // then may they go (a worker that never ends hits the test's time-out).
    ~Open()
    {
        SetEvent(job.cancel);
        server.Unstall();
        if (job.worker) {
            WaitForSingleObject(job.worker, INFINITE);
            CloseHandle(job.worker);
        }
        if (IsWindow(dialog))
            DestroyWindow(dialog);
        DiscardPartialFile(&job);
        CloseHandle(job.cancel);
    }
};

HWND Bar(HWND dialog)
{
    return GetDlgItem(dialog, IDC_DOWNLOAD_PROGRESS);
}

}  // namespace

TEST(ProgressDialog, OpensWithIconsAndItsWorkerAndNoCloseButton)
{
    Open o;
    ASSERT_TRUE(o.dialog);
    EXPECT_EQ(o.dialog, o.job.dialog.load());
    EXPECT_TRUE(GetClassLongPtrW(o.dialog, GCL_STYLE) & CS_NOCLOSE);
    EXPECT_TRUE(o.job.worker);  // kept to be waited for
    HICON small = reinterpret_cast<HICON>(SendMessageW(o.dialog, WM_GETICON, ICON_SMALL, 0));
    HICON large = reinterpret_cast<HICON>(SendMessageW(o.dialog, WM_GETICON, ICON_BIG, 0));
    ASSERT_TRUE(small && large && small != large);
    HDC dc = GetDC(o.dialog);
    EXPECT_EQ(reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH)),
              SendMessageW(o.dialog, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), 0));
    EXPECT_EQ(TRANSPARENT, GetBkMode(dc));
    ReleaseDC(o.dialog, dc);

    // Destroyed, it lets go of the job and of its pictures.
    HBITMAP background = o.state.background;
    DestroyWindow(o.dialog);
    EXPECT_EQ(nullptr, o.job.dialog.load());
    BITMAP picture;
    EXPECT_EQ(0, GetObjectW(background, sizeof(picture), &picture));
    ICONINFO info;
    EXPECT_FALSE(GetIconInfo(large, &info));
}

TEST(ProgressDialog, CancelStopsTheDownloadAndOnlyAFinishedWorkerEndsTheDialog)
{
    enum How { Send, Post, Key, MarkFinished, Finish };
    struct Step {
        How how;
        UINT message;
        WPARAM wParam;
    };
    struct Case {
        const char* label;
        std::vector<Step> steps;
        bool cancelled, ended;
    };
    const Step done = {Post, WM_DOWNLOAD_DONE, DOWNLOAD_MESSAGE_TAG};
    // clang-format off
    const Case cases[] = {
        {"Cancel button: the worker stops and reports", {{Send, WM_COMMAND, IDCANCEL}, {Finish}}, true, true},
        {"Enter", {{Send, WM_COMMAND, IDOK}, {Finish}}, true, true},
        {"Esc key", {{Key, WM_KEYDOWN, VK_ESCAPE}, {Finish}}, true, true},
        {"close request", {{Post, WM_CLOSE, 0}, {Finish}}, true, true},
        {"other command", {{Send, WM_COMMAND, IDC_DOWNLOAD_PROGRESS}}, false, false},
        {"the worker's outcome", {{Finish}}, false, true},
        {"an outcome posted before the worker has finished", {done, {Post, WM_DOWNLOAD_FAILED, DOWNLOAD_MESSAGE_TAG}}, false, false},
        {"an outcome without the tag", {{MarkFinished}, {Post, WM_DOWNLOAD_DONE, DOWNLOAD_MESSAGE_TAG + 1}}, false, false},
        {"an outcome with the tag", {{MarkFinished}, done}, false, true},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Open o;
        for (const Step& s : c.steps) {
            if (s.how == Send) {
                SendMessageW(o.dialog, s.message, s.wParam, 0);
            } else if (s.how == Post) {
                PostMessageW(o.dialog, s.message, s.wParam, 0);
            } else if (s.how == Key) {
                MSG key = {GetFocus(), s.message, s.wParam, 0};
                IsDialogMessageW(o.dialog, &key);
            } else if (s.how == MarkFinished) {
                o.job.finished = true;  // as if the worker had ended
            } else {
                o.Finish();
            }
            Pump();
        }
        EXPECT_EQ(c.cancelled, o.job.cancelledByUser.load());
        EXPECT_EQ(c.cancelled, WaitForSingleObject(o.job.cancel, 0) == WAIT_OBJECT_0);
        // EndDialog hides a modeless dialog; its owner destroys it.
        EXPECT_EQ(c.ended, !IsWindowVisible(o.dialog));
    }
}

TEST(ProgressDialog, TheBarShowsTheBytesOrAMarqueeWhenTheSizeIsUnknown)
{
    struct Report {
        DWORD received, total;
    };
    struct Case {
        const char* label;
        std::vector<Report> reports;
        bool marquee;
        int limit, position;
    };
    // clang-format off
    const Case cases[] = {
        {"a size", {{0, 1000}, {400, 1000}}, false, 1000, 400},
        {"the size of the bar's first range", {{40, 100}}, false, 100, 40},
        {"exactly 2 GiB: scaled alike", {{2147483648u, 2147483648u}}, false, 1073741824, 1073741824},
        {"above 2 GiB: scaled alike", {{3000000000u, 4294967295u}}, false, 2147483647, 1500000000},
        {"no size", {{0, 0}, {5000, 0}}, true, 100, 0},
        {"a size once a resumed download tells it", {{0, 0}, {40000, 100000}}, false, 100000, 40000},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Open o;
        for (const Report& r : c.reports)
            SendMessageW(o.dialog, WM_DOWNLOAD_PROGRESS, r.received, r.total);
        HWND bar = Bar(o.dialog);
        EXPECT_EQ(c.marquee, (GetWindowLongW(bar, GWL_STYLE) & PBS_MARQUEE) != 0);
        EXPECT_EQ(c.limit, static_cast<int>(SendMessageW(bar, PBM_GETRANGE, FALSE, 0)));
        if (!c.marquee) {
            EXPECT_EQ(c.position, static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0)));
        }
    }
}

TEST(ProgressDialog, ItsLineSaysWhenTheConnectionWasLostAndGoesBack)
{
    struct Case {
        const char* label;
        std::vector<int> tries;  // WM_DOWNLOAD_RETRYING in order
        std::wstring line;
    };
    // clang-format off
    const Case cases[] = {
        {"as the template has it", {}, L"Downloading, please wait..."},
        {"lost: the second try about to be made", {2}, L"Connection lost, trying again (2 of 5)..."},
        {"lost again: the fifth", {2, 0, 5}, L"Connection lost, trying again (5 of 5)..."},
        {"bytes flow again", {2, 3, 0}, L"Downloading, please wait..."},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Open o;
        Pump();
        ValidateRect(o.dialog, nullptr);
        for (int tryNumber : c.tries)
            SendMessageW(o.dialog, WM_DOWNLOAD_RETRYING, tryNumber, 0);
        HWND static_ = FindWindowExW(o.dialog, nullptr, L"Static", nullptr);
        WCHAR line[80] = L"";
        GetWindowTextW(static_, line, 80);
        EXPECT_EQ(c.line, line);
        // The line has no background of its own: the dialog's tiles must be
        // drawn again under it, or the new text lies over the old.
        RECT dirty = {}, under = {};
        GetWindowRect(static_, &under);
        MapWindowPoints(nullptr, o.dialog, reinterpret_cast<POINT*>(&under), 2);
        EXPECT_EQ(!c.tries.empty(), GetUpdateRect(o.dialog, &dirty, FALSE) != FALSE);
        if (!c.tries.empty()) {
            RECT both;
            UnionRect(&both, &dirty, &under);
            EXPECT_TRUE(EqualRect(&both, &dirty)) << "the line's place is not drawn again";
        }
    }
}

TEST(ProgressDialog, TilesTheBackgroundFromTheTopLeft)
{
    struct Case {
        const char* label;
        int width, height;
        bool picture;
    };
    // clang-format off
    const Case cases[] = {
        {"smaller than one tile", 200, 100, true},
        {"one pixel over both ways", 298, 298, true},
        {"no picture: the dialog's own brush", 400, 400, false},
    };
    // clang-format on
    HBITMAP tile = static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr),
                                                   MAKEINTRESOURCEW(IDB_DIALOG_BACKGROUND),
                                                   IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
    HDC screen = GetDC(nullptr);
    HDC original = CreateCompatibleDC(screen);
    HGDIOBJ kept = SelectObject(original, tile);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Open o;
        if (!c.picture) {
            DeleteObject(o.state.background);
            o.state.background = nullptr;
        }
        RECT frame = {0, 0, c.width, c.height};
        AdjustWindowRectEx(&frame, GetWindowLongW(o.dialog, GWL_STYLE), FALSE,
                           GetWindowLongW(o.dialog, GWL_EXSTYLE));
        SetWindowPos(o.dialog, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                     SWP_NOMOVE | SWP_NOZORDER);
        HDC canvas = CreateCompatibleDC(screen);
        HGDIOBJ old = SelectObject(canvas, CreateCompatibleBitmap(screen, 600, 600));
        EXPECT_TRUE(SendMessageW(o.dialog, WM_ERASEBKGND, reinterpret_cast<WPARAM>(canvas), 0));
        for (int p : {0, 5, 150, 296}) {
            if (!c.picture) {
                EXPECT_EQ(GetSysColor(COLOR_3DFACE), GetPixel(canvas, p, p));
                continue;
            }
            EXPECT_EQ(GetPixel(original, p, p), GetPixel(canvas, p, p));
            if (c.width > 297) {  // the next tiles start at 297, cut by the client area
                EXPECT_EQ(GetPixel(original, 0, p), GetPixel(canvas, 297, p));
                EXPECT_EQ(GetPixel(original, p, 0), GetPixel(canvas, p, 297));
            }
        }
        DeleteObject(SelectObject(canvas, old));
        DeleteDC(canvas);
    }
    SelectObject(original, kept);
    DeleteDC(original);
    DeleteObject(tile);
    ReleaseDC(nullptr, screen);
}

TEST(ProgressDialog, AWholeModalDownloadEndsWithTheInstallerSavedAndTheBarFull)
{
    loopback::Server server;
    const std::string body(300000, 'n');
    server.Serve("/setup", {Reply{.body = body, .paceBytes = 65536, .paceMs = 60}});
    std::wstring url = server.Url("/setup");
    WCHAR folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    DownloadJob job;
    InitDownloadJob(&job);
    job.url = url.c_str();
    wcscpy(job.installerPath, (std::wstring(folder) + L"rookmini_modal.exe").c_str());
    wcscpy(job.partialPath, (std::wstring(folder) + L"rookmini_modal.partial").c_str());
    job.partialFile = CreateFileW(job.partialPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, 0, nullptr);
    job.cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ProgressDialog state = {&job, nullptr, nullptr, nullptr};

    // The last report reaches the bar before the outcome: seen as it ends.
    static int s_limit, s_position;
    s_limit = s_position = -1;
    HHOOK hook = SetWindowsHookExW(
        WH_CALLWNDPROC,
        [](int code, WPARAM w, LPARAM l) -> LRESULT {
            const CWPSTRUCT* call = reinterpret_cast<const CWPSTRUCT*>(l);
            if (call->message == WM_DESTROY && GetDlgItem(call->hwnd, IDC_DOWNLOAD_PROGRESS)) {
                HWND bar = GetDlgItem(call->hwnd, IDC_DOWNLOAD_PROGRESS);
                s_limit = static_cast<int>(SendMessageW(bar, PBM_GETRANGE, FALSE, 0));
                s_position = static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0));
            }
            return CallNextHookEx(nullptr, code, w, l);
        },
        nullptr, GetCurrentThreadId());
    EXPECT_EQ(0, DialogBoxParamW(g_hInstance, MAKEINTRESOURCEW(IDD_DOWNLOAD_PROGRESS), nullptr,
                                 ProgressDialogProc, reinterpret_cast<LPARAM>(&state)));
    UnhookWindowsHookEx(hook);
    ASSERT_TRUE(job.worker);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(job.worker, 10000));
    CloseHandle(job.worker);
    CloseHandle(job.cancel);
    EXPECT_TRUE(job.saved);
    EXPECT_EQ(300000, s_limit);
    EXPECT_EQ(300000, s_position);
    HANDLE file =
        CreateFileW(job.installerPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(300000u, GetFileSize(file, nullptr));
    CloseHandle(file);
    DeleteFileW(job.installerPath);
}
