// Trust in the levels of a path that other users could have made: the
// machine-wide application-data folder lets every user create folders and
// files. A level is opened without following a link and read (its
// attributes by path and by handle, and its owner); it is trusted only when
// it is no link and its owner is one who could change it anyway.
#pragma once

#include "base/rookmini.h"

#include <aclapi.h>

// A protected DACL (nothing inherited from above) that gives full control,
// inherited by what is created inside, to the current user, the
// Administrators and SYSTEM, and to nobody else; and the owners trusted.
struct PrivateSecurity {
    SECURITY_DESCRIPTOR descriptor;
    BYTE acl[256];
    BYTE user[SECURITY_MAX_SID_SIZE];
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    BYTE system[SECURITY_MAX_SID_SIZE];
    BYTE trustedInstaller[SECURITY_MAX_SID_SIZE];
};

// Builds it for the given user; false when it cannot be built.
bool BuildPrivateSecurity(PrivateSecurity* security, PSID user);

// Builds it for the user the process runs as; false when it cannot be built.
bool BuildUserSecurity(PrivateSecurity* security);

// What was read of one level of a path.
struct LevelFacts {
    DWORD pathAttributes;  // of the path, as a link shows itself
    bool opened;           // opened without following a link
    DWORD heldAttributes;  // of what was opened
    bool ownerRead;
    BYTE owner[SECURITY_MAX_SID_SIZE];
};

// Whether a level can be trusted: a real folder (or, for the file at a
// path's end, a real file), not a link by its path nor by its handle, whose
// owner is the user, the Administrators, SYSTEM or TrustedInstaller (an
// owner can always change the DACL back).
bool IsTrustedLevel(const LevelFacts& facts, const PrivateSecurity& security, bool folder);

// Opens a level without following a link and without delete sharing, so
// that it cannot be renamed, removed or swapped while held, and reads what
// the decision needs. INVALID_HANDLE_VALUE when it cannot be opened.
HANDLE HoldLevel(const WCHAR* path, DWORD access, LevelFacts* facts);
