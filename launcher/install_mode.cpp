// Install mode: one instance at a time, a private staging folder, the
// download in the progress dialog, then the elevated start of the installer
// once its signature has been found to be the maker's, or the offer of the
// browser download when the download was cancelled or failed, or the
// installer was refused or not started. Only what this run downloaded and
// saved whole is ever started, and only after the worker has ended.
#include "launcher/install_mode.h"

#include "launcher/installer_trust.h"
#include "res/resource.h"
#include "ui/progress_dialog.h"

static const WCHAR kInstallMutexName[] = L"RookMini-DoUpdate";

static const WCHAR kQuestionCaption[] = L"Corvid App";
static const WCHAR kCancelledQuestion[] =
    L"The automatic retrieving of the App was canceled.\n\n"
    L"Would you like to download it through your Internet browser?";
static const WCHAR kFailedQuestion[] =
    L"There was a problem retrieving the App automatically.\n\n"
    L"Would you like to download it through your Internet browser?";

// Runs the download in the modal progress dialog and waits for its worker.
// A dialog that cannot be shown counts as a failed download.
static void Download(const InstallPlatform& os, DownloadJob& job)
{
    job.cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!job.cancel)
        return;
    ProgressDialog dialog = {&job, nullptr, nullptr, nullptr};
    INT_PTR shown =
        os.DialogBoxParamW(g_hInstance, MAKEINTRESOURCEW(IDD_DOWNLOAD_PROGRESS), nullptr,
                           ProgressDialogProc, reinterpret_cast<LPARAM>(&dialog));
    if (job.worker) {
        if (!job.finished)
            SetEvent(job.cancel);  // the dialog went without the worker: stop it
        os.WaitForSingleObject(job.worker, INFINITE);
        CloseHandle(job.worker);
        job.worker = nullptr;
    }
    if (shown == -1)
        job.saved = false;
    CloseHandle(job.cancel);
    job.cancel = nullptr;
}

void RunInstallModeOn(const InstallPlatform& os)
{
    // One launcher in install mode at a time; the handle lives as long as
    // the process. Only these two errors mean another one holds it.
    os.CreateMutexW(nullptr, FALSE, kInstallMutexName);
    DWORD error = os.GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED)
        return;

    // Every level of the staging folder stays held until the installer has
    // been started or refused; the job takes over the partial file.
    StagingFolder staging;
    DownloadJob job;
    InitDownloadJob(&job);
    if (os.PrepareStagingFolder(&staging)) {
        CopyText(job.installerPath, staging.installer);
        CopyText(job.partialPath, staging.partial);
        job.partialFile = staging.partialFile;
        staging.partialFile = INVALID_HANDLE_VALUE;
        Download(os, job);
        DiscardPartialFile(&job);  // left only when no worker ran
    }

    // After a Cancel nothing is started, not even a download that completed.
    bool started = !job.cancelledByUser && job.saved &&
                   os.StartInstaller(job.installerPath, staging.folder, job.identity);
    ReleaseStagingFolder(&staging);
    if (started)
        return;  // the installer is not waited for

    int answer = os.MessageBoxW(nullptr, job.cancelledByUser ? kCancelledQuestion : kFailedQuestion,
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
    .CreateMutexW = ::CreateMutexW,
    .GetLastError = ::GetLastError,
    .PrepareStagingFolder = PrepareStagingFolder,
    .DialogBoxParamW = ::DialogBoxParamW,
    .WaitForSingleObject = ::WaitForSingleObject,
    .MessageBoxW = ::MessageBoxW,
    .ShellExecuteW = ::ShellExecuteW,
    .StartInstaller = StartVerifiedInstaller,
};
