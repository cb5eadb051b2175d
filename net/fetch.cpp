// FetchUrl: one HTTP GET through WinINet, the whole body read into one heap
// block that is handed to the caller. It writes diagnostics to the debugger
// output, reports progress to an optional callback and stops when its cancel
// event is set or the host stays silent too long.
//
// WinINet runs asynchronously here, so that the fetch's own thread never
// blocks inside WinINet: it waits for each pending operation together with
// the cancel event, for at most the silence limit. A stalled or cancelled
// operation is abandoned: the request is closed, and the state WinINet may
// still write to (the callback's record and the block being read into) is
// freed only once WinINet has said that the request is closing; otherwise it
// is left allocated for the rest of the process. Only the fetch's thread ever
// touches the handles.
#include "net/fetch_platform.h"

#include "base/system_library.h"

#include <stdlib.h>
#include <wchar.h>

#include <atomic>
#include <new>

static const WCHAR kUserAgent[] = L"RookMini/1.0";
static const DWORD kCanonicalLength = 2048;
static const DWORD kStatusQuery = HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER;
static const DWORD kLengthQuery = HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER;
static const DWORD kTimeoutOptions[] = {
    INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT};

static const WCHAR kZeroBytesLine[] = L"RookMini: Download error, 0 bytes downloaded\n";
static const WCHAR kStalledLine[] = L"RookMini: Download stalled, no data for 30 seconds.";
static const WCHAR kCanceledLine[] = L"RookMini: Download canceled.";
// How often a pending query is asked again before the fetch gives up on it.
static const int kQueryRounds = 64;

// What WinINet's status callback shares with the fetch's thread.
struct FetchCall {
    HANDLE completed;                // auto-reset: a pending operation has ended
    HANDLE closed;                   // manual-reset: the request is closing
    std::atomic<HINTERNET> request;  // as soon as WinINet has made it
    std::atomic<DWORD_PTR> result;   // of the operation that ended
    DWORD read;                      // bytes of a read, written when it ends
    INTERNET_BUFFERSA taken;         // a read of what has arrived, likewise
    DWORD available;                 // bytes a query found, likewise
};

