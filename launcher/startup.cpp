// The launcher's spine: the start-up gates, finding the App beside the
// launcher or one folder above it, the choice between launch mode and install
// mode, and launch mode up to the update gate.
#include "launcher/startup.h"

#include <shlwapi.h>
#include <wchar.h>

static const WCHAR kAppBeside[] = L"\\CorvidApp.exe";
static const WCHAR kAppAbove[] = L"\\..\\CorvidApp.exe";
static const WCHAR kUpdateSwitch[] = L"/DoUpdate";
static const WCHAR kLaunchMutexName[] = L"RookMini-Inital";

const WCHAR* CommandLineTail(const WCHAR* commandLine)
{
    const WCHAR* p = commandLine;
    bool quoted = false;
    // The program name runs to the first control character or blank that
    // stands outside double quotes.
    while (*p && (*p > L' ' || quoted)) {
        if (*p == L'"')
            quoted = !quoted;
        ++p;
    }
    while (*p && *p <= L' ')
        ++p;
    return p;
}

// Reads the launcher's own module path; empty when it cannot be read whole.
static void ReadModulePath(const StartupPlatform& os, HINSTANCE instance, WCHAR (&path)[MAX_PATH])
{
    path[0] = L'\0';
    DWORD length = os.GetModuleFileNameW(instance, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        path[0] = L'\0';  // failed, or cut to fit: not a usable path
}

int RunStartup(const StartupPlatform& os, HINSTANCE instance, const WCHAR* tail)
{
    if (!os.CheckDotNetPrerequisite())
        return 0;
    if (!os.CheckCompilerHijack())
        return 0;

    WCHAR launcherFolder[MAX_PATH];
    ReadModulePath(os, instance, launcherFolder);
    CutAtLastBackslash(launcherFolder);
    if (launcherFolder[0] == L'\0')
        return 0;

    // The App beside the launcher wins; otherwise the one a folder above is
    // chosen untested (the mode choice tests whichever path was chosen). A
    // path that does not fit the buffer stays empty and counts as missing.
    WCHAR appPath[MAX_PATH];
    wcscpy(appPath, launcherFolder);
    if (!AppendPath(appPath, kAppBeside) ||
        os.GetFileAttributesW(appPath) == INVALID_FILE_ATTRIBUTES) {
        wcscpy(appPath, launcherFolder);
        if (!AppendPath(appPath, kAppAbove))
            appPath[0] = L'\0';
    }

    if (StrStrIW(tail, kUpdateSwitch) || appPath[0] == L'\0' ||
        os.GetFileAttributesW(appPath) == INVALID_FILE_ATTRIBUTES) {
        os.RunInstallMode();
        return 0;
    }

    // One launcher in launch mode at a time. The handle is kept for the
    // life of the process; only these two errors mean another one holds it.
    os.CreateMutexW(nullptr, FALSE, kLaunchMutexName);
    DWORD error = os.GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED)
        return 0;

    DWORD startTick = os.GetTickCount();

    // Never start ourselves, whatever the letter case of the path.
    WCHAR ownPath[MAX_PATH];
    ReadModulePath(os, instance, ownPath);
    if (ownPath[0] == L'\0' || _wcsicmp(ownPath, appPath) == 0)
        return 0;

    WCHAR appFolder[MAX_PATH];
    wcscpy(appFolder, appPath);
    CutAtLastBackslash(appFolder);

    os.LaunchProgram(false, appPath, appFolder, tail);  // the gate runs either way
    os.RunUpdateGate(startTick);
    return 0;
}

const StartupPlatform kWin32Startup = {
    .GetModuleFileNameW = ::GetModuleFileNameW,
    .GetFileAttributesW = ::GetFileAttributesW,
    .CreateMutexW = ::CreateMutexW,
    .GetLastError = ::GetLastError,
    .GetTickCount = ::GetTickCount,
    .CheckDotNetPrerequisite = CheckDotNetPrerequisite,
    .CheckCompilerHijack = CheckCompilerHijack,
    .LaunchProgram = LaunchProgram,
    .RunUpdateGate = RunUpdateGate,
    .RunInstallMode = RunInstallMode,
};
