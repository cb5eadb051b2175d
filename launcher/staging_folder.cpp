// The staging folder. The installer is saved here and started elevated from
// here, and an installer loads DLLs from its own folder, so no other local
// user may be able to write to it, replace it or redirect any level of its
// path. The machine-wide application-data folder lets every user create
// folders, so each level is opened without following a link and held without
// delete sharing from the start until the installer has started, and is used
// only when it is a real folder with a trusted owner; the last level gets a
// protected DACL of its own and may hold nothing but our own files.
#include "launcher/staging_folder.h"

#include <shlobj.h>
#include <wchar.h>

static const WCHAR* const kLevels[kStagingLevels] = {L"\\Ironbark", L"\\Meridian", L"\\Temporary",
                                                     L"\\meridian_mainmini"};
static const WCHAR kInstallerName[] = L"meridian_setupfull.exe";
static const WCHAR kPartialName[] = L"meridian_setupfull.partial";
static const int kFreshNameAttempts = 16;

// SIDs by their authority and sub-authorities, as Windows 2000 builds them.
static bool MakeSid(BYTE (&sid)[SECURITY_MAX_SID_SIZE], const DWORD* parts, BYTE count)
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    if (GetSidLengthRequired(count) > SECURITY_MAX_SID_SIZE || !InitializeSid(sid, &nt, count))
        return false;
    for (BYTE i = 0; i < count; ++i)
        *GetSidSubAuthority(sid, i) = parts[i];
    return true;
}

bool BuildPrivateSecurity(PrivateSecurity* security, PSID user)
{
    static const DWORD kAdministrators[] = {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS};
    static const DWORD kSystem[] = {SECURITY_LOCAL_SYSTEM_RID};
    static const DWORD kTrustedInstaller[] = {80,         956008885,  3418522649,
                                              1831038044, 1853292631, 2271478464};
    if (!CopySid(SECURITY_MAX_SID_SIZE, security->user, user) ||
        !MakeSid(security->administrators, kAdministrators, 2) ||
        !MakeSid(security->system, kSystem, 1) ||
        !MakeSid(security->trustedInstaller, kTrustedInstaller, 6))
        return false;

    PACL acl = reinterpret_cast<PACL>(security->acl);
    if (!InitializeAcl(acl, sizeof(security->acl), ACL_REVISION))
        return false;
    BYTE* const granted[] = {security->user, security->administrators, security->system};
    for (BYTE* sid : granted) {
        if (!AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                   FILE_ALL_ACCESS, sid))
            return false;
    }
    return InitializeSecurityDescriptor(&security->descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&security->descriptor, TRUE, acl, FALSE) &&
           SetSecurityDescriptorControl(&security->descriptor, SE_DACL_PROTECTED,
                                        SE_DACL_PROTECTED);
}

bool IsTrustedFolder(const FolderFacts& facts, const PrivateSecurity& security)
{
    const DWORD link = FILE_ATTRIBUTE_REPARSE_POINT;
    if (facts.pathAttributes == INVALID_FILE_ATTRIBUTES ||
        !(facts.pathAttributes & FILE_ATTRIBUTE_DIRECTORY) || (facts.pathAttributes & link) ||
        !facts.opened || !(facts.heldAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (facts.heldAttributes & link) || !facts.ownerRead)
        return false;
    PSID owner = const_cast<BYTE*>(facts.owner);
    const BYTE* const trusted[] = {security.user, security.administrators, security.system,
                                   security.trustedInstaller};
    for (const BYTE* sid : trusted) {
        if (EqualSid(owner, const_cast<BYTE*>(sid)))
            return true;
    }
    return false;
}

bool IsStagingEntry(const WCHAR* name, DWORD attributes)
{
    if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0)
        return true;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    return _wcsicmp(name, kInstallerName) == 0 || _wcsicmp(name, kPartialName) == 0;
}

// Opens a level without following a link and without delete sharing, so
// that it cannot be renamed, removed or swapped while held, and reads what
// the decision needs.
static HANDLE HoldFolder(const WCHAR* path, DWORD access, FolderFacts* facts)
{
    ZeroMemory(facts, sizeof(*facts));
    facts->pathAttributes = GetFileAttributesW(path);
    HANDLE folder = CreateFileW(path, access | READ_CONTROL | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return folder;
    facts->opened = true;
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileInformationByHandle(folder, &information))
        facts->heldAttributes = information.dwFileAttributes;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
        owner)
        facts->ownerRead = CopySid(SECURITY_MAX_SID_SIZE, facts->owner, owner) != FALSE;
    LocalFree(descriptor);
    return folder;
}

// Whether the folder holds nothing but our own files.
static bool HoldsOnlyStagingEntries(const WCHAR* folder)
{
    WCHAR pattern[MAX_PATH];
    if (!CopyText(pattern, folder) || !AppendPath(pattern, L"\\*"))
        return false;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(pattern, &entry);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    bool only = true;
    do {
        only = IsStagingEntry(entry.cFileName, entry.dwFileAttributes);
    } while (only && FindNextFileW(find, &entry));
    FindClose(find);
    return only;
}

