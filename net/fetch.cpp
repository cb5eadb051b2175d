// The HTTP fetch. Placeholder until the fetch is built: nothing is fetched.
#include "fetch.h"

bool FetchUrl(const WCHAR*, BYTE** body, DWORD* length, FetchProgressCallback)
{
    if (body)
        *body = nullptr;
    if (length)
        *length = 0;
    return false;
}
