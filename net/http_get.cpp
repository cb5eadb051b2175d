// One HTTP GET through WinINet, read piece by piece.
//
// WinINet runs asynchronously here, so that the calling thread never blocks
// inside WinINet: it waits for each pending operation together with the
// cancel event, for at most the silence limit and never past the deadline.
// A stalled or cancelled operation is abandoned: the request is closed, and
// the record WinINet may still write to (the callback's results and the read
// buffer) is freed only once WinINet has said that the request is closing;
// otherwise it is left allocated for the rest of the process. Only the
// calling thread ever touches the handles.
#include "net/http_get.h"

#include "base/system_library.h"

#include <stdlib.h>
#include <wchar.h>
#include <wininet.h>

#include <atomic>
#include <new>

static const WCHAR kUserAgent[] = L"RookMini/1.0";
static const DWORD kCanonicalLength = 2048;

// RELOAD | NO_CACHE_WRITE | KEEP_CONNECTION | IGNORE_CERT_DATE_INVALID |
// RESYNCHRONIZE | NEED_FILE; redirects stay automatic.
static const DWORD kOpenFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
    INTERNET_FLAG_IGNORE_CERT_DATE_INVALID | INTERNET_FLAG_RESYNCHRONIZE | INTERNET_FLAG_NEED_FILE;
static_assert(kOpenFlags == 0x84402810, "the GET's open flags");

// How long a closed request may take to tell that no callback follows.
static const DWORD kCloseWait = 250;
// How often a pending query is asked again before the GET gives up on it.
static const int kQueryRounds = 64;

// The WinINet calls, looked up in the system's wininet.dll when first needed.
struct WinInetApi {
    decltype(&::InternetOpenW) InternetOpenW;
    decltype(&::InternetSetOptionW) InternetSetOptionW;
    decltype(&::InternetSetStatusCallbackW) InternetSetStatusCallbackW;
    decltype(&::InternetCanonicalizeUrlW) InternetCanonicalizeUrlW;
    decltype(&::InternetOpenUrlW) InternetOpenUrlW;
    decltype(&::HttpQueryInfoW) HttpQueryInfoW;
    decltype(&::InternetQueryDataAvailable) InternetQueryDataAvailable;
    decltype(&::InternetReadFile) InternetReadFile;
    decltype(&::InternetReadFileExA) InternetReadFileExA;
    decltype(&::InternetCloseHandle) InternetCloseHandle;
};

static WinInetApi s_net;  // filled once, then only read

static bool LoadWinInet()
{
    if (s_net.InternetCloseHandle)
        return true;
    WinInetApi api;
    HMODULE wininet = LoadSystemLibrary(L"wininet.dll");
    if (!wininet || !BindFunction(wininet, "InternetOpenW", api.InternetOpenW) ||
        !BindFunction(wininet, "InternetSetOptionW", api.InternetSetOptionW) ||
        !BindFunction(wininet, "InternetSetStatusCallbackW", api.InternetSetStatusCallbackW) ||
        !BindFunction(wininet, "InternetCanonicalizeUrlW", api.InternetCanonicalizeUrlW) ||
        !BindFunction(wininet, "InternetOpenUrlW", api.InternetOpenUrlW) ||
        !BindFunction(wininet, "HttpQueryInfoW", api.HttpQueryInfoW) ||
        !BindFunction(wininet, "InternetQueryDataAvailable", api.InternetQueryDataAvailable) ||
        !BindFunction(wininet, "InternetReadFile", api.InternetReadFile) ||
        !BindFunction(wininet, "InternetReadFileExA", api.InternetReadFileExA) ||
        !BindFunction(wininet, "InternetCloseHandle", api.InternetCloseHandle))
        return false;
    s_net = api;
    return true;
}

// What WinINet's status callback shares with the GET's thread, with the
// buffer that reads fill: both may be written until the request has closed.
struct WinInetShared {
    HANDLE completed;                // auto-reset: a pending operation has ended
    HANDLE closed;                   // manual-reset: the request is closing
    std::atomic<HINTERNET> request;  // as soon as WinINet has made it
    std::atomic<DWORD_PTR> result;   // of the operation that ended
    DWORD read;                      // bytes of a read, written when it ends
    INTERNET_BUFFERSA taken;         // a read of what has arrived, likewise
    DWORD available;                 // bytes a query found, likewise
    BYTE buffer[kReadPiece];
};

