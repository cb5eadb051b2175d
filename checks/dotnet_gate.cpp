// The .NET Framework and operating-system gate. It reads the framework's
// setup keys; when no usable framework is found it asks whether to install
// one, then starts the system's feature installer (Vista with a service pack
// and later), or opens the matching download page, or refuses a system that is
// too old. Only the Windows 2000 notice and a No to the unsupported-system
// question stop start-up; everything else, failures included, continues.
#include "checks/dotnet_gate.h"

#include <wchar.h>

static const WCHAR kKeyNet20[] = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v2.0.50727";
static const WCHAR kKeyNet4Client[] = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Client";

static const WCHAR kCaptionUpgrade[] = L".NET Framework Upgrade Required";
static const WCHAR kCaptionUnsupported[] = L"Unsupported Operating System";
static const WCHAR kCaptionInstall[] = L".NET Framework Install";

static const WCHAR kInstallQuestion[] =
    L"This application requires .NET Framework 2.0 SP1 or later, which could not be found "
    L"on your computer. Do you wish to install it?";
static const WCHAR kWindows2000Notice[] =
    L"Please install Windows 2000 Service Pack 3 and .NET 2.0 before installing this "
    L"application.";
static const WCHAR kUnsupportedQuestion[] =
    L"Operating systems before Windows XP are not supported. Do you wish to continue?";
static const WCHAR kInstallRequested[] = L"Installation of the .NET Framework has been requested.\n"
                                         L"Please press OK to continue once the install completes.";
static const WCHAR kPageNotice40[] =
    L"Your browser has been opened to the .NET Framework 4.0 Client Profile download page.\n"
    L"Please download and install dotNetFx40_Client_setup.exe and any updates mentioned on "
    L"the download page, then press OK to continue.";
static const WCHAR kPageNotice35[] =
    L"Your browser has been opened to the .NET Framework 3.5 SP1 download page.\n"
    L"Please download and install dotnetfx35setup.exe and any updates mentioned on the "
    L"download page, then press OK to continue.";
static const WCHAR kPageNotice20[] =
    L"Your browser has been opened to the .NET Framework 2.0 SP2 download page.\n"
    L"Please download and install NetFx20SP2_x86.exe and any updates mentioned on the "
    L"download page, then press OK to continue.";

#define DOTNET_PAGE L"http://www.microsoft.com/download/en/details.aspx?id="
static const WCHAR kPage40Client[] = DOTNET_PAGE L"17113";
static const WCHAR kPage35Sp1[] = DOTNET_PAGE L"22";
static const WCHAR kPage20Sp2[] = DOTNET_PAGE L"1639";

static const WCHAR kDismFile[] = L"\\dism.exe";
static const WCHAR kDismParameters[] = L"/online /enable-feature /featurename:NetFX3";
static const WCHAR kFondueFile[] = L"\\fondue.exe";
static const WCHAR kFondueParameters[] = L"/enable-feature:NetFX4 /caller-name:Corvid";
static const WCHAR kFonduePathTail[] = L"\\Fondue.exe";

static const UINT kQuestionFlags = MB_YESNO | MB_ICONQUESTION;  // 0x24
static const UINT kWarningFlags = MB_YESNO | MB_ICONWARNING;    // 0x34

typedef BOOL(WINAPI* DisableRedirectionFn)(PVOID* saved);
typedef BOOL(WINAPI* RevertRedirectionFn)(PVOID saved);

// Reads one value as a 32-bit number. The size is set to 4 for every query
// and the number starts at 0, so a value shorter than 4 bytes never mixes with
// an earlier reading. Any failure, a value longer than 4 bytes included,
// means the value is not there.
static bool ReadNumber(const DotNetPlatform& os, HKEY key, const WCHAR* name, DWORD& number)
{
    number = 0;
    DWORD size = sizeof(number);
    return os.RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(&number),
                               &size) == ERROR_SUCCESS;
}

// Detection. The 4 Client key is read only when the 2.0 "Install" is not
// exactly 1, so 2.0 without a service pack hides a 4 Client Profile.
static bool FindFramework(const DotNetPlatform& os, bool& net20Installed)
{
    bool present = false;
    net20Installed = false;
    HKEY key;
    if (os.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKeyNet20, 0, KEY_QUERY_VALUE, &key) ==
        ERROR_SUCCESS) {
        DWORD number;
        if (ReadNumber(os, key, L"Install", number) && number == 1) {
            net20Installed = true;
            if (ReadNumber(os, key, L"SP", number) && number >= 1)
                present = true;
        }
        os.RegCloseKey(key);
    }
    if (!net20Installed && os.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKeyNet4Client, 0, KEY_QUERY_VALUE,
                                            &key) == ERROR_SUCCESS) {
        DWORD number;
        if (ReadNumber(os, key, L"Install", number) && number == 1)
            present = true;
        os.RegCloseKey(key);
    }
    return present;
}

// The folder followed by a file name; false (path empty) when it does not fit.
static bool InFolder(const WCHAR* folder, const WCHAR* tail, WCHAR (&path)[MAX_PATH])
{
    wcscpy(path, folder);
    if (AppendPath(path, tail))
        return true;
    path[0] = L'\0';
    return false;
}

