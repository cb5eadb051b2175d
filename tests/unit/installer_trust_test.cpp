// The installer's trust check: which signer names and which held files are
// accepted (by table), then the real verification under Wine of programs
// signed at test time (tests/e2e/signing.py makes them; CTest names their
// folder in ROOKMINI_SIGNED_SAMPLES), with the held file probed at the moment
// of the start.
#include "launcher/installer_trust.h"

#include <gtest/gtest.h>

#include "download/partial_file.h"
#include "support/debug_lines.h"
#include "support/recorded_acts.h"

#include <string>

namespace {

const WCHAR kMaker[] = L"Corvid Software";

TrustReadings Readings(LONG status, const std::wstring& organization,
                       const std::wstring& commonName)
{
    // Names are given as CertGetNameStringW leaves them: the value, then its
    // terminator, counted; an empty value is an attribute the subject lacks.
    TrustReadings readings = {};
    readings.status = status;
    auto put = [](const std::wstring& value, WCHAR(&name)[kNameChars], DWORD& count) {
        size_t length = value.size() < kNameChars ? value.size() : kNameChars - 1;
        value.copy(name, length);
        name[length] = L'\0';
        count = static_cast<DWORD>(length + 1);
    };
    put(organization, readings.organization, readings.organizationCount);
    put(commonName, readings.commonName, readings.commonNameCount);
    return readings;
}

}  // namespace

TEST(InstallerTrust, StartsOnlyWhatTheMakerSignedIntact)
{
    struct Case {
        const char* label;
        TrustReadings readings;
        InstallerTrust trust;
    };
    // clang-format off
    const Case cases[] = {
        {"signed by the maker", Readings(ERROR_SUCCESS, kMaker, kMaker), kTrustStart},
        {"unsigned", Readings(TRUST_E_NOSIGNATURE, L"", L""), kTrustBadSignature},
        {"digest no longer matches", Readings(TRUST_E_BAD_DIGEST, kMaker, kMaker), kTrustBadSignature},
        {"signature libraries cannot be had", Readings(kTrustUnavailable, kMaker, kMaker), kTrustBadSignature},
        {"maker's organisation, another common name", Readings(ERROR_SUCCESS, kMaker, L"Mallory"), kTrustOtherPublisher},
        {"maker's common name, another organisation", Readings(ERROR_SUCCESS, L"Mallory", kMaker), kTrustOtherPublisher},
        {"name differs only in case", Readings(ERROR_SUCCESS, L"corvid software", kMaker), kTrustOtherPublisher},
        {"name with more after the maker's", Readings(ERROR_SUCCESS, kMaker, L"Corvid Software Fans"), kTrustOtherPublisher},
        {"name with a NUL after the maker's",
         Readings(ERROR_SUCCESS, std::wstring(L"Corvid Software\0Mallory", 23), kMaker), kTrustOtherPublisher},
        {"name cut at the buffer",
         Readings(ERROR_SUCCESS, kMaker + std::wstring(kNameChars, L' '), kMaker), kTrustOtherPublisher},
        {"subject without an organisation", Readings(ERROR_SUCCESS, L"", kMaker), kTrustOtherPublisher},
        {"no signer read for a valid signature", {ERROR_SUCCESS, {}, 0, {}, 0}, kTrustOtherPublisher},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.trust, JudgeInstallerTrust(c.readings));
    }
}

TEST(InstallerTrust, StartsOnlyTheFileDownloadedAtThePathGiven)
{
    const WCHAR* path = L"C:\\ProgramData\\Ironbark\\meridian_setupfull.exe";
    const FileIdentity file = {7, 0, 42};
    struct Case {
        const char* label;
        FileIdentity held;
        const WCHAR* finalPath;
        bool accepted;
    };
    // clang-format off
    const Case cases[] = {
        {"the same file at the same path", file, L"\\\\?\\C:\\ProgramData\\Ironbark\\meridian_setupfull.exe", true},
        {"letter case aside", file, L"\\\\?\\c:\\programdata\\ironbark\\MERIDIAN_SETUPFULL.EXE", true},
        {"no final path on this system", file, nullptr, true},
        {"another file", {7, 0, 43}, L"\\\\?\\C:\\ProgramData\\Ironbark\\meridian_setupfull.exe", false},
        {"another volume", {8, 0, 42}, nullptr, false},
        {"the file, moved elsewhere", file, L"\\\\?\\C:\\Users\\x\\meridian_setupfull.exe", false},
        {"reached through a share", file, L"\\\\?\\UNC\\host\\C$\\ProgramData\\Ironbark\\meridian_setupfull.exe", false},
        {"a path of another form", file, L"C:\\ProgramData\\Ironbark\\meridian_setupfull.exe", false},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.accepted, IsDownloadedFile(file, c.held, c.finalPath, path));
    }
}

// ---- The real verification of signed programs -----------------------------------

