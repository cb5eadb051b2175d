// The diagnostic log: one formatted line to the debugger output, nothing else.
#include "base/rookmini.h"

#include <stdarg.h>

void DebugLog(const WCHAR* format, ...)
{
    // wvsprintfW writes at most 1024 characters, terminator included, so the
    // buffer can never be overrun; a longer line comes out cut.
    WCHAR line[1536] = {0};
    va_list args;
    va_start(args, format);
    wvsprintfW(line, format, args);
    va_end(args);
    OutputDebugStringW(line);
}
