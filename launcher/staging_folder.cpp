// The staging folder. The installer is saved here and started elevated from
// here, and an installer loads DLLs from its own folder, so the folder must
// be one that no other local user can write to, replace or redirect. The
// machine-wide application-data folder lets every user create folders, so
// the final folder gets a protected DACL of its own, a folder that already
// exists is used only when it can be shown to be ours, and the folder is held
// open without delete sharing until install mode is done with it.
#include "launcher/staging_folder.h"

#include <shlobj.h>
#include <wchar.h>

static const WCHAR* const kMachineLevels[] = {L"\\Ironbark", L"\\Meridian", L"\\Temporary"};
static const WCHAR kFinalLevel[] = L"\\meridian_mainmini";
static const WCHAR kInstallerName[] = L"meridian_setupfull.exe";
static const int kFreshNameAttempts = 16;

bool BuildPrivateSecurity(PrivateSecurity* security, PSID user)
{
    DWORD size = SECURITY_MAX_SID_SIZE;
    if (!CopySid(SECURITY_MAX_SID_SIZE, security->user, user) ||
        !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, security->administrators, &size))
        return false;
    size = SECURITY_MAX_SID_SIZE;
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, security->system, &size))
        return false;

    PACL acl = reinterpret_cast<PACL>(security->acl);
    if (!InitializeAcl(acl, sizeof(security->acl), ACL_REVISION))
        return false;
    BYTE* const trusted[] = {security->user, security->administrators, security->system};
    for (BYTE* sid : trusted) {
        if (!AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                   FILE_ALL_ACCESS, sid))
            return false;
    }
    return InitializeSecurityDescriptor(&security->descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&security->descriptor, TRUE, acl, FALSE) &&
           SetSecurityDescriptorControl(&security->descriptor, SE_DACL_PROTECTED,
                                        SE_DACL_PROTECTED);
}

bool IsTrustedOwner(const PrivateSecurity& security, PSID owner)
{
    const BYTE* const trusted[] = {security.user, security.administrators, security.system};
    for (const BYTE* sid : trusted) {
        if (EqualSid(owner, const_cast<BYTE*>(sid)))
            return true;
    }
    return false;
}

// Whether the folder holds nothing but, at most, an installer file of an
// earlier run: anything else (a DLL beside the installer, say) may have been
// put there by someone else while the folder was open to all.
static bool HoldsOnlyAnInstaller(const StagingPlatform& os, const WCHAR* folder)
{
    WCHAR pattern[MAX_PATH];
    wcscpy(pattern, folder);
    if (!AppendPath(pattern, L"\\*"))
        return false;
    WIN32_FIND_DATAW entry;
    HANDLE find = os.FindFirstFileW(pattern, &entry);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    bool only = true;
    do {
        const WCHAR* name = entry.cFileName;
        if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0)
            continue;
        const DWORD notAFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
        if (_wcsicmp(name, kInstallerName) != 0 || (entry.dwFileAttributes & notAFile))
            only = false;
    } while (only && os.FindNextFileW(find, &entry));
    os.FindClose(find);
    return only;
}

