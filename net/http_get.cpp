// One HTTP GET through WinINet, read piece by piece.
//
// WinINet runs asynchronously here, so that the calling thread never blocks
// inside WinINet: it waits for each pending operation together with the
// cancel event, for at most the silence limit and never past the deadline.
// A stalled or cancelled operation is abandoned by closing its request.
// Native WinINet may call back for a request after it has been closed, from
// one of its own threads, and more than one of its handles carries the
// request's context (InternetOpenUrl makes a connection handle of its own),
// so nothing a callback or a pending read may write to is ever given back:
// each request has a record of its own that lives for the rest of the
// process, and so does each GET's read buffer. A process makes a handful of
// GETs. Only the calling thread ever touches the handles.
//
// Redirects are not left to WinINet: the GET follows them itself, each after
// MayFollowRedirect, keeping the request's extra headers. Cookies are neither
// kept nor sent.
#include "net/http_get.h"

#include "base/system_library.h"

#include <stdlib.h>
#include <wchar.h>
#include <wininet.h>

#include <atomic>
#include <new>

static const WCHAR kUserAgent[] = L"RookMini/1.0";

// RELOAD | NO_CACHE_WRITE | KEEP_CONNECTION | IGNORE_CERT_DATE_INVALID |
// RESYNCHRONIZE | NEED_FILE, and the GET's own rules: no automatic
// redirects, no cookies. Authentication stays on, so that a proxy's sign-in
// works.
static const DWORD kOpenFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
    INTERNET_FLAG_IGNORE_CERT_DATE_INVALID | INTERNET_FLAG_RESYNCHRONIZE | INTERNET_FLAG_NEED_FILE |
    INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_COOKIES;
static_assert(kOpenFlags == 0x84682810, "the GET's open flags");

// How often a pending query is asked again before the GET gives up on it.
static const int kQueryRounds = 64;

// The WinINet calls, looked up in the system's wininet.dll when first needed.
struct WinInetApi {
    decltype(&::InternetOpenW) InternetOpenW;
    decltype(&::InternetSetOptionW) InternetSetOptionW;
    decltype(&::InternetSetStatusCallbackW) InternetSetStatusCallbackW;
    decltype(&::InternetCanonicalizeUrlW) InternetCanonicalizeUrlW;
    decltype(&::InternetCombineUrlW) InternetCombineUrlW;
    decltype(&::InternetCrackUrlW) InternetCrackUrlW;
    decltype(&::InternetOpenUrlW) InternetOpenUrlW;
    decltype(&::HttpQueryInfoW) HttpQueryInfoW;
    decltype(&::HttpSendRequestW) HttpSendRequestW;
    decltype(&::InternetErrorDlg) InternetErrorDlg;
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
        !BindFunction(wininet, "InternetCombineUrlW", api.InternetCombineUrlW) ||
        !BindFunction(wininet, "InternetCrackUrlW", api.InternetCrackUrlW) ||
        !BindFunction(wininet, "InternetOpenUrlW", api.InternetOpenUrlW) ||
        !BindFunction(wininet, "HttpQueryInfoW", api.HttpQueryInfoW) ||
        !BindFunction(wininet, "HttpSendRequestW", api.HttpSendRequestW) ||
        !BindFunction(wininet, "InternetErrorDlg", api.InternetErrorDlg) ||
        !BindFunction(wininet, "InternetQueryDataAvailable", api.InternetQueryDataAvailable) ||
        !BindFunction(wininet, "InternetReadFile", api.InternetReadFile) ||
        !BindFunction(wininet, "InternetReadFileExA", api.InternetReadFileExA) ||
        !BindFunction(wininet, "InternetCloseHandle", api.InternetCloseHandle))
        return false;
    s_net = api;
    return true;
}

// What WinINet's status callback shares with the GET's thread for one
// request. Only WinINet's writes and the events are in it: a stale callback
// for a request given up on signals an event nobody waits for any more.
struct WinInetShared {
    HANDLE completed;                // auto-reset: a pending operation has ended
    std::atomic<HINTERNET> request;  // as soon as WinINet has made it
    std::atomic<DWORD_PTR> result;   // of the operation that ended
    DWORD read;                      // bytes of a read, written when it ends
    INTERNET_BUFFERSA taken;         // a read of what has arrived, likewise
    DWORD available;                 // bytes a query found, likewise
};

