// The installer's trust check: which files are started and which refused
// with which line, the handle's life around the start, and, with the real
// Windows calls, that a held installer can be neither rewritten nor deleted
// and that an unsigned program is refused.
#include "launcher/installer_trust.h"

#include <gtest/gtest.h>

#include "support/log_format.h"

#include <softpub.h>

#include <cstdarg>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const WCHAR kPath[] = L"C:\\staging\\meridian_setupfull.exe";
const WCHAR kFolder[] = L"C:\\staging";
HANDLE const kFile = reinterpret_cast<HANDLE>(0x51);
HANDLE const kState = reinterpret_cast<HANDLE>(0x77);

// A scripted machine and what the check did on it. A name is given as the
// whole value that the certificate holds, embedded NULs included; "absent"
// is an attribute the subject does not have.
struct Script {
    DWORD openError;  // 0: the file opens
    LONG status;
    std::wstring organization, commonName;
    bool launchResult;
    bool noProvider, noSigner, organizationAbsent;
    bool librariesMissing;
};

struct Machine : Script {
    std::wstring events;  // O open, V verify, C state closed, L launch, D line, H handle closed
    std::vector<std::wstring> lines;
    DWORD access, share, disposition;
    std::wstring launchedFile, launchedFolder, launchedParameters;
    bool launchedElevated;
    bool verifyArgumentsRight, closedRightState;
};

Machine g_machine;
CRYPT_PROVIDER_DATA g_provider;
CRYPT_PROVIDER_SGNR g_signer;
CRYPT_PROVIDER_CERT g_signerCertificate;
CERT_CONTEXT g_certificate;

HANDLE WINAPI FakeCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                              DWORD disposition, DWORD, HANDLE)
{
    EXPECT_STREQ(kPath, path);
    g_machine.events += L'O';
    g_machine.access = access;
    g_machine.share = share;
    g_machine.disposition = disposition;
    return g_machine.openError ? INVALID_HANDLE_VALUE : kFile;
}

DWORD WINAPI FakeGetLastError()
{
    return g_machine.openError;
}

LONG WINAPI FakeWinVerifyTrust(HWND, GUID* action, LPVOID data)
{
    static const GUID kGenericVerify = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_DATA* trust = static_cast<WINTRUST_DATA*>(data);
    EXPECT_TRUE(IsEqualGUID(kGenericVerify, *action));
    if (trust->dwStateAction == WTD_STATEACTION_CLOSE) {
        g_machine.events += L'C';
        g_machine.closedRightState = trust->hWVTStateData == kState;
        return ERROR_SUCCESS;
    }
    g_machine.events += L'V';
    g_machine.verifyArgumentsRight =
        trust->cbStruct == sizeof(WINTRUST_DATA) && trust->dwUIChoice == WTD_UI_NONE &&
        trust->dwUnionChoice == WTD_CHOICE_FILE && trust->pFile && trust->pFile->hFile == kFile &&
        trust->dwStateAction == WTD_STATEACTION_VERIFY &&
        (trust->dwProvFlags & WTD_CACHE_ONLY_URL_RETRIEVAL) &&
        trust->fdwRevocationChecks == WTD_REVOKE_WHOLECHAIN;
    trust->hWVTStateData = kState;  // Windows hands over state on failures too
    return g_machine.status;
}

CRYPT_PROVIDER_DATA* WINAPI FakeProvData(HANDLE state)
{
    EXPECT_EQ(kState, state);
    return g_machine.noProvider ? nullptr : &g_provider;
}

CRYPT_PROVIDER_SGNR* WINAPI FakeSigner(CRYPT_PROVIDER_DATA* data, DWORD index, BOOL counter, DWORD)
{
    EXPECT_EQ(&g_provider, data);
    EXPECT_EQ(0u, index);
    EXPECT_FALSE(counter);
    if (g_machine.noSigner)
        return nullptr;
    g_signerCertificate.pCert = &g_certificate;
    g_signer.csCertChain = 1;
    g_signer.pasCertChain = &g_signerCertificate;
    return &g_signer;
}

// Copies as the real call does: cut to the buffer, the count including the
// terminator, an absent attribute as the empty string.
DWORD WINAPI FakeCertGetNameStringW(PCCERT_CONTEXT certificate, DWORD type, DWORD, void* oid,
                                    LPWSTR name, DWORD size)
{
    EXPECT_EQ(&g_certificate, certificate);
    EXPECT_EQ(DWORD(CERT_NAME_ATTR_TYPE), type);
    std::string which = static_cast<const char*>(oid);
    std::wstring value;
    if (which == szOID_ORGANIZATION_NAME)
        value = g_machine.organizationAbsent ? L"" : g_machine.organization;
    else if (which == szOID_COMMON_NAME)
        value = g_machine.commonName;
    else
        ADD_FAILURE() << "unexpected attribute " << which;
    size_t copied = value.size() < size ? value.size() : size - 1;
    value.copy(name, copied);
    name[copied] = L'\0';
    return DWORD(copied + 1);
}

