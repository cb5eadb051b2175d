// The .NET Framework gate against scripted machines: what it reads, asks,
// starts and opens, in order, and whether start-up goes on.
#include "checks/dotnet_gate.h"
#include "support/fake_registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using fakereg::Bytes;
using fakereg::Number;
using fakereg::Value;
using fakeui::Actions;
using fakeui::g_actions;

// The framework keys as the gate reads them; "Install" and "SP" values only.
const wchar_t kPath20[] = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v2.0.50727";
const wchar_t kPath4[] = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Client";
typedef std::vector<Value> Key;  // empty: the key is missing
const Key kNoKey;
Key Net(Bytes install)
{
    return {{"Install", install}};
}
Key Net(Bytes install, Bytes sp)
{
    return {{"Install", install}, {"SP", sp}};
}
Key Net(const wchar_t* text)
{
    return Net(fakereg::Sz(text));
}
const Key kKeyWithoutInstall = {{"SP", Number(1)}};

struct Version {
    bool ok;
    DWORD major, minor;
    WORD sp;
};

// Answers of the boxes: 0 stands for a box that failed.
struct Machine {
    Key net20 = kNoKey;
    Key net4 = kNoKey;
    int installAnswer = IDYES;
    int unsupportedAnswer = IDYES;
    int win2000Answer = IDYES;
    Version version = {true, 6, 1, 1};
    bool kernelLoads = true;
    bool hasDisable = true;
    bool hasRevert = true;
    bool disableWorks = true;  // false: 32-bit Windows, saved value stays null
    bool systemFolderWorks = true;
    bool fondueExists = false;
};

Machine g_machine;
PVOID const kSavedToken = reinterpret_cast<PVOID>(0x5A5A);
using fakeui::Narrow;

const std::vector<fakeui::Box> kBoxes = {
    {"install question", L".NET Framework Upgrade Required",
     L"This application requires .NET Framework 2.0 SP1 or later, which could not be found on "
     L"your computer. Do you wish to install it?",
     0x24},
    {"Windows 2000 notice", L"Unsupported Operating System",
     L"Please install Windows 2000 Service Pack 3 and .NET 2.0 before installing this "
     L"application.",
     0x34},
    {"unsupported question", L"Unsupported Operating System",
     L"Operating systems before Windows XP are not supported. Do you wish to continue?", 0x34},
    {"install notice", L".NET Framework Install",
     L"Installation of the .NET Framework has been requested.\nPlease press OK to continue once "
     L"the install completes.",
     0},
    {"4.0 notice", L".NET Framework Install",
     L"Your browser has been opened to the .NET Framework 4.0 Client Profile download page.\n"
     L"Please download and install dotNetFx40_Client_setup.exe and any updates mentioned on the "
     L"download page, then press OK to continue.",
     0},
    {"3.5 notice", L".NET Framework Install",
     L"Your browser has been opened to the .NET Framework 3.5 SP1 download page.\nPlease "
     L"download and install dotnetfx35setup.exe and any updates mentioned on the download page, "
     L"then press OK to continue.",
     0},
    {"2.0 notice", L".NET Framework Install",
     L"Your browser has been opened to the .NET Framework 2.0 SP2 download page.\nPlease "
     L"download and install NetFx20SP2_x86.exe and any updates mentioned on the download page, "
     L"then press OK to continue.",
     0},
};

BOOL WINAPI FakeGetVersionExW(LPOSVERSIONINFOW info)
{
    g_actions.push_back(info->dwOSVersionInfoSize == 284 ? "version" : "version with a wrong size");
    if (!g_machine.version.ok)
        return FALSE;
    OSVERSIONINFOEXW* ex = reinterpret_cast<OSVERSIONINFOEXW*>(info);
    ex->dwMajorVersion = g_machine.version.major;
    ex->dwMinorVersion = g_machine.version.minor;
    ex->wServicePackMajor = g_machine.version.sp;
    return TRUE;
}

HMODULE WINAPI FakeLoadLibraryA(LPCSTR name)
{
    g_actions.push_back(std::string("load ") + name);
    return g_machine.kernelLoads ? reinterpret_cast<HMODULE>(0x1000) : nullptr;
}

BOOL WINAPI FakeDisable(PVOID* saved)
{
    g_actions.push_back(*saved == nullptr ? "redirection off" : "redirection off, saved not null");
    if (!g_machine.disableWorks)
        return FALSE;
    *saved = kSavedToken;
    return TRUE;
}

BOOL WINAPI FakeRevert(PVOID saved)
{
    g_actions.push_back(saved == (g_machine.disableWorks ? kSavedToken : nullptr)
                            ? "redirection back"
                            : "redirection back with a different value");
    return g_machine.disableWorks;
}

