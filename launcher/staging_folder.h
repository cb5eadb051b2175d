// The staging folder of install mode: where the installer is saved and from
// where it is started elevated. Only the current user, the Administrators and
// SYSTEM may change it, and it is a plain folder, not a link. Its Windows
// calls come through a table so that tests can play any folder.
#pragma once

#include "base/rookmini.h"

#include <aclapi.h>
#include <shlobj.h>

struct StagingFolder {
    WCHAR folder[MAX_PATH];     // the folder in use
    WCHAR installer[MAX_PATH];  // the installer's path in it
    HANDLE held;                // the folder held open: it cannot be renamed or removed
};

// A protected DACL (nothing inherited from above) that gives full control,
// inherited by what is created inside, to the current user, the
// Administrators and SYSTEM, and to nobody else.
struct PrivateSecurity {
    SECURITY_DESCRIPTOR descriptor;
    BYTE acl[256];
    BYTE user[SECURITY_MAX_SID_SIZE];
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    BYTE system[SECURITY_MAX_SID_SIZE];
};

// Builds it for the given user; false when it cannot be built.
bool BuildPrivateSecurity(PrivateSecurity* security, PSID user);

// Whether a SID is one of the three that the private DACL names.
bool IsTrustedOwner(const PrivateSecurity& security, PSID owner);

struct StagingPlatform {
    decltype(&::SHGetSpecialFolderPathW) SHGetSpecialFolderPathW;
    decltype(&::GetTempPathW) GetTempPathW;
    decltype(&::CreateDirectoryW) CreateDirectoryW;
    decltype(&::GetFileAttributesW) GetFileAttributesW;
    decltype(&::CreateFileW) CreateFileW;
    decltype(&::GetFileInformationByHandle) GetFileInformationByHandle;
    decltype(&::GetSecurityInfo) GetSecurityInfo;
    decltype(&::SetSecurityInfo) SetSecurityInfo;
    decltype(&::FindFirstFileW) FindFirstFileW;
    decltype(&::FindNextFileW) FindNextFileW;
    decltype(&::FindClose) FindClose;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::GetLastError) GetLastError;
    decltype(&::GetTickCount) GetTickCount;
    // The current user's SID, copied into sid; false when it cannot be read.
    bool (*CurrentUser)(BYTE (&sid)[SECURITY_MAX_SID_SIZE]);
    void (*DebugLog)(const WCHAR* format, ...);
};

extern const StagingPlatform kWin32Staging;

// Prepares the staging folder: "Ironbark\Meridian\Temporary\meridian_mainmini"
// under the machine-wide application-data folder, created private or, when it
// exists, used only if it is a plain folder owned by one of the three, whose
// DACL can be made private, and that holds nothing but an earlier installer.
// Otherwise a fresh private folder with a unique name under the user's own
// temporary folder. False (nothing held) when no folder can be had.
bool PrepareStagingFolderOn(const StagingPlatform& os, StagingFolder* staging);
bool PrepareStagingFolder(StagingFolder* staging);

// Lets the folder go once the installer has been started or refused.
void ReleaseStagingFolder(StagingFolder* staging);
