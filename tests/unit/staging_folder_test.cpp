// The staging folder: the private DACL, which folder levels and entries can
// be trusted (by table: Wine keeps no owners and shows no junctions to a
// handle), and then real folders under a scratch application-data folder:
// the chain created and held, an earlier run's files removed, and a
// stranger's item or a file that cannot be removed, which send the download
// to a fresh private folder.
#include "launcher/staging_folder.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include "support/debug_lines.h"
#include "support/owners.h"

#include <string>

namespace {

PSID const kSystem = Sid(L"S-1-5-18");
PSID const kTrustedInstaller =
    Sid(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
PSID const kEveryone = Sid(L"S-1-1-0");
PSID const kUsers = Sid(L"S-1-5-32-545");

const DWORD kFolder = FILE_ATTRIBUTE_DIRECTORY;
const DWORD kLink = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;

}  // namespace

TEST(PrivateSecurity, FullControlForTheUserAdministratorsAndSystemOnlyNothingInherited)
{
    PrivateSecurity security;
    ASSERT_TRUE(BuildPrivateSecurity(&security, kUser));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(&security.descriptor, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    PACL acl = reinterpret_cast<PACL>(security.acl);
    ASSERT_EQ(3, acl->AceCount);
    const PSID expected[] = {kUser, kAdministrators, kSystem};
    for (DWORD i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(acl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType);
        // What is created inside (the installer) gets the same three.
        EXPECT_EQ(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, ace->Header.AceFlags);
        EXPECT_EQ(static_cast<DWORD>(FILE_ALL_ACCESS), ace->Mask);
        EXPECT_TRUE(EqualSid(&ace->SidStart, expected[i]));
    }
}

TEST(StagingFolder, TrustsOnlyARealFolderWithATrustedOwner)
{
    PrivateSecurity security;
    ASSERT_TRUE(BuildPrivateSecurity(&security, kUser));
    struct Case {
        const char* label;
        LevelFacts facts;
        bool trusted;
    };
    // clang-format off
    const Case cases[] = {
        {"the user's own folder", Facts(kFolder, true, kFolder, kUser), true},
        {"the Administrators'", Facts(kFolder, true, kFolder, kAdministrators), true},
        {"SYSTEM's", Facts(kFolder, true, kFolder, kSystem), true},
        {"TrustedInstaller's", Facts(kFolder, true, kFolder, kTrustedInstaller), true},
        {"another user's", Facts(kFolder, true, kFolder, kStranger), false},
        {"owned by Everyone", Facts(kFolder, true, kFolder, kEveryone), false},
        {"owned by the Users group", Facts(kFolder, true, kFolder, kUsers), false},
        {"owner unreadable", Facts(kFolder, true, kFolder, nullptr), false},
        {"a junction, as its handle shows", Facts(kFolder, true, kLink, kUser), false},
        {"a junction, as its path shows (Wine follows it)", Facts(kLink, true, kFolder, kUser), false},
        {"a file", Facts(FILE_ATTRIBUTE_NORMAL, true, FILE_ATTRIBUTE_NORMAL, kUser), false},
        {"missing", Facts(INVALID_FILE_ATTRIBUTES, false, 0, nullptr), false},
        {"cannot be held", Facts(kFolder, false, 0, nullptr), false},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.trusted, IsTrustedLevel(c.facts, security, true));
    }
}

TEST(StagingFolder, KeepsOnlyOurOwnFilesOfAnEarlierRun)
{
    struct Case {
        const char* label;
        const WCHAR* name;
        DWORD attributes;
        bool kept;
    };
    // clang-format off
    const Case cases[] = {
        {"the folder itself", L".", kFolder, true},
        {"its parent", L"..", kFolder, true},
        {"an earlier installer", L"meridian_setupfull.exe", FILE_ATTRIBUTE_NORMAL, true},
        {"its name in capitals", L"MERIDIAN_SETUPFULL.EXE", FILE_ATTRIBUTE_ARCHIVE, true},
        {"an earlier partial download", L"meridian_setupfull.partial", FILE_ATTRIBUTE_NORMAL, true},
        {"a DLL beside them", L"version.dll", FILE_ATTRIBUTE_NORMAL, false},
        {"a folder under the installer's name", L"meridian_setupfull.exe", kFolder, false},
        {"a link under the partial file's name", L"meridian_setupfull.partial", FILE_ATTRIBUTE_REPARSE_POINT, false},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.kept, IsStagingEntry(c.name, c.attributes));
    }
}

// ---- Real folders ------------------------------------------------------------

namespace {

// A scratch application-data folder, removed with everything in it.
struct Scratch {
    std::wstring root;
    Scratch()
    {
        WCHAR temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        root = std::wstring(temp) + L"rookmini_staging_" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(root.c_str(), nullptr);
    }
    ~Scratch()
    {
        Remove(root);
    }
    std::wstring Final() const
    {
        return root + L"\\Ironbark\\Meridian\\Temporary\\meridian_mainmini";
    }
    static void Remove(const std::wstring& folder)
    {
        WIN32_FIND_DATAW entry;
        HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = entry.cFileName;
                if (name == L"." || name == L"..")
                    continue;
                if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    Remove(folder + L"\\" + name);
                else if (SetFileAttributesW((folder + L"\\" + name).c_str(), 0))
                    DeleteFileW((folder + L"\\" + name).c_str());
            } while (FindNextFileW(find, &entry));
            FindClose(find);
        }
        RemoveDirectoryW(folder.c_str());
    }
};