FARPROC WINAPI FakeGetProcAddress(HMODULE, LPCSTR name)
{
    std::string n = name;
    g_actions.push_back("lookup " + n);
    if (n == "Wow64DisableWow64FsRedirection" && g_machine.hasDisable)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(FakeDisable));
    if (n == "Wow64RevertWow64FsRedirection" && g_machine.hasRevert)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(FakeRevert));
    return nullptr;
}

UINT WINAPI FakeGetSystemDirectoryW(LPWSTR buffer, UINT size)
{
    g_actions.push_back(size == MAX_PATH ? "system folder" : "system folder, wrong size");
    if (!g_machine.systemFolderWorks) {
        wmemset(buffer, L'x', size);  // a failed call leaves no text to trust
        return 0;
    }
    wcscpy(buffer, L"C:\\windows\\system32");
    return DWORD(wcslen(buffer));
}

DWORD WINAPI FakeGetFileAttributesW(LPCWSTR path)
{
    g_actions.push_back("attributes " + Narrow(path));
    return g_machine.fondueExists && Narrow(path) == "C:\\windows\\system32\\Fondue.exe"
               ? FILE_ATTRIBUTE_NORMAL
               : INVALID_FILE_ATTRIBUTES;
}

const DotNetPlatform kFake = {
    .RegOpenKeyExW = fakereg::RegOpenKeyExW,
    .RegQueryValueExW = fakereg::RegQueryValueExW,
    .RegCloseKey = fakereg::RegCloseKey,
    .MessageBoxW = fakeui::MessageBoxW,
    .GetVersionExW = FakeGetVersionExW,
    .LoadLibraryA = FakeLoadLibraryA,
    .GetProcAddress = FakeGetProcAddress,
    .GetSystemDirectoryW = FakeGetSystemDirectoryW,
    .GetFileAttributesW = FakeGetFileAttributesW,
    .ShellExecuteW = fakeui::ShellExecuteW,
};

