// The start-up sequence after the taskbar identity: the two gates, the choice
// of mode and launch mode. Its Windows calls and hand-over points come through
// a table so that tests can drive every branch.
#pragma once

#include "base/rookmini.h"
#include "checks/compiler_hijack.h"
#include "checks/dotnet_gate.h"
#include "launcher/install_mode.h"
#include "launcher/update_gate.h"

struct StartupPlatform {
    decltype(&::GetModuleFileNameW) GetModuleFileNameW;
    decltype(&::GetFileAttributesW) GetFileAttributesW;
    decltype(&::CreateMutexW) CreateMutexW;
    decltype(&::GetLastError) GetLastError;
    decltype(&::GetTickCount) GetTickCount;
    decltype(&::CheckDotNetPrerequisite) CheckDotNetPrerequisite;
    decltype(&::CheckCompilerHijack) CheckCompilerHijack;
    decltype(&::LaunchProgram) LaunchProgram;
    decltype(&::RunUpdateGate) RunUpdateGate;
    decltype(&::RunInstallMode) RunInstallMode;
};

extern const StartupPlatform kWin32Startup;

// The command-line tail: the command line without the program name and the
// blanks after it, as the runtime hands it to a WinMain.
const WCHAR* CommandLineTail(const WCHAR* commandLine);

// Runs the gates and the chosen mode; always answers the exit code 0.
int RunStartup(const StartupPlatform& os, HINSTANCE instance, const WCHAR* tail);
