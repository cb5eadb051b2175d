// The worker's outcome and delete rule, the progress-range rule and the
// installer file writer, each through its platform table.
#include "ui/download_ui.h"

#include "res/resource.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

// ---- The worker --------------------------------------------------------------

static struct {
    BYTE* block; DWORD length;        // what the fetch hands over (block: malloc'ed)
    bool exists, writeCreates, deleteFails;
    int deletes, writes; DWORD written;
    std::wstring log; UINT posted; WPARAM tag; HWND to;
} w;

static bool FakeFetch(const WCHAR* url, BYTE** body, DWORD* length, FetchProgressCallback progress)
{
    EXPECT_STREQ(kFullInstallerUrl, url);
    EXPECT_EQ(&OnDownloadProgress, progress);
    *body = w.block;
    *length = w.length;
    return w.block != nullptr;
}
static bool FakeWrite(const BYTE*, DWORD count) { w.writes++; w.written = count; if (w.writeCreates) w.exists = true; return true; }
static BOOL WINAPI FakeExists(LPCWSTR) { return w.exists; }
static BOOL WINAPI FakeDelete(LPCWSTR) { w.deletes++; if (!w.deleteFails) w.exists = false; return !w.deleteFails; }
static void WINAPI FakeLog(LPCWSTR text) { w.log += text; }
static BOOL WINAPI FakePost(HWND to, UINT message, WPARAM tag, LPARAM) { w.to = to; w.posted = message; w.tag = tag; return TRUE; }
static const WorkerPlatform kFakeWorker = {FakeFetch, FakeWrite, FakeExists, FakeDelete, FakeLog, FakePost};

struct WorkerCase {
    const char* label;
    bool cancelled, block; DWORD length; bool earlierFile, writeCreates, deleteFails;
    int deletes, writes; UINT outcome; const wchar_t* log;
};
static const WorkerCase kWorkerCases[] = {
    {"complete download", false, true, 5000, false, true, false, 0, 1, WM_DOWNLOAD_DONE, L""},
    {"complete download replaces an earlier file", false, true, 5000, true, true, false, 1, 1, WM_DOWNLOAD_DONE, L""},
    {"failed download removes an earlier file", false, false, 0, true, true, false, 1, 0, WM_DOWNLOAD_FAILED, L"RookMini: No download data"},
    {"cancel keeps an earlier file", true, false, 0, true, true, false, 0, 0, WM_DOWNLOAD_FAILED, L"RookMini: No download data"},
    {"cancel during the last read still saves", true, true, 70, true, true, false, 0, 1, WM_DOWNLOAD_DONE, L""},
    {"empty body", false, true, 0, false, true, false, 0, 0, WM_DOWNLOAD_FAILED, L"RookMini: No download data"},
    {"file not created", false, true, 70, false, false, false, 0, 1, WM_DOWNLOAD_FAILED, L"RookMini: File write failed"},
    {"earlier file in use counts as done", false, true, 70, true, false, true, 1, 1, WM_DOWNLOAD_DONE, L""},
};

TEST(DownloadWorker, DecidesByTheFileOnDisk)
{
    g_hProgressDialog = reinterpret_cast<HWND>(0x4711);
    for (const WorkerCase& c : kWorkerCases) {
        SCOPED_TRACE(c.label);
        w = {};
        w.block = c.block ? static_cast<BYTE*>(malloc(c.length + 1)) : nullptr;
        w.length = c.length;
        w.exists = c.earlierFile;
        w.writeCreates = c.writeCreates;
        w.deleteFails = c.deleteFails;
        g_bCancelledByUser = c.cancelled;
        EXPECT_EQ(0u, DownloadWorkerOn(kFakeWorker));
        EXPECT_EQ(c.deletes, w.deletes);
        EXPECT_EQ(c.writes, w.writes);
        if (c.writes) {
            EXPECT_EQ(c.length, w.written);
        }
        EXPECT_EQ(std::wstring(c.log), w.log);
        EXPECT_EQ(c.outcome, w.posted);
        EXPECT_EQ(DOWNLOAD_MESSAGE_TAG, w.tag);
        EXPECT_EQ(g_hProgressDialog.load(), w.to);
    }
    g_bCancelledByUser = false;
    g_hProgressDialog = nullptr;
}

