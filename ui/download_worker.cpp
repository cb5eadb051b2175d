// The download worker: fetches the full installer on its own thread, saves
// it to the installer path and posts the outcome to the progress dialog. The
// outcome is judged by what is on disk afterwards, not by the fetch's answer.
#include "ui/download_ui.h"

#include <shlwapi.h>
#include <stdlib.h>

DWORD DownloadWorkerOn(const WorkerPlatform& os)
{
    BYTE* body = nullptr;
    DWORD length = 0;
    os.FetchUrl(kFullInstallerUrl, &body, &length, OnDownloadProgress);

    // A failed download must not leave an installer of an earlier run to be
    // started; after a Cancel that earlier file stays where it is.
    if (!g_bCancelledByUser && os.PathFileExistsW(g_szInstallerPath))
        os.DeleteFileW(g_szInstallerPath);

    UINT outcome = WM_DOWNLOAD_FAILED;
    if (body && length != 0) {
        os.WriteInstallerFile(body, length);
        if (os.PathFileExistsW(g_szInstallerPath))
            outcome = WM_DOWNLOAD_DONE;
        else
            os.OutputDebugStringW(L"RookMini: File write failed");
    } else {
        os.OutputDebugStringW(L"RookMini: No download data");
    }
    free(body);

    // The last act: the dialog closes on this message, and it cannot close
    // before it, so the handle is still valid here.
    os.PostMessageW(g_hProgressDialog, outcome, DOWNLOAD_MESSAGE_TAG, 0);
    return 0;
}

DWORD WINAPI DownloadWorker(LPVOID)
{
    return DownloadWorkerOn(kWin32Worker);
}

const WorkerPlatform kWin32Worker = {
    FetchUrl, WriteInstallerFile, ::PathFileExistsW, ::DeleteFileW,
    ::OutputDebugStringW, ::PostMessageW,
};
