// Bounded text operations on the launcher's fixed MAX_PATH buffers.
#include "base/rookmini.h"

#include <wchar.h>

bool AppendPath(WCHAR (&buffer)[MAX_PATH], const WCHAR* text)
{
    size_t used = wcsnlen(buffer, MAX_PATH);
    size_t extra = wcslen(text);
    if (used >= MAX_PATH || extra >= MAX_PATH - used)
        return false;
    wmemcpy(buffer + used, text, extra + 1);
    return true;
}

bool CopyText(WCHAR* buffer, size_t capacity, const WCHAR* text)
{
    size_t length = wcslen(text);
    if (capacity == 0)
        return false;
    if (length >= capacity) {
        buffer[0] = L'\0';
        return false;
    }
    wmemcpy(buffer, text, length + 1);
    return true;
}

bool CutAtLastBackslash(WCHAR* text)
{
    WCHAR* last = wcsrchr(text, L'\\');
    if (!last)
        return false;
    *last = L'\0';
    return true;
}
