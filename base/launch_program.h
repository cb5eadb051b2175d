// The platform seam of LaunchProgram: the two Windows calls it makes, so that
// tests can answer them.
#pragma once

#include "base/rookmini.h"

#include <shellapi.h>

struct LaunchPlatform {
    BOOL(WINAPI* GetVersionExW)(LPOSVERSIONINFOW info);
    HINSTANCE(WINAPI* ShellExecuteW)(HWND window, LPCWSTR verb, LPCWSTR file,
                                     LPCWSTR parameters, LPCWSTR directory, INT show);
};

extern const LaunchPlatform kWin32Launch;

bool LaunchProgramOn(const LaunchPlatform& os, bool elevate, const WCHAR* file,
                     const WCHAR* directory, const WCHAR* parameters);