// Vista with a service pack and later: the system's own feature installer,
// started with file-system redirection off so that a 32-bit launcher on
// 64-bit Windows tests and starts the native programs. Both are started by
// their full path in that system folder: by a bare name the shell would look
// in the current folder first, where anyone could leave a dism.exe to be run
// elevated. Between switching redirection off and back on there is no way out.
static bool RunFeatureInstall(const DotNetPlatform& os, DWORD major, DWORD minor)
{
    HMODULE kernel = os.LoadLibraryA("kernel32.dll");  // kept for the process's life
    if (!kernel)
        return true;
    DisableRedirectionFn disable = reinterpret_cast<DisableRedirectionFn>(
        reinterpret_cast<void*>(os.GetProcAddress(kernel, "Wow64DisableWow64FsRedirection")));
    RevertRedirectionFn revert = reinterpret_cast<RevertRedirectionFn>(
        reinterpret_cast<void*>(os.GetProcAddress(kernel, "Wow64RevertWow64FsRedirection")));
    if (!disable || !revert)
        return true;

    PVOID saved = nullptr;
    disable(&saved);  // on 32-bit Windows this fails and leaves saved null

    // A system folder that cannot be read whole leaves Fondue.exe missing,
    // and nothing to start: nothing is then started, and nothing announced.
    WCHAR folder[MAX_PATH];
    UINT length = os.GetSystemDirectoryW(folder, MAX_PATH);
    bool haveFolder = length != 0 && length < MAX_PATH;
    WCHAR path[MAX_PATH];
    bool fondue = false;
    if (haveFolder && !(major == 6 && minor < 2))  // Vista and 7 always take DISM
        fondue = InFolder(folder, kFonduePathTail, path) &&
                 os.GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
    bool started = haveFolder && InFolder(folder, fondue ? kFondueFile : kDismFile, path);
    if (started)
        os.ShellExecuteW(nullptr, fondue ? L"open" : L"runas", path,
                         fondue ? kFondueParameters : kDismParameters, nullptr, SW_SHOWNORMAL);

    revert(saved);
    if (started)
        os.MessageBoxW(nullptr, kInstallRequested, kCaptionInstall, MB_OK);
    return true;
}

// Systems without the feature installer: the download page that fits them.
static bool OpenDownloadPage(const DotNetPlatform& os, DWORD major, DWORD minor, DWORD sp,
                             bool net20Installed)
{
    const WCHAR* page;
    const WCHAR* notice;
    if (major == 6) {
        page = kPage35Sp1, notice = kPageNotice35;
    } else if (major != 5 || minor == 0) {
        page = kPage20Sp2, notice = kPageNotice20;
    } else if (sp >= 3 && !net20Installed) {
        page = kPage40Client, notice = kPageNotice40;
    } else if (sp >= 2) {
        page = kPage35Sp1, notice = kPageNotice35;
    } else {
        page = kPage20Sp2, notice = kPageNotice20;
    }
    os.ShellExecuteW(nullptr, L"open", page, nullptr, nullptr, SW_SHOWNORMAL);
    os.MessageBoxW(nullptr, notice, kCaptionInstall, MB_OK);
    return true;
}

bool CheckDotNetPrerequisiteOn(const DotNetPlatform& os)
{
    bool net20Installed;
    if (FindFramework(os, net20Installed))
        return true;

    // Only a Yes installs; a No or a box that failed lets start-up go on.
    if (os.MessageBoxW(nullptr, kInstallQuestion, kCaptionUpgrade, kQuestionFlags) != IDYES)
        return true;

    OSVERSIONINFOEXW version;
    ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);  // 284
    if (!os.GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&version)))
        return true;
    const DWORD major = version.dwMajorVersion;
    const DWORD minor = version.dwMinorVersion;
    const DWORD sp = version.wServicePackMajor;
    const bool vistaWithoutSp = major == 6 && minor == 0 && sp == 0;

    if (major >= 6 && !vistaWithoutSp)
        return RunFeatureInstall(os, major, minor);

    if (major == 5 && minor == 0 && sp < 3) {
        // Yes and No both stop: the notice asks nothing.
        os.MessageBoxW(nullptr, kWindows2000Notice, kCaptionUnsupported, kWarningFlags);
        return false;
    }

    // Vista without a service pack, later Windows 2000 and NT 4.0 are warned
    // about; a failed box counts as consent here.
    if (vistaWithoutSp || major == 4 || minor == 0) {
        if (os.MessageBoxW(nullptr, kUnsupportedQuestion, kCaptionUnsupported, kWarningFlags) ==
            IDNO)
            return false;
    }
    return OpenDownloadPage(os, major, minor, sp, net20Installed);
}

bool CheckDotNetPrerequisite()
{
    return CheckDotNetPrerequisiteOn(kWin32DotNet);
}

const DotNetPlatform kWin32DotNet = {
    .RegOpenKeyExW = ::RegOpenKeyExW,
    .RegQueryValueExW = ::RegQueryValueExW,
    .RegCloseKey = ::RegCloseKey,
    .MessageBoxW = ::MessageBoxW,
    .GetVersionExW = ::GetVersionExW,
    .LoadLibraryA = ::LoadLibraryA,
    .GetProcAddress = ::GetProcAddress,
    .GetSystemDirectoryW = ::GetSystemDirectoryW,
    .GetFileAttributesW = ::GetFileAttributesW,
    .ShellExecuteW = ::ShellExecuteW,
};