// Makes the held folder private and checks that it is ours to use: a plain
// folder, not a link, owned by one of the three, holding no stranger's file.
static bool MakePrivate(const StagingPlatform& os, PrivateSecurity& security, HANDLE folder,
                        const WCHAR* path)
{
    BY_HANDLE_FILE_INFORMATION information;
    if (!os.GetFileInformationByHandle(folder, &information) ||
        !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;

    // An owner may always change the DACL again, so only the three may own it.
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (os.GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                           nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    bool trusted = owner && IsTrustedOwner(security, owner);
    LocalFree(descriptor);
    if (!trusted)
        return false;

    if (os.SetSecurityInfo(folder, SE_FILE_OBJECT,
                           DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                           nullptr, reinterpret_cast<PACL>(security.acl), nullptr) != ERROR_SUCCESS)
        return false;
    return HoldsOnlyAnInstaller(os, path);
}

// Holds the folder open and makes it private. The handle does not follow a
// link and shares no delete, so the folder cannot be renamed, removed or
// swapped while it is held.
static HANDLE HoldPrivate(const StagingPlatform& os, PrivateSecurity& security, const WCHAR* path)
{
    HANDLE folder = os.CreateFileW(
        path, READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    if (!MakePrivate(os, security, folder, path)) {
        os.CloseHandle(folder);
        return INVALID_HANDLE_VALUE;
    }
    return folder;
}

enum MachineFolder { kMachineUnavailable, kMachineUnsafe, kMachineReady };

// Builds the folder chain under the machine-wide application-data folder one
// level at a time, creating each. A level that is a link (or not a folder)
// makes the chain unsafe; a path that does not fit makes it unavailable.
static MachineFolder BuildMachineChain(const StagingPlatform& os, WCHAR (&path)[MAX_PATH])
{
    path[0] = L'\0';
    if (!os.SHGetSpecialFolderPathW(nullptr, path, CSIDL_COMMON_APPDATA, TRUE) || path[0] == L'\0')
        return kMachineUnavailable;
    os.CreateDirectoryW(path, nullptr);  // existing or not: go on
    for (const WCHAR* level : kMachineLevels) {
        if (!AppendPath(path, level))
            return kMachineUnavailable;
        os.CreateDirectoryW(path, nullptr);
        DWORD attributes = os.GetFileAttributesW(path);
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return kMachineUnsafe;
    }
    return AppendPath(path, kFinalLevel) ? kMachineReady : kMachineUnavailable;
}

// A new private folder with a unique name under the user's own temporary folder.
static HANDLE TakeFreshTemporaryFolder(const StagingPlatform& os, PrivateSecurity& security,
                                       WCHAR (&path)[MAX_PATH])
{
    WCHAR temporary[MAX_PATH];
    DWORD length = os.GetTempPathW(MAX_PATH, temporary);
    if (length == 0 || length >= MAX_PATH)
        return INVALID_HANDLE_VALUE;
    DWORD seed = os.GetTickCount() ^ (GetCurrentProcessId() << 16);
    for (int attempt = 0; attempt < kFreshNameAttempts; ++attempt) {
        WCHAR name[24];
        wsprintfW(name, L"RookMini-%08X", seed + attempt * 0x9E3779B9u);
        wcscpy(path, temporary);
        if (!AppendPath(path, name))
            return INVALID_HANDLE_VALUE;
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &security.descriptor, FALSE};
        if (os.CreateDirectoryW(path, &attributes))
            return HoldPrivate(os, security, path);
        if (os.GetLastError() != ERROR_ALREADY_EXISTS)
            return INVALID_HANDLE_VALUE;
    }
    return INVALID_HANDLE_VALUE;
}

bool PrepareStagingFolderOn(const StagingPlatform& os, StagingFolder* staging)
{
    staging->folder[0] = L'\0';
    staging->installer[0] = L'\0';
    staging->held = INVALID_HANDLE_VALUE;

    BYTE user[SECURITY_MAX_SID_SIZE];
    PrivateSecurity security;
    if (!os.CurrentUser(user) || !BuildPrivateSecurity(&security, user))
        return false;

    WCHAR machine[MAX_PATH];
    MachineFolder chain = BuildMachineChain(os, machine);
    if (chain == kMachineUnavailable)
        return false;
    // Created private, or the one already there if it can be shown to be ours.
    HANDLE held = INVALID_HANDLE_VALUE;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &security.descriptor, FALSE};
    if (chain == kMachineReady &&
        (os.CreateDirectoryW(machine, &attributes) || os.GetLastError() == ERROR_ALREADY_EXISTS))
        held = HoldPrivate(os, security, machine);
    if (held != INVALID_HANDLE_VALUE) {
        wcscpy(staging->folder, machine);
    } else {
        held = TakeFreshTemporaryFolder(os, security, staging->folder);
        if (held == INVALID_HANDLE_VALUE)
            return false;
        os.DebugLog(L"RookMini: Staging folder %s cannot be made private, using %s", machine,
                    staging->folder);
    }

    wcscpy(staging->installer, staging->folder);
    if (!AppendPath(staging->installer, L"\\") || !AppendPath(staging->installer, kInstallerName)) {
        os.CloseHandle(held);
        staging->folder[0] = L'\0';
        staging->installer[0] = L'\0';
        return false;
    }
    staging->held = held;
    return true;
}

void ReleaseStagingFolder(StagingFolder* staging)
{
    if (staging->held != INVALID_HANDLE_VALUE)
        CloseHandle(staging->held);
    staging->held = INVALID_HANDLE_VALUE;
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

bool PrepareStagingFolder(StagingFolder* staging)
{
    return PrepareStagingFolderOn(kWin32Staging, staging);
}

const StagingPlatform kWin32Staging = {
    .SHGetSpecialFolderPathW = ::SHGetSpecialFolderPathW,
    .GetTempPathW = ::GetTempPathW,
    .CreateDirectoryW = ::CreateDirectoryW,
    .GetFileAttributesW = ::GetFileAttributesW,
    .CreateFileW = ::CreateFileW,
    .GetFileInformationByHandle = ::GetFileInformationByHandle,
    .GetSecurityInfo = ::GetSecurityInfo,
    .SetSecurityInfo = ::SetSecurityInfo,
    .FindFirstFileW = ::FindFirstFileW,
    .FindNextFileW = ::FindNextFileW,
    .FindClose = ::FindClose,
    .CloseHandle = ::CloseHandle,
    .GetLastError = ::GetLastError,
    .GetTickCount = ::GetTickCount,
    .CurrentUser = ReadCurrentUser,
    .DebugLog = ::DebugLog,
};
