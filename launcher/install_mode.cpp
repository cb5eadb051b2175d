// Install mode: one instance at a time, the staging folder under the
// machine-wide application-data folder, the download in the progress dialog,
// then the elevated start of the installer once its signature has been found
// to be the maker's, or the offer of the browser download when the download
// was cancelled or failed, or the installer was refused or not started.
#include "launcher/install_mode.h"

#include "launcher/installer_trust.h"

#include "ui/download_ui.h"
#include "res/resource.h"

#include <shlobj.h>
#include <shlwapi.h>

static const WCHAR kInstallMutexName[] = L"RookMini-DoUpdate";
static const WCHAR* const kStagingLevels[] = {
    L"\\Ironbark", L"\\Meridian", L"\\Temporary", L"\\meridian_mainmini"};
static const WCHAR kInstallerName[] = L"\\meridian_setupfull.exe";

static const WCHAR kQuestionCaption[] = L"Corvid App";
static const WCHAR kCancelledQuestion[] =
    L"The automatic retrieving of the App was canceled.\n\n"
    L"Would you like to download it through your Internet browser?";
static const WCHAR kFailedQuestion[] =
    L"There was a problem retrieving the App automatically.\n\n"
    L"Would you like to download it through your Internet browser?";

// Builds the staging folder one level at a time, creating each, and the
// installer path inside it. A path that does not fit its buffer leaves both
// empty: the staging folder then counts as unavailable.
static void PrepareStagingFolder(const InstallPlatform& os)
{
    g_szStagingFolder[0] = L'\0';
    g_szInstallerPath[0] = L'\0';
    if (!os.SHGetSpecialFolderPathW(nullptr, g_szStagingFolder, CSIDL_COMMON_APPDATA, TRUE))
        g_szStagingFolder[0] = L'\0';
    if (g_szStagingFolder[0] == L'\0')
        return;
    os.CreateDirectoryW(g_szStagingFolder, nullptr);  // existing or not: go on
    for (const WCHAR* level : kStagingLevels) {
        if (!AppendPath(g_szStagingFolder, level)) {
            g_szStagingFolder[0] = L'\0';
            return;
        }
        os.CreateDirectoryW(g_szStagingFolder, nullptr);
    }
    wcscpy(g_szInstallerPath, g_szStagingFolder);
    if (!AppendPath(g_szInstallerPath, kInstallerName)) {
        g_szStagingFolder[0] = L'\0';
        g_szInstallerPath[0] = L'\0';
    }
}

void RunInstallModeOn(const InstallPlatform& os)
{
    // One launcher in install mode at a time; the handle lives as long as
    // the process. Only these two errors mean another one holds it.
    os.CreateMutexW(nullptr, FALSE, kInstallMutexName);
    DWORD error = os.GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED)
        return;

    PrepareStagingFolder(os);
    bool haveInstallerPath = g_szInstallerPath[0] != L'\0';
    if (haveInstallerPath)
        os.DialogBoxParamW(g_hInstance, MAKEINTRESOURCEW(IDD_DOWNLOAD_PROGRESS), nullptr,
                           ProgressDialogProc, reinterpret_cast<LPARAM>(g_szInstallerPath));

    // After a Cancel even an installer of an earlier run is not started.
    if (!g_bCancelledByUser && haveInstallerPath && os.PathFileExistsW(g_szInstallerPath) &&
        os.StartInstaller(g_szInstallerPath, g_szStagingFolder))
        return;  // the installer is not waited for

    int answer = os.MessageBoxW(nullptr, g_bCancelledByUser ? kCancelledQuestion : kFailedQuestion,
                                kQuestionCaption,
                                MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND | MB_TOPMOST);
    if (answer == IDYES)
        os.ShellExecuteW(nullptr, nullptr, kFullInstallerUrl, nullptr, nullptr, SW_SHOWNORMAL);
}

void RunInstallMode()
{
    RunInstallModeOn(kWin32Install);
}

const InstallPlatform kWin32Install = {
    ::CreateMutexW, ::GetLastError, ::SHGetSpecialFolderPathW, ::CreateDirectoryW,
    ::DialogBoxParamW, ::PathFileExistsW, ::MessageBoxW, ::ShellExecuteW, StartVerifiedInstaller,
};
