// FetchUrl against a scripted WinINet and heap: every outcome with its lines,
// the request sizes, progress reports, cancellation, a silent host, the
// growth of the block without a Content-Length and the closing of the handles.
// The scripted WinINet answers operations at once or as pending, completing
// them through the fetch's status callback; a stalled operation never ends.
#include "net/fetch_platform.h"

#include <gtest/gtest.h>

#include "support/log_format.h"

#include <stdarg.h>
#include <stdlib.h>

#include <string>
#include <utility>
#include <vector>

namespace {

struct Script {
    bool loadFails = false;  // wininet.dll or a function cannot be had
    bool openFails = false;
    bool canonFails = false;
    bool openUrlFails = false;
    bool openPending = false;       // the open answers through the callback
    bool openStalls = false;        // the open never ends
    bool statusQueryFails = false;  // a failed query still leaves status behind
    DWORD status = 200;
    bool lengthQueryFails = false;  // likewise contentLength
    DWORD contentLength = 0;        // 0: the response has none
    DWORD bodySize = 0;             // what the server sends, maybe more than announced
    DWORD perRead = kReadChunk;
    bool readsPending = false;       // every wait for data and read answers through the callback
    int readFailsAt = 0;             // 1-based read call that fails; 0 never
    int stallAtRead = 0;             // 1-based wait for data that never ends; 0 never
    DWORD stallEnds = WAIT_TIMEOUT;  // how the wait for a stalled operation ends
    bool noClosingNotice = false;    // closing the request is never confirmed
    int cancelAtRead = 0;            // 1-based wait for data during which Cancel is pressed
    bool mallocFails = false;
    int reallocFailsAt = 0;  // 1-based realloc call that fails; 0 never
};

HINTERNET const kInternet = reinterpret_cast<HINTERNET>(0x1000);
HINTERNET const kRequest = reinterpret_cast<HINTERNET>(0x2000);

// What one fetch did; reset before each.
struct Seen {
    DWORD served = 0;
    int reads = 0, queries = 0, reallocs = 0;
    bool queryAnswered = false;       // a pending query ended: asked again, it answers
    DWORD ready = 0;                  // arrived and not yet read
    std::vector<std::wstring> lines;  // "D " direct, "L " through the log
    std::vector<std::string> closes;
    std::vector<DWORD> requests;
    std::vector<size_t> mallocSizes, reallocSizes;
    std::vector<std::pair<int, int>> progressCalls;
    std::vector<std::pair<DWORD, DWORD>> options;  // option, value
    std::vector<DWORD> waits;                      // time-outs of the waits
    std::wstring openedUrl, agent;
    DWORD openFlags = 0, openAccess = 0, internetFlags = 0, canonLength = 0, canonFlags = 0;
    bool internetOpened = false;
    INTERNET_STATUS_CALLBACK callback = nullptr;
    DWORD_PTR context = 0;
    bool stalled = false;  // an operation is pending and will never end
    DWORD lastError = 0;
    BYTE* liveBlock = nullptr;
    size_t liveSize = 0;
    int liveBlocks = 0;
    bool readOutsideBlock = false;
};

Script s;
Seen seen;

BYTE Pattern(DWORD i)
{
    return static_cast<BYTE>(i * 7 + 3);
}

void Notify(DWORD status, DWORD_PTR result)
{
    INTERNET_ASYNC_RESULT async = {result, 0};
    seen.callback(kRequest, seen.context, status, &async, sizeof(async));
}

HINTERNET WINAPI FakeOpen(LPCWSTR a, DWORD acc, LPCWSTR, LPCWSTR, DWORD flags)
{
    seen.internetOpened = true;
    seen.agent = a;
    seen.openAccess = acc;
    seen.internetFlags = flags;
    return s.openFails ? nullptr : kInternet;
}

BOOL WINAPI FakeSetOption(HINTERNET internet, DWORD option, LPVOID value, DWORD size)
{
    EXPECT_EQ(kInternet, internet);
    EXPECT_EQ(4u, size);
    seen.options.push_back({option, *static_cast<DWORD*>(value)});
    return TRUE;
}

INTERNET_STATUS_CALLBACK WINAPI FakeSetCallback(HINTERNET internet,
                                                INTERNET_STATUS_CALLBACK callback)
{
    EXPECT_EQ(kInternet, internet);
    seen.callback = callback;
    return nullptr;
}

BOOL WINAPI FakeCanonicalize(LPCWSTR, LPWSTR buffer, LPDWORD length, DWORD flags)
{
    seen.canonLength = *length;
    seen.canonFlags = flags;
    wcscpy(buffer, L"http://rewritten.example/");
    return !s.canonFails;
}

HINTERNET WINAPI FakeOpenUrl(HINTERNET internet, LPCWSTR url, LPCWSTR, DWORD, DWORD flags,
                             DWORD_PTR context)
{
    EXPECT_EQ(kInternet, internet);
    seen.openedUrl = url;
    seen.openFlags = flags;
    seen.context = context;
    if (s.openFails || s.openUrlFails) {
        seen.lastError = ERROR_INTERNET_NAME_NOT_RESOLVED;
        return nullptr;
    }
    if (!s.openPending && !s.openStalls)
        return kRequest;
    Notify(INTERNET_STATUS_HANDLE_CREATED, reinterpret_cast<DWORD_PTR>(kRequest));
    seen.lastError = ERROR_IO_PENDING;
    seen.stalled = s.openStalls;
    if (!s.openStalls)
        Notify(INTERNET_STATUS_REQUEST_COMPLETE, reinterpret_cast<DWORD_PTR>(kRequest));
    return nullptr;
}

BOOL WINAPI FakeQuery(HINTERNET request, DWORD level, LPVOID buffer, LPDWORD length, LPDWORD)
{
    EXPECT_EQ(kRequest, request);
    EXPECT_EQ(4u, *length);
    if (level == (HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER)) {
        *static_cast<DWORD*>(buffer) = s.status;
        return !s.statusQueryFails;
    }
    EXPECT_EQ(static_cast<DWORD>(HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER), level);
    *static_cast<DWORD*>(buffer) = s.contentLength;
    return s.contentLength && !s.lengthQueryFails;
}

HANDLE g_cancel = nullptr;  // the cancel event of the current fetch, if any

// The host sends its body in pieces of perRead bytes, the next piece once a
// wait for data finds nothing left to read; `ready` is what has arrived and
// not been read.
DWORD NextPiece()
{
    DWORD n = s.bodySize - seen.served - seen.ready;
    return n < s.perRead ? n : s.perRead;
}

// One wait for data: Cancel may be pressed during it, or the host stall.
bool WaitStep()
{
    ++seen.queries;
    if (seen.queries == s.cancelAtRead)
        SetEvent(g_cancel);
    if (seen.queries == s.stallAtRead) {
        seen.stalled = true;
        seen.lastError = ERROR_IO_PENDING;
        return false;
    }
    return true;
}

BOOL WINAPI FakeQueryData(HINTERNET file, LPDWORD available, DWORD flags, DWORD_PTR context)
{
    EXPECT_EQ(kRequest, file);
    EXPECT_EQ(0u, flags);
    EXPECT_EQ(0u, context);
    if (seen.queryAnswered) {
        seen.queryAnswered = false;
        *available = seen.ready;
        return TRUE;
    }
    if (!WaitStep())
        return FALSE;
    if (seen.ready == 0)
        seen.ready = NextPiece();
    if (!s.readsPending) {
        *available = seen.ready;
        return TRUE;
    }
    seen.queryAnswered = true;
    seen.lastError = ERROR_IO_PENDING;
    Notify(INTERNET_STATUS_REQUEST_COMPLETE, TRUE);
    return FALSE;
}

// Hands over what has arrived, at most toRead bytes.
DWORD Take(BYTE* at, DWORD toRead)
{
    if (at < seen.liveBlock || at + toRead > seen.liveBlock + seen.liveSize)
        seen.readOutsideBlock = true;
    DWORD n = seen.ready < toRead ? seen.ready : toRead;
    for (DWORD i = 0; i < n; ++i)
        at[i] = Pattern(seen.served + i);
    seen.served += n;
    seen.ready -= n;
    if (n)
        seen.requests.push_back(toRead);
    return n;
}

BOOL WINAPI FakeRead(HINTERNET file, LPVOID buffer, DWORD toRead, LPDWORD read)
{
    EXPECT_EQ(kRequest, file);
    ++seen.reads;
    bool ok = seen.reads != s.readFailsAt;
    if (ok)
        *read = Take(static_cast<BYTE*>(buffer), toRead);
    if (!s.readsPending) {
        seen.lastError = ERROR_INTERNET_CONNECTION_RESET;
        return ok;
    }
    seen.lastError = ERROR_IO_PENDING;
    Notify(INTERNET_STATUS_REQUEST_COMPLETE, ok);
    return FALSE;
}

BOOL WINAPI FakeReadNoWait(HINTERNET file, LPINTERNET_BUFFERSA buffers, DWORD flags, DWORD_PTR)
{
    EXPECT_EQ(kRequest, file);
    EXPECT_EQ(static_cast<DWORD>(IRF_NO_WAIT), flags);
    EXPECT_EQ(sizeof(INTERNET_BUFFERSA), buffers->dwStructSize);
    if (s.readsPending && seen.ready == 0 && NextPiece() != 0) {
        // As Wine does: pending until data has arrived, then ended having
        // read nothing, the length left as it was asked for.
        if (!WaitStep())
            return FALSE;
        seen.ready = NextPiece();
        seen.lastError = ERROR_IO_PENDING;
        Notify(INTERNET_STATUS_REQUEST_COMPLETE, TRUE);
        return FALSE;
    }
    buffers->dwBufferLength = Take(static_cast<BYTE*>(buffers->lpvBuffer), buffers->dwBufferLength);
    return TRUE;
}

BOOL WINAPI FakeClose(HINTERNET handle)
{
    seen.closes.push_back(handle == kRequest ? "url" : handle == kInternet ? "internet" : "other");
    if (handle == kRequest && !s.noClosingNotice)
        Notify(INTERNET_STATUS_HANDLE_CLOSING, 0);
    return TRUE;
}

bool FakeLoad(WinInetApi* api)
{
    if (s.loadFails)
        return false;
    *api = WinInetApi{
        .InternetOpenW = FakeOpen,
        .InternetSetOptionW = FakeSetOption,
        .InternetSetStatusCallbackW = FakeSetCallback,
        .InternetCanonicalizeUrlW = FakeCanonicalize,
        .InternetOpenUrlW = FakeOpenUrl,
        .HttpQueryInfoW = FakeQuery,
        .InternetQueryDataAvailable = FakeQueryData,
        .InternetReadFile = FakeRead,
        .InternetReadFileExA = FakeReadNoWait,
        .InternetCloseHandle = FakeClose,
    };
    return true;
}

// A stalled operation ends as the script says; every other wait finds its
// event already set by the scripted completion.
DWORD WINAPI FakeWait(DWORD count, const HANDLE* handles, BOOL all, DWORD timeout)
{
    seen.waits.push_back(timeout);
    DWORD now = WaitForMultipleObjects(count, handles, all, 0);
    if (now == WAIT_OBJECT_0 || !seen.stalled)
        return now;
    return s.stallEnds;
}

DWORD WINAPI FakeGetLastError()
{
    return seen.lastError;
}

void WINAPI FakeOutput(LPCWSTR text)
{
    seen.lines.push_back(std::wstring(L"D ") + text);
}

void FakeLog(const WCHAR* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring line = FormatLogLine(format, args);
    va_end(args);
    seen.lines.push_back(L"L " + line);
}

void* FakeMalloc(size_t size)
{
    seen.mallocSizes.push_back(size);
    if (s.mallocFails)
        return nullptr;
    seen.liveBlock = static_cast<BYTE*>(malloc(size));
    seen.liveSize = size;
    ++seen.liveBlocks;
    return seen.liveBlock;
}

void* FakeRealloc(void* block, size_t size)
{
    EXPECT_EQ(seen.liveBlock, block);
    seen.reallocSizes.push_back(size);
    if (++seen.reallocs == s.reallocFailsAt)
        return nullptr;
    seen.liveBlock = static_cast<BYTE*>(realloc(block, size));
    seen.liveSize = size;
    return seen.liveBlock;
}

void FakeFree(void* block)
{
    EXPECT_EQ(seen.liveBlock, block);
    free(block);
    seen.liveBlock = nullptr;
    seen.liveSize = 0;
    --seen.liveBlocks;
}

LRESULT RecordProgress(void* context, int position, int total)
{
    EXPECT_EQ(&seen, context);
    seen.progressCalls.push_back({position, total});
    return 0;
}

const FetchPlatform kFake = {
    .LoadWinInet = FakeLoad,
    .WaitForMultipleObjects = FakeWait,
    .GetLastError = FakeGetLastError,
    .OutputDebugStringW = FakeOutput,
    .DebugLog = FakeLog,
    .malloc = FakeMalloc,
    .realloc = FakeRealloc,
    .free = FakeFree,
};

struct Outcome {
    bool result;
    BYTE* body;
    DWORD length;
};

Outcome Fetch(const Script& script, const WCHAR* url = L"http://127.0.0.1/file",
              FetchProgressCallback progress = nullptr, bool cancelled = false)
{
    s = script;
    seen = Seen();
    g_cancel = CreateEventW(nullptr, TRUE, cancelled, nullptr);
    Outcome o;
    o.body = reinterpret_cast<BYTE*>(1);
    o.length = 12345;
    o.result = FetchUrlOn(kFake, url, &o.body, &o.length, progress, &seen, g_cancel);
    return o;
}

// Checks that the handed-over bytes are the ones the server sent, in order.
void ExpectBody(const Outcome& o)
{
    for (DWORD i = 0; i < o.length; ++i)
        if (o.body[i] != Pattern(i)) {
            ADD_FAILURE() << "body differs at byte " << i;
            return;
        }
}

const WCHAR kZero[] = L"D RookMini: Download error, 0 bytes downloaded\n";

struct OutcomeCase {
    const char* label;
    Script script;
    const WCHAR* url;
    std::vector<std::wstring> lines;
    bool result;
    DWORD length;
    std::vector<std::string> closes;
    bool kept = false;  // a block WinINet may still write to is left allocated
};

Script With(void (*edit)(Script&))
{
    Script script;
    edit(script);
    return script;
}

const std::vector<std::string> kBoth = {"url", "internet"};
const std::vector<std::string> kInternetOnly = {"internet"};

}  // namespace

