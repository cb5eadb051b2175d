// The .NET Framework gate: reads the framework's setup keys and the Windows
// version, asks what dotnet_decision.cpp decides, and carries it out: the
// boxes, the feature installer or the download page. Only the Windows 2000
// notice and a No to the unsupported-system question stop start-up;
// everything else, failures included, continues.
#include "checks/dotnet_gate.h"

#include "base/acts.h"
#include "checks/dotnet_decision.h"

static const WCHAR kKeyNet20[] = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v2.0.50727";
static const WCHAR kKeyNet4Client[] = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Client";

static const WCHAR kCaptionInstall[] = L".NET Framework Install";
static const WCHAR kDismFile[] = L"\\dism.exe";
static const WCHAR kDismParameters[] = L"/online /enable-feature /featurename:NetFX3";
static const WCHAR kFondueFile[] = L"\\fondue.exe";
static const WCHAR kFondueParameters[] = L"/enable-feature:NetFX4 /caller-name:Corvid";
static const WCHAR kFonduePathTail[] = L"\\Fondue.exe";

typedef BOOL(WINAPI* DisableRedirectionFn)(PVOID* saved);
typedef BOOL(WINAPI* RevertRedirectionFn)(PVOID saved);

// Asks the question; true when the answer lets the way go on.
static bool Asks(const DotNetBox& box)
{
    return AnswerGoesOn(box, g_messageBox(nullptr, box.text, box.caption, box.style));
}

// Reads one value as a 32-bit number into a 4-byte buffer, offering 4 bytes
// every time: a value stored in more does not fit and is not there. The
// number starts at 0, so a shorter value fills only its low bytes.
static bool ReadNumber(HKEY key, const WCHAR* name, DWORD* number)
{
    *number = 0;
    DWORD size = sizeof(*number);
    return RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(number), &size) ==
           ERROR_SUCCESS;
}

// Reads one setup key: the 2.0 key's "Install", then its "SP" when "Install"
// is exactly 1; or the 4 Client key's "Install".
static void ReadSetupKey(const WCHAR* path, DotNetReadings* readings, bool net20)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return;
    if (net20) {
        readings->net20InstallRead = ReadNumber(key, L"Install", &readings->net20Install);
        if (Net20Installed(*readings))
            readings->net20SpRead = ReadNumber(key, L"SP", &readings->net20Sp);
    } else {
        readings->net4InstallRead = ReadNumber(key, L"Install", &readings->net4Install);
    }
    RegCloseKey(key);
}

// The 4 Client key is read only when the 2.0 "Install" is not exactly 1.
static void ReadSetupKeys(DotNetReadings* readings)
{
    ReadSetupKey(kKeyNet20, readings, true);
    if (!Net20Installed(*readings))
        ReadSetupKey(kKeyNet4Client, readings, false);
}

static void ReadVersion(DotNetReadings* readings)
{
    OSVERSIONINFOEXW version;
    ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);  // 284
    readings->versionRead = GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&version)) != FALSE;
    readings->major = version.dwMajorVersion;
    readings->minor = version.dwMinorVersion;
    readings->servicePack = version.wServicePackMajor;
}

// The system's own feature installer, started with file-system redirection
// off so that a 32-bit launcher on 64-bit Windows looks for and starts the
// native programs. Both are started by their full path in that system
// folder, and in it: by a bare name the shell would look in the current
// folder first, where anyone could leave a dism.exe to be run elevated, and
// an elevated program looks in its current folder for DLLs it cannot find
// elsewhere (the launcher's is often Downloads). Between switching
// redirection off and back on there is no way out. True when one was started.
static bool RunFeatureInstall(const DotNetVerdict& verdict)
{
    HMODULE kernel = LoadLibraryA("kernel32.dll");  // kept for the process's life
    if (!kernel)
        return false;
    DisableRedirectionFn disable = reinterpret_cast<DisableRedirectionFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "Wow64DisableWow64FsRedirection")));
    RevertRedirectionFn revert = reinterpret_cast<RevertRedirectionFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "Wow64RevertWow64FsRedirection")));
    if (!disable || !revert)
        return false;

    PVOID saved = nullptr;
    disable(&saved);  // fails where there is no WOW64, and leaves saved null

    // A system folder that cannot be read whole leaves nothing to start:
    // nothing is then started, and nothing announced.
    WCHAR folder[MAX_PATH];
    WCHAR path[MAX_PATH];
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    bool haveFolder = length != 0 && length < MAX_PATH;
    bool fondue = haveFolder && verdict.lookForFondue && CopyText(path, folder) &&
                  AppendPath(path, kFonduePathTail) &&
                  GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
    bool started =
        haveFolder && CopyText(path, folder) && AppendPath(path, fondue ? kFondueFile : kDismFile);
    if (started)
        g_shellExecute(nullptr, fondue ? L"open" : L"runas", path,
                       fondue ? kFondueParameters : kDismParameters, folder, SW_SHOWNORMAL);

    revert(saved);
    return started;
}

bool CheckDotNetPrerequisite()
{
    DotNetReadings readings = {};
    ReadSetupKeys(&readings);
    if (FrameworkFound(readings))
        return true;
    if (!Asks(kInstallQuestion))
        return true;

    ReadVersion(&readings);
    const DotNetVerdict verdict = RouteDotNet(readings);
    if (verdict.warning && !Asks(*verdict.warning))
        return false;
    if (verdict.route == kDotNetNothing)
        return true;
    // The shell's answer on the page is not examined: it counts as opened.
    bool started = true;
    if (verdict.route == kDotNetDownloadPage)
        g_shellExecute(nullptr, L"open", verdict.page, nullptr, nullptr, SW_SHOWNORMAL);
    else
        started = RunFeatureInstall(verdict);
    // Tells the user what was started or opened; the answer is OK.
    if (started)
        g_messageBox(nullptr, verdict.notice, kCaptionInstall, MB_OK);
    return true;
}
