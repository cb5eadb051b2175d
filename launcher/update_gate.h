// The update gate's seam and its plain decisions: reading the installed
// Meridian build, parsing the version manifest and choosing what to do, apart
// from the Windows calls that gather the readings and carry out the actions.
#pragma once

#include "base/rookmini.h"

#include <shellapi.h>
#include <stddef.h>

#include "net/fetch.h"

// The probe's "not read" value of the registry reading.
const int kVersionNotRead = -100;

struct UpdateGatePlatform {
    LSTATUS(WINAPI* RegOpenKeyExW)(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access,
                                   PHKEY result);
    LSTATUS(WINAPI* RegQueryValueExW)(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type,
                                      LPBYTE data, LPDWORD size);
    LSTATUS(WINAPI* RegCloseKey)(HKEY key);
    BOOL(WINAPI* SHGetSpecialFolderPathW)(HWND owner, LPWSTR path, int folder, BOOL create);
    DWORD(WINAPI* GetPrivateProfileStringW)(LPCWSTR section, LPCWSTR key, LPCWSTR fallback,
                                            LPWSTR value, DWORD size, LPCWSTR file);
    DWORD(WINAPI* GetTickCount)();
    void(WINAPI* Sleep)(DWORD milliseconds);
    UINT(WINAPI* GetWindowsDirectoryW)(LPWSTR path, UINT size);
    HINSTANCE(WINAPI* ShellExecuteW)(HWND window, LPCWSTR verb, LPCWSTR file,
                                     LPCWSTR parameters, LPCWSTR directory, INT show);
    int(WINAPI* MessageBoxW)(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
    bool (*FetchUrl)(const WCHAR* url, BYTE** body, DWORD* length,
                     FetchProgressCallback progress);
    void (*DebugLog)(const WCHAR* format, ...);
    void* (*malloc)(size_t size);
    void (*free)(void* block);
};

extern const UpdateGatePlatform kWin32UpdateGate;

// Decimal conversion as the C runtime's atoi does it (leading blanks skipped,
// optional sign, stops at the first non-digit, 0 without digits), except that
// a number beyond the signed 32-bit range gives the nearest limit.
int DecimalClamped(const char* text);
int DecimalClamped(const WCHAR* text);

// The build number of a dotted INI version: the number after its last full
// stop, or the whole value when it has none.
int BuildFromIniVersion(const WCHAR* version);

// Finds the minimum build in a terminated manifest text, writing the
// diagnostics of a missing key, a missing full stop or the number found.
// Ends the text at the full stop after the number. 0 when not found.
int ParseManifestMinimum(char* text, void (*log)(const WCHAR* format, ...));

enum UpdateDecision { kNoUpdate, kBetaInstalled, kUpdateRequired };

// Signed comparison: an installation at or above the minimum needs nothing,
// a beta (negative) one is never updated.
UpdateDecision DecideUpdate(int installed, int minimum);

int ProbeInstalledVersionOn(const UpdateGatePlatform& os);
int ProbeInstalledVersion();
void RunUpdateGateOn(const UpdateGatePlatform& os, DWORD startTick);
