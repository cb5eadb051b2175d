// One download of the full installer: what install mode hands to the worker
// thread, and what it reads back once the worker has ended. The worker
// streams the body into a partial file in the staging folder, tries again
// after a drop, and makes the partial file the installer only when it is
// whole; it reports to the progress dialog with posted messages.
#pragma once

#include "base/rookmini.h"

#include <wininet.h>

#include <atomic>

// The worker's two outcome messages to the dialog, both posted with this tag
// in wParam and 0 in lParam. A message without the tag is not the worker's.
const UINT WM_DOWNLOAD_DONE = 15636;   // the installer was saved whole
const UINT WM_DOWNLOAD_FAILED = 1935;  // nothing downloaded, or not saved whole
const WPARAM DOWNLOAD_MESSAGE_TAG = 48104;

// Progress: wParam the bytes received, lParam the size (0 when unknown).
const UINT WM_DOWNLOAD_PROGRESS = WM_APP + 1;

// The connection was lost: wParam the number of the try about to be made,
// or 0 once bytes flow again.
const UINT WM_DOWNLOAD_RETRYING = WM_APP + 2;

// The proxy wants a sign-in: the dialog shows the prompt for the job's
// signInRequest, owned by itself, and answers through the job.
const UINT WM_DOWNLOAD_SIGN_IN = WM_APP + 3;

// How often at most the worker reports progress, in milliseconds.
const DWORD kProgressInterval = 50;

// A file as the file system knows it, whatever its name.
struct FileIdentity {
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
};

struct DownloadJob {
    // Set by install mode before the worker starts.
    const WCHAR* url;                   // the full installer's URL
    WCHAR installerPath[MAX_PATH];      // where the whole download ends up
    WCHAR partialPath[MAX_PATH];        // where it is written meanwhile
    HANDLE partialFile;                 // created new and not shared for writing or
                                        // deleting; the worker closes it
    DWORD silence;                      // how long the host may stay silent, ms
    DWORD pauseUnit;                    // the pause before the first retry, ms
    HANDLE cancel;                      // manual-reset event: stops the download
    std::atomic<bool> cancelledByUser;  // Cancel, Esc or a close request
    std::atomic<HWND> dialog;           // the open progress dialog, or null
    HANDLE worker;                      // the worker thread, waited for by install mode
    HANDLE signedIn;                    // auto-reset event: the dialog has answered a
                                        // sign-in; null when no dialog can ask
    // A proxy sign-in, handed from the worker to the dialog and back.
    HINTERNET signInRequest;  // the request answered 407
    DWORD signInAnswer;       // what the prompt answered
    int prompts;              // prompts shown in this run
    // Set by the worker.
    DWORD lastReport;            // tick of the last progress message
    FileIdentity identity;       // of the installer it saved
    bool saved;                  // this run's download was saved whole
    std::atomic<bool> finished;  // the worker has done its work
};

// The job with the built-in URL and limits, and no files yet.
void InitDownloadJob(DownloadJob* job);

// The worker thread: parameter is the job. Posts one outcome message to the
// job's dialog as its last act.
DWORD WINAPI DownloadWorker(LPVOID job);

// Closes and removes the partial file if the job still holds it.
void DiscardPartialFile(DownloadJob* job);
