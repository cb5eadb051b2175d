// Owners and the facts of a path's level, as the trust decisions read them:
// Wine keeps no owners, so the tables of the staging folder and of the INI
// file's chain give them here.
#pragma once

#include "launcher/level_trust.h"

#include <sddl.h>

// A SID from its text, kept for the test program's life.
inline PSID Sid(const wchar_t* text)
{
    PSID sid = nullptr;
    ConvertStringSidToSidW(text, &sid);
    return sid;
}

inline PSID const kUser = Sid(L"S-1-5-21-1-2-3-1001");
inline PSID const kStranger = Sid(L"S-1-5-21-1-2-3-1002");
inline PSID const kAdministrators = Sid(L"S-1-5-32-544");

// A level as read: its attributes by path and by handle, whether it was
// opened, and its owner (null: not read).
inline LevelFacts Facts(DWORD pathAttributes, bool opened, DWORD heldAttributes, PSID owner)
{
    LevelFacts facts = {pathAttributes, opened, heldAttributes, owner != nullptr, {}};
    if (owner)
        CopySid(SECURITY_MAX_SID_SIZE, facts.owner, owner);
    return facts;
}
