// The staging folder: the private DACL it is given, and which folder install
// mode gets on a scripted file system, from a fresh machine to a folder that
// a stranger prepared. (Wine keeps no security descriptors, so these rules
// can only be seen here.)
#include "launcher/staging_folder.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <map>
#include <string>
#include <vector>

namespace {

const wchar_t kMachine[] = L"C:\\PD\\Ironbark\\Meridian\\Temporary\\meridian_mainmini";
const wchar_t kTemp[] = L"C:\\Users\\u\\Temp\\";
HANDLE const kHeld = reinterpret_cast<HANDLE>(0x600);
HANDLE const kFind = reinterpret_cast<HANDLE>(0x700);

PSID Sid(const wchar_t* text)
{
    PSID sid = nullptr;
    ConvertStringSidToSidW(text, &sid);
    return sid;  // kept for the test program's life
}
PSID const kUser = Sid(L"S-1-5-21-1-2-3-1001");
PSID const kStranger = Sid(L"S-1-5-21-1-2-3-1002");
PSID const kAdministrators = Sid(L"S-1-5-32-544");

// A scripted file system and what the code did on it.
struct Disk {
    const wchar_t* appData = L"C:\\PD";
    const wchar_t* linkedLevel = nullptr;  // a level of the chain that is a junction
    bool finalExists = false;
    DWORD finalAttributes = FILE_ATTRIBUTE_DIRECTORY;  // as the held handle sees it
    PSID owner = kUser;
    DWORD setDacl = ERROR_SUCCESS;
    std::vector<std::pair<std::wstring, DWORD>> entries;  // besides "." and ".."
    const wchar_t* temp = kTemp;
    int tempNamesTaken = 0;
    bool tempRefused = false;
};

struct Seen {
    std::vector<std::wstring> actions;
    std::vector<bool> privateCreates;  // per create with attributes: the private DACL given
    int held = 0;
    DWORD setFlags = 0;
    WORD setAces = 0;
    std::vector<std::wstring> logs;
};

Disk d;
Seen seen;
bool g_holdingMachine = false;  // the held folder is the machine one, else a fresh one

std::wstring Name(const WCHAR* path)
{
    std::wstring p = path;
    return p.compare(0, wcslen(kTemp), kTemp) == 0 ? L"temp\\" + p.substr(wcslen(kTemp)) : p;
}

// Whether a descriptor carries a protected DACL of three inheritable ACEs.
bool IsPrivate(PSECURITY_DESCRIPTOR descriptor)
{
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    return GetSecurityDescriptorControl(descriptor, &control, &revision) &&
           (control & SE_DACL_PROTECTED) &&
           GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) && present && acl &&
           acl->AceCount == 3;
}

BOOL WINAPI FakeFolder(HWND, LPWSTR path, int folder, BOOL create)
{
    EXPECT_EQ(CSIDL_COMMON_APPDATA, folder);
    EXPECT_TRUE(create);
    if (!d.appData)
        return FALSE;
    wcscpy(path, d.appData);
    return TRUE;
}

DWORD WINAPI FakeTempPath(DWORD size, LPWSTR path)
{
    EXPECT_EQ(static_cast<DWORD>(MAX_PATH), size);
    if (!d.temp)
        return 0;
    wcscpy(path, d.temp);
    return static_cast<DWORD>(wcslen(path));
}

DWORD g_error = 0;