static void CALLBACK OnInternetStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info,
                                      DWORD)
{
    WinInetShared* call = reinterpret_cast<WinInetShared*>(context);
    if (!call)
        return;
    const INTERNET_ASYNC_RESULT* async = static_cast<const INTERNET_ASYNC_RESULT*>(info);
    switch (status) {
    case INTERNET_STATUS_HANDLE_CREATED:
        call->request = reinterpret_cast<HINTERNET>(async->dwResult);
        break;
    case INTERNET_STATUS_REQUEST_COMPLETE:
        call->result = async->dwResult;
        SetEvent(call->completed);
        break;
    case INTERNET_STATUS_HANDLE_CLOSING:
        SetEvent(call->closed);  // the last callback for the request
        break;
    }
}

// The record with its two events; null when they cannot be had. It has
// pages of its own (with the read buffer it is over 64 KiB), so that a write
// into a record already given back would fault rather than go unseen.
static WinInetShared* NewCall()
{
    void* memory =
        VirtualAlloc(nullptr, sizeof(WinInetShared), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!memory)
        return nullptr;
    WinInetShared* call = new (memory) WinInetShared();
    call->completed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    call->closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (call->completed && call->closed)
        return call;
    if (call->completed)
        CloseHandle(call->completed);
    if (call->closed)
        CloseHandle(call->closed);
    VirtualFree(call, 0, MEM_RELEASE);
    return nullptr;
}

void InitHttpGet(HttpGet* get)
{
    ZeroMemory(get, sizeof(*get));
    get->silence = kSilenceLimit;
}

// Whether the deadline has passed.
static bool Late(const HttpGet* get)
{
    return get->hasDeadline && static_cast<LONG>(get->deadline - GetTickCount()) <= 0;
}

// Waits for the operation that WinINet answered as pending.
static HttpStep AwaitOperation(HttpGet* get)
{
    DWORD limit = get->silence;
    bool deadlineFirst = false;
    if (get->hasDeadline) {
        LONG left = static_cast<LONG>(get->deadline - GetTickCount());
        if (left < 0)
            left = 0;
        if (static_cast<DWORD>(left) <= limit) {
            limit = static_cast<DWORD>(left);
            deadlineFirst = true;
        }
    }
    HANDLE events[2] = {get->call->completed, get->cancel};
    DWORD result = WaitForMultipleObjects(get->cancel ? 2 : 1, events, FALSE, limit);
    if (result == WAIT_OBJECT_0)
        return kHttpData;
    get->pending = true;
    if (get->cancel && result == WAIT_OBJECT_0 + 1)
        return kHttpCancelled;
    return deadlineFirst ? kHttpLate : kHttpSilent;
}

// Reads one header as text; empty when absent or longer than the buffer.
static void QueryHeader(HINTERNET request, DWORD query, WCHAR (&text)[kHeaderChars])
{
    DWORD size = sizeof(text);
    if (!s_net.HttpQueryInfoW(request, query, text, &size, nullptr) || size >= sizeof(text))
        text[0] = L'\0';
}

const WCHAR* ReadHeaderNumber(const WCHAR* text, DWORD* value)
{
    unsigned long long number = 0;
    const WCHAR* p = text;
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        number = number * 10 + static_cast<unsigned>(*p - L'0');
        if (number > MAXDWORD)
            return nullptr;
    }
    *value = static_cast<DWORD>(number);
    return p == text ? nullptr : p;
}

bool ParseContentLength(const WCHAR* text, DWORD* length)
{
    DWORD value;
    const WCHAR* end = ReadHeaderNumber(text, &value);
    if (!end || *end != L'\0' || value == 0)
        return false;
    *length = value;
    return true;
}

static void ReadResponse(HttpGet* get)
{
    HttpResponse& response = get->response;
    DWORD size = sizeof(response.status);
    if (!s_net.HttpQueryInfoW(get->request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                              &response.status, &size, nullptr))
        response.status = 0;
    // As text: a length beyond 32 bits, or not a number, counts as absent.
    WCHAR length[kHeaderChars];
    QueryHeader(get->request, HTTP_QUERY_CONTENT_LENGTH, length);
    response.hasLength = ParseContentLength(length, &response.length);
    if (!response.hasLength)
        response.length = 0;
    QueryHeader(get->request, HTTP_QUERY_ETAG, response.etag);
    QueryHeader(get->request, HTTP_QUERY_LAST_MODIFIED, response.lastModified);
    QueryHeader(get->request, HTTP_QUERY_CONTENT_RANGE, response.contentRange);
}