BOOL WINAPI FakeCloseHandle(HANDLE handle)
{
    EXPECT_EQ(kFile, handle);
    g_machine.events += L'H';
    return TRUE;
}

bool FakeLaunch(bool elevate, const WCHAR* file, const WCHAR* folder, const WCHAR* parameters)
{
    g_machine.events += L'L';
    g_machine.launchedElevated = elevate;
    g_machine.launchedFile = file;
    g_machine.launchedFolder = folder;
    g_machine.launchedParameters = parameters;
    return g_machine.launchResult;
}

void FakeDebugLog(const WCHAR* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring line = FormatLogLine(format, args);
    va_end(args);
    g_machine.events += L'D';
    g_machine.lines.push_back(line);
}

decltype(&::WinVerifyTrust) g_verifyTrust = FakeWinVerifyTrust;

bool FakeLoadTrust(TrustApi* api)
{
    if (g_machine.librariesMissing)
        return false;
    *api = TrustApi{.WinVerifyTrust = g_verifyTrust,
                    .WTHelperProvDataFromStateData = FakeProvData,
                    .WTHelperGetProvSignerFromChain = FakeSigner,
                    .CertGetNameStringW = FakeCertGetNameStringW};
    return true;
}

const TrustPlatform kFake = {
    .LoadTrust = FakeLoadTrust,
    .CreateFileW = FakeCreateFileW,
    .GetLastError = FakeGetLastError,
    .CloseHandle = FakeCloseHandle,
    .LaunchProgram = FakeLaunch,
    .DebugLog = FakeDebugLog,
};

const wchar_t kMaker[] = L"Corvid Software";
const wchar_t kNotOpened[] = L"RookMini: Installer not started, it cannot be opened. Error: ";
const wchar_t kBadSignature[] =
    L"RookMini: Installer not started, signature check failed. Status: 0x";
const wchar_t kOtherPublisher[] =
    L"RookMini: Installer not started, its publisher is not the maker.";

struct TrustCase {
    const char* label;
    Script script;
    bool expectResult;
    const wchar_t* expectEvents;
    std::wstring expectLine;  // empty: no line
};

const std::wstring kUnsigned = std::wstring(kBadSignature) + L"800B0100";

// Others' open of the file while it is held (ERROR_SHARING_VIOLATION) is
// checked with the real file calls below.
// clang-format off
const TrustCase kCases[] = {
    {"signed by the maker: started", {0, ERROR_SUCCESS, kMaker, kMaker, true}, true, L"OVCLH"},
    {"signed by the maker, shell refuses the start", {0, ERROR_SUCCESS, kMaker, kMaker, false},
     false, L"OVCLH"},
    {"unsigned", {0, TRUST_E_NOSIGNATURE, L"", L"", true}, false, L"OVCDH", kUnsigned},
    {"digest no longer matches", {0, TRUST_E_BAD_DIGEST, kMaker, kMaker, true}, false, L"OVCDH",
     std::wstring(kBadSignature) + L"80096010"},
    {"maker's organisation, another common name", {0, ERROR_SUCCESS, kMaker, L"Mallory", true},
     false, L"OVCDH", kOtherPublisher},
    {"maker's common name, another organisation", {0, ERROR_SUCCESS, L"Mallory", kMaker, true},
     false, L"OVCDH", kOtherPublisher},
    {"name differs only in case", {0, ERROR_SUCCESS, L"corvid software", kMaker, true}, false,
     L"OVCDH", kOtherPublisher},
    {"name with more after the maker's",
     {0, ERROR_SUCCESS, kMaker, L"Corvid Software Fans", true}, false, L"OVCDH", kOtherPublisher},
    {"name with a NUL after the maker's",
     {0, ERROR_SUCCESS, std::wstring(L"Corvid Software\0Mallory", 23), kMaker, true}, false,
     L"OVCDH", kOtherPublisher},
    {"subject without an organisation",
     {0, ERROR_SUCCESS, kMaker, kMaker, true, false, false, true}, false, L"OVCDH",
     kOtherPublisher},
    {"no provider data for a valid signature", {0, ERROR_SUCCESS, kMaker, kMaker, true, true},
     false, L"OVCDH", kOtherPublisher},
    {"no signer for a valid signature", {0, ERROR_SUCCESS, kMaker, kMaker, true, false, true},
     false, L"OVCDH", kOtherPublisher},
    {"missing file", {ERROR_FILE_NOT_FOUND, ERROR_SUCCESS, kMaker, kMaker, true}, false, L"OD",
     std::wstring(kNotOpened) + L"2"},
    {"signature libraries cannot be had",
     {0, ERROR_SUCCESS, kMaker, kMaker, true, false, false, false, true}, false, L"ODH",
     std::wstring(kBadSignature) + L"80096001"},
};
// clang-format on

}  // namespace

