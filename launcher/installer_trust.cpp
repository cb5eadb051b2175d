// The installer arrives over plain HTTP and is started with administrator
// rights. So it is started only when it is the file this run downloaded and
// carries a valid Authenticode signature of the maker's. The file is opened
// once, shared for reading only, checked and verified through that handle and
// held until the shell has started it: neither the network nor another user
// can swap it between the check and the start.
#include "launcher/installer_trust.h"

#include "base/system_library.h"
#include "download/partial_file.h"

#include <softpub.h>
#include <wchar.h>

const MakerName kMakerNames[] = {
    {{L"NZ", L"Canterbury", L"Christchurch", L"Corvid Software", L"Corvid Software"}},
};
const int kMakerNameCount = ARRAYSIZE(kMakerNames);

// The subject attributes read, in the order of SubjectField.
static const char* const kFieldOids[kSubjectFields] = {
    szOID_COUNTRY_NAME, szOID_STATE_OR_PROVINCE_NAME, szOID_LOCALITY_NAME, szOID_ORGANIZATION_NAME,
    szOID_COMMON_NAME};

static const GUID kVerifyAction = WINTRUST_ACTION_GENERIC_VERIFY_V2;

// The signature calls, looked up in the system's wintrust.dll and
// crypt32.dll when first needed.
struct TrustApi {
    decltype(&::WinVerifyTrust) WinVerifyTrust;
    decltype(&::WTHelperProvDataFromStateData) WTHelperProvDataFromStateData;
    decltype(&::WTHelperGetProvSignerFromChain) WTHelperGetProvSignerFromChain;
    decltype(&::CertGetNameStringW) CertGetNameStringW;
    decltype(&::CertNameToStrW) CertNameToStrW;
    decltype(&::CertGetCertificateContextProperty) CertGetCertificateContextProperty;
};

// A field read whole and equal to the maker's.
static bool IsMakerField(const WCHAR* name, DWORD count, const WCHAR* maker)
{
    // The count includes the terminator; a full buffer may mean a cut value.
    if (count < 2 || count >= kNameChars || name[count - 1] != L'\0' || wcslen(name) != count - 1)
        return false;
    return wcscmp(name, maker) == 0;
}

InstallerTrust JudgeInstallerTrust(const TrustReadings& readings)
{
    if (readings.status != ERROR_SUCCESS)
        return kTrustBadSignature;
    for (int n = 0; n < kMakerNameCount; ++n) {
        int field = 0;
        while (field < kSubjectFields &&
               IsMakerField(readings.fields[field], readings.counts[field],
                            kMakerNames[n].fields[field]))
            ++field;
        if (field == kSubjectFields)
            return kTrustStart;
    }
    return kTrustOtherPublisher;
}

bool IsDownloadedFile(const FileIdentity& expected, const FileIdentity& held,
                      const WCHAR* finalPath, const WCHAR* folderFinalPath, const WCHAR* name)
{
    if (expected.volume != held.volume || expected.indexHigh != held.indexHigh ||
        expected.indexLow != held.indexLow)
        return false;
    if (!finalPath)
        return true;  // a system that cannot tell: the identity has to do
    // "\\\\?\\C:\\..." names a local path; anything else is not the folder's.
    size_t folder = wcslen(folderFinalPath);
    if (wcsncmp(finalPath, L"\\\\?\\", 4) != 0 || wcsncmp(finalPath + 4, L"UNC\\", 4) == 0 ||
        _wcsnicmp(finalPath, folderFinalPath, folder) != 0 || finalPath[folder] != L'\\')
        return false;
    return _wcsicmp(finalPath + folder + 1, name) == 0;
}

typedef DWORD(WINAPI* FinalPathFn)(HANDLE file, LPWSTR path, DWORD size, DWORD flags);

// A handle's final path, as FILE_NAME_NORMALIZED gives it; false when it
// cannot be read whole.
static bool ReadFinalPath(FinalPathFn finalPathOf, HANDLE handle, WCHAR (&path)[MAX_PATH + 8])
{
    DWORD length = finalPathOf(handle, path, MAX_PATH + 8, FILE_NAME_NORMALIZED);
    return length != 0 && length < MAX_PATH + 8;
}

// Checks that the held file is the one downloaded, in the held folder. Where
// the system tells a handle's final path (Windows Vista and later), a path
// it cannot tell refuses the file.
static bool HoldsDownloadedFile(HANDLE file, const WCHAR* path, HANDLE folder,
                                const FileIdentity& downloaded)
{
    FileIdentity held;
    if (!ReadFileIdentity(file, &held))
        return false;
    FinalPathFn finalPathOf = reinterpret_cast<FinalPathFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetFinalPathNameByHandleW")));
    if (!finalPathOf)
        return IsDownloadedFile(downloaded, held, nullptr, nullptr, nullptr);
    WCHAR finalPath[MAX_PATH + 8];
    WCHAR folderPath[MAX_PATH + 8];
    const WCHAR* name = wcsrchr(path, L'\\');
    return name && ReadFinalPath(finalPathOf, file, finalPath) &&
           ReadFinalPath(finalPathOf, folder, folderPath) &&
           IsDownloadedFile(downloaded, held, finalPath, folderPath, name + 1);
}

