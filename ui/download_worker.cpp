// The download worker: fetches the full installer on its own thread, saves
// it to the installer path and posts the outcome to the progress dialog. Only
// an installer that this run downloaded and saved whole counts as done.
#include "ui/download_ui.h"

#include <stdlib.h>

DWORD DownloadWorkerOn(const WorkerPlatform& os, DownloadJob* job)
{
    BYTE* body = nullptr;
    DWORD length = 0;
    os.FetchUrl(kFullInstallerUrl, &body, &length, OnDownloadProgress, job, job->cancel);

    // A failed download must not leave an installer of an earlier run to be
    // started; after a Cancel that earlier file stays where it is.
    if (!job->cancelledByUser && os.PathFileExistsW(job->installerPath))
        os.DeleteFileW(job->installerPath);

    bool saved = false;
    if (body && length != 0) {
        saved = os.WriteInstallerFile(job->installerPath, body, length);
        if (!saved)
            os.OutputDebugStringW(L"RookMini: File write failed");
    } else {
        os.OutputDebugStringW(L"RookMini: No download data");
    }
    free(body);

    // The last acts: the dialog ends only on a message that finds the job
    // finished, and install mode waits for this thread before it reads the
    // outcome, so the dialog handle is still valid here.
    job->saved = saved;
    job->finished = true;
    os.PostMessageW(job->dialog, saved ? WM_DOWNLOAD_DONE : WM_DOWNLOAD_FAILED,
                    DOWNLOAD_MESSAGE_TAG, 0);
    return 0;
}

DWORD WINAPI DownloadWorker(LPVOID job)
{
    return DownloadWorkerOn(kWin32Worker, static_cast<DownloadJob*>(job));
}

const WorkerPlatform kWin32Worker = {
    .FetchUrl = FetchUrl,
    .WriteInstallerFile = WriteInstallerFile,
    .PathFileExistsW = ::PathFileExistsW,
    .DeleteFileW = ::DeleteFileW,
    .OutputDebugStringW = ::OutputDebugStringW,
    .PostMessageW = ::PostMessageW,
};
