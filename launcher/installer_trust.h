// The trust check in front of the installer's elevated start: the downloaded
// file is held open against writing and deletion, it must be the very file
// that was downloaded, its Authenticode signature is verified through that
// handle, its signer must be the maker, and only then is it started.
#pragma once

#include "base/rookmini.h"
#include "download/download_job.h"

#include <wincrypt.h>
#include <wintrust.h>

// The maker as named in the subject of its code-signing certificate: both
// the organisation and the common name must match exactly.
extern const WCHAR kMakerPublisherOrganization[];
extern const WCHAR kMakerPublisherCommonName[];

// The status reported when the signature libraries cannot be had.
const LONG kTrustUnavailable = TRUST_E_SYSTEM_ERROR;

// Room for any sensible subject attribute; longer values count as unreadable.
const DWORD kNameChars = 128;

// What the verification found: its status and the signer's two names as
// CertGetNameStringW gave them, with the count it answered (characters
// written, the terminator included; 0 when not read).
struct TrustReadings {
    LONG status;
    WCHAR organization[kNameChars];
    DWORD organizationCount;
    WCHAR commonName[kNameChars];
    DWORD commonNameCount;
};

enum InstallerTrust {
    kTrustStart,           // signature valid and the signer is the maker
    kTrustBadSignature,    // verification reported an error
    kTrustOtherPublisher,  // valid signature, but not the maker's (or unreadable)
};

// A name counts only when it was read whole: not cut at the buffer, and
// without a NUL inside ("Corvid Software\0anything" is not the maker).
InstallerTrust JudgeInstallerTrust(const TrustReadings& readings);

// Whether the held file is the one to be started: the file that was
// downloaded (same identity) at the path the shell will open (its final
// path, where the system can tell it, names the same file as the path).
bool IsDownloadedFile(const FileIdentity& expected, const FileIdentity& held,
                      const WCHAR* finalPath, const WCHAR* path);

// Opens the installer, checks that it is the file downloaded, verifies it and
// its publisher, and starts it elevated with LaunchProgram while the file is
// still held; true only when the start succeeded. A refused file gets one
// diagnostic line and is not started.
bool StartVerifiedInstaller(const WCHAR* path, const WCHAR* folder, const FileIdentity& downloaded);
