// The installer download proper: the body streamed into the partial file,
// with retries after a drop.
#pragma once

#include "download/download_job.h"

enum StreamEnd {
    kStreamWhole,        // the partial file holds the whole installer
    kStreamFailed,       // nothing usable arrived (the lines say why)
    kStreamCancelled,    // the cancel event was set
    kStreamWriteFailed,  // a piece could not be written
};

// Streams the job's URL into its partial file. A try that is cut short, fails
// or falls silent after some bytes have arrived is tried again, up to five
// tries in all, asking for the rest when the first response named a
// validator. Writes the fetch's diagnostic lines and reports progress to the
// job's dialog, at most every kProgressInterval ms and always at the end.
StreamEnd StreamInstaller(DownloadJob* job);
