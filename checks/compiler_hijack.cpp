// The compiler-hijack gate: an Image File Execution Options entry for csc.exe
// whose "Debugger" is "svchost.exe" makes Windows start svchost.exe in place
// of the .NET compiler, and the App cannot run. When that entry is found the
// error dialog is shown and start-up stops; otherwise nothing is shown.
#include "checks/compiler_hijack.h"

#include "checks/error_dialog.h"
#include "res/resource.h"

static const WCHAR kCscOptionsKey[] =
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\csc.exe";
static const WCHAR kHijacker[] = L"svchost.exe";

// Only the bytes read count: the text ends at the first null within them, or
// with the last whole code unit when there is none. The comparison is exact
// and case-sensitive, code unit by code unit; nothing is trimmed.
bool IsCompilerHijacked(const DebuggerReading& reading)
{
    if (!reading.read)
        return false;
    DWORD size = reading.size;
    if (size > sizeof(reading.text))
        size = sizeof(reading.text);           // never look past the buffer
    const DWORD units = size / sizeof(WCHAR);  // an odd last byte takes no part
    const DWORD wanted = ARRAYSIZE(kHijacker) - 1;
    DWORD length = 0;
    while (length < units && reading.text[length] != L'\0')
        ++length;
    if (length != wanted)
        return false;
    for (DWORD i = 0; i < wanted; ++i) {
        if (reading.text[i] != kHijacker[i])
            return false;
    }
    return true;
}

bool CheckCompilerHijack()
{
    DebuggerReading reading;
    reading.read = false;
    reading.size = sizeof(reading.text);  // 512; a longer value fails the query
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCscOptionsKey, 0, KEY_QUERY_VALUE, &key) ==
        ERROR_SUCCESS) {
        reading.read = RegQueryValueExW(key, L"Debugger", nullptr, nullptr,
                                        reinterpret_cast<LPBYTE>(reading.text),
                                        &reading.size) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    if (!IsCompilerHijacked(reading))
        return true;

    // The dialog's result, even its failure to appear, does not matter.
    DialogBoxParamW(g_hInstance, MAKEINTRESOURCEW(IDD_CONFIG_ERROR), nullptr, ErrorDialogProc, 0);
    return false;
}
