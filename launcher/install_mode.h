// The platform seam of install mode: the Windows calls it makes and the
// hand-overs it uses, so that tests can answer them.
#pragma once

#include "base/rookmini.h"
#include "launcher/staging_folder.h"

#include <shellapi.h>

struct InstallPlatform {
    decltype(&::CreateMutexW) CreateMutexW;
    decltype(&::GetLastError) GetLastError;
    bool (*PrepareStagingFolder)(StagingFolder* staging);
    decltype(&::DialogBoxParamW) DialogBoxParamW;
    decltype(&::WaitForSingleObject) WaitForSingleObject;
    decltype(&::MessageBoxW) MessageBoxW;
    decltype(&::ShellExecuteW) ShellExecuteW;
    // Starts the installer elevated from its folder, only when its signature
    // names the maker; true when the start succeeded.
    bool (*StartInstaller)(const WCHAR* path, const WCHAR* folder);
};

extern const InstallPlatform kWin32Install;

void RunInstallModeOn(const InstallPlatform& os);
void RunInstallMode();