HttpStep OpenHttpGet(HttpGet* get, const WCHAR* url, const WCHAR* headers)
{
    if (LoadWinInet())
        get->internet = s_net.InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr,
                                            nullptr, INTERNET_FLAG_ASYNC);
    if (!get->internet) {
        OutputDebugStringW(L"RookMini: Internet Unavailable");
        return kHttpFailed;
    }
    // Children inherit these; WinINet's own defaults can be an hour.
    static const DWORD kTimeouts[] = {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                                      INTERNET_OPTION_RECEIVE_TIMEOUT};
    DWORD limit = get->silence;
    for (DWORD option : kTimeouts)
        s_net.InternetSetOptionW(get->internet, option, &limit, sizeof(limit));

    // Only a check: the request is made with the URL as it was given.
    WCHAR canonical[kCanonicalLength];
    DWORD canonicalLength = kCanonicalLength;
    if (!s_net.InternetCanonicalizeUrlW(url, canonical, &canonicalLength, ICU_BROWSER_MODE)) {
        OutputDebugStringW(L"RookMini: Failed expanding URL");
        return kHttpFailed;
    }

    get->call = NewCall();
    if (!get->call || s_net.InternetSetStatusCallbackW(get->internet, OnInternetStatus) ==
                          INTERNET_INVALID_STATUS_CALLBACK) {
        OutputDebugStringW(L"RookMini: Failed opening URL");
        return kHttpFailed;
    }
    HttpStep step = kHttpData;
    ResetEvent(get->call->completed);
    get->request =
        s_net.InternetOpenUrlW(get->internet, url, headers, headers ? static_cast<DWORD>(-1) : 0,
                               kOpenFlags, reinterpret_cast<DWORD_PTR>(get->call));
    if (!get->request && GetLastError() == ERROR_IO_PENDING) {
        step = AwaitOperation(get);
        if (step == kHttpData)
            get->request = reinterpret_cast<HINTERNET>(get->call->result.load());
    }
    if (!get->request) {
        if (step == kHttpSilent)
            LogStepEnd(step);
        if (step != kHttpCancelled && step != kHttpLate)
            OutputDebugStringW(L"RookMini: Failed opening URL");
        return step == kHttpData ? kHttpFailed : step;
    }
    get->call->request = get->request;
    ReadResponse(get);
    return kHttpData;
}

// Waits until the host has sent part of the body, or the body has ended.
// WinINet answers a waiting read only once it has filled the whole request,
// so a host that sends slowly would look silent to a wait for the read; a
// query ends as soon as anything is there. The count lives in the shared
// record: a query left pending may still write it.
static HttpStep AwaitData(HttpGet* get, bool& ok, DWORD& available)
{
    // A query that was pending has only said that data is there: asked
    // again, it answers at once with how much.
    for (int asked = 0; asked < kQueryRounds; ++asked) {
        ResetEvent(get->call->completed);
        get->call->available = 0;
        ok = s_net.InternetQueryDataAvailable(get->request, &get->call->available, 0, 0) != FALSE;
        available = get->call->available;
        if (ok || GetLastError() != ERROR_IO_PENDING)
            return kHttpData;
        HttpStep waited = AwaitOperation(get);
        if (waited != kHttpData)
            return waited;
    }
    ok = false;
    return kHttpData;
}

// Reads into the record's buffer: what has arrived, without waiting for more
// (read 0: nothing yet, or the body has ended), or, when waiting, the whole
// request. A read that does not wait but finds nothing may still go pending:
// it then ends when data has arrived, having read nothing.
static HttpStep ReadOnce(HttpGet* get, DWORD want, bool wait, bool& ok, DWORD& read)
{
    WinInetShared* call = get->call;
    ResetEvent(call->completed);
    INTERNET_BUFFERSA& taken = call->taken;
    taken = {};
    taken.dwStructSize = sizeof(taken);
    taken.lpvBuffer = call->buffer;
    taken.dwBufferLength = want;
    call->read = 0;
    read = 0;
    ok = (wait ? s_net.InternetReadFile(get->request, call->buffer, want, &call->read)
               : s_net.InternetReadFileExA(get->request, &taken, IRF_NO_WAIT, 0)) != FALSE;
    if (ok) {
        read = wait ? call->read : taken.dwBufferLength;
        return kHttpData;
    }
    if (GetLastError() != ERROR_IO_PENDING)
        return kHttpData;
    HttpStep waited = AwaitOperation(get);
    if (waited == kHttpData) {
        ok = call->result.load() != 0;
        read = ok && wait ? call->read : 0;
    }
    return waited;
}

