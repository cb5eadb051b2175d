// The compiler-hijack gate: which "Debugger" data counts as the svchost.exe
// hijack, only the bytes read looked at (by table); then the gate itself,
// reading values written under the real key path, and the real error dialog
// it shows, ended with OK once it is up.
#include "checks/compiler_hijack.h"

#include <gtest/gtest.h>

#include "support/scratch_machine.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

typedef std::vector<BYTE> Bytes;

Bytes Raw(const std::wstring& text)  // the code units, nothing added
{
    const BYTE* p = reinterpret_cast<const BYTE*>(text.data());
    return Bytes(p, p + text.size() * sizeof(wchar_t));
}

Bytes Sz(const std::wstring& text)  // as REG_SZ stores it, with its null
{
    return Raw(text + L'\0');
}

Bytes Plus(Bytes bytes, const Bytes& more)
{
    bytes.insert(bytes.end(), more.begin(), more.end());
    return bytes;
}

// A reading: the bytes read, and what the buffer holds after them.
DebuggerReading Reading(const Bytes& data, const Bytes& beyond = {}, bool read = true)
{
    DebuggerReading reading;
    memset(&reading, 0, sizeof(reading));
    reading.read = read;
    Bytes all = Plus(data, beyond);
    memcpy(reading.text, all.data(), all.size() < 512 ? all.size() : 512);
    reading.size = DWORD(data.size());
    return reading;
}

const wchar_t kCsc[] =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\csc.exe";

// Ends the error dialog with OK once it is up: a timer of this thread fires
// inside the dialog's modal loop.
HWND g_seen;
void CALLBACK PressOk(HWND, UINT, UINT_PTR, DWORD)
{
    HWND dialog = FindWindowW(L"#32770", L"Corvid App Error");
    if (!dialog || dialog == g_seen)
        return;
    g_seen = dialog;
    EXPECT_EQ(nullptr, GetWindow(dialog, GW_OWNER));
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
}

}  // namespace

TEST(CompilerHijack, OnlyExactlySvchostInTheBytesReadIsTheHijack)
{
    const std::wstring svchost = L"svchost.exe";
    struct Case {
        const char* label;
        DebuggerReading reading;
        bool hijacked;
    };
    // clang-format off
    const Case cases[] = {
        {"svchost.exe", Reading(Sz(svchost)), true},
        {"stored without its null", Reading(Raw(svchost)), true},
        {"and an odd null byte", Reading(Plus(Raw(svchost), {0})), true},
        {"first of a REG_MULTI_SZ", Reading(Plus(Raw(std::wstring(L"svchost.exe\0other.exe\0", 22)), {0, 0})), true},
        {"512 bytes: svchost.exe and nulls", Reading(Sz(svchost + std::wstring(244, L'\0'))), true},
        {"text before an embedded null svchost.exe", Reading(Raw(std::wstring(L"junk\0svchost.exe\0", 17))), false},
        {"one letter in capitals", Reading(Sz(L"svchost.Exe")), false},
        {"full path", Reading(Sz(L"C:\\Windows\\System32\\svchost.exe")), false},
        {"with arguments", Reading(Sz(L"svchost.exe -k")), false},
        {"trailing blank is not trimmed", Reading(Sz(L"svchost.exe ")), false},
        {"leading blank is not trimmed", Reading(Sz(L" svchost.exe")), false},
        {"empty text", Reading(Sz(L"")), false},
        {"a DWORD", Reading({1, 0, 0, 0}), false},
        {"svchost.ex read, the rest only left in the buffer", Reading(Raw(L"svchost.ex"), Sz(L"e")), false},
        {"svchost.ex and an odd byte 'e' is not a whole unit", Reading(Plus(Raw(L"svchost.ex"), {'e'}), {0, 0, 0}), false},
        {"nothing read, svchost.exe left in the buffer", Reading({}, Sz(svchost)), false},
        {"the query failed, svchost.exe left in the buffer", Reading(Sz(svchost), {}, false), false},
        {"512 bytes without a null", Reading(Raw(svchost + std::wstring(245, L'x'))), false},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.hijacked, IsCompilerHijacked(c.reading));
    }
}

TEST(CompilerHijack, ReadsTheCscEntryAndShowsTheErrorDialogUntilOk)
{
    const std::wstring svchost = L"svchost.exe";
    struct Case {
        const char* label;
        std::vector<MachineValue> values;
        bool withTemplate;
        bool continues;
        bool dialog;  // shown and ended with OK
    };
    // clang-format off
    const Case cases[] = {
        {"no csc.exe entry", {}, true, true, false},
        {"an entry without Debugger", {NoValue(kCsc)}, true, true, false},
        {"svchost.exe", {Text(kCsc, L"Debugger", svchost)}, true, false, true},
        {"512 bytes fill the buffer", {Binary(kCsc, L"Debugger", Sz(svchost + std::wstring(244, L'\0')))}, true, false, true},
        {"514 bytes fail the query", {Binary(kCsc, L"Debugger", Sz(svchost + std::wstring(245, L'\0')))}, true, true, false},
        {"the dialog cannot be made: stop all the same", {Text(kCsc, L"Debugger", svchost)}, false, false, false},
    };
    // clang-format on
    // The first window of a process leaves the window system's own handles
    // open; one made and gone before the cases keeps them out of the count.
    g_hInstance = GetModuleHandleW(nullptr);
    DestroyWindow(CreateDialogParamW(g_hInstance, MAKEINTRESOURCEW(104), nullptr, nullptr, 0));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchMachine machine(c.values);
        // A module without the dialog template makes DialogBoxParamW fail.
        g_hInstance =
            c.withTemplate ? GetModuleHandleW(nullptr) : GetModuleHandleW(L"kernel32.dll");
        g_seen = nullptr;
        UINT_PTR timer = SetTimer(nullptr, 0, 50, PressOk);
        const HKEY next = NextKeyHandle();
        EXPECT_EQ(c.continues, CheckCompilerHijack());
        EXPECT_EQ(next, NextKeyHandle()) << "a key left open";
        KillTimer(nullptr, timer);
        EXPECT_EQ(c.dialog, g_seen != nullptr);
    }
}