static void CALLBACK OnInternetStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info,
                                      DWORD)
{
    FetchCall* call = reinterpret_cast<FetchCall*>(context);
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

// One fetch: its platform, WinINet's calls and the shared record.
struct Fetch {
    const FetchPlatform& os;
    WinInetApi net;
    FetchCall* call;
    HANDLE cancel;
    bool pending;  // an operation was left pending: the block may still be written
};

enum Waited { kEnded, kCancelled, kSilent };

// Waits for the operation that WinINet answered as pending.
static Waited AwaitOperation(Fetch& f)
{
    HANDLE events[2] = {f.call->completed, f.cancel};
    DWORD result = f.os.WaitForMultipleObjects(f.cancel ? 2 : 1, events, FALSE, kSilenceLimit);
    if (result == WAIT_OBJECT_0)
        return kEnded;
    f.pending = true;
    return f.cancel && result == WAIT_OBJECT_0 + 1 ? kCancelled : kSilent;
}

// Opens the request. Answers how it ended; request is null when it failed.
static Waited OpenRequest(Fetch& f, HINTERNET internet, const WCHAR* url, HINTERNET& request)
{
    ResetEvent(f.call->completed);
    request = f.net.InternetOpenUrlW(internet, url, nullptr, 0, kOpenFlags,
                                     reinterpret_cast<DWORD_PTR>(f.call));
    if (request || f.os.GetLastError() != ERROR_IO_PENDING)
        return kEnded;
    Waited waited = AwaitOperation(f);
    if (waited == kEnded)
        request = reinterpret_cast<HINTERNET>(f.call->result.load());
    return waited;
}

// Waits until the host has sent part of the body, or the body has ended.
// WinINet answers a waiting read only once it has filled the whole request,
// so a host that sends slowly would look silent to a wait for the read; a
// query ends as soon as anything is there. The count lives in the shared
// record: a query left pending may still write it. Answers how it ended; ok
// and available say how the query went (available 0: the body has ended).
static Waited AwaitData(Fetch& f, HINTERNET request, bool& ok, DWORD& available)
{
    // A query that was pending has only said that data is there: asked
    // again, it answers at once with how much.
    for (int asked = 0; asked < kQueryRounds; ++asked) {
        ResetEvent(f.call->completed);
        f.call->available = 0;
        ok = f.net.InternetQueryDataAvailable(request, &f.call->available, 0, 0) != FALSE;
        available = f.call->available;
        if (ok || f.os.GetLastError() != ERROR_IO_PENDING)
            return kEnded;
        Waited waited = AwaitOperation(f);
        if (waited != kEnded)
            return waited;
    }
    ok = false;
    return kEnded;
}

// Reads into the block: what has arrived, without waiting for more (read 0:
// nothing yet, or the body has ended), or, when waiting, the whole request.
// A read that does not wait but finds nothing may still go pending: it then
// ends when data has arrived, having read nothing. Answers how it ended; ok
// and read say how the read went.
static Waited ReadOnce(Fetch& f, HINTERNET request, BYTE* at, DWORD want, bool wait, bool& ok,
                       DWORD& read)
{
    ResetEvent(f.call->completed);
    INTERNET_BUFFERSA& taken = f.call->taken;
    taken = {};
    taken.dwStructSize = sizeof(taken);
    taken.lpvBuffer = at;
    taken.dwBufferLength = want;
    f.call->read = 0;
    read = 0;
    ok = (wait ? f.net.InternetReadFile(request, at, want, &f.call->read)
               : f.net.InternetReadFileExA(request, &taken, IRF_NO_WAIT, 0)) != FALSE;
    if (ok) {
        read = wait ? f.call->read : taken.dwBufferLength;
        return kEnded;
    }
    if (f.os.GetLastError() != ERROR_IO_PENDING)
        return kEnded;
    Waited waited = AwaitOperation(f);
    if (waited == kEnded) {
        ok = f.call->result.load() != 0;
        read = ok && wait ? f.call->read : 0;
    }
    return waited;
}

DWORD GrownBlockSize(DWORD blockSize, DWORD received)
{
    unsigned long long needed = static_cast<unsigned long long>(received) + kReadChunk;
    if (needed <= blockSize)
        return blockSize;
    unsigned long long grown = static_cast<unsigned long long>(blockSize) + blockSize / 2;
    if (grown < needed)
        grown = needed;
    if (grown > MAXDWORD)
        grown = MAXDWORD;  // the count is 32 bits wide; never ask for more
    if (grown < needed)
        return 0;
    return static_cast<DWORD>(grown);
}

DWORD FinalBlockSize(DWORD blockSize, DWORD received)
{
    unsigned long long enough = static_cast<unsigned long long>(received) + kReadChunk;
    return enough < blockSize ? static_cast<DWORD>(enough) : blockSize;
}

// Writes the line for a status other than 200, naming the two built-in
// resources by what they are and any other URL by itself.
static void LogBadStatus(const FetchPlatform& os, const WCHAR* url, DWORD status)
{
    bool installer = wcscmp(url, kFullInstallerUrl) == 0;
    bool manifest = !installer && wcscmp(url, kVersionManifestUrl) == 0;
    int code = static_cast<int>(status);
    if (status == 404) {
        if (installer)
            os.DebugLog(L"RookMini: 404 Not Found - Setup Exe");
        else if (manifest)
            os.DebugLog(L"RookMini: 404 Not Found - Version Info");
        else
            os.DebugLog(L"RookMini: 404 Not Found - %s", url);
    } else {
        if (installer)
            os.DebugLog(L"RookMini: Status was not 200 (Setup Exe). Status: %i", code);
        else if (manifest)
            os.DebugLog(L"RookMini: Status was not 200 (Version Info). Status: %i", code);
        else
            os.DebugLog(L"RookMini: Status was not 200 (%s). Status: %i", url, code);
    }
}

// Reads the body of an open 200 response into a new block. Answers the block
// (null when nothing is handed over) and the bytes received in it.
static BYTE* ReadBody(Fetch& f, HINTERNET request, DWORD contentLength,
                      FetchProgressCallback progress, void* context, DWORD* received)
{
    const FetchPlatform& os = f.os;
    *received = 0;
    DWORD blockSize = contentLength ? contentLength : kReadChunk;
    BYTE* block = static_cast<BYTE*>(os.malloc(blockSize));
    if (!block) {
        os.OutputDebugStringW(L"RookMini: Download error, malloc failed.");
        os.OutputDebugStringW(kZeroBytesLine);
        return nullptr;
    }

    DWORD count = 0;
    bool failed = false;
    for (;;) {
        // Never past the end of the block: with a length the block is exactly
        // that long, without one the growth below keeps a full read of room.
        DWORD want = kReadChunk;
        if (contentLength && contentLength - count < want)
            want = contentLength - count;
        // First what has arrived, without waiting. Only when nothing has,
        // a wait for data, which tells a slow host from a silent one (a read
        // would wait for its whole request) and the end of the body from a
        // pause; then what is there. A request of 0 (the length reached)
        // reads nothing.
        bool ok = true;
        DWORD read = 0;
        Waited waited = kEnded;
        if (want != 0)
            waited = ReadOnce(f, request, block + count, want, false, ok, read);
        if (waited == kEnded && ok && want != 0 && read == 0) {
            DWORD available = 0;
            waited = AwaitData(f, request, ok, available);
            if (waited == kEnded && ok && available != 0)
                waited = ReadOnce(f, request, block + count, available < want ? available : want,
                                  true, ok, read);
        }
        if (waited != kEnded) {
            os.OutputDebugStringW(waited == kCancelled ? kCanceledLine : kStalledLine);
            failed = true;
            break;
        }
        if (!ok) {
            failed = true;
            break;
        }
        if (read == 0)
            break;
        count += read;

        if (f.cancel && WaitForSingleObject(f.cancel, 0) == WAIT_OBJECT_0) {
            os.OutputDebugStringW(kCanceledLine);
            failed = true;
            break;
        }

        if (!contentLength) {
            DWORD grown = GrownBlockSize(blockSize, count);
            if (grown != blockSize) {
                BYTE* larger = grown ? static_cast<BYTE*>(os.realloc(block, grown)) : nullptr;
                if (!larger) {
                    os.DebugLog(L"RookMini: Download error, realloc to %i bytes failed.\n",
                                static_cast<int>(grown ? grown : count + kReadChunk));
                    os.free(block);
                    block = nullptr;
                    failed = true;
                    break;
                }
                block = larger;
                blockSize = grown;
            }
        } else if (progress) {
            progress(context, static_cast<int>(count), static_cast<int>(contentLength));
        }
    }

    if (failed) {
        os.OutputDebugStringW(L"RookMini: Download failed.");
        // A read left pending may still write into the block; it is released
        // once the request has closed (see FetchUrlOn), or never.
        if (block && !f.pending)
            os.free(block);
        os.OutputDebugStringW(kZeroBytesLine);
        return f.pending ? block : nullptr;
    }

    if (count == 0) {
        os.OutputDebugStringW(L"RookMini: Download error, 0 bytes downloaded");
        os.OutputDebugStringW(kZeroBytesLine);
    } else if (contentLength && count != contentLength) {
        os.OutputDebugStringW(L"RookMini: Download error, final buffer size != content length");
        os.OutputDebugStringW(L"RookMini: Download error, final buffer size != content length\n");
    }

    // Give back the room the geometric growth left past the body. A failed
    // shrink leaves the larger block, which is still whole and valid. A block
    // sized by the Content-Length is handed over as it is.
    DWORD finalSize = contentLength ? blockSize : FinalBlockSize(blockSize, count);
    if (finalSize != blockSize) {
        BYTE* smaller = static_cast<BYTE*>(os.realloc(block, finalSize));
        if (smaller)
            block = smaller;
    }

    *received = count;
    return block;
}

// The shared record with its two events; null when they cannot be had. It
// comes from the process heap, apart from the body's block.
static FetchCall* NewCall()
{
    void* memory = calloc(1, sizeof(FetchCall));
    if (!memory)
        return nullptr;
    FetchCall* call = new (memory) FetchCall();
    call->completed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    call->closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (call->completed && call->closed)
        return call;
    if (call->completed)
        CloseHandle(call->completed);
    if (call->closed)
        CloseHandle(call->closed);
    free(call);
    return nullptr;
}

// Releases the record once WinINet can no longer call back with it: no
// request was ever made, or the request has said it is closing.
static bool ReleaseCall(Fetch& f)
{
    if (f.call->request.load() &&
        f.os.WaitForMultipleObjects(1, &f.call->closed, FALSE, kCloseWait) != WAIT_OBJECT_0)
        return false;  // left allocated for the life of the process
    CloseHandle(f.call->completed);
    CloseHandle(f.call->closed);
    free(f.call);
    return true;
}

bool FetchUrlOn(const FetchPlatform& os, const WCHAR* url, BYTE** body, DWORD* length,
                FetchProgressCallback progress, void* context, HANDLE cancel)
{
    if (body)
        *body = nullptr;
    if (length)
        *length = 0;
    if (!body || !length)
        return false;

    Fetch f = {os, {}, nullptr, cancel, false};
    HINTERNET internet = nullptr;
    if (os.LoadWinInet(&f.net))
        internet = f.net.InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr,
                                       INTERNET_FLAG_ASYNC);
    if (!internet) {
        os.OutputDebugStringW(L"RookMini: Internet Unavailable");
        return false;
    }
    // Children inherit these; WinINet's own defaults can be an hour.
    DWORD limit = kSilenceLimit;
    for (DWORD option : kTimeoutOptions)
        f.net.InternetSetOptionW(internet, option, &limit, sizeof(limit));

    // Only a check: the request is made with the URL as it was given.
    WCHAR canonical[kCanonicalLength];
    DWORD canonicalLength = kCanonicalLength;
    if (!f.net.InternetCanonicalizeUrlW(url, canonical, &canonicalLength, ICU_BROWSER_MODE)) {
        os.OutputDebugStringW(L"RookMini: Failed expanding URL");
        f.net.InternetCloseHandle(internet);
        return false;
    }

    HINTERNET request = nullptr;
    Waited opened = kEnded;
    f.call = NewCall();
    if (f.call && f.net.InternetSetStatusCallbackW(internet, OnInternetStatus) !=
                      INTERNET_INVALID_STATUS_CALLBACK)
        opened = OpenRequest(f, internet, url, request);
    if (!request) {
        if (opened == kCancelled) {
            os.OutputDebugStringW(kCanceledLine);
            os.OutputDebugStringW(L"RookMini: Download failed.");
            os.OutputDebugStringW(kZeroBytesLine);
        } else {
            if (opened == kSilent)
                os.OutputDebugStringW(kStalledLine);
            os.OutputDebugStringW(L"RookMini: Failed opening URL");
        }
        // A request WinINet made while the open was pending closes on its own.
        if (f.call && !f.pending)
            ReleaseCall(f);
        f.net.InternetCloseHandle(internet);
        return false;
    }
    f.call->request = request;

    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!f.net.HttpQueryInfoW(request, kStatusQuery, &status, &size, nullptr))
        status = 0;
    BYTE* block = nullptr;
    DWORD received = 0;
    if (status != 200) {
        LogBadStatus(os, url, status);
    } else {
        DWORD contentLength = 0;  // 0: no usable Content-Length
        size = sizeof(contentLength);
        if (!f.net.HttpQueryInfoW(request, kLengthQuery, &contentLength, &size, nullptr))
            contentLength = 0;
        if (progress && !contentLength)
            progress(context, -1, -1);
        block = ReadBody(f, request, contentLength, progress, context, &received);
    }

    // The request is closed before the Internet handle. A read left pending
    // keeps its block until WinINet says the request is closing.
    f.net.InternetCloseHandle(request);
    bool released = ReleaseCall(f);
    if (f.pending) {
        if (released && block)
            os.free(block);
        block = nullptr;
    }
    f.net.InternetCloseHandle(internet);

    *body = block;
    *length = block ? received : 0;
    return block != nullptr;
}

