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

// The maker's whole name, field by field.
const std::vector<std::wstring> kMaker = {L"NZ", L"Canterbury", L"Christchurch", L"Corvid Software",
                                          L"Corvid Software"};

// The maker's name with one field read otherwise.
std::vector<std::wstring> With(SubjectField field, const std::wstring& value)
{
    std::vector<std::wstring> fields = kMaker;
    fields[field] = value;
    return fields;
}

TrustReadings Readings(LONG status, const std::vector<std::wstring>& fields)
{
    // Fields are given as CertGetNameStringW leaves them: the value, then its
    // terminator, counted; an empty value is an attribute the subject lacks.
    TrustReadings readings = {};
    readings.status = status;
    for (int f = 0; f < kSubjectFields; ++f) {
        const std::wstring& value = fields[f];
        size_t length = value.size() < kNameChars ? value.size() : kNameChars - 1;
        value.copy(readings.fields[f], length);
        readings.fields[f][length] = L'\0';
        readings.counts[f] = static_cast<DWORD>(length + 1);
    }
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
        {"signed by the maker", Readings(ERROR_SUCCESS, kMaker), kTrustStart},
        {"unsigned", Readings(TRUST_E_NOSIGNATURE, {L"", L"", L"", L"", L""}), kTrustBadSignature},
        {"digest no longer matches", Readings(TRUST_E_BAD_DIGEST, kMaker), kTrustBadSignature},
        {"signature libraries cannot be had", Readings(kTrustUnavailable, kMaker), kTrustBadSignature},
        {"the maker's name in another country", Readings(ERROR_SUCCESS, With(kCountry, L"AU")), kTrustOtherPublisher},
        {"in another state", Readings(ERROR_SUCCESS, With(kState, L"Otago")), kTrustOtherPublisher},
        {"in another town", Readings(ERROR_SUCCESS, With(kLocality, L"Rangiora")), kTrustOtherPublisher},
        {"another organisation", Readings(ERROR_SUCCESS, With(kOrganization, L"Mallory")), kTrustOtherPublisher},
        {"another common name", Readings(ERROR_SUCCESS, With(kCommonName, L"Mallory")), kTrustOtherPublisher},
        {"a field differing only in case", Readings(ERROR_SUCCESS, With(kOrganization, L"corvid software")), kTrustOtherPublisher},
        {"a field with more after the maker's", Readings(ERROR_SUCCESS, With(kCommonName, L"Corvid Software Fans")), kTrustOtherPublisher},
        {"a field with a NUL after the maker's",
         Readings(ERROR_SUCCESS, With(kOrganization, std::wstring(L"Corvid Software\0Mallory", 23))), kTrustOtherPublisher},
        {"a field cut at the buffer",
         Readings(ERROR_SUCCESS, With(kOrganization, L"Corvid Software" + std::wstring(kNameChars, L' '))), kTrustOtherPublisher},
        {"a subject without a town", Readings(ERROR_SUCCESS, With(kLocality, L"")), kTrustOtherPublisher},
        {"no signer read for a valid signature", {ERROR_SUCCESS, {}, {}}, kTrustOtherPublisher},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.trust, JudgeInstallerTrust(c.readings));
    }
}

TEST(InstallerTrust, StartsOnlyTheFileDownloadedInTheHeldFolder)
{
    const WCHAR* folder =
        L"\\\\?\\C:\\ProgramData\\Ironbark\\Meridian\\Temporary\\meridian_mainmini";
    const WCHAR* name = L"meridian_setupfull.exe";
    const std::wstring there = std::wstring(folder) + L"\\" + name;
    const FileIdentity file = {7, 3, 42};
    struct Case {
        const char* label;
        FileIdentity held;
        std::wstring finalPath;  // L"-": the system cannot tell
        const WCHAR* folder;
        bool accepted;
    };
    const WCHAR* elsewhere = L"\\\\?\\D:\\Data\\Ironbark\\Meridian\\Temporary\\meridian_mainmini";
    std::wstring other = folder;
    other.back() = L'x';
    // clang-format off
    const Case cases[] = {
        {"the same file in the held folder", file, there, folder, true},
        {"letter case aside", file, L"\\\\?\\c:\\programdata\\ironbark\\meridian\\temporary\\MERIDIAN_MAINMINI\\Meridian_Setupfull.EXE", folder, true},
        {"the machine folder a link to another volume, resolved alike", file,
         std::wstring(elsewhere) + L"\\" + name, elsewhere, true},
        {"no final paths on this system", file, L"-", folder, true},
        {"another file", {7, 3, 43}, there, folder, false},
        {"same low index, another high word", {7, 4, 42}, there, folder, false},
        {"another volume", {8, 3, 42}, L"-", folder, false},
        {"the file, moved out of the folder", file, L"\\\\?\\C:\\Users\\x\\meridian_setupfull.exe", folder, false},
        {"a file in a folder below the held one", file, std::wstring(folder) + L"\\sub\\" + name, folder, false},
        {"a file in a folder named like the held one and more", file, std::wstring(folder) + L"2\\" + name, folder, false},
        {"a file in another folder of the same length", file, other + L"\\" + name, folder, false},
        {"another name in the folder", file, std::wstring(folder) + L"\\version.dll", folder, false},
        {"reached through a share", file, L"\\\\?\\UNC\\host\\C$\\x\\meridian_setupfull.exe", L"\\\\?\\UNC\\host\\C$\\x", false},
        {"a path of another form", file, there.substr(4), folder + 4, false},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        bool told = c.finalPath != L"-";
        EXPECT_EQ(c.accepted, IsDownloadedFile(file, c.held, told ? c.finalPath.c_str() : nullptr,
                                               told ? c.folder : nullptr, name));
    }
}

