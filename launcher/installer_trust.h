// The trust check in front of the installer's elevated start: the downloaded
// file is held open against writing and deletion, its Authenticode signature
// is verified through that handle, its signer must be the maker, and only
// then is it started. The Windows calls come through a table so that tests
// can answer them.
#pragma once

#include "base/rookmini.h"

#include <wincrypt.h>
#include <wintrust.h>

// The maker as named in the subject of its code-signing certificate: both
// the organisation and the common name must match exactly.
extern const WCHAR kMakerPublisherOrganization[];
extern const WCHAR kMakerPublisherCommonName[];

// The signature calls, looked up in the system's wintrust.dll and
// crypt32.dll when first needed.
struct TrustApi {
    decltype(&::WinVerifyTrust) WinVerifyTrust;
    decltype(&::WTHelperProvDataFromStateData) WTHelperProvDataFromStateData;
    decltype(&::WTHelperGetProvSignerFromChain) WTHelperGetProvSignerFromChain;
    decltype(&::CertGetNameStringW) CertGetNameStringW;
};

// The status reported when the signature libraries cannot be had.
const LONG kTrustUnavailable = TRUST_E_SYSTEM_ERROR;

struct TrustPlatform {
    // Fills the table from the system's libraries; false when any library
    // or function cannot be had.
    bool (*LoadTrust)(TrustApi* api);
    decltype(&::CreateFileW) CreateFileW;
    decltype(&::GetLastError) GetLastError;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::LaunchProgram) LaunchProgram;
    void (*DebugLog)(const WCHAR* format, ...);
};

extern const TrustPlatform kWin32Trust;

enum InstallerTrust {
    kTrustStart,           // signature valid and the signer is the maker
    kTrustBadSignature,    // verification reported an error
    kTrustOtherPublisher,  // valid signature, but not the maker's (or unreadable)
};

// The decision: the verification's status and the signer's organisation and
// common name (null when they could not be read).
InstallerTrust JudgeInstallerTrust(LONG status, const WCHAR* organization, const WCHAR* commonName);

// Opens the installer, verifies it and its publisher, and starts it elevated
// with LaunchProgram while the file is still held; true only when the start
// succeeded. A refused file gets one diagnostic line and is not started.
bool StartVerifiedInstallerOn(const TrustPlatform& os, const WCHAR* path, const WCHAR* folder);
bool StartVerifiedInstaller(const WCHAR* path, const WCHAR* folder);
