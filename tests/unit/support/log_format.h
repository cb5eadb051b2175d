// Formats a diagnostic line the way DebugLog does, for the fakes that stand
// in for it and record what the code under test wrote.
#pragma once

#include <windows.h>

#include <stdarg.h>

#include <string>

std::wstring FormatLogLine(const WCHAR* format, va_list args);
