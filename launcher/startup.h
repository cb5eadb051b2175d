// The start-up sequence after the taskbar identity: the two gates, the choice
// of mode and launch mode. Its Windows calls and hand-over points come through
// a table so that tests can drive every branch.
#pragma once

#include "base/rookmini.h"

struct StartupPlatform {
    DWORD(WINAPI* GetModuleFileNameW)(HMODULE module, LPWSTR path, DWORD size);
    DWORD(WINAPI* GetFileAttributesW)(LPCWSTR path);
    HANDLE(WINAPI* CreateMutexW)(LPSECURITY_ATTRIBUTES attributes, BOOL owned, LPCWSTR name);
    DWORD(WINAPI* GetLastError)();
    DWORD(WINAPI* GetTickCount)();
    bool (*CheckDotNetPrerequisite)();
    bool (*CheckCompilerHijack)();
    bool (*LaunchProgram)(bool elevate, const WCHAR* file, const WCHAR* directory,
                          const WCHAR* parameters);
    void (*RunUpdateGate)(DWORD startTick);
    void (*RunInstallMode)();
};

extern const StartupPlatform kWin32Startup;

// The command-line tail: the command line without the program name and the
// blanks after it, as the runtime hands it to a WinMain.
const WCHAR* CommandLineTail(const WCHAR* commandLine);

// Runs the gates and the chosen mode; always answers the exit code 0.
int RunStartup(const StartupPlatform& os, HINSTANCE instance, const WCHAR* tail);
