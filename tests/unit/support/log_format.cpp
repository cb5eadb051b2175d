// One formatter for every fake DebugLog: wvsprintfW into a zero-filled
// buffer of the same size as the launcher's.
#include "log_format.h"

std::wstring FormatLogLine(const WCHAR* format, va_list args)
{
    WCHAR line[1536] = {0};
    wvsprintfW(line, format, args);
    return line;
}
