// The compiler-hijack gate against scripted csc.exe entries: which "Debugger"
// data counts as the svchost.exe hijack, that only the bytes read are looked
// at, and what the gate reads, closes and shows.
#include "checks/compiler_hijack.h"
#include "checks/error_dialog.h"

#include <gtest/gtest.h>

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
Bytes Plus(Bytes b, std::initializer_list<BYTE> more)
{
    b.insert(b.end(), more);
    return b;
}

struct Entry {
    bool keyPresent = true;
    bool valuePresent = true;
    Bytes data;
    Bytes beyond;  // written into the buffer after the data, not counted as read
    INT_PTR dialogResult = 0;
};

Entry g_entry;
std::vector<std::string> g_actions;
const HKEY kCscKey = reinterpret_cast<HKEY>(0xC5C);
const HINSTANCE kInstance = reinterpret_cast<HINSTANCE>(0x400000);

LONG WINAPI FakeRegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY key)
{
    bool right = root == HKEY_LOCAL_MACHINE && options == 0 && access == KEY_QUERY_VALUE &&
                 wcscmp(subKey, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File "
                                L"Execution Options\\csc.exe") == 0;
    g_actions.push_back(right ? "open" : "open with wrong arguments");
    if (!g_entry.keyPresent)
        return ERROR_FILE_NOT_FOUND;
    *key = kCscKey;
    return ERROR_SUCCESS;
}

// Behaves as the registry does; then leaves bytes after the data in the
// buffer, which a comparison that reads past the data would see.
LONG WINAPI FakeRegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data,
                                 LPDWORD size)
{
    bool right = key == kCscKey && wcscmp(name, L"Debugger") == 0 && !type && *size == 512;
    g_actions.push_back(right ? "query" : "query with wrong arguments");
    if (!g_entry.valuePresent)
        return ERROR_FILE_NOT_FOUND;
    const Bytes& d = g_entry.data;
    if (d.size() > *size) {
        *size = DWORD(d.size());
        return ERROR_MORE_DATA;
    }
    memcpy(data, d.data(), d.size());
    size_t room = *size - d.size();
    memcpy(data + d.size(), g_entry.beyond.data(),
           g_entry.beyond.size() < room ? g_entry.beyond.size() : room);
    *size = DWORD(d.size());
    return ERROR_SUCCESS;
}

LONG WINAPI FakeRegCloseKey(HKEY key)
{
    g_actions.push_back(key == kCscKey ? "close" : "close of another key");
    return ERROR_SUCCESS;
}

INT_PTR WINAPI FakeDialogBoxParamW(HINSTANCE instance, LPCWSTR dialogTemplate, HWND owner,
                                   DLGPROC procedure, LPARAM parameter)
{
    bool right = instance == kInstance && dialogTemplate == MAKEINTRESOURCEW(104) && !owner &&
                 procedure == ErrorDialogProc && parameter == 0;
    g_actions.push_back(right ? "dialog" : "dialog with wrong arguments");
    return g_entry.dialogResult;
}

const HijackPlatform kFake = {FakeRegOpenKeyExW, FakeRegQueryValueExW, FakeRegCloseKey,
                              FakeDialogBoxParamW};

typedef std::vector<std::string> Actions;
const Actions kRead = {"open", "query", "close"};
const Actions kShown = {"open", "query", "close", "dialog"};

Entry Debugger(Bytes data, Bytes beyond = {})
{
    Entry e;
    e.data = data;
    e.beyond = beyond;
    return e;
}

struct HijackCase {
    const char* label;
    Entry entry;
    bool result;
    Actions actions;
};

}  // namespace

TEST(CompilerHijack, StopsOnlyForExactlySvchost)
{
    Entry noKey;
    noKey.keyPresent = false;
    Entry noValue;
    noValue.valuePresent = false;
    Entry failedDialog = Debugger(Sz(L"svchost.exe"));
    failedDialog.dialogResult = -1;
    Bytes full = Raw(L"svchost.exe" + std::wstring(245, L'x'));  // 256 units, no null
    Bytes fullWithNull = Sz(L"svchost.exe" + std::wstring(244, L'\0'));  // exactly 512 bytes

    const HijackCase cases[] = {
        {"no csc.exe entry", noKey, true, {"open"}},
        {"entry without Debugger", noValue, true, kRead},
        {"svchost.exe", Debugger(Sz(L"svchost.exe")), false, kShown},
        {"the dialog failing still stops", failedDialog, false, kShown},
        {"svchost.exe stored without its null", Debugger(Raw(L"svchost.exe")), false, kShown},
        {"svchost.exe and an odd null byte", Debugger(Plus(Raw(L"svchost.exe"), {0})), false,
         kShown},
        {"svchost.exe, embedded null, more text", Debugger(Sz(std::wstring(L"svchost.exe\0junk", 16))),
         false, kShown},
        {"svchost.exe, embedded null, more text (REG_MULTI_SZ)",
         Debugger(Plus(Raw(std::wstring(L"svchost.exe\0other.exe\0", 22)), {0, 0})), false,
         kShown},
        {"text before an embedded null svchost.exe",
         Debugger(Raw(std::wstring(L"junk\0svchost.exe\0", 17))), true, kRead},
        {"in capitals", Debugger(Sz(L"SVCHOST.EXE")), true, kRead},
        {"one letter in capitals", Debugger(Sz(L"svchost.Exe")), true, kRead},
        {"full path", Debugger(Sz(L"C:\\Windows\\System32\\svchost.exe")), true, kRead},
        {"with arguments", Debugger(Sz(L"svchost.exe -k")), true, kRead},
        {"trailing blank is not trimmed", Debugger(Sz(L"svchost.exe ")), true, kRead},
        {"leading blank is not trimmed", Debugger(Sz(L" svchost.exe")), true, kRead},
        {"quoted", Debugger(Sz(L"\"svchost.exe\"")), true, kRead},
        {"empty text", Debugger(Sz(L"")), true, kRead},
        {"no bytes at all", Debugger({}), true, kRead},
        {"a DWORD", Debugger({1, 0, 0, 0}), true, kRead},
        {"svchost.ex read, the rest only left in the buffer",
         Debugger(Raw(L"svchost.ex"), Sz(L"e")), true, kRead},
        {"svchost.ex and an odd byte 'e' is not a whole unit",
         Debugger(Plus(Raw(L"svchost.ex"), {'e'}), {0, 0, 0}), true, kRead},
        {"empty read, svchost.exe only left in the buffer", Debugger({}, Sz(L"svchost.exe")),
         true, kRead},
        {"512 bytes without a null", Debugger(full), true, kRead},
        {"512 bytes with svchost.exe and nulls", Debugger(fullWithNull), false, kShown},
        {"514 bytes: the query fails", Debugger(Plus(fullWithNull, {0, 0})), true, kRead},
        {"a long svchost.exe padding past 512 bytes fails the query",
         Debugger(Sz(L"svchost.exe" + std::wstring(300, L'\0'))), true, kRead},
    };
    for (const HijackCase& c : cases) {
        SCOPED_TRACE(c.label);
        g_entry = c.entry;
        g_actions.clear();
        EXPECT_EQ(c.result, CheckCompilerHijackOn(kFake, kInstance));
        EXPECT_EQ(c.actions, g_actions);
    }
}
