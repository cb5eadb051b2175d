// The compiler-hijack gate against scripted csc.exe entries: which "Debugger"
// data counts as the svchost.exe hijack, that only the bytes read are looked
// at, and what the gate reads, closes and shows.
#include "checks/compiler_hijack.h"
#include "checks/error_dialog.h"
#include "support/fake_registry.h"

#include <gtest/gtest.h>

namespace {

using namespace fakereg;
using fakeui::Actions;

const HINSTANCE kInstance = reinterpret_cast<HINSTANCE>(0x400000);
INT_PTR g_dialogResult;

INT_PTR WINAPI FakeDialogBoxParamW(HINSTANCE instance, LPCWSTR dialogTemplate, HWND owner,
                                   DLGPROC procedure, LPARAM parameter)
{
    bool right = instance == kInstance && dialogTemplate == MAKEINTRESOURCEW(104) && !owner &&
                 procedure == ErrorDialogProc && parameter == 0;
    fakeui::g_actions.push_back(right ? "dialog" : "dialog with wrong arguments");
    return g_dialogResult;
}

const HijackPlatform kFake = {.RegOpenKeyExW = fakereg::RegOpenKeyExW,
                              .RegQueryValueExW = fakereg::RegQueryValueExW,
                              .RegCloseKey = fakereg::RegCloseKey,
                              .DialogBoxParamW = FakeDialogBoxParamW};

struct HijackCase {
    const char* label;
    bool keyPresent;
    std::vector<Value> values;
    bool result;
    INT_PTR dialogResult;
};

// A Debugger value: the bytes read and what the buffer holds after them.
std::vector<Value> Debugger(Bytes data, Bytes beyond = {})
{
    return {{"Debugger", data, beyond}};
}

}  // namespace

TEST(CompilerHijack, StopsOnlyForExactlySvchost)
{
    Bytes full = Raw(L"svchost.exe" + std::wstring(245, L'x'));          // 256 units, no null
    Bytes fullWithNull = Sz(L"svchost.exe" + std::wstring(244, L'\0'));  // exactly 512 bytes

    // clang-format off
    const HijackCase cases[] = {
        {"no csc.exe entry", false, {}, true},
        {"entry without Debugger", true, {}, true},
        {"svchost.exe", true, Debugger(Sz(L"svchost.exe")), false},
        {"the dialog failing still stops", true, Debugger(Sz(L"svchost.exe")), false, -1},
        {"svchost.exe stored without its null", true, Debugger(Raw(L"svchost.exe")), false},
        {"svchost.exe and an odd null byte", true, Debugger(Plus(Raw(L"svchost.exe"), {0})), false},
        {"svchost.exe, embedded null, more text (REG_MULTI_SZ)", true,
         Debugger(Plus(Raw(std::wstring(L"svchost.exe\0other.exe\0", 22)), {0, 0})), false},
        {"text before an embedded null svchost.exe", true,
         Debugger(Raw(std::wstring(L"junk\0svchost.exe\0", 17))), true},
        {"one letter in capitals", true, Debugger(Sz(L"svchost.Exe")), true},
        {"full path", true, Debugger(Sz(L"C:\\Windows\\System32\\svchost.exe")), true},
        {"with arguments", true, Debugger(Sz(L"svchost.exe -k")), true},
        {"trailing blank is not trimmed", true, Debugger(Sz(L"svchost.exe ")), true},
        {"leading blank is not trimmed", true, Debugger(Sz(L" svchost.exe")), true},
        {"empty text", true, Debugger(Sz(L"")), true},
        {"a DWORD", true, Debugger(Number(1)), true},
        {"svchost.ex read, the rest only left in the buffer", true,
         Debugger(Raw(L"svchost.ex"), Sz(L"e")), true},
        {"svchost.ex and an odd byte 'e' is not a whole unit", true,
         Debugger(Plus(Raw(L"svchost.ex"), {'e'}), {0, 0, 0}), true},
        {"empty read, svchost.exe only left in the buffer", true, Debugger({}, Sz(L"svchost.exe")),
         true},
        {"512 bytes without a null", true, Debugger(full), true},
        {"512 bytes with svchost.exe and nulls", true, Debugger(fullWithNull), false},
        {"514 bytes: the query fails", true, Debugger(Plus(fullWithNull, {0, 0})), true},
    };
    // clang-format on
    const Actions read = {"open csc", "query csc Debugger", "close csc"};
    const Actions shown = {"open csc", "query csc Debugger", "close csc", "dialog"};
    g_querySize = 512;
    for (const HijackCase& c : cases) {
        SCOPED_TRACE(c.label);
        g_keys = {{"csc",
                   L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution "
                   L"Options\\csc.exe",
                   c.keyPresent, c.values}};
        g_dialogResult = c.dialogResult;
        fakeui::g_actions.clear();
        EXPECT_EQ(c.result, CheckCompilerHijackOn(kFake, kInstance));
        EXPECT_EQ(c.keyPresent ? (c.result ? read : shown) : Actions{"open csc"},
                  fakeui::g_actions);
    }
}
