// LaunchProgram: the one place where the result of a shell start is examined.
// Elevation ("runas") is asked for only where Windows knows it, from major
// version 6 (Vista) on.
#include "base/acts.h"

const WCHAR* ShellVerb(bool elevate, DWORD major)
{
    return elevate && major >= 6 ? L"runas" : nullptr;
}

bool LaunchProgram(bool elevate, const WCHAR* file, const WCHAR* directory, const WCHAR* parameters)
{
    OSVERSIONINFOW version;
    ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);  // 276
    if (elevate)
        GetVersionExW(&version);  // a failed call leaves the major version 0
    HINSTANCE result = g_shellExecute(nullptr, ShellVerb(elevate, version.dwMajorVersion), file,
                                      parameters, directory, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}
