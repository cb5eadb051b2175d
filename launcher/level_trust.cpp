// Trust in the levels of a path: the SIDs of the owners trusted, the private
// DACL that the launcher gives a folder of its own, and the facts of a level
// read without following a link.
#include "launcher/level_trust.h"

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

bool IsTrustedLevel(const LevelFacts& facts, const PrivateSecurity& security, bool folder)
{
    const DWORD link = FILE_ATTRIBUTE_REPARSE_POINT;
    const DWORD kind = folder ? FILE_ATTRIBUTE_DIRECTORY : 0;
    if (facts.pathAttributes == INVALID_FILE_ATTRIBUTES ||
        (facts.pathAttributes & FILE_ATTRIBUTE_DIRECTORY) != kind ||
        (facts.pathAttributes & link) || !facts.opened ||
        (facts.heldAttributes & FILE_ATTRIBUTE_DIRECTORY) != kind ||
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

HANDLE HoldLevel(const WCHAR* path, DWORD access, LevelFacts* facts)
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

bool BuildUserSecurity(PrivateSecurity* security)
{
    BYTE user[SECURITY_MAX_SID_SIZE];
    return ReadCurrentUser(user) && BuildPrivateSecurity(security, user);
}