// ---- The real verification of signed programs -----------------------------------

namespace {

// A copy of a sample in the temporary folder, removed at the end; the
// folder is held as install mode holds the staging folder.
struct Copy {
    WCHAR path[MAX_PATH];
    FileIdentity identity = {};
    HANDLE folder;
    explicit Copy(const std::wstring& from)
    {
        GetTempPathW(MAX_PATH, path);
        folder = CreateFileW(path, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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
        CloseHandle(folder);
    }
};

std::wstring Samples()
{
    WCHAR folder[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"ROOKMINI_SIGNED_SAMPLES", folder, MAX_PATH);
    return length == 0 || length >= MAX_PATH - 32 ? L"" : std::wstring(folder) + L"\\";
}

const char kBadSignature[] = "RookMini: Installer not started, signature check failed. Status: 0x";
const char kOtherPublisher[] = "RookMini: Installer not started, its publisher is not the maker.";

// The line that names the signer, as it must be for a subject: the test
// authority issued every sample's certificate; the thumbprint is 40 hex
// digits (the certificates are made anew now and then).
bool NamesSigner(const std::string& line, const std::string& subject)
{
    const std::string head = "RookMini: Installer signed by '" + subject +
                             "', issued by 'O=RookMini Test Authority, CN=RookMini Test Root', "
                             "thumbprint ";
    return line.size() == head.size() + 40 && line.compare(0, head.size(), head) == 0 &&
           line.find_first_not_of("0123456789ABCDEF", head.size()) == std::string::npos;
}

}  // namespace

TEST(InstallerTrustOnWindows, RealVerificationJudgesSignedPrograms)
{
    std::wstring samples = Samples();
    if (samples.empty())
        GTEST_SKIP() << "ROOKMINI_SIGNED_SAMPLES names no folder of signed samples";
    struct Case {
        const char* label;
        const WCHAR* name;
        std::string signer;  // the subject named, "" when no signer is read, "?" either
        std::string line;    // "" when started
    };
    const std::string maker =
        "C=NZ, S=Canterbury, L=Christchurch, O=Corvid Software, CN=Corvid Software";
    // clang-format off
    const Case cases[] = {
        {"signed by the maker", L"maker.exe", maker, ""},
        {"unsigned", L"unsigned.exe", "", std::string(kBadSignature) + "800B0100"},
        {"signed by a stranger", L"stranger.exe", "O=Mallory Tools, CN=Mallory Tools", kOtherPublisher},
        {"signed by a company of the maker's name in another country", L"elsewhere.exe",
         "C=AU, S=Canterbury, L=Christchurch, O=Corvid Software, CN=Corvid Software", kOtherPublisher},
        // Wine reads no signer from a file whose digest fails; Windows may.
        {"changed after signing", L"tampered.exe", "?", std::string(kBadSignature) + "80096010"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Copy installer(samples + c.name);
        RecordedActs acts;
        DebugLines lines;
        EXPECT_EQ(c.line.empty(), StartVerifiedInstaller(installer.path, L"C:\\", installer.folder,
                                                         installer.identity));
        std::vector<std::string> seen = lines.Lines();
        if (c.signer == "?" && seen.size() > 1 && NamesSigner(seen[0], maker)) {
            seen.erase(seen.begin());
        } else if (!c.signer.empty() && c.signer != "?") {
            ASSERT_FALSE(seen.empty());
            EXPECT_TRUE(NamesSigner(seen[0], c.signer)) << seen[0];
            seen.erase(seen.begin());
        }
        EXPECT_EQ(c.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.line},
                  seen);
        if (c.line.empty()) {
            ASSERT_EQ(1u, acts.starts.size());
            EXPECT_EQ(L"runas", acts.starts[0].verb);  // Wine reports Windows 6 or later
            EXPECT_EQ(installer.path, acts.starts[0].file);
            EXPECT_EQ(L"C:\\", acts.starts[0].directory);
            EXPECT_EQ(L"", acts.starts[0].parameters);
        } else {
            EXPECT_TRUE(acts.starts.empty());
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
    EXPECT_TRUE(
        StartVerifiedInstaller(installer.path, L"C:\\", installer.folder, installer.identity));
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
        EXPECT_FALSE(StartVerifiedInstaller(again.path, L"C:\\", again.folder, r.identity));
        EXPECT_TRUE(acts.starts.empty());
        EXPECT_EQ(std::vector<std::string>{r.line}, lines.Lines());
        if (writer != INVALID_HANDLE_VALUE)
            CloseHandle(writer);
    }
}
