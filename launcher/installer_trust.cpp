// The installer arrives over plain HTTP into a folder that other local users
// may be able to write to, and it is started with administrator rights. So it
// is started only when it carries a valid Authenticode signature of the
// maker's. The file is opened once, shared for reading only, verified through
// that handle and held until the shell has started it: neither the network
// nor another user can swap it between the check and the start.
#include "launcher/installer_trust.h"

#include "base/system_library.h"

#include <softpub.h>
#include <wchar.h>

const WCHAR kMakerPublisherOrganization[] = L"Corvid Software";
const WCHAR kMakerPublisherCommonName[] = L"Corvid Software";

static const GUID kVerifyAction = WINTRUST_ACTION_GENERIC_VERIFY_V2;

// Room for any sensible subject attribute; longer values count as unreadable.
static const DWORD kNameChars = 128;

InstallerTrust JudgeInstallerTrust(LONG status, const WCHAR* organization, const WCHAR* commonName)
{
    if (status != ERROR_SUCCESS)
        return kTrustBadSignature;
    if (!organization || !commonName)
        return kTrustOtherPublisher;
    if (wcscmp(organization, kMakerPublisherOrganization) != 0 ||
        wcscmp(commonName, kMakerPublisherCommonName) != 0)
        return kTrustOtherPublisher;
    return kTrustStart;
}

// Reads one attribute of the certificate's subject. False when it is absent,
// would not fit the buffer, or holds a NUL inside its value: such a value,
// "Corvid Software\0anything", would otherwise compare equal to the maker's.
static bool ReadSubjectAttribute(const TrustApi& api, PCCERT_CONTEXT certificate, const char* oid,
                                 WCHAR (&name)[kNameChars])
{
    name[0] = L'\0';
    DWORD count = api.CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0,
                                         const_cast<char*>(oid), name, kNameChars);
    // The count includes the terminator; a full buffer may mean a cut value.
    if (count < 2 || count >= kNameChars) {
        name[0] = L'\0';
        return false;
    }
    name[count - 1] = L'\0';
    return wcslen(name) == count - 1;
}

// Verifies the open file's signature through its handle and, when it holds,
// reads the signer's organisation and common name. Answers the verification
// status; the names are empty when they could not be read.
static LONG VerifyHeldFile(const TrustApi& api, const WCHAR* path, HANDLE file,
                           WCHAR (&organization)[kNameChars], WCHAR (&commonName)[kNameChars],
                           bool& namesRead)
{
    namesRead = false;
    organization[0] = L'\0';
    commonName[0] = L'\0';

    WINTRUST_FILE_INFO fileInfo;
    ZeroMemory(&fileInfo, sizeof(fileInfo));
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path;  // for display only: the handle is what is read
    fileInfo.hFile = file;

    // Revocation is looked up in the local cache only, so that a machine
    // without network access answers at once instead of waiting on a URL.
    WINTRUST_DATA trust;
    ZeroMemory(&trust, sizeof(trust));
    trust.cbStruct = sizeof(trust);
    trust.dwUIChoice = WTD_UI_NONE;
    trust.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &fileInfo;
    trust.dwStateAction = WTD_STATEACTION_VERIFY;
    trust.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;
    trust.dwUIContext = WTD_UICONTEXT_EXECUTE;

    // Read only, though the call's parameter is not declared const.
    GUID* action = const_cast<GUID*>(&kVerifyAction);
    LONG status = api.WinVerifyTrust(nullptr, action, &trust);

    if (status == ERROR_SUCCESS) {
        CRYPT_PROVIDER_DATA* provider = api.WTHelperProvDataFromStateData(trust.hWVTStateData);
        CRYPT_PROVIDER_SGNR* signer =
            provider ? api.WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
        // The first certificate of the signer's chain is the one that signed.
        PCCERT_CONTEXT certificate = nullptr;
        if (signer && signer->csCertChain > 0 && signer->pasCertChain)
            certificate = signer->pasCertChain[0].pCert;
        if (certificate) {
            bool haveOrganization =
                ReadSubjectAttribute(api, certificate, szOID_ORGANIZATION_NAME, organization);
            bool haveCommonName =
                ReadSubjectAttribute(api, certificate, szOID_COMMON_NAME, commonName);
            namesRead = haveOrganization && haveCommonName;
        }
    }

    // The state is released whatever the outcome; the names were copied out.
    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    api.WinVerifyTrust(nullptr, action, &trust);
    return status;
}

bool StartVerifiedInstallerOn(const TrustPlatform& os, const WCHAR* path, const WCHAR* folder)
{
    // Shared for reading only: while this handle is open nobody can write,
    // rename or delete the file, yet the shell can still open it to start it.
    HANDLE file = os.CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = os.GetLastError();
        os.DebugLog(L"RookMini: Installer not started, it cannot be opened. Error: %u", error);
        return false;
    }

    // Libraries that cannot be had refuse the installer like a bad signature.
    WCHAR organization[kNameChars];
    WCHAR commonName[kNameChars];
    bool namesRead = false;
    TrustApi api;
    LONG status = kTrustUnavailable;
    if (os.LoadTrust(&api))
        status = VerifyHeldFile(api, path, file, organization, commonName, namesRead);

    bool started = false;
    switch (JudgeInstallerTrust(status, namesRead ? organization : nullptr,
                                namesRead ? commonName : nullptr)) {
    case kTrustStart:
        // The shell opens the path again; the held handle keeps it the same file.
        started = os.LaunchProgram(true, path, folder, L"");
        break;
    case kTrustBadSignature:
        os.DebugLog(L"RookMini: Installer not started, signature check failed. Status: 0x%08X",
                    static_cast<DWORD>(status));
        break;
    case kTrustOtherPublisher:
        os.DebugLog(L"RookMini: Installer not started, its publisher is not the maker.");
        break;
    }
    os.CloseHandle(file);
    return started;
}

bool StartVerifiedInstaller(const WCHAR* path, const WCHAR* folder)
{
    return StartVerifiedInstallerOn(kWin32Trust, path, folder);
}

// Fills the table from the system folder's wintrust.dll and crypt32.dll.
static bool LoadSystemTrust(TrustApi* api)
{
    HMODULE wintrust = LoadSystemLibrary(L"wintrust.dll");
    HMODULE crypt32 = wintrust ? LoadSystemLibrary(L"crypt32.dll") : nullptr;
    return crypt32 && BindFunction(wintrust, "WinVerifyTrust", api->WinVerifyTrust) &&
           BindFunction(wintrust, "WTHelperProvDataFromStateData",
                        api->WTHelperProvDataFromStateData) &&
           BindFunction(wintrust, "WTHelperGetProvSignerFromChain",
                        api->WTHelperGetProvSignerFromChain) &&
           BindFunction(crypt32, "CertGetNameStringW", api->CertGetNameStringW);
}

const TrustPlatform kWin32Trust = {
    .LoadTrust = LoadSystemTrust,
    .CreateFileW = ::CreateFileW,
    .GetLastError = ::GetLastError,
    .CloseHandle = ::CloseHandle,
    .LaunchProgram = LaunchProgram,
    .DebugLog = DebugLog,
};