HttpStep ReadHttpGet(HttpGet* get, const BYTE** data, DWORD* count)
{
    *data = nullptr;
    *count = 0;
    const HttpResponse& response = get->response;
    // Never past the Content-Length, even when the host sends more.
    DWORD want = kReadPiece;
    if (response.hasLength) {
        if (get->received >= response.length)
            return kHttpEnded;
        if (response.length - get->received < want)
            want = response.length - get->received;
    }
    if (Late(get))
        return kHttpLate;

    // First what has arrived, without waiting. Only when nothing has, a wait
    // for data, which tells a slow host from a silent one and the end of the
    // body from a pause; then what is there.
    bool ok = true;
    DWORD read = 0;
    HttpStep step = ReadOnce(get, want, false, ok, read);
    if (step == kHttpData && ok && read == 0) {
        DWORD available = 0;
        step = AwaitData(get, ok, available);
        if (step == kHttpData && ok && available != 0)
            step = ReadOnce(get, available < want ? available : want, true, ok, read);
    }
    if (step != kHttpData)
        return step;
    if (!ok)
        return kHttpFailed;
    if (read == 0)
        return kHttpEnded;
    get->received += read;
    if (get->cancel && WaitForSingleObject(get->cancel, 0) == WAIT_OBJECT_0)
        return kHttpCancelled;
    *data = get->call->buffer;
    *count = read;
    return kHttpData;
}

void CloseHttpGet(HttpGet* get)
{
    WinInetShared* call = get->call;
    // An open left pending may still have made its request: close that too.
    HINTERNET request = get->request ? get->request : call ? call->request.load() : nullptr;
    if (request)
        s_net.InternetCloseHandle(request);
    if (call) {
        // WinINet may call back until the request says it is closing; a
        // pending open that made no request yet may still make one.
        bool quiet = request ? WaitForSingleObject(call->closed, kCloseWait) == WAIT_OBJECT_0
                             : !get->pending;
        if (quiet) {
            CloseHandle(call->completed);
            CloseHandle(call->closed);
            VirtualFree(call, 0, MEM_RELEASE);
        }
    }
    if (get->internet)
        s_net.InternetCloseHandle(get->internet);
    get->internet = nullptr;
    get->request = nullptr;
    get->call = nullptr;
}

static const WCHAR kZeroBytes[] = L"RookMini: Download error, 0 bytes downloaded\n";
static const WCHAR kShortBody[] =
    L"RookMini: Download error, final buffer size != content length\n";

// Writes a line as it is, and the same line once more without its line feed.
static void LogTwice(const WCHAR* withLineFeed, size_t length)
{
    WCHAR line[80];
    if (length >= 80)
        return;
    wmemcpy(line, withLineFeed, length - 1);
    line[length - 1] = L'\0';
    OutputDebugStringW(line);
    OutputDebugStringW(withLineFeed);
}

void LogStepEnd(HttpStep step)
{
    if (step == kHttpCancelled)
        OutputDebugStringW(L"RookMini: Download canceled.");
    else if (step == kHttpSilent)
        OutputDebugStringW(L"RookMini: Download stalled, no data for 30 seconds.");
    else if (step == kHttpLate)
        OutputDebugStringW(L"RookMini: Download stopped, its time is up.");
}

void LogDownloadFailed(const WCHAR* first)
{
    OutputDebugStringW(first ? first : L"RookMini: Download failed.");
    OutputDebugStringW(kZeroBytes);
}

void LogEmptyBody()
{
    LogTwice(kZeroBytes, ARRAYSIZE(kZeroBytes) - 1);
}

void LogShortBody()
{
    LogTwice(kShortBody, ARRAYSIZE(kShortBody) - 1);
}

void LogBadStatus(const WCHAR* url, DWORD status)
{
    bool installer = wcscmp(url, kFullInstallerUrl) == 0;
    bool manifest = !installer && wcscmp(url, kVersionManifestUrl) == 0;
    int code = static_cast<int>(status);
    if (status == 404) {
        if (installer)
            DebugLog(L"RookMini: 404 Not Found - Setup Exe");
        else if (manifest)
            DebugLog(L"RookMini: 404 Not Found - Version Info");
        else
            DebugLog(L"RookMini: 404 Not Found - %s", url);
    } else {
        if (installer)
            DebugLog(L"RookMini: Status was not 200 (Setup Exe). Status: %i", code);
        else if (manifest)
            DebugLog(L"RookMini: Status was not 200 (Version Info). Status: %i", code);
        else
            DebugLog(L"RookMini: Status was not 200 (%s). Status: %i", url, code);
    }
}