// Fills the table from the system folder's wininet.dll.
static bool LoadSystemWinInet(WinInetApi* api)
{
    HMODULE wininet = LoadSystemLibrary(L"wininet.dll");
    return wininet && BindFunction(wininet, "InternetOpenW", api->InternetOpenW) &&
           BindFunction(wininet, "InternetSetOptionW", api->InternetSetOptionW) &&
           BindFunction(wininet, "InternetSetStatusCallbackW", api->InternetSetStatusCallbackW) &&
           BindFunction(wininet, "InternetCanonicalizeUrlW", api->InternetCanonicalizeUrlW) &&
           BindFunction(wininet, "InternetOpenUrlW", api->InternetOpenUrlW) &&
           BindFunction(wininet, "HttpQueryInfoW", api->HttpQueryInfoW) &&
           BindFunction(wininet, "InternetQueryDataAvailable", api->InternetQueryDataAvailable) &&
           BindFunction(wininet, "InternetReadFile", api->InternetReadFile) &&
           BindFunction(wininet, "InternetReadFileExA", api->InternetReadFileExA) &&
           BindFunction(wininet, "InternetCloseHandle", api->InternetCloseHandle);
}

bool FetchUrl(const WCHAR* url, BYTE** body, DWORD* length, FetchProgressCallback progress,
              void* context, HANDLE cancel)
{
    return FetchUrlOn(kWin32Fetch, url, body, length, progress, context, cancel);
}

const FetchPlatform kWin32Fetch = {
    .LoadWinInet = LoadSystemWinInet,
    .WaitForMultipleObjects = ::WaitForMultipleObjects,
    .GetLastError = ::GetLastError,
    .OutputDebugStringW = ::OutputDebugStringW,
    .DebugLog = ::DebugLog,
    .malloc = ::malloc,
    .realloc = ::realloc,
    .free = ::free,
};