void MakeChain(const Scratch& scratch)
{
    std::wstring path = scratch.root;
    for (const wchar_t* level :
         {L"\\Ironbark", L"\\Meridian", L"\\Temporary", L"\\meridian_mainmini"})
        CreateDirectoryW((path += level).c_str(), nullptr);
}

void Put(const std::wstring& path, const char* text)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    CloseHandle(file);
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

TEST(StagingFolder, ChainUnderTheMachineFolderWithANewPartialFileOfItsOwn)
{
    Scratch scratch;
    Put(scratch.root + L"\\stand-in", "");  // an application-data folder with content
    StagingFolder staging;
    ASSERT_TRUE(PrepareStagingFolderIn(scratch.root.c_str(), &staging));
    EXPECT_EQ(scratch.Final(), staging.folder);
    EXPECT_EQ(scratch.Final() + L"\\meridian_setupfull.exe", staging.installer);
    EXPECT_EQ(scratch.Final() + L"\\meridian_setupfull.partial", staging.partial);

    // The partial file is nobody else's to write or delete. (That no level
    // can be renamed while held, Wine cannot show: it keeps no sharing rules
    // for folders.)
    HANDLE writer = CreateFileW(staging.partial, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, writer);
    EXPECT_FALSE(DeleteFileW(staging.partial));

    ReleaseStagingFolder(&staging);
    EXPECT_FALSE(Exists(scratch.Final() + L"\\meridian_setupfull.partial"));
}

TEST(StagingFolder, UsesAFreshPrivateFolderWhenTheMachineFolderIsNotOurs)
{
    struct Case {
        const char* label;
        void (*prepare)(const Scratch&);
        bool machine;  // the machine folder is used
    };
    // clang-format off
    const Case cases[] = {
        {"an earlier installer and partial download: used",
         [](const Scratch& s) { MakeChain(s); Put(s.Final() + L"\\meridian_setupfull.exe", "MZ old");
                                Put(s.Final() + L"\\meridian_setupfull.partial", "MZ o"); }, true},
        {"a DLL beside the earlier installer",
         [](const Scratch& s) { MakeChain(s); Put(s.Final() + L"\\version.dll", "MZ"); }, false},
        {"a file in place of a level above",
         [](const Scratch& s) { CreateDirectoryW((s.root + L"\\Ironbark").c_str(), nullptr);
                                Put(s.root + L"\\Ironbark\\Meridian", "not a folder"); }, false},
        {"a folder under the partial file's name",
         [](const Scratch& s) { MakeChain(s);
                                CreateDirectoryW((s.Final() + L"\\meridian_setupfull.partial").c_str(), nullptr); }, false},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Scratch scratch;
        c.prepare(scratch);
        DebugLines lines;
        StagingFolder staging;
        ASSERT_TRUE(PrepareStagingFolderIn(scratch.root.c_str(), &staging));
        std::wstring folder = staging.folder;
        if (c.machine) {
            EXPECT_EQ(scratch.Final(), folder);
            // The earlier run's installer is gone, and its partial file gave
            // way to a new, empty one.
            EXPECT_FALSE(Exists(staging.installer));
            EXPECT_EQ(0u, GetFileSize(staging.partialFile, nullptr));
            EXPECT_TRUE(lines.Lines().empty());
        } else {
            EXPECT_NE(std::wstring::npos, folder.find(L"\\RookMini-")) << lines.Lines().size();
            ASSERT_EQ(1u, lines.Lines().size());
            EXPECT_EQ(0u, lines.Lines()[0].find("RookMini: Staging folder "));
        }
        EXPECT_TRUE(Exists(staging.partial));
        ReleaseStagingFolder(&staging);
        if (!c.machine)
            RemoveDirectoryW(folder.c_str());
    }
}

TEST(StagingFolder, AnEarlierFileThatCannotBeRemovedMakesTheFolderUnusable)
{
    struct Case {
        const char* label;
        const wchar_t* name;
        bool readOnly;  // else held open by another program
    };
    // clang-format off
    const Case cases[] = {
        {"a partial file someone holds open", L"\\meridian_setupfull.partial", false},
        {"an installer someone holds open", L"\\meridian_setupfull.exe", false},
        {"a read-only installer", L"\\meridian_setupfull.exe", true},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Scratch scratch;
        MakeChain(scratch);
        std::wstring earlier = scratch.Final() + c.name;
        Put(earlier, "MZ in the way");
        HANDLE user = INVALID_HANDLE_VALUE;
        if (c.readOnly)
            SetFileAttributesW(earlier.c_str(), FILE_ATTRIBUTE_READONLY);
        else
            user = CreateFileW(earlier.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        StagingFolder staging;
        ASSERT_TRUE(PrepareStagingFolderIn(scratch.root.c_str(), &staging));
        std::wstring folder = staging.folder;
        EXPECT_NE(std::wstring::npos, folder.find(L"\\RookMini-"));
        EXPECT_TRUE(Exists(earlier));
        ReleaseStagingFolder(&staging);
        if (user != INVALID_HANDLE_VALUE)
            CloseHandle(user);
        RemoveDirectoryW(folder.c_str());
    }
}
