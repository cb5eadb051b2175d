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
    BYTE* block;
    DWORD length;  // what the fetch hands over (block: malloc'ed)
    bool exists, writeWhole, deleteFails;
    int deletes, writes;
    DWORD written;
    std::wstring log;
    UINT posted;
    WPARAM tag;
    HWND to;
    bool finishedWhenPosting;
} w;
static DownloadJob* s_job;

static bool FakeFetch(const WCHAR* url, BYTE** body, DWORD* length, FetchProgressCallback progress,
                      void* context, HANDLE cancel)
{
    EXPECT_STREQ(kFullInstallerUrl, url);
    EXPECT_EQ(&OnDownloadProgress, progress);
    EXPECT_EQ(s_job, context);
    EXPECT_EQ(s_job->cancel, cancel);
    *body = w.block;
    *length = w.length;
    return w.block != nullptr;
}
static bool FakeWrite(const WCHAR* path, const BYTE*, DWORD count)
{
    EXPECT_STREQ(s_job->installerPath, path);
    w.writes++;
    w.written = count;
    w.exists = w.writeWhole;  // a writer that fails leaves nothing behind
    return w.writeWhole;
}
static BOOL WINAPI FakeExists(LPCWSTR)
{
    return w.exists;
}
static BOOL WINAPI FakeDelete(LPCWSTR)
{
    w.deletes++;
    if (!w.deleteFails)
        w.exists = false;
    return !w.deleteFails;
}
static void WINAPI FakeLog(LPCWSTR text)
{
    w.log += text;
}
static BOOL WINAPI FakePost(HWND to, UINT message, WPARAM tag, LPARAM)
{
    w.to = to;
    w.posted = message;
    w.tag = tag;
    w.finishedWhenPosting = s_job->finished;
    return TRUE;
}
static const WorkerPlatform kFakeWorker = {.FetchUrl = FakeFetch,
                                           .WriteInstallerFile = FakeWrite,
                                           .PathFileExistsW = FakeExists,
                                           .DeleteFileW = FakeDelete,
                                           .OutputDebugStringW = FakeLog,
                                           .PostMessageW = FakePost};

struct WorkerCase {
    const char* label;
    bool cancelled, block;
    DWORD length;
    bool earlierFile, writeWhole, deleteFails;
    int deletes, writes;
    bool saved;
    const wchar_t* log;
};
// clang-format off
static const WorkerCase kWorkerCases[] = {
    {"complete download", false, true, 5000, false, true, false, 0, 1, true, L""},
    {"complete download replaces an earlier file", false, true, 5000, true, true, false, 1, 1, true, L""},
    {"failed download removes an earlier file", false, false, 0, true, true, false, 1, 0, false, L"RookMini: No download data"},
    {"cancel keeps an earlier file", true, false, 0, true, true, false, 0, 0, false, L"RookMini: No download data"},
    {"cancel during the last read still saves", true, true, 70, true, true, false, 0, 1, true, L""},
    {"empty body", false, true, 0, false, true, false, 0, 0, false, L"RookMini: No download data"},
    {"write fails", false, true, 70, false, false, false, 0, 1, false, L"RookMini: File write failed"},
    {"an earlier file in use is not this run's download", false, true, 70, true, false, true, 1, 1, false, L"RookMini: File write failed"},
};
// clang-format on

TEST(DownloadWorker, OnlyAWholeSaveOfThisRunCountsAsDone)
{
    for (const WorkerCase& c : kWorkerCases) {
        SCOPED_TRACE(c.label);
        DownloadJob job{};
        wcscpy(job.installerPath, L"C:\\staging\\meridian_setupfull.exe");
        job.cancel = reinterpret_cast<HANDLE>(0x77);
        job.dialog = reinterpret_cast<HWND>(0x4711);
        job.cancelledByUser = c.cancelled;
        s_job = &job;
        w = {};
        w.block = c.block ? static_cast<BYTE*>(malloc(c.length + 1)) : nullptr;
        w.length = c.length;
        w.exists = c.earlierFile;
        w.writeWhole = c.writeWhole;
        w.deleteFails = c.deleteFails;
        EXPECT_EQ(0u, DownloadWorkerOn(kFakeWorker, &job));
        EXPECT_EQ(c.deletes, w.deletes);
        EXPECT_EQ(c.writes, w.writes);
        if (c.writes) {
            EXPECT_EQ(c.length, w.written);
        }
        EXPECT_EQ(std::wstring(c.log), w.log);
        EXPECT_EQ(c.saved, job.saved);
        EXPECT_EQ(c.saved ? WM_DOWNLOAD_DONE : WM_DOWNLOAD_FAILED, w.posted);
        EXPECT_EQ(DOWNLOAD_MESSAGE_TAG, w.tag);
        EXPECT_EQ(reinterpret_cast<HWND>(0x4711), w.to);
        EXPECT_TRUE(w.finishedWhenPosting);  // the dialog may end on this message
    }
}

// ---- The progress callback ---------------------------------------------------

