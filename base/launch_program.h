// The platform seam of LaunchProgram: the two Windows calls it makes, so that
// tests can answer them.
#pragma once

#include "base/rookmini.h"

#include <shellapi.h>

struct LaunchPlatform {
    decltype(&::GetVersionExW) GetVersionExW;
    decltype(&::ShellExecuteW) ShellExecuteW;
};

extern const LaunchPlatform kWin32Launch;

bool LaunchProgramOn(const LaunchPlatform& os, bool elevate, const WCHAR* file,
                     const WCHAR* directory, const WCHAR* parameters);