static void CALLBACK OnInternetStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info,
                                      DWORD)
{
    WinInetShared* call = reinterpret_cast<WinInetShared*>(context);
    if (!call)
        return;
    const INTERNET_ASYNC_RESULT* async = static_cast<const INTERNET_ASYNC_RESULT*>(info);
    if (status == INTERNET_STATUS_HANDLE_CREATED) {
        call->request = reinterpret_cast<HINTERNET>(async->dwResult);
    } else if (status == INTERNET_STATUS_REQUEST_COMPLETE) {
        call->result = async->dwResult;
        SetEvent(call->completed);
    }
}

// Pages that are never given back: a record, or a GET's read buffer.
static void* KeptPages(SIZE_T size)
{
    return VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

// A new record with its event, for the rest of the process; null when it
// cannot be had.
static WinInetShared* NewCall()
{
    void* memory = KeptPages(sizeof(WinInetShared));
    if (!memory)
        return nullptr;
    WinInetShared* call = new (memory) WinInetShared();
    call->completed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return call->completed ? call : nullptr;
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
    if (get->cancel && result == WAIT_OBJECT_0 + 1)
        return kHttpCancelled;
    return deadlineFirst ? kHttpLate : kHttpSilent;
}

// Reads one header as text; empty when absent or longer than the buffer.
static void QueryHeader(HINTERNET request, DWORD query, WCHAR* text, DWORD chars)
{
    DWORD size = chars * sizeof(WCHAR);
    if (!s_net.HttpQueryInfoW(request, query, text, &size, nullptr) ||
        size >= chars * sizeof(WCHAR))
        text[0] = L'\0';
}

// Reads a date header as a FILETIME count; 0 when absent or not a date.
static ULONGLONG QueryDate(HINTERNET request, DWORD query)
{
    SYSTEMTIME date;
    DWORD size = sizeof(date);
    ULARGE_INTEGER time = {};
    FILETIME file;
    if (s_net.HttpQueryInfoW(request, query | HTTP_QUERY_FLAG_SYSTEMTIME, &date, &size, nullptr) &&
        SystemTimeToFileTime(&date, &file)) {
        time.LowPart = file.dwLowDateTime;
        time.HighPart = file.dwHighDateTime;
    }
    return time.QuadPart;
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

bool CanAnswerChallenge(const WCHAR* challenge)
{
    static const WCHAR* const kSchemes[] = {L"Basic", L"Digest", L"NTLM", L"Negotiate"};
    for (const WCHAR* scheme : kSchemes) {
        size_t length = wcslen(scheme);
        if (_wcsnicmp(challenge, scheme, length) == 0 &&
            (challenge[length] == L'\0' || challenge[length] == L' '))
            return true;
    }
    return false;
}

static void ReadResponse(HttpGet* get)
{
    HttpResponse& response = get->response;
    DWORD size = sizeof(response.status);
    if (!s_net.HttpQueryInfoW(get->request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                              &response.status, &size, nullptr))
        response.status = 0;
    // As text: a length beyond 32 bits, or not a number, counts as absent.
    WCHAR text[kUrlChars];
    QueryHeader(get->request, HTTP_QUERY_CONTENT_LENGTH, text, kHeaderChars);
    response.hasLength = ParseContentLength(text, &response.length);
    if (!response.hasLength)
        response.length = 0;
    QueryHeader(get->request, HTTP_QUERY_ETAG, response.etag, kHeaderChars);
    QueryHeader(get->request, HTTP_QUERY_LAST_MODIFIED, response.lastModified, kHeaderChars);
    QueryHeader(get->request, HTTP_QUERY_CONTENT_RANGE, response.contentRange, kHeaderChars);
    response.lastModifiedTime = QueryDate(get->request, HTTP_QUERY_LAST_MODIFIED);
    response.dateTime = QueryDate(get->request, HTTP_QUERY_DATE);
    response.answerable = false;
    if (response.status == 407) {
        QueryHeader(get->request, HTTP_QUERY_PROXY_AUTHENTICATE, text, kUrlChars);
        response.answerable = CanAnswerChallenge(text);
    }
}

bool MayFollowRedirect(int redirect, INTERNET_SCHEME scheme, const WCHAR* host)
{
    if (redirect > kMaxRedirects ||
        (scheme != INTERNET_SCHEME_HTTP && scheme != INTERNET_SCHEME_HTTPS))
        return false;
    // A dot between two labels: "corvidfiles." is still a bare intranet name.
    const WCHAR* dot = wcschr(host, L'.');
    return dot && dot != host && dot[1] != L'\0' && dot[1] != L'.';
}

// Waits for a call that WinINet may answer as pending; kHttpData when it
// succeeded (then `result` is what it answered or completed with).
static HttpStep Complete(HttpGet* get, bool done, DWORD_PTR& result)
{
    if (done)
        return kHttpData;
    if (GetLastError() != ERROR_IO_PENDING)
        return kHttpFailed;
    HttpStep step = AwaitOperation(get);
    result = get->call->result.load();
    return step != kHttpData ? step : result ? kHttpData : kHttpFailed;
}

// Sends the GET's request for its URL with a record of its own, and reads
// the response's headers.
static HttpStep SendRequest(HttpGet* get)
{
    get->call = NewCall();
    if (!get->call)
        return kHttpFailed;
    HINTERNET request = s_net.InternetOpenUrlW(get->internet, get->url, get->headers,
                                               get->headers ? static_cast<DWORD>(-1) : 0,
                                               kOpenFlags, reinterpret_cast<DWORD_PTR>(get->call));
    DWORD_PTR result = reinterpret_cast<DWORD_PTR>(request);
    HttpStep step = Complete(get, request != nullptr, result);
    if (step != kHttpData) {
        get->openPending = step != kHttpFailed;  // given up: WinINet goes on
        return step;
    }
    get->request = reinterpret_cast<HINTERNET>(result);
    get->call->request = get->request;
    ReadResponse(get);
    return kHttpData;
}

// Where a redirect leads: its Location, made absolute against the URL it
// answered. kHttpData to follow it to `next`; kHttpEnded when the response
// is no redirect (or names no place), to be taken as it is; kHttpRefused
// when it may not be followed.
static HttpStep NextHop(HttpGet* get, int redirect, WCHAR (&next)[kUrlChars])
{
    DWORD status = get->response.status;
    if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308)
        return kHttpEnded;
    WCHAR location[kUrlChars];
    QueryHeader(get->request, HTTP_QUERY_LOCATION, location, kUrlChars);
    if (location[0] == L'\0')
        return kHttpEnded;
    DWORD length = kUrlChars;
    WCHAR host[INTERNET_MAX_HOST_NAME_LENGTH];
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = INTERNET_MAX_HOST_NAME_LENGTH;
    if (s_net.InternetCombineUrlW(get->url, location, next, &length, ICU_BROWSER_MODE) &&
        s_net.InternetCrackUrlW(next, 0, 0, &parts) &&
        MayFollowRedirect(redirect, parts.nScheme, host))
        return kHttpData;
    DebugLog(L"RookMini: Redirect refused: '%s'", location);
    return kHttpRefused;
}

// Follows the redirects of the response in use, each with a request of its
// own, and writes the line for a request that could not be made.
static HttpStep FollowRedirects(HttpGet* get, HttpStep step)
{
    for (int redirect = 1; step == kHttpData; ++redirect) {
        WCHAR next[kUrlChars];
        step = NextHop(get, redirect, next);
        if (step != kHttpData)
            break;
        s_net.InternetCloseHandle(get->request);
        get->request = nullptr;
        CopyText(get->url, next);
        step = SendRequest(get);
    }
    if (step == kHttpEnded)
        return kHttpData;
    if (step == kHttpSilent)
        LogStepEnd(step);
    if (step == kHttpSilent || step == kHttpFailed)
        OutputDebugStringW(L"RookMini: Failed opening URL");
    return step;
}

HINTERNET OpenHttpSession(DWORD silence)
{
    HINTERNET session = nullptr;
    if (LoadWinInet())
        session = s_net.InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr,
                                      INTERNET_FLAG_ASYNC);
    if (session && s_net.InternetSetStatusCallbackW(session, OnInternetStatus) ==
                       INTERNET_INVALID_STATUS_CALLBACK) {
        s_net.InternetCloseHandle(session);
        session = nullptr;
    }
    if (!session) {
        OutputDebugStringW(L"RookMini: Internet Unavailable");
        return nullptr;
    }
    // Requests inherit these; WinINet's own defaults can be an hour.
    static const DWORD kTimeouts[] = {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                                      INTERNET_OPTION_RECEIVE_TIMEOUT};
    for (DWORD option : kTimeouts)
        s_net.InternetSetOptionW(session, option, &silence, sizeof(silence));
    return session;
}