TEST(FetchUrl, EveryOutcomeWritesItsLinesAndHandsOverWhatItSays)
{
    const WCHAR* other = L"http://127.0.0.1/other";
    const WCHAR kStalled[] = L"D RookMini: Download stalled, no data for 30 seconds.";
    const WCHAR kCanceled[] = L"D RookMini: Download canceled.";
    const WCHAR kFailed[] = L"D RookMini: Download failed.";
    const DWORD kCancelWait = WAIT_OBJECT_0 + 1;
    // clang-format off
    const OutcomeCase cases[] = {
        {"wininet.dll cannot be had", With([](Script& x) { x.loadFails = true; }), other,
         {L"D RookMini: Internet Unavailable"}, false, 0, {}},
        {"InternetOpenW fails", With([](Script& x) { x.openFails = true; }), other,
         {L"D RookMini: Internet Unavailable"}, false, 0, {}},
        {"canonicalisation fails", With([](Script& x) { x.canonFails = true; }), other,
         {L"D RookMini: Failed expanding URL"}, false, 0, kInternetOnly},
        {"InternetOpenUrlW fails", With([](Script& x) { x.openUrlFails = true; }), other,
         {L"D RookMini: Failed opening URL"}, false, 0, kInternetOnly},
        {"host silent before it answers", With([](Script& x) { x.openStalls = true; }), other,
         {kStalled, L"D RookMini: Failed opening URL"}, false, 0, kInternetOnly},
        {"Cancel before the host answers",
         With([](Script& x) { x.openStalls = true; x.stallEnds = WAIT_OBJECT_0 + 1; }), other,
         {kCanceled, kFailed, kZero}, false, 0, kInternetOnly},
        {"404 for the installer", With([](Script& x) { x.status = 404; }), kFullInstallerUrl,
         {L"L RookMini: 404 Not Found - Setup Exe"}, false, 0, kBoth},
        {"404 for the manifest", With([](Script& x) { x.status = 404; }), kVersionManifestUrl,
         {L"L RookMini: 404 Not Found - Version Info"}, false, 0, kBoth},
        {"500 for the installer", With([](Script& x) { x.status = 500; }), kFullInstallerUrl,
         {L"L RookMini: Status was not 200 (Setup Exe). Status: 500"}, false, 0, kBoth},
        {"500 for the manifest", With([](Script& x) { x.status = 500; }), kVersionManifestUrl,
         {L"L RookMini: Status was not 200 (Version Info). Status: 500"}, false, 0, kBoth},
        {"500 for another URL", With([](Script& x) { x.status = 500; }), other,
         {L"L RookMini: Status was not 200 (http://127.0.0.1/other). Status: 500"}, false, 0,
         kBoth},
        {"404 for another URL: the installer's in other case", With([](Script& x) { x.status = 404; }),
         L"HTTP://www.corvidapp.example/downloads/corvidapp/pc/full",
         {L"L RookMini: 404 Not Found - HTTP://www.corvidapp.example/downloads/corvidapp/pc/full"},
         false, 0, kBoth},
        {"failed status query counts as 0",
         With([](Script& x) { x.statusQueryFails = true; }), kVersionManifestUrl,
         {L"L RookMini: Status was not 200 (Version Info). Status: 0"}, false, 0, kBoth},
        {"first allocation fails",
         With([](Script& x) { x.mallocFails = true; x.contentLength = 10; x.bodySize = 10; }),
         other, {L"D RookMini: Download error, malloc failed.", kZero}, false, 0, kBoth},
        {"first read fails", With([](Script& x) { x.readFailsAt = 1; x.bodySize = 10; }), other,
         {kFailed, kZero}, false, 0, kBoth},
        {"a pending read ends as failed",
         With([](Script& x) { x.readsPending = true; x.readFailsAt = 2; x.bodySize = 100000; }),
         other, {kFailed, kZero}, false, 0, kBoth},
        {"cancel pressed before the fetch: first data read, then stop",
         With([](Script& x) { x.cancelAtRead = -1; x.bodySize = 100000; }), other,
         {kCanceled, kFailed, kZero}, false, 0, kBoth},
        {"cancel during the final empty read is not looked at",
         With([](Script& x) { x.cancelAtRead = 2; x.bodySize = 500; }), other, {}, true, 500,
         kBoth},
        {"host silent in the middle of the body",
         With([](Script& x) { x.stallAtRead = 2; x.bodySize = 100000; }), other,
         {kStalled, kFailed, kZero}, false, 0, kBoth},
        {"Cancel while a read waits for the host",
         With([](Script& x) { x.stallAtRead = 2; x.stallEnds = kCancelWait; x.bodySize = 100000; }),
         other, {kCanceled, kFailed, kZero}, false, 0, kBoth},
        {"a stalled read whose closing is never confirmed keeps its block",
         With([](Script& x) { x.stallAtRead = 2; x.noClosingNotice = true; x.bodySize = 100000; }),
         other, {kStalled, kFailed, kZero}, false, 0, kBoth, true},
        {"growth fails after the first read",
         With([](Script& x) { x.reallocFailsAt = 1; x.bodySize = 100000; }), other,
         {L"L RookMini: Download error, realloc to 65400 bytes failed.\n", kFailed, kZero},
         false, 0, kBoth},
        {"empty body", Script(), other,
         {L"D RookMini: Download error, 0 bytes downloaded", kZero}, true, 0, kBoth},
        {"connection ends before the length",
         With([](Script& x) { x.contentLength = 100000; x.bodySize = 70000; }), other,
         {L"D RookMini: Download error, final buffer size != content length",
          L"D RookMini: Download error, final buffer size != content length\n"},
         true, 70000, kBoth},
        {"complete body with a length, answered through the callback",
         With([](Script& x) {
             x.openPending = true; x.readsPending = true;
             x.contentLength = 100000; x.bodySize = 100000;
         }),
         other, {}, true, 100000, kBoth},
        {"complete body without a length", With([](Script& x) { x.bodySize = 100000; }), other,
         {}, true, 100000, kBoth},
        {"server sends more than its length",
         With([](Script& x) { x.contentLength = 50000; x.bodySize = 80000; }), other, {}, true,
         50000, kBoth},
        {"failed length query counts as absent",
         With([](Script& x) {
             x.lengthQueryFails = true; x.contentLength = 50000; x.bodySize = 40000;
         }),
         other, {}, true, 40000, kBoth},
    };
    // clang-format on
    for (const OutcomeCase& c : cases) {
        SCOPED_TRACE(c.label);
        Outcome o = Fetch(c.script, c.url, nullptr, c.script.cancelAtRead == -1);
        EXPECT_EQ(c.lines, seen.lines);
        EXPECT_EQ(c.result, o.result);
        EXPECT_EQ(c.result, o.body != nullptr);
        EXPECT_EQ(c.length, o.length);
        EXPECT_EQ(c.closes, seen.closes);
        EXPECT_FALSE(seen.readOutsideBlock);
        // Exactly the handed-over block is left alive, or one that a stalled
        // read may still write to; nothing else leaks.
        EXPECT_EQ(o.result || c.kept ? 1 : 0, seen.liveBlocks);
        if (o.result) {
            EXPECT_EQ(seen.liveBlock, o.body);
            ExpectBody(o);
        }
        free(seen.liveBlocks ? seen.liveBlock : nullptr);
        CloseHandle(g_cancel);
    }
}