// ---- The progress callback ---------------------------------------------------

struct Sent { UINT message; WPARAM wParam; LPARAM lParam; };
static std::vector<Sent> s_sent;
static HWND s_bar;
static int s_high;
static HWND WINAPI FakeGetDlgItem(HWND, int id) { return id == IDC_DOWNLOAD_PROGRESS ? s_bar : nullptr; }
static LRESULT WINAPI FakeSend(HWND, UINT message, WPARAM wParam, LPARAM lParam)
{
    s_sent.push_back({message, wParam, lParam});
    return message == PBM_GETRANGE ? s_high : 77;
}
static const ProgressPlatform kFakeProgress = {FakeGetDlgItem, FakeSend};

TEST(OnDownloadProgress, SetsTheRangeOnlyWhenItChanges)
{
    const Sent get = {PBM_GETRANGE, FALSE, 0};
    struct Case { const char* label; bool bar; int high, position, total; std::vector<Sent> sent; LRESULT result; };
    const Case cases[] = {
        {"no dialog open", false, 100, 10, 500, {}, 0},
        {"first report of a length", true, 100, 32700, 90000, {get, {PBM_SETRANGE32, 0, 90000}, {PBM_SETPOS, 32700, 0}}, 77},
        {"later report", true, 90000, 65400, 90000, {get, {PBM_SETPOS, 65400, 0}}, 77},
        {"length of exactly 100", true, 100, 40, 100, {get, {PBM_SETPOS, 40, 0}}, 77},
        {"no Content-Length", true, 100, -1, -1, {get, {PBM_SETRANGE32, 0, -1}, {PBM_SETPOS, static_cast<WPARAM>(-1), 0}}, 77},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        s_sent.clear();
        s_bar = c.bar ? reinterpret_cast<HWND>(0x99) : nullptr;
        s_high = c.high;
        EXPECT_EQ(c.result, OnDownloadProgressOn(kFakeProgress, c.position, c.total));
        ASSERT_EQ(c.sent.size(), s_sent.size());
        for (size_t i = 0; i < s_sent.size(); ++i) {
            EXPECT_EQ(c.sent[i].message, s_sent[i].message);
            EXPECT_EQ(c.sent[i].wParam, s_sent[i].wParam);
            EXPECT_EQ(c.sent[i].lParam, s_sent[i].lParam);
        }
    }
}

// ---- The installer file writer -------------------------------------------------

static HANDLE s_created;
static int s_closed;
static HANDLE WINAPI FakeCreate(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) { return s_created; }
static BOOL WINAPI FakeWriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) { return FALSE; }
static BOOL WINAPI FakeClose(HANDLE) { s_closed++; return TRUE; }

TEST(WriteInstallerFile, ReportsFailuresAndReleasesTheFile)
{
    const BYTE bytes[3] = {1, 2, 3};
    struct Case { const char* label; HANDLE created; int closed; };
    const Case cases[] = {
        {"null handle", nullptr, 0},
        {"invalid handle", INVALID_HANDLE_VALUE, 0},
        {"write refused after the file was created", reinterpret_cast<HANDLE>(0x88), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        s_created = c.created;
        s_closed = 0;
        EXPECT_FALSE(WriteInstallerFileOn({FakeCreate, FakeWriteFile, FakeClose}, bytes, 3));
        EXPECT_EQ(c.closed, s_closed);
    }
}

TEST(WriteInstallerFile, ReplacesALongerEarlierFileWhole)
{
    WCHAR folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"rmi", 0, g_szInstallerPath);
    std::string earlier(100000, 'x'), body = "MZ\x90 new installer";
    ASSERT_TRUE(WriteInstallerFile(reinterpret_cast<const BYTE*>(earlier.data()), earlier.size()));
    ASSERT_TRUE(WriteInstallerFile(reinterpret_cast<const BYTE*>(body.data()), body.size()));
    HANDLE file = CreateFileW(g_szInstallerPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    char back[64] = {};
    DWORD read = 0;
    ReadFile(file, back, sizeof(back), &read, nullptr);
    CloseHandle(file);
    DeleteFileW(g_szInstallerPath);
    EXPECT_EQ(body, std::string(back, read));
}
