// The launcher's spine: the start-up gates, finding the App beside the
// launcher or one folder above it, the choice between launch mode and install
// mode, and launch mode up to the update gate.
#include "launcher/startup.h"

#include "checks/compiler_hijack.h"
#include "checks/dotnet_gate.h"
#include "launcher/install_mode.h"
#include "launcher/update_gate.h"

#include <shlwapi.h>
#include <wchar.h>

static const WCHAR kAppBeside[] = L"\\CorvidApp.exe";
static const WCHAR kAppAbove[] = L"\\..\\CorvidApp.exe";
static const WCHAR kUpdateSwitch[] = L"/DoUpdate";
static const WCHAR kLaunchMutexName[] = L"RookMini-Inital";

bool FindAppPlaces(const WCHAR* modulePath, WCHAR (&beside)[MAX_PATH], WCHAR (&above)[MAX_PATH])
{
    WCHAR folder[MAX_PATH];
    CopyText(folder, modulePath);
    CutAtLastBackslash(folder);
    if (!CopyText(beside, folder) || !AppendPath(beside, kAppBeside))
        beside[0] = L'\0';
    if (!CopyText(above, folder) || !AppendPath(above, kAppAbove))
        above[0] = L'\0';
    return folder[0] != L'\0';
}

void PlanStartup(const WCHAR* modulePath, const WCHAR* tail, const WCHAR* beside,
                 const WCHAR* above, bool besideExists, bool aboveExists, StartupPlan* plan)
{
    plan->appFolder[0] = L'\0';
    plan->selfLaunch = false;
    bool useBeside = beside[0] != L'\0' && besideExists;
    CopyText(plan->appPath, useBeside ? beside : above);
    bool found = useBeside || (above[0] != L'\0' && aboveExists);
    if (StrStrIW(tail, kUpdateSwitch) || !found) {
        plan->mode = kStartupInstall;
        return;
    }
    plan->mode = kStartupLaunch;
    CopyText(plan->appFolder, plan->appPath);
    CutAtLastBackslash(plan->appFolder);
    // Never start ourselves, whatever the letter case of the path.
    plan->selfLaunch = _wcsicmp(modulePath, plan->appPath) == 0;
}

static bool Exists(const WCHAR* path)
{
    return path[0] != L'\0' && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

int RunStartup(HINSTANCE instance, const WCHAR* tail)
{
    if (!CheckDotNetPrerequisite())
        return 0;
    if (!CheckCompilerHijack())
        return 0;

    // A path that did not fit the buffer whole is no usable path.
    WCHAR modulePath[MAX_PATH];
    DWORD length = GetModuleFileNameW(instance, modulePath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        modulePath[0] = L'\0';
    WCHAR beside[MAX_PATH], above[MAX_PATH];
    if (!FindAppPlaces(modulePath, beside, above))
        return 0;  // the launcher's own folder is unknown
    StartupPlan plan;
    PlanStartup(modulePath, tail, beside, above, Exists(beside), Exists(above), &plan);
    if (plan.mode == kStartupInstall)
        RunInstallMode();
    if (plan.mode != kStartupLaunch || !TakeSingleInstance(kLaunchMutexName))
        return 0;
    DWORD startTick = GetTickCount();
    if (plan.selfLaunch)
        return 0;
    LaunchProgram(false, plan.appPath, plan.appFolder, tail);  // the gate runs either way
    RunUpdateGate(startTick);
    return 0;
}
