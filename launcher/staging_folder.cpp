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

bool IsStagingEntry(const WCHAR* name, DWORD attributes)
{
    if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0)
        return true;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    return _wcsicmp(name, kInstallerName) == 0 || _wcsicmp(name, kPartialName) == 0;
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
    // Only the end of the list says that the whole folder was seen.
    bool only = true;
    do {
        only = IsStagingEntry(entry.cFileName, entry.dwFileAttributes);
    } while (only && FindNextFileW(find, &entry));
    only = only && GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(find);
    return only;
}

// Makes the held last level private, checks what it holds, and creates the
// partial file in it. The files of an earlier run go first: one that cannot
// be removed (read-only, or held open by someone else) would block the
// download for good, so it makes the folder unusable, as does a name that
// cannot be had.
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
    const WCHAR* const earlier[] = {staging->installer, staging->partial};
    for (const WCHAR* file : earlier) {
        if (!DeleteFileW(file) && GetLastError() != ERROR_FILE_NOT_FOUND)
            return false;
    }
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
        LevelFacts facts;
        staging->levels[i] = HoldLevel(path, last ? WRITE_DAC : 0, &facts);
        if (!IsTrustedLevel(facts, security, true))
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
            LevelFacts facts;
            HANDLE& held = staging->levels[kStagingLevels - 1];
            held = HoldLevel(staging->folder, WRITE_DAC, &facts);
            return IsTrustedLevel(facts, security, true) && TakeFinalLevel(staging, security, held);
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
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
    PrivateSecurity security;
    if (!BuildUserSecurity(&security))
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
