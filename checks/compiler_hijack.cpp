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

// Whether registry data read as UTF-16 text is exactly "svchost.exe". Only
// the bytes read count: the text ends at the first null within them, or with
// the last whole code unit when there is none.
static bool DebuggerIsSvchost(const WCHAR* data, DWORD bytesRead)
{
    // An odd last byte is not a whole code unit and takes no part.
    const DWORD units = bytesRead / sizeof(WCHAR);
    const DWORD wanted = ARRAYSIZE(kHijacker) - 1;
    DWORD length = 0;
    while (length < units && data[length] != L'\0')
        ++length;
    if (length != wanted)
        return false;
    // Exact and case-sensitive, code unit by code unit; nothing is trimmed.
    for (DWORD i = 0; i < wanted; ++i) {
        if (data[i] != kHijacker[i])
            return false;
    }
    return true;
}

bool CheckCompilerHijackOn(const HijackPlatform& os, HINSTANCE instance)
{
    HKEY key;
    if (os.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCscOptionsKey, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return true;

    // 512 bytes; a longer value fails the query and counts as absent.
    WCHAR debugger[256];
    DWORD size = sizeof(debugger);
    LONG status = os.RegQueryValueExW(key, L"Debugger", nullptr, nullptr,
                                      reinterpret_cast<LPBYTE>(debugger), &size);
    os.RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return true;
    if (size > sizeof(debugger))
        size = sizeof(debugger);  // never look past the buffer
    if (!DebuggerIsSvchost(debugger, size))
        return true;

    // The dialog's result, even its failure to appear, does not matter.
    os.DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_CONFIG_ERROR), nullptr, ErrorDialogProc, 0);
    return false;
}

bool CheckCompilerHijack()
{
    return CheckCompilerHijackOn(kWin32Hijack, g_hInstance);
}

const HijackPlatform kWin32Hijack = {
    .RegOpenKeyExW = ::RegOpenKeyExW,
    .RegQueryValueExW = ::RegQueryValueExW,
    .RegCloseKey = ::RegCloseKey,
    .DialogBoxParamW = ::DialogBoxParamW,
};
