// The trust check in front of the installer's elevated start: the downloaded
// file is held open against writing and deletion, it must be the very file
// that was downloaded, its Authenticode signature is verified through that
// handle, its signer must be the maker, and only then is it started.
#pragma once

#include "base/rookmini.h"
#include "download/download_job.h"

#include <wincrypt.h>
#include <wintrust.h>

// The fields of a certificate's subject that name its holder, in this order.
enum SubjectField { kCountry, kState, kLocality, kOrganization, kCommonName, kSubjectFields };

// One whole name of the maker, field by field.
struct MakerName {
    const WCHAR* fields[kSubjectFields];
};

// The maker's names, each as its code-signing certificate's subject states
// it: today one. A second is added when the maker announces a change of
// name, so that launchers already shipped accept its next certificate.
extern const MakerName kMakerNames[];
extern const int kMakerNameCount;

// The status reported when the signature libraries cannot be had.
const LONG kTrustUnavailable = TRUST_E_SYSTEM_ERROR;

// Room for any sensible subject attribute; longer values count as unreadable.
const DWORD kNameChars = 128;

// What the verification found: its status and the signer's subject fields as
// CertGetNameStringW gave them, with the count it answered (characters
// written, the terminator included; 0 when not read).
struct TrustReadings {
    LONG status;
    WCHAR fields[kSubjectFields][kNameChars];
    DWORD counts[kSubjectFields];
};

enum InstallerTrust {
    kTrustStart,           // signature valid and the signer is the maker
    kTrustBadSignature,    // verification reported an error
    kTrustOtherPublisher,  // valid signature, but not the maker's (or unreadable)
};

// The signer is the maker only when every field of its subject equals the
// same field of one of the maker's names, exactly: a company of the maker's
// name elsewhere (another country, state or town) is another publisher. A
// field counts only when it was read whole: not cut at the buffer, and
// without a NUL inside ("Corvid Software\0anything" is not the maker).
InstallerTrust JudgeInstallerTrust(const TrustReadings& readings);

// Whether the held file is the one to be started: the file that was
// downloaded (same identity), and, where the system can tell final paths,
// the file of that name in the held staging folder (the file's final path is
// the folder's final path and the name). A machine-wide folder that is itself
// a link to another volume resolves alike on both sides.
bool IsDownloadedFile(const FileIdentity& expected, const FileIdentity& held,
                      const WCHAR* finalPath, const WCHAR* folderFinalPath, const WCHAR* name);

// Opens the installer in the held staging folder, checks that it is the file
// downloaded, verifies it and its publisher, and starts it elevated with
// LaunchProgram while the file is still held; true only when the start
// succeeded. Whenever a signer was read, its subject, issuer and thumbprint
// are written; a refused file gets one more diagnostic line and is not
// started.
bool StartVerifiedInstaller(const WCHAR* path, const WCHAR* folder, HANDLE heldFolder,
                            const FileIdentity& downloaded);
