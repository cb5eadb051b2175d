// LaunchProgram: the one place where the result of a shell start is examined.
// Elevation ("runas") is asked for only where Windows knows it, from major
// version 6 (Vista) on.
#include "base/launch_program.h"

bool LaunchProgramOn(const LaunchPlatform& os, bool elevate, const WCHAR* file,
                     const WCHAR* directory, const WCHAR* parameters)
{
    if (elevate) {
        OSVERSIONINFOW version;
        ZeroMemory(&version, sizeof(version));
        version.dwOSVersionInfoSize = sizeof(version);  // 276
        os.GetVersionExW(&version);                     // a failed call leaves the major version 0
        if (version.dwMajorVersion < 6)
            elevate = false;
    }
    HINSTANCE result = os.ShellExecuteW(nullptr, elevate ? L"runas" : nullptr, file, parameters,
                                        directory, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

bool LaunchProgram(bool elevate, const WCHAR* file, const WCHAR* directory, const WCHAR* parameters)
{
    return LaunchProgramOn(kWin32Launch, elevate, file, directory, parameters);
}

const LaunchPlatform kWin32Launch = {
    .GetVersionExW = ::GetVersionExW,
    .ShellExecuteW = ::ShellExecuteW,
};