TEST(FetchUrl, MissingOutParametersFailAtOnceAndResetTheOther)
{
    s = Script();
    seen = Seen();
    BYTE* body = reinterpret_cast<BYTE*>(1);
    DWORD length = 7;

    SCOPED_TRACE("no length out");
    EXPECT_FALSE(
        FetchUrlOn(kFake, L"http://127.0.0.1/", &body, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(nullptr, body);
    SCOPED_TRACE("no body out");
    EXPECT_FALSE(
        FetchUrlOn(kFake, L"http://127.0.0.1/", nullptr, &length, nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, length);
    SCOPED_TRACE("neither");
    EXPECT_FALSE(
        FetchUrlOn(kFake, L"http://127.0.0.1/", nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(seen.internetOpened);
}

TEST(FetchUrl, RequestIsMadeWithTheGivenUrlAndTheFixedSettings)
{
    Script script;
    script.bodySize = 3;
    script.openPending = true;
    script.readsPending = true;
    Outcome o = Fetch(script, L"http://127.0.0.1:8080/a b/../c");
    EXPECT_EQ(L"http://127.0.0.1:8080/a b/../c", seen.openedUrl);
    EXPECT_EQ(L"RookMini/1.0", seen.agent);
    EXPECT_EQ(static_cast<DWORD>(INTERNET_OPEN_TYPE_PRECONFIG), seen.openAccess);
    EXPECT_EQ(static_cast<DWORD>(INTERNET_FLAG_ASYNC), seen.internetFlags);
    EXPECT_EQ(2048u, seen.canonLength);
    EXPECT_EQ(static_cast<DWORD>(ICU_BROWSER_MODE), seen.canonFlags);
    EXPECT_EQ(0x84402810u, seen.openFlags);
    // 30 seconds of silence at most, both for WinINet and for every wait; a
    // closed request is given a quarter of a second to confirm.
    const std::vector<std::pair<DWORD, DWORD>> timeouts = {
        {INTERNET_OPTION_CONNECT_TIMEOUT, 30000},
        {INTERNET_OPTION_SEND_TIMEOUT, 30000},
        {INTERNET_OPTION_RECEIVE_TIMEOUT, 30000}};
    EXPECT_EQ(timeouts, seen.options);
    // The open, the read that waits for data, the query, the read, the query
    // that finds the end; the close.
    const std::vector<DWORD> waits = {30000, 30000, 30000, 30000, 30000, 250};
    EXPECT_EQ(waits, seen.waits);
    EXPECT_TRUE(o.result);
    free(o.body);
    CloseHandle(g_cancel);
}

struct ReadCase {
    const char* label;
    DWORD contentLength, bodySize, perRead;
    std::vector<DWORD> requests;  // of the reads that got data
    std::vector<std::pair<int, int>> progress;
    int waits;  // for data: only when nothing was there to read
};

TEST(FetchUrl, RequestSizesAndProgressReports)
{
    // clang-format off
    const ReadCase cases[] = {
        {"length, full reads", 70000, 70000, kReadChunk, {32700, 32700, 4600},
         {{32700, 70000}, {65400, 70000}, {70000, 70000}}, 3},
        {"length, server sends 30000 at a time: only what arrived is asked for", 70000, 70000,
         30000, {30000, 30000, 10000}, {{30000, 70000}, {60000, 70000}, {70000, 70000}}, 3},
        {"length, server sends 65400 at a time: what is there is read without a wait", 70000,
         70000, 65400, {32700, 32700, 4600}, {{32700, 70000}, {65400, 70000}, {70000, 70000}}, 2},
        {"length, server sends more", 50000, 80000, kReadChunk, {32700, 17300},
         {{32700, 50000}, {50000, 50000}}, 2},
        {"no length: one (-1, -1) and requests of at most 32700", 0, 70000, kReadChunk,
         {32700, 32700, 4600}, {{-1, -1}}, 4},
        {"no length, empty body: nothing to read", 0, 0, kReadChunk, {}, {{-1, -1}}, 1},
    };
    // clang-format on
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.label);
        Script script;
        script.contentLength = c.contentLength;
        script.bodySize = c.bodySize;
        script.perRead = c.perRead;
        Outcome o = Fetch(script, L"http://127.0.0.1/", RecordProgress);
        CloseHandle(g_cancel);
        EXPECT_EQ(c.requests, seen.requests);
        EXPECT_EQ(c.waits, seen.queries);
        EXPECT_EQ(c.progress, seen.progressCalls);
        EXPECT_FALSE(seen.readOutsideBlock);
        if (c.contentLength) {
            EXPECT_EQ(std::vector<size_t>{c.contentLength}, seen.mallocSizes);
            EXPECT_TRUE(seen.reallocSizes.empty());
        }
        free(o.body);
    }
}

struct GrowthCase {
    const char* label;
    DWORD blockSize, received, expected;
};

TEST(FetchUrl, GrowthRule)
{
    // clang-format off
    const GrowthCase cases[] = {
        {"a full read of room left: no growth", 65400, 32700, 65400},
        {"one byte short: grows by half", 65400, 32701, 98100},
        {"half is not enough: room for the next read", 32700, 32700, 65400},
        {"large block grows by half", 100000000, 99990000, 150000000},
        {"growth capped at 32 bits", 0xC0000000u, 0xBFFFFFFFu, 0xFFFFFFFFu},
        {"needed size past 32 bits: cannot", 0xFFFFF000u, 0xFFFFE000u, 0},
    };
    // clang-format on
    for (const GrowthCase& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.expected, GrownBlockSize(c.blockSize, c.received));
    }
    // clang-format off
    const GrowthCase finals[] = {
        {"more than a read of room: shrinks", 147150, 100000, 132700},
        {"exactly a read of room: kept", 132700, 100000, 132700},
        {"less room: kept", 65400, 40000, 65400},
        {"empty body in the first block: kept", 32700, 0, 32700},
    };
    // clang-format on
    for (const GrowthCase& c : finals) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.expected, FinalBlockSize(c.blockSize, c.received));
    }
}

