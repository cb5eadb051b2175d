// The .NET Framework gate's decisions and its boxes. Vista with a service pack
// and later get the system's own feature installer; older systems the
// download page that fits them, after a warning on the oldest; Windows 2000
// before Service Pack 3 only a notice that stops start-up. All comparisons on
// the version numbers are unsigned.
#include "checks/dotnet_decision.h"

static const WCHAR kCaptionUnsupported[] = L"Unsupported Operating System";

const DotNetBox kInstallQuestion = {
    L"This application requires .NET Framework 2.0 SP1 or later, which could not be found on "
    L"your computer. Do you wish to install it?",
    L".NET Framework Upgrade Required", MB_YESNO | MB_ICONQUESTION, kOnlyYesGoesOn};

static const DotNetBox kWindows2000Notice = {
    L"Please install Windows 2000 Service Pack 3 and .NET 2.0 before installing this application.",
    kCaptionUnsupported, MB_YESNO | MB_ICONWARNING, kNothingGoesOn};

static const DotNetBox kUnsupportedQuestion = {
    L"Operating systems before Windows XP are not supported. Do you wish to continue?",
    kCaptionUnsupported, MB_YESNO | MB_ICONWARNING, kOnlyNoStops};

static const WCHAR kInstallRequested[] = L"Installation of the .NET Framework has been requested.\n"
                                         L"Please press OK to continue once the install completes.";

// The download pages, each with the notice shown after it.
#define DOTNET_PAGE L"http://www.microsoft.com/download/en/details.aspx?id="

struct DotNetPage {
    const WCHAR* url;
    const WCHAR* notice;
};

static const DotNetPage kPage40Client = {
    DOTNET_PAGE L"17113",
    L"Your browser has been opened to the .NET Framework 4.0 Client Profile download page.\n"
    L"Please download and install dotNetFx40_Client_setup.exe and any updates mentioned on the "
    L"download page, then press OK to continue."};
static const DotNetPage kPage35Sp1 = {
    DOTNET_PAGE L"22",
    L"Your browser has been opened to the .NET Framework 3.5 SP1 download page.\n"
    L"Please download and install dotnetfx35setup.exe and any updates mentioned on the download "
    L"page, then press OK to continue."};
static const DotNetPage kPage20Sp2 = {
    DOTNET_PAGE L"1639",
    L"Your browser has been opened to the .NET Framework 2.0 SP2 download page.\n"
    L"Please download and install NetFx20SP2_x86.exe and any updates mentioned on the download "
    L"page, then press OK to continue."};

bool Net20Installed(const DotNetReadings& readings)
{
    return readings.net20InstallRead && readings.net20Install == 1;
}

bool FrameworkFound(const DotNetReadings& readings)
{
    if (Net20Installed(readings))
        return readings.net20SpRead && readings.net20Sp >= 1;
    return readings.net4InstallRead && readings.net4Install == 1;
}

bool AnswerGoesOn(const DotNetBox& box, int answer)
{
    if (box.answers == kOnlyYesGoesOn)
        return answer == IDYES;
    return box.answers == kOnlyNoStops && answer != IDNO;
}

// Systems without the feature installer: the page that fits them.
static const DotNetPage& PageFor(const DotNetReadings& readings)
{
    const DWORD major = readings.major;
    const WORD sp = readings.servicePack;
    if (major == 6)
        return kPage35Sp1;
    if (major != 5 || readings.minor == 0)
        return kPage20Sp2;
    if (sp >= 3 && !Net20Installed(readings))
        return kPage40Client;
    return sp >= 2 ? kPage35Sp1 : kPage20Sp2;
}

DotNetVerdict RouteDotNet(const DotNetReadings& readings)
{
    DotNetVerdict verdict = {nullptr, kDotNetNothing, false, nullptr, nullptr};
    if (!readings.versionRead)
        return verdict;
    const DWORD major = readings.major;
    const DWORD minor = readings.minor;
    const bool vistaWithoutSp = major == 6 && minor == 0 && readings.servicePack == 0;

    if (major >= 6 && !vistaWithoutSp) {
        verdict.route = kDotNetFeatureInstall;
        verdict.lookForFondue = !(major == 6 && minor < 2);  // Vista and 7 always take DISM
        verdict.notice = kInstallRequested;
        return verdict;
    }
    if (major == 5 && minor == 0 && readings.servicePack < 3) {
        verdict.warning = &kWindows2000Notice;
        return verdict;
    }
    // Vista without a service pack, later Windows 2000 and NT 4.0 are warned
    // about; XP and Server 2003 are not.
    if (vistaWithoutSp || major == 4 || minor == 0)
        verdict.warning = &kUnsupportedQuestion;
    const DotNetPage& page = PageFor(readings);
    verdict.route = kDotNetDownloadPage;
    verdict.page = page.url;
    verdict.notice = page.notice;
    return verdict;
}
