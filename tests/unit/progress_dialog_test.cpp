// The progress dialog from the real template 9, driven with real windows:
// opening, the commands and worker messages, the background tiling, and whole
// modal downloads with a worker thread that reports across threads.
#include "ui/download_ui.h"

#include "res/resource.h"

#include <commctrl.h>
#include <gtest/gtest.h>
#include <shlwapi.h>

#include <stdlib.h>
#include <string.h>
#include <vector>

static struct {
    bool noLargeIcon, noBitmap, noThread;
    int threads, deletes, deletedObjects;
    std::vector<HICON> destroyedIcons;
    std::vector<POINT> tiles;
} d;

static HANDLE WINAPI FakeLoadImage(HINSTANCE i, LPCWSTR name, UINT type, int cx, int cy, UINT flags)
{
    if ((type == IMAGE_BITMAP && d.noBitmap) || (type == IMAGE_ICON && cx == 32 && d.noLargeIcon))
        return nullptr;
    return LoadImageW(i, name, type, cx, cy, flags);
}
static BOOL WINAPI FakeDestroyIcon(HICON icon)
{
    d.destroyedIcons.push_back(icon);
    return DestroyIcon(icon);
}
static BOOL WINAPI FakeDeleteObject(HGDIOBJ object)
{
    d.deletedObjects++;
    return DeleteObject(object);
}
static BOOL WINAPI FakeBitBlt(HDC t, int x, int y, int cx, int cy, HDC s, int sx, int sy, DWORD rop)
{
    EXPECT_EQ(297, cx);
    EXPECT_EQ(297, cy);
    d.tiles.push_back({x, y});
    return BitBlt(t, x, y, cx, cy, s, sx, sy, rop);
}
static DWORD WINAPI NeverRun(LPVOID)
{
    return 0;
}
static DownloadJob* s_job = nullptr;
static HANDLE WINAPI FakeCreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start,
                                      LPVOID parameter, DWORD, LPDWORD)
{
    EXPECT_EQ(&NeverRun, start);
    EXPECT_EQ(s_job, parameter);
    d.threads++;
    return d.noThread ? nullptr : reinterpret_cast<HANDLE>(0x5150);
}
static BOOL WINAPI FakeDeleteFile(LPCWSTR path)
{
    EXPECT_STREQ(s_job->installerPath, path);
    d.deletes++;
    return TRUE;
}
static std::vector<HWND> s_ended;
static BOOL WINAPI FakeEndDialog(HWND dialog, INT_PTR result)
{
    EXPECT_EQ(0, result);
    s_ended.push_back(dialog);
    return TRUE;
}

static const DialogPlatform kFakeDialog = {.LoadImageW = FakeLoadImage,
                                           .DestroyIcon = FakeDestroyIcon,
                                           .DeleteObject = FakeDeleteObject,
                                           .BitBlt = FakeBitBlt,
                                           .CreateThread = FakeCreateThread,
                                           .DeleteFileW = FakeDeleteFile,
                                           .EndDialog = FakeEndDialog,
                                           .DownloadWorker = NeverRun};
static INT_PTR CALLBACK FakeProc(HWND h, UINT m, WPARAM w, LPARAM l)
{
    return ProgressDialogProcOn(kFakeDialog, h, m, w, l);
}

static void Pump()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
}

static HWND Open(bool noLargeIcon = false, bool noBitmap = false, bool noThread = false)
{
    d = {};
    d.noLargeIcon = noLargeIcon, d.noBitmap = noBitmap, d.noThread = noThread;
    g_hInstance = GetModuleHandleW(nullptr);
    if (s_job) {
        CloseHandle(s_job->cancel);
        delete s_job;
    }
    s_job = new DownloadJob{};
    s_job->cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wcscpy(s_job->installerPath, L"C:\\nowhere\\setup.exe");
    s_ended.clear();
    return CreateDialogParamW(g_hInstance, MAKEINTRESOURCEW(IDD_DOWNLOAD_PROGRESS), nullptr,
                              FakeProc, reinterpret_cast<LPARAM>(s_job));
}

static bool Ended(HWND dialog)
{
    return s_ended == std::vector<HWND>{dialog};
}

