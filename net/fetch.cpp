// FetchUrl: the version manifest whole into one heap block. It writes
// diagnostics to the debugger output and reports its outcome through its
// out-parameters. The body is read up to kFetchLimit bytes, and the fetch
// ends by its deadline, so that no host can hold the launcher open or make
// it take memory without bound.
#include "net/fetch.h"

#include "net/http_get.h"

#include <stdlib.h>
#include <string.h>

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
        LogDownloadFailed(L"RookMini: Download error, malloc failed.");
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
        LogStepEnd(step);
        LogDownloadFailed();
        free(block);
        return nullptr;
    }
    if (count == 0)
        LogEmptyBody();
    else if (fits && count < size)
        LogShortBody();
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
        LogStepEnd(opened);
    }
    CloseHttpGet(&get);
    *body = block;
    *length = block ? received : 0;
    return block != nullptr;
}