TEST(InstallerTrust, StartsOnlyTheMakersIntactInstaller)
{
    for (const TrustCase& c : kCases) {
        SCOPED_TRACE(c.label);
        g_machine = Machine{};
        static_cast<Script&>(g_machine) = c.script;

        EXPECT_EQ(c.expectResult, StartVerifiedInstallerOn(kFake, kPath, kFolder));
        EXPECT_EQ(std::wstring(c.expectEvents), g_machine.events);
        if (c.expectLine.empty()) {
            EXPECT_TRUE(g_machine.lines.empty());
        } else {
            ASSERT_EQ(1u, g_machine.lines.size());
            EXPECT_EQ(c.expectLine, g_machine.lines[0]);
        }

        // Read access only, and others may only read while it is held.
        EXPECT_EQ(DWORD(GENERIC_READ), g_machine.access);
        EXPECT_EQ(DWORD(FILE_SHARE_READ), g_machine.share);
        EXPECT_EQ(DWORD(OPEN_EXISTING), g_machine.disposition);
        if (c.script.openError == 0 && !c.script.librariesMissing) {
            EXPECT_TRUE(g_machine.verifyArgumentsRight);
            EXPECT_TRUE(g_machine.closedRightState);
        }
        if (g_machine.events.find(L'L') != std::wstring::npos) {
            EXPECT_TRUE(g_machine.launchedElevated);
            EXPECT_EQ(kPath, g_machine.launchedFile);
            EXPECT_EQ(kFolder, g_machine.launchedFolder);
            EXPECT_EQ(L"", g_machine.launchedParameters);
        }
    }
}

// ---- With the real file calls ------------------------------------------------

