// The staging folder of install mode: where the installer is downloaded and
// from where it is started elevated. Every level of its path is held open
// from the start of install mode until the installer has started, each a real
// folder (not a link) owned by the user, the Administrators, SYSTEM or
// TrustedInstaller; the last level only the user, the Administrators and
// SYSTEM may change. Otherwise a fresh private folder under the user's own
// temporary folder serves instead.
#pragma once

#include "launcher/level_trust.h"

// The levels under the machine-wide application-data folder.
const int kStagingLevels = 4;

struct StagingFolder {
    WCHAR folder[MAX_PATH];         // the folder in use
    WCHAR installer[MAX_PATH];      // the installer's path in it
    WCHAR partial[MAX_PATH];        // the partial download's path in it
    HANDLE levels[kStagingLevels];  // the folder and the levels above it, held
    HANDLE partialFile;             // created new, shared with nobody for writing
};

// Whether an entry found in an existing staging folder may stay: only an
// installer or a partial download of an earlier run, as plain files. Anything
// else (a DLL beside the installer, say) may have been put there by someone
// else while the folder was open to all.
bool IsStagingEntry(const WCHAR* name, DWORD attributes);

// Prepares the staging folder under the machine-wide application-data
// folder, or a fresh one under the user's temporary folder, and creates the
// partial file in it. False (nothing held) when no folder can be had.
bool PrepareStagingFolder(StagingFolder* staging);

// The same under the given application-data folder.
bool PrepareStagingFolderIn(const WCHAR* appData, StagingFolder* staging);

// Lets the folder go once the installer has been started or refused; removes
// a partial file it still holds.
void ReleaseStagingFolder(StagingFolder* staging);