// Writes who signed: the certificate's subject and issuer as X.500 names,
// and its SHA-1 thumbprint.
static void LogSigner(const TrustApi& api, PCCERT_CONTEXT certificate)
{
    WCHAR subject[256];
    WCHAR issuer[256];
    api.CertNameToStrW(X509_ASN_ENCODING, &certificate->pCertInfo->Subject, CERT_X500_NAME_STR,
                       subject, ARRAYSIZE(subject));
    api.CertNameToStrW(X509_ASN_ENCODING, &certificate->pCertInfo->Issuer, CERT_X500_NAME_STR,
                       issuer, ARRAYSIZE(issuer));
    BYTE hash[20];
    DWORD size = sizeof(hash);
    WCHAR thumbprint[2 * sizeof(hash) + 1] = L"";
    if (api.CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, hash, &size) &&
        size == sizeof(hash)) {
        for (DWORD i = 0; i < size; ++i)
            wsprintfW(thumbprint + 2 * i, L"%02X", hash[i]);
    }
    DebugLog(L"RookMini: Installer signed by '%s', issued by '%s', thumbprint %s", subject, issuer,
             thumbprint);
}

// Verifies the open file's signature through its handle and reads the
// signer's subject fields, writing who the signer is.
static void VerifyHeldFile(const TrustApi& api, const WCHAR* path, HANDLE file,
                           TrustReadings& readings)
{
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
    readings.status = api.WinVerifyTrust(nullptr, action, &trust);

    // The signer is read, and named, whatever the verdict: the fields count
    // only with a valid signature.
    if (trust.hWVTStateData) {
        CRYPT_PROVIDER_DATA* provider = api.WTHelperProvDataFromStateData(trust.hWVTStateData);
        CRYPT_PROVIDER_SGNR* signer =
            provider ? api.WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
        // The first certificate of the signer's chain is the one that signed.
        PCCERT_CONTEXT certificate = nullptr;
        if (signer && signer->csCertChain > 0 && signer->pasCertChain)
            certificate = signer->pasCertChain[0].pCert;
        if (certificate) {
            LogSigner(api, certificate);
            for (int field = 0; field < kSubjectFields; ++field) {
                readings.fields[field][0] = L'\0';
                readings.counts[field] = api.CertGetNameStringW(
                    certificate, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(kFieldOids[field]),
                    readings.fields[field], kNameChars);
            }
        }
    }

    // The state is released whatever the outcome; the names were copied out.
    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    api.WinVerifyTrust(nullptr, action, &trust);
}

// Fills the table from the system folder's wintrust.dll and crypt32.dll.
static bool LoadTrust(TrustApi* api)
{
    HMODULE wintrust = LoadSystemLibrary(L"wintrust.dll");
    HMODULE crypt32 = wintrust ? LoadSystemLibrary(L"crypt32.dll") : nullptr;
    return crypt32 && BindFunction(wintrust, "WinVerifyTrust", api->WinVerifyTrust) &&
           BindFunction(wintrust, "WTHelperProvDataFromStateData",
                        api->WTHelperProvDataFromStateData) &&
           BindFunction(wintrust, "WTHelperGetProvSignerFromChain",
                        api->WTHelperGetProvSignerFromChain) &&
           BindFunction(crypt32, "CertGetNameStringW", api->CertGetNameStringW) &&
           BindFunction(crypt32, "CertNameToStrW", api->CertNameToStrW) &&
           BindFunction(crypt32, "CertGetCertificateContextProperty",
                        api->CertGetCertificateContextProperty);
}

bool StartVerifiedInstaller(const WCHAR* path, const WCHAR* folder, HANDLE heldFolder,
                            const FileIdentity& downloaded)
{
    // Shared for reading only: while this handle is open nobody can write,
    // rename or delete the file, yet the shell can still open it to start it.
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        DebugLog(L"RookMini: Installer not started, it cannot be opened. Error: %u", error);
        return false;
    }
    if (!HoldsDownloadedFile(file, path, heldFolder, downloaded)) {
        DebugLog(L"RookMini: Installer not started, it is not the file downloaded.");
        CloseHandle(file);
        return false;
    }

    // Libraries that cannot be had refuse the installer like a bad signature.
    TrustReadings readings = {};
    readings.status = kTrustUnavailable;
    TrustApi api;
    if (LoadTrust(&api))
        VerifyHeldFile(api, path, file, readings);

    bool started = false;
    switch (JudgeInstallerTrust(readings)) {
    case kTrustStart:
        // The shell opens the path again; the held handle keeps it the same file.
        started = LaunchProgram(true, path, folder, L"");
        break;
    case kTrustBadSignature:
        DebugLog(L"RookMini: Installer not started, signature check failed. Status: 0x%08X",
                 static_cast<DWORD>(readings.status));
        break;
    case kTrustOtherPublisher:
        DebugLog(L"RookMini: Installer not started, its publisher is not the maker.");
        break;
    }
    CloseHandle(file);
    return started;
}
