// The start-up sequence after the taskbar identity: the two gates, the choice
// of mode and launch mode.
#pragma once

#include "base/rookmini.h"

enum StartupMode { kStartupInstall, kStartupLaunch };

struct StartupPlan {
    StartupMode mode;
    WCHAR appPath[MAX_PATH];    // the App to start, in launch mode
    WCHAR appFolder[MAX_PATH];  // its folder
    bool selfLaunch;            // the App's path is the launcher's own
};

// The App's two places, beside the launcher and one folder above it, from
// the launcher's own path; a place whose path would not fit stays empty.
// False when the launcher's folder is empty.
bool FindAppPlaces(const WCHAR* modulePath, WCHAR (&beside)[MAX_PATH], WCHAR (&above)[MAX_PATH]);

// The decision, from the App's two places (FindAppPlaces) and whether each
// exists: the App beside wins, else the one above is chosen untested; install
// mode when the tail asks for it ("/DoUpdate", any letter case, anywhere) or
// the chosen App is missing. A launch of the launcher itself is marked.
void PlanStartup(const WCHAR* modulePath, const WCHAR* tail, const WCHAR* beside,
                 const WCHAR* above, bool besideExists, bool aboveExists, StartupPlan* plan);

// Runs the gates and the chosen mode; always answers the exit code 0.
int RunStartup(HINSTANCE instance, const WCHAR* tail);
