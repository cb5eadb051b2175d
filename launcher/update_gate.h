// The update gate's seam and its plain decisions: reading the installed
// Meridian build, parsing the version manifest and choosing what to do, apart
// from the Windows calls that gather the readings and carry out the actions.
#pragma once

#include "base/rookmini.h"

#include <shellapi.h>
#include <shlobj.h>
#include <stddef.h>

#include "net/fetch.h"

// The probe's "not read" value of the registry reading.
const int kVersionNotRead = -100;

// An update verdict later than this after the App's start never ends the
// App: the user is working in it by then.
const DWORD kLateVerdict = 30000;

struct UpdateGatePlatform {
    decltype(&::RegOpenKeyExW) RegOpenKeyExW;
    decltype(&::RegQueryValueExW) RegQueryValueExW;
    decltype(&::RegCloseKey) RegCloseKey;
    decltype(&::SHGetSpecialFolderPathW) SHGetSpecialFolderPathW;
    decltype(&::GetPrivateProfileStringW) GetPrivateProfileStringW;
    decltype(&::GetTickCount) GetTickCount;
    decltype(&::Sleep) Sleep;
    decltype(&::GetWindowsDirectoryW) GetWindowsDirectoryW;
    decltype(&::ShellExecuteW) ShellExecuteW;
    decltype(&::MessageBoxW) MessageBoxW;
    decltype(&::FetchUrl) FetchUrl;
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

enum UpdateDecision { kNoUpdate, kBetaInstalled, kUpdateRequired, kUpdateTooLate };

// Signed comparison: an installation at or above the minimum needs nothing,
// a beta (negative) one is never updated, and an update found more than
// kLateVerdict milliseconds after the App's start (an unsigned tick
// difference) is left for the next start.
UpdateDecision DecideUpdate(int installed, int minimum, DWORD sinceStart);

int ProbeInstalledVersionOn(const UpdateGatePlatform& os);
int ProbeInstalledVersion();
void RunUpdateGateOn(const UpdateGatePlatform& os, DWORD startTick);
void RunUpdateGate(DWORD startTick);
