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

struct TrustPlatform {
    HANDLE(WINAPI* CreateFileW)(LPCWSTR path, DWORD access, DWORD share,
                                LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                                DWORD flags, HANDLE templateFile);
    DWORD(WINAPI* GetLastError)();
    LONG(WINAPI* WinVerifyTrust)(HWND window, GUID* action, LPVOID data);
    CRYPT_PROVIDER_DATA*(WINAPI* WTHelperProvDataFromStateData)(HANDLE state);
    CRYPT_PROVIDER_SGNR*(WINAPI* WTHelperGetProvSignerFromChain)(
        CRYPT_PROVIDER_DATA* data, DWORD signer, BOOL counterSigner, DWORD counterSignerIndex);
    DWORD(WINAPI* CertGetNameStringW)(PCCERT_CONTEXT certificate, DWORD type, DWORD flags,
                                      void* typeParameter, LPWSTR name, DWORD size);
    BOOL(WINAPI* CloseHandle)(HANDLE handle);
    bool (*LaunchProgram)(bool elevate, const WCHAR* file, const WCHAR* directory,
                          const WCHAR* parameters);
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
InstallerTrust JudgeInstallerTrust(LONG status, const WCHAR* organization,
                                   const WCHAR* commonName);

// Opens the installer, verifies it and its publisher, and starts it elevated
// with LaunchProgram while the file is still held; true only when the start
// succeeded. A refused file gets one diagnostic line and is not started.
bool StartVerifiedInstallerOn(const TrustPlatform& os, const WCHAR* path, const WCHAR* folder);
bool StartVerifiedInstaller(const WCHAR* path, const WCHAR* folder);