namespace {

// A fresh file in the temporary folder, removed again at the end.
struct TempFile {
    WCHAR path[MAX_PATH];
    explicit TempFile(const WCHAR* name)
    {
        GetTempPathW(MAX_PATH, path);
        wcscat(path, name);
        HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        WriteFile(file, "MZ", 2, &written, nullptr);
        CloseHandle(file);
    }
    ~TempFile()
    {
        DeleteFileW(path);
    }
};

LONG WINAPI PassingVerifyTrust(HWND, GUID*, LPVOID data)
{
    static_cast<WINTRUST_DATA*>(data)->hWVTStateData = kState;
    return ERROR_SUCCESS;
}

// What other openers manage while the installer is held: probed from the
// start, the moment at which the shell opens the file by its path.
struct Opener {
    const char* label;
    DWORD access, share;
    bool expectOpened;
};

// clang-format off
const Opener kOpeners[] = {
    {"writer", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, false},
    {"reader and writer", GENERIC_READ | GENERIC_WRITE,
     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, false},
    {"deleter", DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, false},
    {"starter reading and executing", GENERIC_READ | GENERIC_EXECUTE,
     FILE_SHARE_READ | FILE_SHARE_DELETE, true},
};
// clang-format on

std::vector<std::string> g_probeFailures;

bool ProbeHeldInstaller(bool, const WCHAR* file, const WCHAR*, const WCHAR*)
{
    g_machine.events += L'L';
    for (const Opener& o : kOpeners) {
        HANDLE other = CreateFileW(file, o.access, o.share, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD error = GetLastError();
        bool opened = other != INVALID_HANDLE_VALUE;
        if (opened)
            CloseHandle(other);
        if (opened != o.expectOpened || (!opened && error != ERROR_SHARING_VIOLATION))
            g_probeFailures.push_back(std::string(o.label) + ": error " + std::to_string(error));
    }
    WCHAR renamed[MAX_PATH];
    wcscpy(renamed, file);
    wcscat(renamed, L".moved");
    if (DeleteFileW(file) || GetLastError() != ERROR_SHARING_VIOLATION)
        g_probeFailures.push_back("delete was not refused");
    if (MoveFileW(file, renamed)) {
        g_probeFailures.push_back("rename was not refused");
        MoveFileW(renamed, file);
    }
    return true;
}

TrustPlatform RealFileCalls()
{
    TrustPlatform os = kFake;
    os.CreateFileW = ::CreateFileW;
    os.GetLastError = ::GetLastError;
    os.CloseHandle = ::CloseHandle;
    return os;
}

}  // namespace

TEST(InstallerTrustOnWindows, HeldInstallerCanBeStartedButNotRewrittenOrDeleted)
{
    TempFile installer(L"rookmini_trust_held.exe");
    TrustPlatform os = RealFileCalls();
    g_verifyTrust = PassingVerifyTrust;
    os.LaunchProgram = ProbeHeldInstaller;
    g_machine = Machine{};
    g_machine.organization = kMaker;
    g_machine.commonName = kMaker;
    g_probeFailures.clear();

    EXPECT_TRUE(StartVerifiedInstallerOn(os, installer.path, L"C:\\"));
    g_verifyTrust = FakeWinVerifyTrust;
    EXPECT_EQ(L"L", g_machine.events);
    for (const std::string& failure : g_probeFailures)
        ADD_FAILURE() << failure;
    // Released once the start has returned.
    EXPECT_TRUE(DeleteFileW(installer.path));
}

TEST(InstallerTrustOnWindows, InstallerStillOpenForWritingIsNotStarted)
{
    TempFile installer(L"rookmini_trust_writer.exe");
    HANDLE writer = CreateFileW(installer.path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, writer);
    TrustPlatform os = RealFileCalls();
    g_machine = Machine{};

    EXPECT_FALSE(StartVerifiedInstallerOn(os, installer.path, L"C:\\"));
    CloseHandle(writer);
    EXPECT_EQ(L"D", g_machine.events);
    ASSERT_EQ(1u, g_machine.lines.size());
    EXPECT_EQ(std::wstring(kNotOpened) + L"32", g_machine.lines[0]);
}

TEST(InstallerTrustOnWindows, UnsignedProgramIsRefusedByTheRealVerification)
{
    // This test program itself carries no signature.
    WCHAR self[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameW(nullptr, self, MAX_PATH));
    TempFile installer(L"rookmini_trust_unsigned.exe");
    ASSERT_TRUE(CopyFileW(self, installer.path, FALSE));
    TrustPlatform os = kWin32Trust;
    os.LaunchProgram = FakeLaunch;
    os.DebugLog = FakeDebugLog;
    g_machine = Machine{};

    EXPECT_FALSE(StartVerifiedInstallerOn(os, installer.path, L"C:\\"));
    EXPECT_EQ(L"D", g_machine.events);
    ASSERT_EQ(1u, g_machine.lines.size());
    EXPECT_EQ(kUnsigned, g_machine.lines[0]);
}

// ---- Programs signed at test time --------------------------------------------

namespace {

// The samples that tests/e2e/signing.py makes (its --check mode runs this
// test with ROOKMINI_SIGNED_SAMPLES naming their folder).
struct Sample {
    const char* label;
    const WCHAR* name;
    bool expectStarted;
    std::wstring expectLine;
};

// clang-format off
const Sample kSamples[] = {
    {"signed by the maker", L"maker.exe", true, L""},
    {"unsigned", L"unsigned.exe", false, kUnsigned},
    {"signed by a stranger", L"stranger.exe", false, kOtherPublisher},
    {"changed after signing", L"tampered.exe", false, std::wstring(kBadSignature) + L"80096010"},
};
// clang-format on

}  // namespace

TEST(InstallerTrustSamples, RealVerificationJudgesSignedPrograms)
{
    WCHAR folder[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"ROOKMINI_SIGNED_SAMPLES", folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH - 32)
        GTEST_SKIP() << "ROOKMINI_SIGNED_SAMPLES names no folder of signed samples";
    TrustPlatform os = kWin32Trust;
    os.LaunchProgram = FakeLaunch;
    os.DebugLog = FakeDebugLog;
    for (const Sample& s : kSamples) {
        SCOPED_TRACE(s.label);
        std::wstring path = std::wstring(folder) + L"\\" + s.name;
        ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path.c_str()));
        g_machine = Machine{};
        g_machine.launchResult = true;
        EXPECT_EQ(s.expectStarted, StartVerifiedInstallerOn(os, path.c_str(), folder));
        EXPECT_EQ(s.expectStarted ? L"L" : L"D", g_machine.events);
        if (!s.expectLine.empty()) {
            ASSERT_EQ(1u, g_machine.lines.size());
            EXPECT_EQ(s.expectLine, g_machine.lines[0]);
        }
    }
}
