// The download worker: streams the full installer into the partial file on
// its own thread, makes it the installer when it is whole, and posts the
// outcome to the progress dialog. Only what this run downloaded whole ever
// stands at the installer path (the staging folder was emptied of an earlier
// run's files before): a failed or cancelled download leaves neither file.
#include "download/download_job.h"

#include "download/installer_stream.h"
#include "download/partial_file.h"
#include "net/http_get.h"

void InitDownloadJob(DownloadJob* job)
{
    job->url = kFullInstallerUrl;
    job->installerPath[0] = L'\0';
    job->partialPath[0] = L'\0';
    job->partialFile = INVALID_HANDLE_VALUE;
    job->silence = kSilenceLimit;
    job->pauseUnit = 1000;
    job->cancel = nullptr;
    job->cancelledByUser = false;
    job->dialog = nullptr;
    job->worker = nullptr;
    job->signedIn = nullptr;
    job->signInRequest = nullptr;
    job->signInAnswer = 0;
    job->prompts = 0;
    job->lastReport = 0;
    job->identity = {};
    job->saved = false;
    job->finished = false;
}

DWORD WINAPI DownloadWorker(LPVOID parameter)
{
    DownloadJob* job = static_cast<DownloadJob*>(parameter);
    StreamEnd end = StreamInstaller(job);
    bool saved = false;
    if (end == kStreamWhole) {
        saved = MakeInstallerFile(job);
        if (!saved)
            OutputDebugStringW(L"RookMini: File write failed");
    } else if (end == kStreamWriteFailed) {
        OutputDebugStringW(L"RookMini: File write failed");
    } else {
        OutputDebugStringW(L"RookMini: No download data");
    }
    if (!saved)
        DiscardPartialFile(job);

    // The last acts: the dialog ends only on a message that finds the job
    // finished, and install mode waits for this thread before it reads the
    // outcome, so the dialog handle is still valid here.
    job->saved = saved;
    job->finished = true;
    PostMessageW(job->dialog, saved ? WM_DOWNLOAD_DONE : WM_DOWNLOAD_FAILED, DOWNLOAD_MESSAGE_TAG,
                 0);
    return 0;
}