void CloseHttpSession(HINTERNET session)
{
    if (session)
        s_net.InternetCloseHandle(session);
}

HttpStep OpenHttpGet(HttpGet* get, const WCHAR* url, const WCHAR* headers)
{
    if (!get->internet) {
        get->internet = OpenHttpSession(get->silence);
        get->ownsSession = true;
    }
    if (!get->internet)
        return kHttpFailed;
    // Only a check: the request is made with the URL as it was given.
    WCHAR canonical[kUrlChars];
    DWORD canonicalLength = kUrlChars;
    if (!s_net.InternetCanonicalizeUrlW(url, canonical, &canonicalLength, ICU_BROWSER_MODE) ||
        !CopyText(get->url, url)) {
        OutputDebugStringW(L"RookMini: Failed expanding URL");
        return kHttpFailed;
    }
    get->headers = headers;
    return FollowRedirects(get, SendRequest(get));
}

HttpStep ResendHttpGet(HttpGet* get)
{
    // What is left of the 407's body goes first, so that the connection can
    // carry the request again; a piece at most.
    const BYTE* data;
    DWORD count;
    while (get->received < kReadPiece && ReadHttpGet(get, &data, &count) == kHttpData) {
    }
    get->received = 0;
    ResetEvent(get->call->completed);
    DWORD_PTR result = 0;
    HttpStep step = Complete(
        get, s_net.HttpSendRequestW(get->request, nullptr, 0, nullptr, 0) != FALSE, result);
    if (step == kHttpData)
        ReadResponse(get);
    return FollowRedirects(get, step);
}