struct SequenceCase {
    const char* label;
    int reallocFailsAt;
    bool result;
    size_t finalBlock;
};

TEST(FetchUrl, BlockGrowsGeometricallyAndShrinksOnceWithoutALength)
{
    // 100000 bytes in full reads: room runs out after 32700, 65400 and 98100
    // bytes, then the complete body leaves 47150 spare, which is cut to 32700.
    const std::vector<size_t> asked = {65400, 98100, 147150, 132700};
    // clang-format off
    const SequenceCase cases[] = {
        {"all reallocations succeed", 0, true, 132700},
        {"final shrink fails: the larger block is kept", 4, true, 147150},
        {"second growth fails", 2, false, 0},
    };
    // clang-format on
    for (const SequenceCase& c : cases) {
        SCOPED_TRACE(c.label);
        Script script;
        script.bodySize = 100000;
        script.reallocFailsAt = c.reallocFailsAt;
        Outcome o = Fetch(script);
        CloseHandle(g_cancel);
        EXPECT_EQ(std::vector<size_t>{kReadChunk}, seen.mallocSizes);
        size_t count = c.reallocFailsAt ? c.reallocFailsAt : asked.size();
        EXPECT_EQ(std::vector<size_t>(asked.begin(), asked.begin() + count), seen.reallocSizes);
        EXPECT_EQ(c.result, o.result);
        EXPECT_EQ(c.finalBlock, seen.liveSize);
        if (c.result) {
            EXPECT_EQ(100000u, o.length);
            EXPECT_TRUE(seen.lines.empty());
            ExpectBody(o);
        } else {
            EXPECT_EQ(L"L RookMini: Download error, realloc to 98100 bytes failed.\n",
                      seen.lines.at(0));
            EXPECT_EQ(0, seen.liveBlocks);
        }
        free(o.result ? o.body : nullptr);
    }

    SCOPED_TRACE("64 MiB in server reads of 20000 bytes");
    Script big;
    big.bodySize = 64u << 20;
    big.perRead = 20000;
    Outcome o = Fetch(big);
    CloseHandle(g_cancel);
    ASSERT_TRUE(o.result);
    EXPECT_EQ(big.bodySize, o.length);
    EXPECT_LE(seen.reallocSizes.size(), 40u);  // logarithmic, not one per read
    for (size_t i = 1; i + 1 < seen.reallocSizes.size(); ++i)
        EXPECT_GE(seen.reallocSizes[i], seen.reallocSizes[i - 1] + seen.reallocSizes[i - 1] / 2);
    EXPECT_GE(seen.liveSize, o.length);
    EXPECT_LE(seen.liveSize, o.length + kReadChunk);
    EXPECT_FALSE(seen.readOutsideBlock);
    ExpectBody(o);
    free(o.body);
}
