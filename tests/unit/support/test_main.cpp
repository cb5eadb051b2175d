// The unit tests' main: GoogleTest's, with a crash on any thread ending the
// program at once.
//
// GoogleTest built by mingw-w64 does not catch structured exceptions, so a
// fault in a test, in the download worker's thread or in a thread of Wine's
// that calls WinINet back goes unhandled. Under Wine that starts the
// debugger, and when the fault has spoilt the heap, starting it allocates
// from that heap, faults again and waits for ever. Every thread of the
// process starts under the unhandled-exception filter, so the one set here
// sees every crash first: it writes the exception, its address with the
// module and offset (so that a fault in WinINet or ntdll is named), the
// thread and the running test to the standard error, and ends the process
// with the exception code. It uses neither the heap nor the C runtime's
// streams (a lock of either may be held by the thread that crashed), and it
// ends the process rather than letting the exception unwind, which would
// run the destructors of a test that has gone wrong.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>

namespace {

char g_running[256] = "(between tests)";  // the running test, kept off the heap
std::atomic<DWORD> g_reporter{0};         // the thread reporting a crash

void Copy(char*& at, const char* end, const char* text)
{
    while (*text && at < end)
        *at++ = *text++;
}

void Hex(char*& at, const char* end, ULONG_PTR value, int digits)
{
    Copy(at, end, "0x");
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
        if (at < end)
            *at++ = "0123456789ABCDEF"[(value >> shift) & 0xF];
}

// The name of the module that holds an address, read from its export
// directory (the test program itself has none); null when unknown.
const char* ModuleOf(const void* address, ULONG_PTR* base)
{
    MEMORY_BASIC_INFORMATION region;
    *base = 0;
    if (!VirtualQuery(address, &region, sizeof(region)) || region.Type != MEM_IMAGE)
        return nullptr;
    const BYTE* image = static_cast<const BYTE*>(region.AllocationBase);
    *base = reinterpret_cast<ULONG_PTR>(image);
    if (image == reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr)))
        return "the test program";
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE)
        return nullptr;
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& exports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (nt->Signature != IMAGE_NT_SIGNATURE || exports.VirtualAddress == 0)
        return nullptr;
    return reinterpret_cast<const char*>(
        image +
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(image + exports.VirtualAddress)->Name);
}

class RunningTest : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo& test) override
    {
        char* at = g_running;
        const char* end = g_running + sizeof(g_running) - 1;
        Copy(at, end, test.test_suite_name());
        Copy(at, end, ".");
        Copy(at, end, test.name());
        *at = '\0';
    }
    void OnTestEnd(const testing::TestInfo&) override
    {
        lstrcpyA(g_running, "(between tests)");
    }
};

LONG WINAPI EndAtOnce(EXCEPTION_POINTERS* pointers)
{
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    DWORD self = GetCurrentThreadId();
    DWORD reporter = 0;
    if (g_reporter.compare_exchange_strong(reporter, self)) {
        char line[512];
        char* at = line;
        const char* end = line + sizeof(line) - 1;
        Copy(at, end, "\nCRASH: exception ");
        Hex(at, end, record->ExceptionCode, 8);
        Copy(at, end, " at ");
        Hex(at, end, reinterpret_cast<ULONG_PTR>(record->ExceptionAddress), 2 * sizeof(void*));
        ULONG_PTR base;
        if (const char* module = ModuleOf(record->ExceptionAddress, &base)) {
            Copy(at, end, " (");
            Copy(at, end, module);
            Copy(at, end, " +");
            Hex(at, end, reinterpret_cast<ULONG_PTR>(record->ExceptionAddress) - base, 8);
            Copy(at, end, ")");
        }
        if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2) {
            ULONG_PTR kind = record->ExceptionInformation[0];
            Copy(at, end, kind == 0 ? ", reading " : kind == 1 ? ", writing " : ", executing ");
            Hex(at, end, record->ExceptionInformation[1], 2 * sizeof(void*));
        }
        Copy(at, end, ", thread ");
        Hex(at, end, self, 4);
        Copy(at, end, ", in ");
        Copy(at, end, g_running);
        *at++ = '\n';
        DWORD written;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, static_cast<DWORD>(at - line), &written,
                  nullptr);
    } else if (reporter != self) {
        Sleep(2000);  // another thread is reporting its crash and ends the process
    }
    // (A fault while reporting comes back here on the same thread: it ends
    // the process at once.)
    TerminateProcess(GetCurrentProcess(), record->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int main(int argc, char** argv)
{
    SetUnhandledExceptionFilter(EndAtOnce);
    // Should anything replace the filter, Wine still starts no debugger.
    SetErrorMode(GetErrorMode() | SEM_NOGPFAULTERRORBOX);
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new RunningTest);
    return RUN_ALL_TESTS();
}
