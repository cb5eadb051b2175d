// Decisions of the installer download about retries and resumption.
#include "download/resume.h"

#include <wchar.h>

void ChooseValidator(const HttpResponse& response, WCHAR (&validator)[kHeaderChars])
{
    const WCHAR* chosen = L"";
    if (response.etag[0] != L'\0' && wcsncmp(response.etag, L"W/", 2) != 0)
        chosen = response.etag;
    else if (response.lastModified[0] != L'\0' && response.lastModifiedTime != 0 &&
             response.dateTime >= response.lastModifiedTime &&
             response.dateTime - response.lastModifiedTime >= kStrongDateAge)
        chosen = response.lastModified;
    CopyText(validator, chosen);
}

bool ParseContentRange(const WCHAR* text, DWORD* first, DWORD* last, DWORD* total)
{
    if (wcsncmp(text, L"bytes ", 6) != 0)
        return false;
    const WCHAR* p = ReadHeaderNumber(text + 6, first);
    if (!p || *p != L'-' || !(p = ReadHeaderNumber(p + 1, last)) || *p != L'/' ||
        !(p = ReadHeaderNumber(p + 1, total)) || *p != L'\0')
        return false;
    return *first <= *last && *last < *total;
}

// A header the file's first response named must be named alike, when named.
static bool Differs(const WCHAR* first, const WCHAR* rest, bool mustName)
{
    return first[0] != L'\0' && (mustName || rest[0] != L'\0') && wcscmp(first, rest) != 0;
}

RetryAnswer JudgeRetryAnswer(const HttpResponse& response, DWORD asked, DWORD total,
                             const HttpResponse& began)
{
    if (response.status == 200)
        return kStartOver;
    if (response.status != 206 || asked == 0)
        return kGiveUp;
    if (Differs(began.etag, response.etag, true) ||
        Differs(began.lastModified, response.lastModified, false))
        return kRefetchWhole;
    DWORD first, last, size;
    if (!ParseContentRange(response.contentRange, &first, &last, &size))
        return kGiveUp;
    if (first != asked || last != size - 1 || (total != 0 && size != total))
        return kGiveUp;
    if (response.hasLength && response.length != last - first + 1)
        return kGiveUp;
    return kAppendRest;
}

bool TryAgain(bool bytesArrived, int triesMade)
{
    return bytesArrived && triesMade < kDownloadTries;
}

DWORD PauseBeforeTry(int tryNumber, DWORD unit)
{
    return unit << (tryNumber - 2);
}
