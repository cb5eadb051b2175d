// The platform seam of the compiler-hijack gate: the registry reads and the
// modal error dialog, so that tests can play any Image File Execution Options
// entry without showing anything.
#pragma once

#include "base/rookmini.h"

struct HijackPlatform {
    LONG(WINAPI* RegOpenKeyExW)(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access,
                                PHKEY key);
    LONG(WINAPI* RegQueryValueExW)(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type,
                                   LPBYTE data, LPDWORD size);
    LONG(WINAPI* RegCloseKey)(HKEY key);
    INT_PTR(WINAPI* DialogBoxParamW)(HINSTANCE instance, LPCWSTR dialogTemplate, HWND owner,
                                     DLGPROC procedure, LPARAM parameter);
};

extern const HijackPlatform kWin32Hijack;

// The gate on the given platform, with the error dialog loaded from instance:
// true lets start-up continue, false stops it.
bool CheckCompilerHijackOn(const HijackPlatform& os, HINSTANCE instance);
