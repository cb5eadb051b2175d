// OutputDebugString raises an exception that a debugger takes; without one,
// a vectored handler of the process's own sees it first and can end it.
#include "support/debug_lines.h"

#include <windows.h>

#include <algorithm>
#include <mutex>

namespace {

std::mutex g_lock;
std::vector<std::string>* g_lines = nullptr;

const DWORD kPrintA = 0x40010006;  // DBG_PRINTEXCEPTION_C
const DWORD kPrintW = 0x4001000A;  // DBG_PRINTEXCEPTION_WIDE_C

LONG CALLBACK Catch(EXCEPTION_POINTERS* pointers)
{
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if ((record->ExceptionCode != kPrintA && record->ExceptionCode != kPrintW) ||
        record->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    std::string line;
    if (record->ExceptionCode == kPrintW) {
        for (const WCHAR* p = reinterpret_cast<const WCHAR*>(record->ExceptionInformation[1]); *p;
             ++p)
            line += *p < 128 ? static_cast<char>(*p) : '?';
    } else {
        line = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    }
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_lines)
        g_lines->push_back(line);
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

DebugLines::DebugLines()
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_lines = new std::vector<std::string>();
    handler_ = AddVectoredExceptionHandler(1, Catch);
}

DebugLines::~DebugLines()
{
    RemoveVectoredExceptionHandler(handler_);
    std::lock_guard<std::mutex> hold(g_lock);
    delete g_lines;
    g_lines = nullptr;
}

std::vector<std::string> DebugLines::Lines() const
{
    std::lock_guard<std::mutex> hold(g_lock);
    return *g_lines;
}

bool DebugLines::Has(const std::string& line) const
{
    std::vector<std::string> lines = Lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}
