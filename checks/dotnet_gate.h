// The platform seam of the .NET Framework gate: every Windows call the gate
// makes, with the real signatures, so that tests can play any machine.
#pragma once

#include "base/rookmini.h"

#include <shellapi.h>

struct DotNetPlatform {
    LONG(WINAPI* RegOpenKeyExW)(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access,
                                PHKEY key);
    LONG(WINAPI* RegQueryValueExW)(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type,
                                   LPBYTE data, LPDWORD size);
    LONG(WINAPI* RegCloseKey)(HKEY key);
    int(WINAPI* MessageBoxW)(HWND owner, LPCWSTR text, LPCWSTR caption, UINT flags);
    BOOL(WINAPI* GetVersionExW)(LPOSVERSIONINFOW info);
    HMODULE(WINAPI* LoadLibraryA)(LPCSTR name);
    FARPROC(WINAPI* GetProcAddress)(HMODULE module, LPCSTR name);
    UINT(WINAPI* GetSystemDirectoryW)(LPWSTR buffer, UINT size);
    DWORD(WINAPI* GetFileAttributesW)(LPCWSTR path);
    HINSTANCE(WINAPI* ShellExecuteW)(HWND window, LPCWSTR verb, LPCWSTR file,
                                     LPCWSTR parameters, LPCWSTR directory, INT show);
};

extern const DotNetPlatform kWin32DotNet;

// The gate on the given platform: true lets start-up continue, false stops it.
bool CheckDotNetPrerequisiteOn(const DotNetPlatform& os);
