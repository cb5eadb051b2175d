// The platform seam of the .NET Framework gate: every Windows call the gate
// makes, with the real signatures, so that tests can play any machine.
#pragma once

#include "base/rookmini.h"

#include <shellapi.h>

struct DotNetPlatform {
    decltype(&::RegOpenKeyExW) RegOpenKeyExW;
    decltype(&::RegQueryValueExW) RegQueryValueExW;
    decltype(&::RegCloseKey) RegCloseKey;
    decltype(&::MessageBoxW) MessageBoxW;
    decltype(&::GetVersionExW) GetVersionExW;
    decltype(&::LoadLibraryA) LoadLibraryA;
    decltype(&::GetProcAddress) GetProcAddress;
    decltype(&::GetSystemDirectoryW) GetSystemDirectoryW;
    decltype(&::GetFileAttributesW) GetFileAttributesW;
    decltype(&::ShellExecuteW) ShellExecuteW;
};

extern const DotNetPlatform kWin32DotNet;

// The gate on the given platform: true lets start-up continue, false stops it.
bool CheckDotNetPrerequisiteOn(const DotNetPlatform& os);
bool CheckDotNetPrerequisite();
