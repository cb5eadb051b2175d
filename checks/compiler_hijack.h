// The platform seam of the compiler-hijack gate: the registry reads and the
// modal error dialog, so that tests can play any Image File Execution Options
// entry without showing anything.
#pragma once

#include "base/rookmini.h"

struct HijackPlatform {
    decltype(&::RegOpenKeyExW) RegOpenKeyExW;
    decltype(&::RegQueryValueExW) RegQueryValueExW;
    decltype(&::RegCloseKey) RegCloseKey;
    decltype(&::DialogBoxParamW) DialogBoxParamW;
};

extern const HijackPlatform kWin32Hijack;

// The gate on the given platform, with the error dialog loaded from instance:
// true lets start-up continue, false stops it.
bool CheckCompilerHijackOn(const HijackPlatform& os, HINSTANCE instance);
bool CheckCompilerHijack();