// Makes the held last level private, checks what it holds, and creates the
// partial file in it: a partial file of an earlier run goes first, and a
// name that cannot be had makes the folder unusable.
static bool TakeFinalLevel(StagingFolder* staging, PrivateSecurity& security, HANDLE folder)
{
    if (SetSecurityInfo(folder, SE_FILE_OBJECT,
                        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, reinterpret_cast<PACL>(security.acl), nullptr) != ERROR_SUCCESS ||
        !HoldsOnlyStagingEntries(staging->folder))
        return false;
    if (!CopyText(staging->installer, staging->folder) || !AppendPath(staging->installer, L"\\") ||
        !AppendPath(staging->installer, kInstallerName) ||
        !CopyText(staging->partial, staging->folder) || !AppendPath(staging->partial, L"\\") ||
        !AppendPath(staging->partial, kPartialName))
        return false;
    DeleteFileW(staging->partial);
    staging->partialFile =
        CreateFileW(staging->partial, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    return staging->partialFile != INVALID_HANDLE_VALUE;
}

// Creates (privately, for the last one) and holds each level under the
// application-data folder; true when every level is ours.
static bool TakeMachineFolder(StagingFolder* staging, PrivateSecurity& security,
                              const WCHAR* appData)
{
    WCHAR* path = staging->folder;
    if (!CopyText(staging->folder, appData))
        return false;
    CreateDirectoryW(path, nullptr);  // existing or not: go on
    for (int i = 0; i < kStagingLevels; ++i) {
        bool last = i == kStagingLevels - 1;
        if (!AppendPath(staging->folder, kLevels[i]))
            return false;
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &security.descriptor, FALSE};
        CreateDirectoryW(path, last ? &attributes : nullptr);
        FolderFacts facts;
        staging->levels[i] = HoldFolder(path, last ? WRITE_DAC : 0, &facts);
        if (!IsTrustedFolder(facts, security))
            return false;
    }
    return TakeFinalLevel(staging, security, staging->levels[kStagingLevels - 1]);
}

// A new private folder with a unique name under the user's own temporary
// folder, by its long name so that it compares with what the file system
// reports.
static bool TakeFreshFolder(StagingFolder* staging, PrivateSecurity& security)
{
    WCHAR temporary[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, temporary);
    if (length == 0 || length >= MAX_PATH)
        return false;
    length = GetLongPathNameW(temporary, temporary, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    DWORD seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
    for (int attempt = 0; attempt < kFreshNameAttempts; ++attempt) {
        WCHAR name[24];
        wsprintfW(name, L"RookMini-%08X", seed + attempt * 0x9E3779B9u);
        if (!CopyText(staging->folder, temporary) || !AppendPath(staging->folder, name))
            return false;
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &security.descriptor, FALSE};
        if (CreateDirectoryW(staging->folder, &attributes)) {
            FolderFacts facts;
            HANDLE& held = staging->levels[kStagingLevels - 1];
            held = HoldFolder(staging->folder, WRITE_DAC, &facts);
            return IsTrustedFolder(facts, security) && TakeFinalLevel(staging, security, held);
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
}

// The user the process runs as, from its token.
static bool ReadCurrentUser(BYTE (&sid)[SECURITY_MAX_SID_SIZE])
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } buffer;
    DWORD size = 0;
    bool read = GetTokenInformation(token, TokenUser, &buffer, sizeof(buffer), &size) &&
                CopySid(SECURITY_MAX_SID_SIZE, sid, buffer.user.User.Sid);
    CloseHandle(token);
    return read;
}

static void Empty(StagingFolder* staging)
{
    staging->folder[0] = L'\0';
    staging->installer[0] = L'\0';
    staging->partial[0] = L'\0';
    for (HANDLE& level : staging->levels)
        level = INVALID_HANDLE_VALUE;
    staging->partialFile = INVALID_HANDLE_VALUE;
}

bool PrepareStagingFolderIn(const WCHAR* appData, StagingFolder* staging)
{
    Empty(staging);
    BYTE user[SECURITY_MAX_SID_SIZE];
    PrivateSecurity security;
    if (!ReadCurrentUser(user) || !BuildPrivateSecurity(&security, user))
        return false;
    if (appData[0] != L'\0' && TakeMachineFolder(staging, security, appData))
        return true;

    WCHAR machine[MAX_PATH];
    CopyText(machine, staging->folder);
    ReleaseStagingFolder(staging);
    if (TakeFreshFolder(staging, security)) {
        DebugLog(L"RookMini: Staging folder %s cannot be made private, using %s", machine,
                 staging->folder);
        return true;
    }
    ReleaseStagingFolder(staging);
    return false;
}

bool PrepareStagingFolder(StagingFolder* staging)
{
    WCHAR appData[MAX_PATH] = L"";
    if (!SHGetSpecialFolderPathW(nullptr, appData, CSIDL_COMMON_APPDATA, TRUE) ||
        appData[0] == L'\0') {
        Empty(staging);
        return false;
    }
    return PrepareStagingFolderIn(appData, staging);
}

void ReleaseStagingFolder(StagingFolder* staging)
{
    if (staging->partialFile != INVALID_HANDLE_VALUE) {
        CloseHandle(staging->partialFile);
        DeleteFileW(staging->partial);
    }
    for (int i = kStagingLevels - 1; i >= 0; --i) {
        if (staging->levels[i] != INVALID_HANDLE_VALUE)
            CloseHandle(staging->levels[i]);
    }
    Empty(staging);
}