struct Sent {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
static std::vector<Sent> s_sent;
static HWND s_bar;
static int s_high;
static HWND WINAPI FakeGetDlgItem(HWND, int id)
{
    return id == IDC_DOWNLOAD_PROGRESS ? s_bar : nullptr;
}
static LRESULT WINAPI FakeSend(HWND, UINT message, WPARAM wParam, LPARAM lParam)
{
    s_sent.push_back({message, wParam, lParam});
    return message == PBM_GETRANGE ? s_high : 77;
}
static LONG s_style;
static LONG WINAPI FakeGetLong(HWND, int index)
{
    EXPECT_EQ(GWL_STYLE, index);
    return s_style;
}
static LONG WINAPI FakeSetLong(HWND, int index, LONG value)
{
    EXPECT_EQ(GWL_STYLE, index);
    LONG before = s_style;
    s_style = value;
    return before;
}
static const ProgressPlatform kFakeProgress = {.GetDlgItem = FakeGetDlgItem,
                                               .SendMessageW = FakeSend,
                                               .GetWindowLongW = FakeGetLong,
                                               .SetWindowLongW = FakeSetLong};

TEST(OnDownloadProgress, SetsTheRangeOnlyWhenItChanges)
{
    const Sent get = {PBM_GETRANGE, FALSE, 0};
    struct Case {
        const char* label;
        bool bar;
        int high, position, total;
        std::vector<Sent> sent;
        LRESULT result;
        bool marquee = false;
    };
    // clang-format off
    const Case cases[] = {
        {"no dialog open", false, 100, 10, 500, {}, 0},
        {"first report of a length", true, 100, 32700, 90000, {get, {PBM_SETRANGE32, 0, 90000}, {PBM_SETPOS, 32700, 0}}, 77},
        {"later report", true, 90000, 65400, 90000, {get, {PBM_SETPOS, 65400, 0}}, 77},
        {"length of exactly 100", true, 100, 40, 100, {get, {PBM_SETPOS, 40, 0}}, 77},
        {"no Content-Length: a marquee", true, 100, -1, -1, {{PBM_SETMARQUEE, TRUE, 0}}, 77, true},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        s_sent.clear();
        s_bar = c.bar ? reinterpret_cast<HWND>(0x99) : nullptr;
        s_high = c.high;
        s_style = WS_CHILD | WS_VISIBLE | WS_BORDER;
        DownloadJob job{};
        job.dialog = reinterpret_cast<HWND>(0x98);
        EXPECT_EQ(c.result, OnDownloadProgressOn(kFakeProgress, &job, c.position, c.total));
        EXPECT_EQ(c.marquee, (s_style & PBS_MARQUEE) != 0);
        EXPECT_EQ(static_cast<LONG>(WS_CHILD | WS_VISIBLE | WS_BORDER), s_style & ~PBS_MARQUEE);
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
static DWORD s_writes;  // bytes the write call says it wrote; -1: the call fails
static int s_closed, s_deleted;
static HANDLE WINAPI FakeCreate(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    return s_created;
}
static BOOL WINAPI FakeWriteFile(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED)
{
    if (s_writes == static_cast<DWORD>(-1))
        return FALSE;
    *written = s_writes;
    return TRUE;
}
static BOOL WINAPI FakeClose(HANDLE)
{
    EXPECT_EQ(0, s_deleted);
    s_closed++;
    return TRUE;
}
static BOOL WINAPI FakeDeleteWritten(LPCWSTR)
{
    s_deleted++;
    return TRUE;
}

TEST(WriteInstallerFile, SavesWholeOrRemovesWhatItWrote)
{
    const BYTE bytes[3] = {1, 2, 3};
    struct Case {
        const char* label;
        HANDLE created;
        DWORD writes;
        bool whole;
        int closed, deleted;
    };
    const HANDLE file = reinterpret_cast<HANDLE>(0x88);
    // clang-format off
    const Case cases[] = {
        {"null handle", nullptr, 3, false, 0, 0},
        {"invalid handle", INVALID_HANDLE_VALUE, 3, false, 0, 0},
        {"write refused after the file was created", file, static_cast<DWORD>(-1), false, 1, 1},
        {"short write", file, 2, false, 1, 1},
        {"whole write", file, 3, true, 1, 0},
    };
    // clang-format on
    const InstallerFilePlatform fake = {.CreateFileW = FakeCreate,
                                        .WriteFile = FakeWriteFile,
                                        .CloseHandle = FakeClose,
                                        .DeleteFileW = FakeDeleteWritten};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        s_created = c.created;
        s_writes = c.writes;
        s_closed = s_deleted = 0;
        EXPECT_EQ(c.whole, WriteInstallerFileOn(fake, L"C:\\x\\setup.exe", bytes, 3));
        EXPECT_EQ(c.closed, s_closed);
        EXPECT_EQ(c.deleted, s_deleted);
    }
}

TEST(WriteInstallerFile, ReplacesALongerEarlierFileWhole)
{
    WCHAR folder[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"rmi", 0, path);
    std::string earlier(100000, 'x'), body = "MZ\x90 new installer";
    ASSERT_TRUE(
        WriteInstallerFile(path, reinterpret_cast<const BYTE*>(earlier.data()), earlier.size()));
    ASSERT_TRUE(WriteInstallerFile(path, reinterpret_cast<const BYTE*>(body.data()), body.size()));
    HANDLE file = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    char back[64] = {};
    DWORD read = 0;
    ReadFile(file, back, sizeof(back), &read, nullptr);
    CloseHandle(file);
    DeleteFileW(path);
    EXPECT_EQ(body, std::string(back, read));
}
