// The staging folder of install mode: where the installer is downloaded and
// from where it is started elevated. Every level of its path is held open
// from the start of install mode until the installer has started, each a real
// folder (not a link) owned by the user, the Administrators, SYSTEM or
// TrustedInstaller; the last level only the user, the Administrators and
// SYSTEM may change. Otherwise a fresh private folder under the user's own
// temporary folder serves instead.
#pragma once

#include "base/rookmini.h"

#include <aclapi.h>

// The levels under the machine-wide application-data folder.
const int kStagingLevels = 4;

struct StagingFolder {
    WCHAR folder[MAX_PATH];         // the folder in use
    WCHAR installer[MAX_PATH];      // the installer's path in it
    WCHAR partial[MAX_PATH];        // the partial download's path in it
    HANDLE levels[kStagingLevels];  // the folder and the levels above it, held
    HANDLE partialFile;             // created new, shared with nobody for writing
};

// A protected DACL (nothing inherited from above) that gives full control,
// inherited by what is created inside, to the current user, the
// Administrators and SYSTEM, and to nobody else; and the owners trusted.
struct PrivateSecurity {
    SECURITY_DESCRIPTOR descriptor;
    BYTE acl[256];
    BYTE user[SECURITY_MAX_SID_SIZE];
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    BYTE system[SECURITY_MAX_SID_SIZE];
    BYTE trustedInstaller[SECURITY_MAX_SID_SIZE];
};

// Builds it for the given user; false when it cannot be built.
bool BuildPrivateSecurity(PrivateSecurity* security, PSID user);

// What was read of one level of the folder's path.
struct FolderFacts {
    DWORD pathAttributes;  // of the path, as a link shows itself
    bool opened;           // opened without following a link
    DWORD heldAttributes;  // of what was opened
    bool ownerRead;
    BYTE owner[SECURITY_MAX_SID_SIZE];
};

// Whether a level can be trusted: a real folder, not a link by its path nor
// by its handle, whose owner is the user, the Administrators, SYSTEM or
// TrustedInstaller (an owner can always change the DACL back).
bool IsTrustedFolder(const FolderFacts& facts, const PrivateSecurity& security);

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