TEST(ProgressDialog, OpensWithIconsWorkerAndNoCloseButton)
{
    for (bool noLargeIcon : {false, true}) {
        SCOPED_TRACE(noLargeIcon ? "32x32 icon missing: the 16x16 serves both" : "both icon sizes");
        HWND dialog = Open(noLargeIcon);
        ASSERT_TRUE(dialog);
        EXPECT_EQ(dialog, s_job->dialog.load());
        EXPECT_TRUE(GetClassLongPtrW(dialog, GCL_STYLE) & CS_NOCLOSE);
        EXPECT_EQ(1, d.threads);
        EXPECT_EQ(reinterpret_cast<HANDLE>(0x5150), s_job->worker);  // kept to be waited for
        EXPECT_FALSE(s_job->finished);
        HICON small = reinterpret_cast<HICON>(SendMessageW(dialog, WM_GETICON, ICON_SMALL, 0));
        HICON large = reinterpret_cast<HICON>(SendMessageW(dialog, WM_GETICON, ICON_BIG, 0));
        ASSERT_TRUE(small);
        EXPECT_EQ(noLargeIcon, small == large);

        HDC dc = GetDC(dialog);
        EXPECT_EQ(reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH)),
                  SendMessageW(dialog, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), 0));
        EXPECT_EQ(TRANSPARENT, GetBkMode(dc));
        ReleaseDC(dialog, dc);

        DestroyWindow(dialog);
        EXPECT_EQ(nullptr, s_job->dialog.load());
        EXPECT_EQ(1, d.deletedObjects);
        const std::vector<HICON> destroyed =
            noLargeIcon ? std::vector<HICON>{small} : std::vector<HICON>{large, small};
        EXPECT_EQ(destroyed, d.destroyedIcons);
    }
}

TEST(ProgressDialog, AWorkerThatCannotStartStillEndsTheDialog)
{
    HWND dialog = Open(false, false, true);
    ASSERT_TRUE(dialog);
    Pump();
    EXPECT_TRUE(Ended(dialog));
    EXPECT_EQ(nullptr, s_job->worker);
    EXPECT_TRUE(s_job->finished);
    EXPECT_FALSE(s_job->saved);
    EXPECT_EQ(1, d.deletes);  // no earlier installer is left to be started
    DestroyWindow(dialog);
}

TEST(ProgressDialog, CancelStopsTheFetchAndOnlyAFinishedWorkerEndsTheDialog)
{
    enum How { Send, Post, Key, Finish };
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
    const Step finish = {Finish, 0, 0};
    // clang-format off
    const Case cases[] = {
        {"Cancel button", {{Send, WM_COMMAND, IDCANCEL}}, true, false},
        {"Enter", {{Send, WM_COMMAND, IDOK}}, true, false},
        {"Esc key", {{Key, WM_KEYDOWN, VK_ESCAPE}}, true, false},
        {"close request", {{Post, WM_CLOSE, 0}}, true, false},
        {"other command", {{Send, WM_COMMAND, IDC_DOWNLOAD_PROGRESS}}, false, false},
        {"done", {finish, {Post, WM_DOWNLOAD_DONE, DOWNLOAD_MESSAGE_TAG}}, false, true},
        {"failed", {finish, {Post, WM_DOWNLOAD_FAILED, DOWNLOAD_MESSAGE_TAG}}, false, true},
        {"done without the tag", {finish, {Post, WM_DOWNLOAD_DONE, DOWNLOAD_MESSAGE_TAG + 1}}, false, false},
        {"failed without the tag", {finish, {Post, WM_DOWNLOAD_FAILED, 0}}, false, false},
        {"the worker's message before it has finished",
         {{Post, WM_DOWNLOAD_DONE, DOWNLOAD_MESSAGE_TAG}, {Post, WM_DOWNLOAD_FAILED, DOWNLOAD_MESSAGE_TAG}}, false, false},
        {"cancelling, then the worker reports",
         {{Send, WM_COMMAND, IDCANCEL}, {Send, WM_COMMAND, IDCANCEL}, finish, {Post, WM_DOWNLOAD_FAILED, DOWNLOAD_MESSAGE_TAG}}, true, true},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        HWND dialog = Open();
        Pump();
        for (const Step& s : c.steps) {
            if (s.how == Send)
                SendMessageW(dialog, s.message, s.wParam, 0);
            else if (s.how == Post)
                PostMessageW(dialog, s.message, s.wParam, 0);
            else if (s.how == Key) {
                MSG key = {GetFocus(), s.message, s.wParam, 0};
                IsDialogMessageW(dialog, &key);
            } else {
                s_job->finished = true;
            }
            Pump();
        }
        EXPECT_EQ(c.cancelled, s_job->cancelledByUser.load());
        EXPECT_EQ(c.cancelled, WaitForSingleObject(s_job->cancel, 0) == WAIT_OBJECT_0);
        EXPECT_EQ(c.ended, Ended(dialog));
        DestroyWindow(dialog);
    }
}