DWORD PromptProxySignIn(HWND owner, HINTERNET request)
{
    return s_net.InternetErrorDlg(owner, request, ERROR_INTERNET_INCORRECT_PASSWORD,
                                  FLAGS_ERROR_UI_FILTER_FOR_ERRORS |
                                      FLAGS_ERROR_UI_FLAGS_GENERATE_DATA |
                                      FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS,
                                  nullptr);
}

// Waits until the host has sent part of the body, or the body has ended.
// WinINet answers a waiting read only once it has filled the whole request,
// so a host that sends slowly would look silent to a wait for the read; a
// query ends as soon as anything is there. The count lives in the record:
// a query left pending may still write it.
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

// Reads into the GET's buffer: what has arrived, without waiting for more
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
    taken.lpvBuffer = get->buffer;
    taken.dwBufferLength = want;
    call->read = 0;
    read = 0;
    ok = (wait ? s_net.InternetReadFile(get->request, get->buffer, want, &call->read)
               : s_net.InternetReadFileExA(get->request, &taken, IRF_NO_WAIT,
                                           reinterpret_cast<DWORD_PTR>(call))) != FALSE;
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
    if (!get->buffer && !(get->buffer = static_cast<BYTE*>(KeptPages(kReadPiece))))
        return kHttpFailed;

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
    *data = get->buffer;
    *count = read;
    return kHttpData;
}

void CloseHttpGet(HttpGet* get)
{
    // An open that failed may still have made its request: close that too.
    HINTERNET request = get->request ? get->request
                        : get->call  ? get->call->request.load()
                                     : nullptr;
    if (request && !get->openPending)
        s_net.InternetCloseHandle(request);
    if (get->ownsSession && !get->openPending)
        CloseHttpSession(get->internet);
    get->internet = nullptr;
    get->request = nullptr;
    get->call = nullptr;
    get->buffer = nullptr;
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
