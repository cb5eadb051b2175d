// FetchUrl: the version manifest whole into one heap block. It writes
// diagnostics to the debugger output and reports its outcome through its
// out-parameters. The body is read up to kFetchLimit bytes, and the fetch
// ends by its deadline, so that no host can hold the launcher open or make
// it take memory without bound.
#include "net/fetch.h"

#include "net/http_get.h"

#include <stdlib.h>
#include <string.h>

static const WCHAR kZeroBytesLine[] = L"RookMini: Download error, 0 bytes downloaded\n";

// Reads the body of an open 200 response into a new block. Answers the block
// (null when nothing is handed over) and the bytes received in it.
static BYTE* ReadBody(HttpGet* get, DWORD* received)
{
    const HttpResponse& response = get->response;
    // A body announced within the limit gets a block of its size; any other
    // is read up to the limit.
    bool fits = response.hasLength && response.length <= kFetchLimit;
    DWORD size = fits ? response.length : kFetchLimit;
    BYTE* block = static_cast<BYTE*>(malloc(size));
    if (!block) {
        OutputDebugStringW(L"RookMini: Download error, malloc failed.");
        OutputDebugStringW(kZeroBytesLine);
        return nullptr;
    }
    DWORD count = 0;
    HttpStep step;
    for (;;) {
        const BYTE* data;
        DWORD read;
        step = ReadHttpGet(get, &data, &read);
        if (step != kHttpData)
            break;
        DWORD room = size - count;
        memcpy(block + count, data, read < room ? read : room);
        count += read < room ? read : room;
        if (!fits && count == size) {
            DebugLog(L"RookMini: Download stopped at %u bytes, the rest is not read.", count);
            step = kHttpEnded;
            break;
        }
    }
    if (step != kHttpEnded) {
        if (step == kHttpCancelled)
            OutputDebugStringW(L"RookMini: Download canceled.");
        else if (step == kHttpSilent)
            OutputDebugStringW(L"RookMini: Download stalled, no data for 30 seconds.");
        else if (step == kHttpLate)
            OutputDebugStringW(L"RookMini: Download stopped, its time is up.");
        OutputDebugStringW(L"RookMini: Download failed.");
        OutputDebugStringW(kZeroBytesLine);
        free(block);
        return nullptr;
    }
    if (count == 0) {
        OutputDebugStringW(L"RookMini: Download error, 0 bytes downloaded");
        OutputDebugStringW(kZeroBytesLine);
    } else if (fits && count < size) {
        OutputDebugStringW(L"RookMini: Download error, final buffer size != content length");
        OutputDebugStringW(L"RookMini: Download error, final buffer size != content length\n");
    }
    *received = count;
    return block;
}

bool FetchUrl(const WCHAR* url, BYTE** body, DWORD* length, DWORD deadline)
{
    if (body)
        *body = nullptr;
    if (length)
        *length = 0;
    if (!body || !length)
        return false;

    HttpGet get;
    InitHttpGet(&get);
    get.hasDeadline = true;
    get.deadline = deadline;
    BYTE* block = nullptr;
    DWORD received = 0;
    HttpStep opened = OpenHttpGet(&get, url, nullptr);
    if (opened == kHttpData) {
        if (get.response.status == 200)
            block = ReadBody(&get, &received);
        else
            LogBadStatus(url, get.response.status);
    } else if (opened == kHttpLate) {
        OutputDebugStringW(L"RookMini: Download stopped, its time is up.");
    }
    CloseHttpGet(&get);
    *body = block;
    *length = block ? received : 0;
    return block != nullptr;
}