TEST(ProgressDialog, TilesTheBackgroundFromTheTopLeft)
{
    struct Case {
        const char* label;
        int width, height;
        bool picture;
        std::vector<POINT> tiles;
    };
    // clang-format off
    const Case cases[] = {
        {"smaller than one tile", 200, 100, true, {{0, 0}}},
        {"exactly two tiles wide", 594, 100, true, {{0, 0}, {297, 0}}},
        {"one pixel over both ways", 298, 298, true, {{0, 0}, {297, 0}, {0, 297}, {297, 297}}},
        {"no picture: nothing tiled", 400, 400, false, {}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        HWND dialog = Open(false, !c.picture);
        RECT frame = {0, 0, c.width, c.height};
        AdjustWindowRectEx(&frame, GetWindowLongW(dialog, GWL_STYLE), FALSE,
                           GetWindowLongW(dialog, GWL_EXSTYLE));
        SetWindowPos(dialog, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                     SWP_NOMOVE | SWP_NOZORDER);
        HDC screen = GetDC(dialog), canvas = CreateCompatibleDC(screen);
        HGDIOBJ old = SelectObject(canvas, CreateCompatibleBitmap(screen, 600, 600));
        d.tiles.clear();
        EXPECT_TRUE(SendMessageW(dialog, WM_ERASEBKGND, reinterpret_cast<WPARAM>(canvas), 0));
        if (!c.picture) {  // the dialog's own brush erased instead
            EXPECT_EQ(GetSysColor(COLOR_3DFACE), GetPixel(canvas, 10, 10));
        }
        ASSERT_EQ(c.tiles.size(), d.tiles.size());
        for (size_t i = 0; i < c.tiles.size(); ++i) {
            EXPECT_EQ(c.tiles[i].x, d.tiles[i].x);
            EXPECT_EQ(c.tiles[i].y, d.tiles[i].y);
        }
        if (c.tiles.size() == 4) {  // the same picture repeats at the tile size
            for (int p : {0, 5, 150, 296})
                EXPECT_EQ(GetPixel(canvas, p, p), GetPixel(canvas, p + 297, p));
        }
        DeleteObject(SelectObject(canvas, old));
        DeleteDC(canvas);
        ReleaseDC(dialog, screen);
        DestroyWindow(dialog);
    }
}

// ---- A whole modal download, the worker on its own thread --------------------
// (Cancel during a real transfer is covered end to end.)

static int s_high, s_position;

static bool ModalFetch(const WCHAR*, BYTE** body, DWORD* length, FetchProgressCallback progress,
                       void* context, HANDLE)
{
    const int total = 100000;
    for (int position = 32700; position < total + 32700; position += 32700)
        progress(context, position < total ? position : total, total);
    HWND bar = GetDlgItem(static_cast<DownloadJob*>(context)->dialog, IDC_DOWNLOAD_PROGRESS);
    s_high = static_cast<int>(SendMessageW(bar, PBM_GETRANGE, FALSE, 0));
    s_position = static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0));
    *body = static_cast<BYTE*>(malloc(total));
    memset(*body, 'n', total);
    *length = total;
    return true;
}
static const WorkerPlatform kModalWorker = {.FetchUrl = ModalFetch,
                                            .WriteInstallerFile = WriteInstallerFile,
                                            .PathFileExistsW = PathFileExistsW,
                                            .DeleteFileW = DeleteFileW,
                                            .OutputDebugStringW = OutputDebugStringW,
                                            .PostMessageW = PostMessageW};
static DWORD WINAPI ModalWorker(LPVOID job)
{
    return DownloadWorkerOn(kModalWorker, static_cast<DownloadJob*>(job));
}
static const DialogPlatform kModalDialog = {.LoadImageW = LoadImageW,
                                            .DestroyIcon = DestroyIcon,
                                            .DeleteObject = DeleteObject,
                                            .BitBlt = BitBlt,
                                            .CreateThread = CreateThread,
                                            .DeleteFileW = DeleteFileW,
                                            .EndDialog = EndDialog,
                                            .DownloadWorker = ModalWorker};
static INT_PTR CALLBACK ModalProc(HWND h, UINT msg, WPARAM w, LPARAM l)
{
    return ProgressDialogProcOn(kModalDialog, h, msg, w, l);
}

TEST(ProgressDialog, ShowsProgressAcrossThreadsAndEndsWhenTheWorkerHasSaved)
{
    WCHAR folder[MAX_PATH];
    DownloadJob job{};
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"rmd", 0, job.installerPath);
    job.cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(0, DialogBoxParamW(g_hInstance, MAKEINTRESOURCEW(IDD_DOWNLOAD_PROGRESS), nullptr,
                                 ModalProc, reinterpret_cast<LPARAM>(&job)));
    ASSERT_TRUE(job.worker);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(job.worker, 10000));
    CloseHandle(job.worker);
    CloseHandle(job.cancel);
    EXPECT_EQ(nullptr, job.dialog.load());
    EXPECT_TRUE(job.saved);
    EXPECT_EQ(100000, s_high);  // the reports reached (N, N)
    EXPECT_EQ(100000, s_position);
    HANDLE file =
        CreateFileW(job.installerPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(100000u, GetFileSize(file, nullptr));
    CloseHandle(file);
    DeleteFileW(job.installerPath);
}
