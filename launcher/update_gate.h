// The update gate: its plain decisions (reading a build number, parsing the
// version manifest, choosing what to do) and the gate that gathers the
// readings and carries out the verdict.
#pragma once

#include "base/rookmini.h"
#include "launcher/level_trust.h"

// The probe's "not read" value of the registry reading.
const int kVersionNotRead = -100;

// An update verdict later than this after the App's start never ends the
// App: the user is working in it by then.
const DWORD kLateVerdict = 30000;

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
int ParseManifestMinimum(char* text);

enum UpdateDecision { kNoUpdate, kBetaInstalled, kUpdateRequired, kUpdateTooLate };

struct UpdateVerdict {
    UpdateDecision decision;
    DWORD elapsed;  // since the App's start, in milliseconds
    DWORD wait;     // before the App is ended: the rest of half a second
};

// Signed comparison: an installation at or above the minimum needs nothing,
// a beta (negative) one is never updated, and an update found more than
// kLateVerdict milliseconds after the App's start is left for the next
// start. Time is the unsigned difference of two tick counts, so it holds
// across the count's wrap.
UpdateVerdict DecideUpdate(int installed, int minimum, DWORD startTick, DWORD now);

// The levels under the machine-wide application-data folder down to the
// platform client's INI file: three folders, then the file.
const int kIniLevels = 4;

enum IniChain {
    kIniAbsent,     // a level does not exist: no INI file
    kIniTrusted,    // every level is a trusted one: the file may be read
    kIniUntrusted,  // a level someone else may have made: as if absent
};

// Whether the INI file may be read. Anyone may create folders and files
// under the application-data folder, so the file is believed only when it
// and every folder above it are real, not links, with a trusted owner.
IniChain JudgeIniChain(const LevelFacts (&levels)[kIniLevels], const PrivateSecurity& security);

// The installed build: the registry value, else the platform client's INI
// file when its chain is trusted, else 0.
int ProbeInstalledVersion();

// Reads the installed build and the manifest's minimum, and acts on the
// verdict: nothing, the beta line, or the App ended and the update question.
void RunUpdateGate(DWORD startTick);