namespace {

// A copy of a sample in the temporary folder, removed at the end.
struct Copy {
    WCHAR path[MAX_PATH];
    FileIdentity identity = {};
    explicit Copy(const std::wstring& from)
    {
        GetTempPathW(MAX_PATH, path);
        wcscat(path, L"rookmini_trust.exe");
        CopyFileW(from.c_str(), path, FALSE);
        HANDLE file =
            CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ReadFileIdentity(file, &identity);
        CloseHandle(file);
    }
    ~Copy()
    {
        DeleteFileW(path);
    }
};

std::wstring Samples()
{
    WCHAR folder[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"ROOKMINI_SIGNED_SAMPLES", folder, MAX_PATH);
    return length == 0 || length >= MAX_PATH - 32 ? L"" : std::wstring(folder) + L"\\";
}

const char kBadSignature[] = "RookMini: Installer not started, signature check failed. Status: 0x";

}  // namespace

TEST(InstallerTrustOnWindows, RealVerificationJudgesSignedPrograms)
{
    std::wstring samples = Samples();
    if (samples.empty())
        GTEST_SKIP() << "ROOKMINI_SIGNED_SAMPLES names no folder of signed samples";
    struct Case {
        const char* label;
        const WCHAR* name;
        std::string line;  // "" when started
    };
    // clang-format off
    const Case cases[] = {
        {"signed by the maker", L"maker.exe", ""},
        {"unsigned", L"unsigned.exe", std::string(kBadSignature) + "800B0100"},
        {"signed by a stranger", L"stranger.exe", "RookMini: Installer not started, its publisher is not the maker."},
        {"changed after signing", L"tampered.exe", std::string(kBadSignature) + "80096010"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Copy installer(samples + c.name);
        RecordedActs acts;
        DebugLines lines;
        EXPECT_EQ(c.line.empty(),
                  StartVerifiedInstaller(installer.path, L"C:\\", installer.identity));
        if (c.line.empty()) {
            ASSERT_EQ(1u, acts.starts.size());
            EXPECT_EQ(L"runas", acts.starts[0].verb);  // Wine reports Windows 6 or later
            EXPECT_EQ(installer.path, acts.starts[0].file);
            EXPECT_EQ(L"C:\\", acts.starts[0].directory);
            EXPECT_EQ(L"", acts.starts[0].parameters);
            EXPECT_TRUE(lines.Lines().empty());
        } else {
            EXPECT_TRUE(acts.starts.empty());
            EXPECT_EQ(std::vector<std::string>{c.line}, lines.Lines());
        }
    }
}

TEST(InstallerTrustOnWindows, TheStartedFileIsHeldAndIsTheOneDownloaded)
{
    std::wstring samples = Samples();
    if (samples.empty())
        GTEST_SKIP() << "ROOKMINI_SIGNED_SAMPLES names no folder of signed samples";
    Copy installer(samples + L"maker.exe");

    // At the moment of the start, others may read and execute the file, but
    // neither write, rename nor delete it.
    struct Opener {
        const char* label;
        DWORD access, share;
        bool opened;
    };
    const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const Opener openers[] = {
        {"writer", GENERIC_WRITE, all, false},
        {"deleter", DELETE, all, false},
        {"starter reading and executing", GENERIC_READ | GENERIC_EXECUTE,
         FILE_SHARE_READ | FILE_SHARE_DELETE, true},
    };
    RecordedActs acts;
    std::vector<std::string> failures;
    acts.onStart = [&](const ShellStart& start) {
        for (const Opener& o : openers) {
            HANDLE other = CreateFileW(start.file.c_str(), o.access, o.share, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
            if ((other != INVALID_HANDLE_VALUE) != o.opened)
                failures.push_back(o.label);
            if (other != INVALID_HANDLE_VALUE)
                CloseHandle(other);
        }
        if (MoveFileW(start.file.c_str(), (start.file + L".moved").c_str()))
            failures.push_back("rename");
    };
    EXPECT_TRUE(StartVerifiedInstaller(installer.path, L"C:\\", installer.identity));
    EXPECT_EQ(std::vector<std::string>{}, failures);
    EXPECT_TRUE(DeleteFileW(installer.path));  // released once the start has returned
    acts.onStart = nullptr;

    struct Refusal {
        const char* label;
        FileIdentity identity;
        bool writerOpen;
        std::string line;
    };
    Copy again(samples + L"maker.exe");
    FileIdentity other = again.identity;
    other.indexLow ^= 1;
    const Refusal refusals[] = {
        {"another file at the path", other, false,
         "RookMini: Installer not started, it is not the file downloaded."},
        {"still open for writing", again.identity, true,
         "RookMini: Installer not started, it cannot be opened. Error: 32"},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.label);
        HANDLE writer = r.writerOpen ? CreateFileW(again.path, GENERIC_WRITE, FILE_SHARE_READ,
                                                   nullptr, OPEN_EXISTING, 0, nullptr)
                                     : INVALID_HANDLE_VALUE;
        DebugLines lines;
        acts.starts.clear();
        EXPECT_FALSE(StartVerifiedInstaller(again.path, L"C:\\", r.identity));
        EXPECT_TRUE(acts.starts.empty());
        EXPECT_EQ(std::vector<std::string>{r.line}, lines.Lines());
        if (writer != INVALID_HANDLE_VALUE)
            CloseHandle(writer);
    }
}
