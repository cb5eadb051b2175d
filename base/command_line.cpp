// The command-line tail, by the C runtime's rule: the program name runs to
// the first control character or blank that stands outside double quotes;
// the blanks after it are skipped.
#include "base/command_line.h"

const WCHAR* CommandLineTail(const WCHAR* commandLine)
{
    const WCHAR* p = commandLine;
    bool quoted = false;
    while (*p && (*p > L' ' || quoted)) {
        if (*p == L'"')
            quoted = !quoted;
        ++p;
    }
    while (*p && *p <= L' ')
        ++p;
    return p;
}
