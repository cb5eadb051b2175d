// The platform seam of install mode: the Windows calls it makes and the
// hand-overs it uses, so that tests can answer them.
#pragma once

#include "base/rookmini.h"
#include "download/download_job.h"
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
    // Starts the installer elevated from its folder, only when it is the file
    // downloaded and its signature names the maker; true when the start
    // succeeded.
    bool (*StartInstaller)(const WCHAR* path, const WCHAR* folder, const FileIdentity& downloaded);
};

extern const InstallPlatform kWin32Install;

void RunInstallModeOn(const InstallPlatform& os);
void RunInstallMode();