BOOL WINAPI FakeCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes)
{
    std::wstring name = Name(path);
    if (!attributes) {
        seen.actions.push_back(L"create " + name);
        g_error = ERROR_ALREADY_EXISTS;
        return FALSE;
    }
    seen.actions.push_back(L"create private " + name);
    seen.privateCreates.push_back(IsPrivate(attributes->lpSecurityDescriptor) &&
                                  !attributes->bInheritHandle);
    bool temp = name.compare(0, 5, L"temp\\") == 0;
    if (temp && d.tempRefused) {
        g_error = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    if (temp && d.tempNamesTaken > 0) {
        --d.tempNamesTaken;
        g_error = ERROR_ALREADY_EXISTS;
        return FALSE;
    }
    if (!temp && d.finalExists) {
        g_error = ERROR_ALREADY_EXISTS;
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI FakeAttributes(LPCWSTR path)
{
    if (d.linkedLevel && std::wstring(path) == d.linkedLevel)
        return FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    return FILE_ATTRIBUTE_DIRECTORY;
}

HANDLE WINAPI FakeOpen(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                       DWORD disposition, DWORD flags, HANDLE)
{
    seen.actions.push_back(L"hold " + Name(path));
    g_holdingMachine = std::wstring(path) == kMachine;
    // Allowed to read and change the DACL; shares no delete; follows no link.
    EXPECT_EQ(static_cast<DWORD>(READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES), access);
    EXPECT_EQ(static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE), share);
    EXPECT_EQ(static_cast<DWORD>(OPEN_EXISTING), disposition);
    EXPECT_EQ(static_cast<DWORD>(FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT), flags);
    ++seen.held;
    return kHeld;
}

BOOL WINAPI FakeInformation(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION information)
{
    EXPECT_EQ(kHeld, handle);
    *information = {};
    information->dwFileAttributes = g_holdingMachine ? d.finalAttributes : FILE_ATTRIBUTE_DIRECTORY;
    return TRUE;
}

DWORD WINAPI FakeGetSecurity(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION what,
                             PSID* owner, PSID*, PACL*, PACL*, PSECURITY_DESCRIPTOR* descriptor)
{
    EXPECT_EQ(kHeld, handle);
    EXPECT_EQ(SE_FILE_OBJECT, type);
    EXPECT_EQ(static_cast<SECURITY_INFORMATION>(OWNER_SECURITY_INFORMATION), what);
    *owner = g_holdingMachine ? d.owner : kUser;
    *descriptor = LocalAlloc(LPTR, 16);
    return ERROR_SUCCESS;
}

DWORD WINAPI FakeSetSecurity(HANDLE handle, SE_OBJECT_TYPE, SECURITY_INFORMATION what, PSID owner,
                             PSID group, PACL dacl, PACL)
{
    EXPECT_EQ(kHeld, handle);
    EXPECT_EQ(nullptr, owner);
    EXPECT_EQ(nullptr, group);
    seen.actions.push_back(L"make private");
    seen.setFlags = what;
    seen.setAces = dacl ? dacl->AceCount : 0;
    return g_holdingMachine ? d.setDacl : ERROR_SUCCESS;
}

size_t g_entry = 0;

bool Fill(LPWIN32_FIND_DATAW entry)
{
    static const std::vector<std::pair<std::wstring, DWORD>> dots = {
        {L".", FILE_ATTRIBUTE_DIRECTORY}, {L"..", FILE_ATTRIBUTE_DIRECTORY}};
    size_t i = g_entry++;
    const size_t more = g_holdingMachine ? d.entries.size() : 0;  // a fresh folder is empty
    const std::pair<std::wstring, DWORD>* e = i < 2          ? &dots[i]
                                              : i - 2 < more ? &d.entries[i - 2]
                                                             : nullptr;
    if (!e)
        return false;
    *entry = {};
    wcscpy(entry->cFileName, e->first.c_str());
    entry->dwFileAttributes = e->second;
    return true;
}

HANDLE WINAPI FakeFindFirst(LPCWSTR pattern, LPWIN32_FIND_DATAW entry)
{
    seen.actions.push_back(L"list " + Name(pattern));
    g_entry = 0;
    Fill(entry);
    return kFind;
}

BOOL WINAPI FakeFindNext(HANDLE find, LPWIN32_FIND_DATAW entry)
{
    EXPECT_EQ(kFind, find);
    return Fill(entry);
}

BOOL WINAPI FakeFindClose(HANDLE find)
{
    EXPECT_EQ(kFind, find);
    return TRUE;
}

BOOL WINAPI FakeClose(HANDLE handle)
{
    EXPECT_EQ(kHeld, handle);
    --seen.held;
    seen.actions.push_back(L"let go");
    return TRUE;
}

DWORD WINAPI FakeLastError()
{
    return g_error;
}
DWORD WINAPI FakeTick()
{
    return 0x1000;
}

bool FakeUser(BYTE (&sid)[SECURITY_MAX_SID_SIZE])
{
    return CopySid(SECURITY_MAX_SID_SIZE, sid, kUser);
}

void FakeLog(const WCHAR* format, ...)
{
    seen.logs.push_back(format);
}

const StagingPlatform kFake = {
    .SHGetSpecialFolderPathW = FakeFolder,
    .GetTempPathW = FakeTempPath,
    .CreateDirectoryW = FakeCreateDirectory,
    .GetFileAttributesW = FakeAttributes,
    .CreateFileW = FakeOpen,
    .GetFileInformationByHandle = FakeInformation,
    .GetSecurityInfo = FakeGetSecurity,
    .SetSecurityInfo = FakeSetSecurity,
    .FindFirstFileW = FakeFindFirst,
    .FindNextFileW = FakeFindNext,
    .FindClose = FakeFindClose,
    .CloseHandle = FakeClose,
    .GetLastError = FakeLastError,
    .GetTickCount = FakeTick,
    .CurrentUser = FakeUser,
    .DebugLog = FakeLog,
};

typedef std::vector<std::wstring> Actions;

Actions operator+(Actions a, const Actions& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Actions kChain = {L"create C:\\PD", L"create C:\\PD\\Ironbark",
                        L"create C:\\PD\\Ironbark\\Meridian",
                        L"create C:\\PD\\Ironbark\\Meridian\\Temporary"};
const Actions kMachineTaken = {std::wstring(L"create private ") + kMachine,
                               std::wstring(L"hold ") + kMachine, L"make private",
                               std::wstring(L"list ") + kMachine + L"\\*"};
const std::wstring kFresh = L"temp\\RookMini-";
// Fits with every level but the last.
const std::wstring kLong = L"C:\\" + std::wstring(225, L'p');

}  // namespace

TEST(PrivateSecurity, FullControlForTheUserAdministratorsAndSystemOnlyNothingInherited)
{
    PrivateSecurity security;
    ASSERT_TRUE(BuildPrivateSecurity(&security, kUser));
    ASSERT_TRUE(IsPrivate(&security.descriptor));
    PACL acl = reinterpret_cast<PACL>(security.acl);
    const PSID expected[] = {kUser, kAdministrators, Sid(L"S-1-5-18")};
    for (DWORD i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(acl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType);
        // What is created inside (the installer) gets the same three.
        EXPECT_EQ(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, ace->Header.AceFlags);
        EXPECT_EQ(static_cast<DWORD>(FILE_ALL_ACCESS), ace->Mask);
        EXPECT_TRUE(EqualSid(&ace->SidStart, expected[i]));
        EXPECT_TRUE(IsTrustedOwner(security, expected[i]));
    }
    EXPECT_FALSE(IsTrustedOwner(security, kStranger));
    EXPECT_FALSE(IsTrustedOwner(security, Sid(L"S-1-1-0")));  // Everyone
}

TEST(StagingFolder, UsesTheMachineFolderOnlyWhenItIsProvablyOurs)
{
    struct Case {
        const char* label;
        Disk disk;
        const wchar_t* folder;  // null: none; L"fresh": a fresh temporary folder
        Actions actions;        // up to the first fresh-folder step
    };
    auto with = [](void (*edit)(Disk&)) {
        Disk disk;
        edit(disk);
        return disk;
    };
    const Actions unusable = {std::wstring(L"create private ") + kMachine,
                              std::wstring(L"hold ") + kMachine};
    // clang-format off
    const Case cases[] = {
        {"fresh machine: created private and held", Disk(), kMachine, kChain + kMachineTaken},
        {"earlier folder of ours with an earlier installer: made private and used",
         with([](Disk& x) {
             x.finalExists = true;
             x.entries = {{L"MERIDIAN_SETUPFULL.EXE", FILE_ATTRIBUTE_NORMAL}};
         }),
         kMachine, kChain + kMachineTaken},
        {"owned by the Administrators: used",
         with([](Disk& x) { x.finalExists = true; x.owner = kAdministrators; }), kMachine,
         kChain + kMachineTaken},
        {"a junction in its place: a fresh folder",
         with([](Disk& x) {
             x.finalExists = true;
             x.finalAttributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
         }),
         L"fresh", kChain + unusable + Actions{L"let go"}},
        {"a file in its place: a fresh folder",
         with([](Disk& x) { x.finalExists = true; x.finalAttributes = FILE_ATTRIBUTE_NORMAL; }),
         L"fresh", kChain + unusable + Actions{L"let go"}},
        {"owned by another user: a fresh folder",
         with([](Disk& x) { x.finalExists = true; x.owner = kStranger; }), L"fresh",
         kChain + unusable + Actions{L"let go"}},
        {"its DACL cannot be set: a fresh folder",
         with([](Disk& x) { x.finalExists = true; x.setDacl = ERROR_ACCESS_DENIED; }), L"fresh",
         kChain + unusable + Actions{L"make private", L"let go"}},
        {"a DLL beside the earlier installer: a fresh folder",
         with([](Disk& x) {
             x.finalExists = true;
             x.entries = {{L"meridian_setupfull.exe", FILE_ATTRIBUTE_NORMAL},
                          {L"version.dll", FILE_ATTRIBUTE_NORMAL}};
         }),
         L"fresh", kChain + kMachineTaken + Actions{L"let go"}},
        {"a folder under the installer's name: a fresh folder",
         with([](Disk& x) {
             x.finalExists = true;
             x.entries = {{L"meridian_setupfull.exe", FILE_ATTRIBUTE_DIRECTORY}};
         }),
         L"fresh", kChain + kMachineTaken + Actions{L"let go"}},
        {"a level of the chain is a link: the final folder is not touched",
         with([](Disk& x) { x.linkedLevel = L"C:\\PD\\Ironbark\\Meridian"; }), L"fresh",
         Actions{L"create C:\\PD", L"create C:\\PD\\Ironbark", L"create C:\\PD\\Ironbark\\Meridian"}},
        {"temporary name taken: the next one",
         with([](Disk& x) { x.finalExists = true; x.owner = kStranger; x.tempNamesTaken = 1; }),
         L"fresh", kChain + unusable + Actions{L"let go"}},
        {"no application-data folder: none", with([](Disk& x) { x.appData = nullptr; }), nullptr,
         {}},
        {"path too long: none", with([](Disk& x) { x.appData = kLong.c_str(); }), nullptr,
         {L"create " + kLong, L"create " + kLong + L"\\Ironbark",
          L"create " + kLong + L"\\Ironbark\\Meridian",
          L"create " + kLong + L"\\Ironbark\\Meridian\\Temporary"}},
        {"unusable, and no temporary folder: none",
         with([](Disk& x) { x.finalExists = true; x.owner = kStranger; x.temp = nullptr; }),
         nullptr, kChain + unusable + Actions{L"let go"}},
        {"unusable, and the temporary folder refuses: none",
         with([](Disk& x) { x.finalExists = true; x.owner = kStranger; x.tempRefused = true; }),
         nullptr, kChain + unusable + Actions{L"let go"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        d = c.disk;
        seen = Seen();
        StagingFolder staging;
        bool ready = PrepareStagingFolderOn(kFake, &staging);
        bool fresh = c.folder && std::wstring(c.folder) == L"fresh";

        Actions head(seen.actions.begin(),
                     seen.actions.begin() + std::min(seen.actions.size(), c.actions.size()));
        EXPECT_EQ(c.actions, head);
        // Every folder created with attributes got the private DACL.
        for (bool made : seen.privateCreates)
            EXPECT_TRUE(made);
        EXPECT_EQ(c.folder != nullptr, ready);
        EXPECT_EQ(ready ? 1 : 0, seen.held);  // the folder in use stays held, no other
        if (!ready) {
            EXPECT_EQ(L"", std::wstring(staging.installer));
            EXPECT_EQ(INVALID_HANDLE_VALUE, staging.held);
            continue;
        }
        EXPECT_EQ(kHeld, staging.held);
        // The folder in use was made private: a protected DACL of the three.
        EXPECT_EQ(
            static_cast<DWORD>(DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION),
            seen.setFlags);
        EXPECT_EQ(3, seen.setAces);
        std::wstring folder = Name(staging.folder);
        if (fresh) {
            EXPECT_EQ(kFresh, folder.substr(0, kFresh.size()));
            EXPECT_EQ(kFresh.size() + 8, folder.size());
            ASSERT_EQ(1u, seen.logs.size());
            EXPECT_EQ(seen.actions.back(), L"list " + folder + L"\\*");
        } else {
            EXPECT_EQ(kMachine, folder);
            EXPECT_TRUE(seen.logs.empty());
        }
        EXPECT_EQ(std::wstring(staging.folder) + L"\\meridian_setupfull.exe", staging.installer);
    }
}
