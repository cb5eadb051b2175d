// Install mode: one instance at a time, a private staging folder held from
// the start, the download in the progress dialog, then the elevated start of
// the installer once it has been found to be this run's download signed by
// the maker, or the offer of the browser download when the download was
// cancelled or failed, or the installer was refused or not started.
#include "launcher/install_mode.h"

#include "base/acts.h"
#include "launcher/installer_trust.h"
#include "launcher/staging_folder.h"
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

InstallStep StepAfterDownload(bool cancelledByUser, bool saved)
{
    if (cancelledByUser)
        return kAskAfterCancel;
    return saved ? kStartInstaller : kAskAfterFailure;
}

// The modal progress dialog, then its worker, which install mode waits for.
// A dialog that cannot be shown counts as a failed download.
static void ShowDownload(DownloadJob& job)
{
    ProgressDialog dialog = {};
    dialog.job = &job;
    INT_PTR shown = DialogBoxParamW(g_hInstance, MAKEINTRESOURCEW(IDD_DOWNLOAD_PROGRESS), nullptr,
                                    ProgressDialogProc, reinterpret_cast<LPARAM>(&dialog));
    if (job.worker) {
        if (!job.finished)
            SetEvent(job.cancel);  // the dialog went without the worker: stop it
        WaitForSingleObject(job.worker, INFINITE);
        CloseHandle(job.worker);
        job.worker = nullptr;
    }
    if (shown == -1)
        job.saved = false;
}

// Runs the download with the job's two events: Cancel, and the dialog's
// answer to a proxy sign-in.
static void Download(DownloadJob& job)
{
    job.cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    job.signedIn = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (job.cancel && job.signedIn)
        ShowDownload(job);
    if (job.cancel)
        CloseHandle(job.cancel);
    if (job.signedIn)
        CloseHandle(job.signedIn);
    job.cancel = nullptr;
    job.signedIn = nullptr;
}

void RunInstallMode()
{
    if (!TakeSingleInstance(kInstallMutexName))
        return;

    // Every level of the staging folder stays held until the installer has
    // been started or refused; the job takes over the partial file.
    StagingFolder staging;
    DownloadJob job;
    InitDownloadJob(&job);
    if (PrepareStagingFolder(&staging)) {
        CopyText(job.installerPath, staging.installer);
        CopyText(job.partialPath, staging.partial);
        job.partialFile = staging.partialFile;
        staging.partialFile = INVALID_HANDLE_VALUE;
        Download(job);
        DiscardPartialFile(&job);  // left only when no worker ran
    }

    InstallStep step = StepAfterDownload(job.cancelledByUser, job.saved);
    bool started = step == kStartInstaller &&
                   StartVerifiedInstaller(job.installerPath, staging.folder,
                                          staging.levels[kStagingLevels - 1], job.identity);
    ReleaseStagingFolder(&staging);
    if (started)
        return;  // the installer is not waited for

    int answer =
        g_messageBox(nullptr, step == kAskAfterCancel ? kCancelledQuestion : kFailedQuestion,
                     kQuestionCaption, MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND | MB_TOPMOST);
    if (answer == IDYES)
        g_shellExecute(nullptr, nullptr, kFullInstallerUrl, nullptr, nullptr, SW_SHOWNORMAL);
}