Actions Join(std::initializer_list<Actions> parts)
{
    Actions all;
    for (const Actions& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Detection on a machine without any framework keys.
const Actions kNothingFound = {"open 2.0", "open 4C"};
const Actions kAsked = {"box install question", "version"};
const Actions kFeatureStart = {"load kernel32.dll", "lookup Wow64DisableWow64FsRedirection",
                               "lookup Wow64RevertWow64FsRedirection", "redirection off",
                               "system folder"};
// Both started by their full path in the system folder, never by a bare
// name that the shell would first look for in the current folder.
const Actions kDism = {
    "shell runas C:\\windows\\system32\\dism.exe /online /enable-feature /featurename:NetFX3",
    "redirection back", "box install notice"};
const Actions kFondue = {
    "attributes C:\\windows\\system32\\Fondue.exe",
    "shell open C:\\windows\\system32\\fondue.exe /enable-feature:NetFX4 /caller-name:Corvid",
    "redirection back", "box install notice"};
const Actions kFondueMissing = {"attributes C:\\windows\\system32\\Fondue.exe"};
const Actions kUnsupported = {"box unsupported question"};
const Actions kPage40 = {"shell open http://www.microsoft.com/download/en/details.aspx?id=17113",
                         "box 4.0 notice"};
const Actions kPage35 = {"shell open http://www.microsoft.com/download/en/details.aspx?id=22",
                         "box 3.5 notice"};
const Actions kPage20 = {"shell open http://www.microsoft.com/download/en/details.aspx?id=1639",
                         "box 2.0 notice"};

struct GateCase {
    const char* label;
    Machine machine;
    bool result;
    Actions actions;
};

Machine On(DWORD major, DWORD minor, WORD sp)
{
    Machine m;
    m.version = {true, major, minor, sp};
    return m;
}

template <typename T, typename V>
Machine With(Machine m, T Machine::*field, V value)
{
    m.*field = value;
    return m;
}

void RunCases(const std::vector<GateCase>& cases)
{
    for (const GateCase& c : cases) {
        SCOPED_TRACE(c.label);
        g_machine = c.machine;
        fakereg::g_keys = {{"2.0", kPath20, !c.machine.net20.empty(), c.machine.net20},
                           {"4C", kPath4, !c.machine.net4.empty(), c.machine.net4}};
        fakereg::g_querySize = 4;
        fakeui::g_boxes = kBoxes;
        fakeui::g_answers = {{"install question", c.machine.installAnswer},
                             {"unsupported question", c.machine.unsupportedAnswer},
                             {"Windows 2000 notice", c.machine.win2000Answer}};
        g_actions.clear();
        EXPECT_EQ(c.result, CheckDotNetPrerequisiteOn(kFake));
        EXPECT_EQ(c.actions, g_actions);
    }
}

}  // namespace

TEST(DotNetGate, DetectsTheFrameworkFromTheSetupKeys)
{
    const Actions read20 = {"open 2.0", "query 2.0 Install", "close 2.0"};
    const Actions read20Sp = {"open 2.0", "query 2.0 Install", "query 2.0 SP", "close 2.0"};
    const Actions read4 = {"open 4C", "query 4C Install", "close 4C"};
    const Actions asked = {"box install question"};
    auto keys = [](Key net20, Key net4) {
        Machine m;
        m.net20 = net20;
        m.net4 = net4;
        m.installAnswer = IDNO;
        return m;
    };
    RunCases({
        {"2.0 with SP 1: found, the 4 Client key is not read",
         keys(Net(Number(1), Number(1)), kNoKey), true, read20Sp},
        {"2.0 without SP and 4 Client: the 4 Client key is hidden",
         keys(Net(Number(1), Number(0)), Net(Number(1))), true, Join({read20Sp, asked})},
        {"2.0 without an SP value", keys(Net(Number(1)), Net(Number(1))), true,
         Join({read20Sp, asked})},
        {"no 2.0 key, 4 Client installed", keys(kNoKey, Net(Number(1))), true,
         Join({{"open 2.0"}, read4})},
        {"2.0 Install of 2 counts as missing, so 4 Client is read",
         keys(Net(Number(2), Number(1)), Net(Number(1))), true, Join({read20, read4})},
        {"2.0 key without Install", keys(kKeyWithoutInstall, Net(Number(1))), true,
         Join({read20, read4})},
        {"2.0 Install stored as text longer than 4 bytes, 4 Client read with size 4",
         keys(Net(L"1.0"), Net(Number(1))), true, Join({read20, read4})},
        {"4-byte text \"1\" is the number 0x31, not 1", keys(kNoKey, Net(L"1")), true,
         Join({{"open 2.0"}, read4, asked})},
        {"4 Client Install of 0", keys(kNoKey, Net(Number(0))), true,
         Join({{"open 2.0"}, read4, asked})},
        {"4 Client key without Install", keys(kNoKey, kKeyWithoutInstall), true,
         Join({{"open 2.0"}, read4, asked})},
        {"a one-byte Install of 1 reads as 1", keys(kNoKey, Net(Bytes{1})), true,
         Join({{"open 2.0"}, read4})},
        {"a one-byte 4 Client Install of 1 after a 2.0 Install of 0x01000000",
         keys(Net(Number(0x01000000)), Net(Bytes{1})), true, Join({read20, read4})},
        {"a one-byte SP does not inherit the Install number",
         keys(Net(Number(1), Bytes{0}), kNoKey), true, Join({read20Sp, asked})},
        {"SP of 0xFFFFFFFF is 1 or more (unsigned)",
         keys(Net(Number(1), Number(0xFFFFFFFF)), kNoKey), true, read20Sp},
        {"no keys at all", keys(kNoKey, kNoKey), true, Join({kNothingFound, asked})},
    });
}

TEST(DotNetGate, RoutesByWindowsVersion)
{
    const Actions dism = Join({kNothingFound, kAsked, kFeatureStart, kDism});
    const Actions fondue = Join({kNothingFound, kAsked, kFeatureStart, kFondue});
    const Actions lookups = {"load kernel32.dll", "lookup Wow64DisableWow64FsRedirection",
                             "lookup Wow64RevertWow64FsRedirection"};
    const Actions unsupported = Join({kNothingFound, kAsked, kUnsupported});
    const Actions win2000 = Join({kNothingFound, kAsked, {"box Windows 2000 notice"}});
    auto page = [](const Actions& page) { return Join({kNothingFound, kAsked, page}); };
    auto askedPage = [](const Actions& page) {
        return Join({kNothingFound, kAsked, kUnsupported, page});
    };
    const auto fondueThere = &Machine::fondueExists;
    const auto unsupportedAnswer = &Machine::unsupportedAnswer;
    RunCases({
        // The install question and the version query.
        {"No to the install question: nothing more",
         With(On(6, 1, 1), &Machine::installAnswer, IDNO), true,
         Join({kNothingFound, {"box install question"}})},
        {"install question fails: counts as No", With(On(6, 1, 1), &Machine::installAnswer, 0),
         true, Join({kNothingFound, {"box install question"}})},
        {"version query fails: nothing more",
         With(On(6, 1, 1), &Machine::version, Version{false, 6, 1, 1}), true,
         Join({kNothingFound, kAsked})},

        // The feature installer.
        {"Windows 7, DISM without testing for Fondue.exe", With(On(6, 1, 1), fondueThere, true),
         true, dism},
        {"Vista SP1: DISM", On(6, 0, 1), true, dism},
        {"6.2 without Fondue.exe: DISM", On(6, 2, 0), true,
         Join({kNothingFound, kAsked, kFeatureStart, kFondueMissing, kDism})},
        {"6.2 with Fondue.exe: Fondue", With(On(6, 2, 0), fondueThere, true), true, fondue},
        {"10.0 with Fondue.exe: Fondue", With(On(10, 0, 0), fondueThere, true), true, fondue},
        {"major 0xFFFFFFFF is above 6 (unsigned)", On(0xFFFFFFFF, 0, 0), true,
         Join({kNothingFound, kAsked, kFeatureStart, kFondueMissing, kDism})},
        {"system folder unreadable: nothing started, nothing announced",
         With(With(On(6, 2, 0), fondueThere, true), &Machine::systemFolderWorks, false), true,
         Join({kNothingFound, kAsked, kFeatureStart, {"redirection back"}})},
        {"32-bit Windows: redirection off fails, null is handed back",
         With(On(6, 1, 1), &Machine::disableWorks, false), true, dism},
        {"kernel32.dll does not load: silent", With(On(6, 1, 1), &Machine::kernelLoads, false),
         true, Join({kNothingFound, kAsked, {"load kernel32.dll"}})},
        {"no Wow64DisableWow64FsRedirection: silent",
         With(On(6, 1, 1), &Machine::hasDisable, false), true,
         Join({kNothingFound, kAsked, lookups})},
        {"no Wow64RevertWow64FsRedirection: silent", With(On(6, 1, 1), &Machine::hasRevert, false),
         true, Join({kNothingFound, kAsked, lookups})},

        // Vista without a service pack.
        {"Vista SP0, Yes: the 3.5 SP1 page", On(6, 0, 0), true, askedPage(kPage35)},
        {"Vista SP0, box fails: counts as consent", With(On(6, 0, 0), unsupportedAnswer, 0), true,
         askedPage(kPage35)},
        {"Vista SP0, No: stop", With(On(6, 0, 0), unsupportedAnswer, IDNO), false, unsupported},

        // Windows 2000 before SP3.
        {"Windows 2000 SP2, Yes: stop", On(5, 0, 2), false, win2000},
        {"Windows 2000 SP0, No: stop", With(On(5, 0, 0), &Machine::win2000Answer, IDNO), false,
         win2000},

        // Windows 2000 SP3 and later, NT 4.0 and older numbers.
        {"Windows 2000 SP3, Yes: the 2.0 SP2 page", On(5, 0, 3), true, askedPage(kPage20)},
        {"Windows 2000 SP4, box fails: the 2.0 SP2 page", With(On(5, 0, 4), unsupportedAnswer, 0),
         true, askedPage(kPage20)},
        {"Windows 2000 SP4, No: stop", With(On(5, 0, 4), unsupportedAnswer, IDNO), false,
         unsupported},
        {"NT 4.0 SP6, Yes: the 2.0 SP2 page", On(4, 0, 6), true, askedPage(kPage20)},
        {"major 4 minor 10 (Windows 98 numbers): question, 2.0 SP2 page", On(4, 10, 0), true,
         askedPage(kPage20)},
        {"major 3 minor 0: question, 2.0 SP2 page", On(3, 0, 0), true, askedPage(kPage20)},

        // XP and Server 2003, no question.
        {"XP SP3 without .NET: the 4.0 Client Profile page", On(5, 1, 3), true, page(kPage40)},
        {"XP SP3 with 2.0 without SP: the 3.5 SP1 page",
         With(On(5, 1, 3), &Machine::net20, Net(Number(1), Number(0))), true,
         Join({{"open 2.0", "query 2.0 Install", "query 2.0 SP", "close 2.0"}, kAsked, kPage35})},
        {"XP SP3 with a 2.0 Install of 2: the 4.0 Client Profile page",
         With(On(5, 1, 3), &Machine::net20, Net(Number(2))), true,
         Join({{"open 2.0", "query 2.0 Install", "close 2.0", "open 4C"}, kAsked, kPage40})},
        {"XP SP2: the 3.5 SP1 page", On(5, 1, 2), true, page(kPage35)},
        {"Server 2003 SP0xFFFF (unsigned): the 4.0 Client Profile page", On(5, 2, 0xFFFF), true,
         page(kPage40)},
        {"XP SP1: the 2.0 SP2 page", On(5, 1, 1), true, page(kPage20)},
        {"major 3 minor 51 (NT 3.51 numbers): no question, 2.0 SP2 page", On(3, 51, 0), true,
         page(kPage20)},
    });
}
