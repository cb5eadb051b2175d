// Install mode: the download of the full installer into the staging folder,
// its verified elevated start, or the offer of the browser download.
#pragma once

#include "base/rookmini.h"

enum InstallStep {
    kStartInstaller,   // this run's download was saved whole
    kAskAfterCancel,   // Cancel was pressed: nothing is started
    kAskAfterFailure,  // nothing usable was saved
};

// What follows the download: only a whole download without a Cancel is
// started (after a Cancel not even one that completed).
InstallStep StepAfterDownload(bool cancelledByUser, bool saved);

void RunInstallMode();
