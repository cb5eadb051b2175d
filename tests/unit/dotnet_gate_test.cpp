// The .NET Framework gate against scripted machines: what it reads, asks,
// starts and opens, in order, and whether start-up goes on.
#include "checks/dotnet_gate.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// One registry value as stored: absent, or its bytes.
struct Value {
    bool present;
    std::vector<BYTE> bytes;
};
Value Absent() { return {false, {}}; }
Value Number(DWORD n)
{
    Value v{true, std::vector<BYTE>(4)};
    memcpy(v.bytes.data(), &n, 4);
    return v;
}
Value Bytes(std::vector<BYTE> b) { return {true, b}; }
Value Text(const wchar_t* text)  // REG_SZ, with its terminating null
{
    const BYTE* p = reinterpret_cast<const BYTE*>(text);
    return {true, std::vector<BYTE>(p, p + (wcslen(text) + 1) * sizeof(wchar_t))};
}

struct Key {
    bool present;
    Value install;
    Value sp;
};
const Key kNoKey = {false, Absent(), Absent()};
Key Net(Value install, Value sp = Absent()) { return {true, install, sp}; }

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
std::vector<std::string> g_actions;

const HKEY kKey20 = reinterpret_cast<HKEY>(0x20);
const HKEY kKey4 = reinterpret_cast<HKEY>(0x40);
PVOID const kSavedToken = reinterpret_cast<PVOID>(0x5A5A);

std::string Narrow(const wchar_t* text)
{
    std::string s;
    for (; text && *text; ++text)
        s += *text < 128 ? char(*text) : '?';
    return s;
}

const Key* KeyOf(HKEY key) { return key == kKey20 ? &g_machine.net20 : &g_machine.net4; }
const char* KeyName(HKEY key) { return key == kKey20 ? "2.0" : "4C"; }

LONG WINAPI FakeRegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY key)
{
    std::string name = Narrow(subKey);
    HKEY handle;
    if (name == "SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v2.0.50727")
        handle = kKey20;
    else if (name == "SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Client")
        handle = kKey4;
    else {
        g_actions.push_back("open unknown key " + name);
        return ERROR_FILE_NOT_FOUND;
    }
    std::string line = std::string("open ") + KeyName(handle);
    if (root != HKEY_LOCAL_MACHINE || options != 0 || access != KEY_QUERY_VALUE)
        line += " with wrong root, options or access";
    g_actions.push_back(line);
    if (!KeyOf(handle)->present)
        return ERROR_FILE_NOT_FOUND;
    *key = handle;
    return ERROR_SUCCESS;
}

// Behaves as the registry does: too small a buffer fails with ERROR_MORE_DATA.
LONG WINAPI FakeRegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data,
                                 LPDWORD size)
{
    std::string value = Narrow(name);
    std::string line = std::string("query ") + KeyName(key) + " " + value;
    if (type)
        line += " asking for the type";
    if (*size != 4)
        line += " size " + std::to_string(*size);
    g_actions.push_back(line);
    const Key* k = KeyOf(key);
    const Value* v = value == "Install" ? &k->install : value == "SP" ? &k->sp : nullptr;
    if (!v || !v->present)
        return ERROR_FILE_NOT_FOUND;
    if (v->bytes.size() > *size) {
        *size = DWORD(v->bytes.size());
        return ERROR_MORE_DATA;
    }
    memcpy(data, v->bytes.data(), v->bytes.size());
    *size = DWORD(v->bytes.size());
    return ERROR_SUCCESS;
}

LONG WINAPI FakeRegCloseKey(HKEY key)
{
    g_actions.push_back(std::string("close ") + KeyName(key));
    return ERROR_SUCCESS;
}

struct Box {
    const char* name;
    const wchar_t* caption;
    const wchar_t* text;
    UINT flags;
};
const Box kBoxes[] = {
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

int WINAPI FakeMessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT flags)
{
    for (const Box& box : kBoxes) {
        if (wcscmp(box.text, text) == 0 && wcscmp(box.caption, caption) == 0 &&
            box.flags == flags && owner == nullptr) {
            g_actions.push_back(std::string("box ") + box.name);
            std::string name = box.name;
            if (name == "install question")
                return g_machine.installAnswer;
            if (name == "unsupported question")
                return g_machine.unsupportedAnswer;
            if (name == "Windows 2000 notice")
                return g_machine.win2000Answer;
            return IDOK;
        }
    }
    g_actions.push_back("box unknown: " + Narrow(caption) + " | " + Narrow(text) + " | " +
                        std::to_string(flags));
    return IDYES;
}

BOOL WINAPI FakeGetVersionExW(LPOSVERSIONINFOW info)
{
    g_actions.push_back(info->dwOSVersionInfoSize == 284 ? "version"
                                                         : "version with a wrong size");
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

HINSTANCE WINAPI FakeShellExecuteW(HWND window, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                                   LPCWSTR directory, INT show)
{
    std::string line = "shell " + Narrow(verb) + " " + Narrow(file);
    if (parameters)
        line += " " + Narrow(parameters);
    if (window || directory || show != SW_SHOWNORMAL)
        line += " with wrong window, folder or show";
    g_actions.push_back(line);
    return reinterpret_cast<HINSTANCE>(2);  // a failed start changes nothing
}

const DotNetPlatform kFake = {
    FakeRegOpenKeyExW, FakeRegQueryValueExW, FakeRegCloseKey,      FakeMessageBoxW,
    FakeGetVersionExW, FakeLoadLibraryA,     FakeGetProcAddress,   FakeGetSystemDirectoryW,
    FakeGetFileAttributesW, FakeShellExecuteW,
};

typedef std::vector<std::string> Actions;

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
const Actions kDism = {"shell runas dism.exe /online /enable-feature /featurename:NetFX3",
                       "redirection back", "box install notice"};
const Actions kFondue = {"attributes C:\\windows\\system32\\Fondue.exe",
                         "shell open fondue.exe /enable-feature:NetFX4 /caller-name:Corvid",
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

template <typename F>
Machine With(Machine m, F change)
{
    change(m);
    return m;
}

void RunCases(const std::vector<GateCase>& cases)
{
    for (const GateCase& c : cases) {
        SCOPED_TRACE(c.label);
        g_machine = c.machine;
        g_actions.clear();
        EXPECT_EQ(c.result, CheckDotNetPrerequisiteOn(kFake));
        EXPECT_EQ(c.actions, g_actions);
    }
}

}  // namespace

TEST(DotNetGate, DetectsTheFrameworkFromTheSetupKeys)
{
    const Actions read20 = {"open 2.0", "query 2.0 Install"};
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
         keys(Net(Number(2), Number(1)), Net(Number(1))), true,
         Join({read20, {"close 2.0"}, read4})},
        {"2.0 key without Install", keys(Net(Absent(), Number(1)), Net(Number(1))), true,
         Join({read20, {"close 2.0"}, read4})},
        {"2.0 Install stored as text longer than 4 bytes, 4 Client read with size 4",
         keys(Net(Text(L"1.0"), Number(1)), Net(Number(1))), true,
         Join({read20, {"close 2.0"}, read4})},
        {"4-byte text \"1\" is the number 0x31, not 1", keys(kNoKey, Net(Text(L"1"))), true,
         Join({{"open 2.0"}, read4, asked})},
        {"4 Client Install of 0", keys(kNoKey, Net(Number(0))), true,
         Join({{"open 2.0"}, read4, asked})},
        {"4 Client key without Install", keys(kNoKey, Net(Absent())), true,
         Join({{"open 2.0"}, read4, asked})},
        {"4 Client Install longer than 4 bytes", keys(kNoKey, Net(Bytes({1, 0, 0, 0, 0}))), true,
         Join({{"open 2.0"}, read4, asked})},
        {"a one-byte Install of 1 reads as 1", keys(kNoKey, Net(Bytes({1}))), true,
         Join({{"open 2.0"}, read4})},
        {"a one-byte 4 Client Install of 1 after a 2.0 Install of 0x01000000",
         keys(Net(Number(0x01000000)), Net(Bytes({1}))), true,
         Join({read20, {"close 2.0"}, read4})},
        {"a one-byte SP does not inherit the Install number",
         keys(Net(Number(1), Bytes({0})), kNoKey), true, Join({read20Sp, asked})},
        {"SP of 0xFFFFFFFF is 1 or more (unsigned)",
         keys(Net(Number(1), Number(0xFFFFFFFF)), kNoKey), true, read20Sp},
        {"Install of 0x100000001 cannot be stored in 4 bytes: 8 bytes count as missing",
         keys(Net(Bytes({1, 0, 0, 0, 1, 0, 0, 0}), Number(1)), kNoKey), true,
         Join({read20, {"close 2.0"}, {"open 4C"}, asked})},
        {"no keys at all", keys(kNoKey, kNoKey), true, Join({kNothingFound, asked})},
    });
}

TEST(DotNetGate, RoutesByWindowsVersion)
{
    RunCases({
        // The install question and the version query.
        {"No to the install question: nothing more",
         With(On(6, 1, 1), [](Machine& m) { m.installAnswer = IDNO; }), true,
         Join({kNothingFound, {"box install question"}})},
        {"install question fails: counts as No",
         With(On(6, 1, 1), [](Machine& m) { m.installAnswer = 0; }), true,
         Join({kNothingFound, {"box install question"}})},
        {"version query fails: nothing more",
         With(On(6, 1, 1), [](Machine& m) { m.version.ok = false; }), true,
         Join({kNothingFound, kAsked})},

        // Row 1: the feature installer.
        {"Windows 7, DISM without testing for Fondue.exe",
         With(On(6, 1, 1), [](Machine& m) { m.fondueExists = true; }), true,
         Join({kNothingFound, kAsked, kFeatureStart, kDism})},
        {"Vista SP1: DISM", On(6, 0, 1), true, Join({kNothingFound, kAsked, kFeatureStart, kDism})},
        {"6.2 without Fondue.exe: DISM", On(6, 2, 0), true,
         Join({kNothingFound, kAsked, kFeatureStart, kFondueMissing, kDism})},
        {"6.2 with Fondue.exe: Fondue",
         With(On(6, 2, 0), [](Machine& m) { m.fondueExists = true; }), true,
         Join({kNothingFound, kAsked, kFeatureStart, kFondue})},
        {"10.0 with Fondue.exe: Fondue",
         With(On(10, 0, 0), [](Machine& m) { m.fondueExists = true; }), true,
         Join({kNothingFound, kAsked, kFeatureStart, kFondue})},
        {"major 0xFFFFFFFF is above 6 (unsigned)", On(0xFFFFFFFF, 0, 0), true,
         Join({kNothingFound, kAsked, kFeatureStart, kFondueMissing, kDism})},
        {"system folder unreadable: Fondue.exe counts as missing",
         With(On(6, 2, 0),
              [](Machine& m) {
                  m.fondueExists = true;
                  m.systemFolderWorks = false;
              }),
         true, Join({kNothingFound, kAsked, kFeatureStart, kDism})},
        {"32-bit Windows: redirection off fails, null is handed back",
         With(On(6, 1, 1), [](Machine& m) { m.disableWorks = false; }), true,
         Join({kNothingFound, kAsked, kFeatureStart, kDism})},
        {"kernel32.dll does not load: silent",
         With(On(6, 1, 1), [](Machine& m) { m.kernelLoads = false; }), true,
         Join({kNothingFound, kAsked, {"load kernel32.dll"}})},
        {"no Wow64DisableWow64FsRedirection: silent",
         With(On(6, 1, 1), [](Machine& m) { m.hasDisable = false; }), true,
         Join({kNothingFound, kAsked,
               {"load kernel32.dll", "lookup Wow64DisableWow64FsRedirection",
                "lookup Wow64RevertWow64FsRedirection"}})},
        {"no Wow64RevertWow64FsRedirection: silent",
         With(On(6, 1, 1), [](Machine& m) { m.hasRevert = false; }), true,
         Join({kNothingFound, kAsked,
               {"load kernel32.dll", "lookup Wow64DisableWow64FsRedirection",
                "lookup Wow64RevertWow64FsRedirection"}})},

        // Row 2: Vista without a service pack.
        {"Vista SP0, Yes: the 3.5 SP1 page", On(6, 0, 0), true,
         Join({kNothingFound, kAsked, kUnsupported, kPage35})},
        {"Vista SP0, box fails: counts as consent",
         With(On(6, 0, 0), [](Machine& m) { m.unsupportedAnswer = 0; }), true,
         Join({kNothingFound, kAsked, kUnsupported, kPage35})},
        {"Vista SP0, No: stop",
         With(On(6, 0, 0), [](Machine& m) { m.unsupportedAnswer = IDNO; }), false,
         Join({kNothingFound, kAsked, kUnsupported})},

        // Row 3: Windows 2000 before SP3.
        {"Windows 2000 SP2, Yes: stop", On(5, 0, 2), false,
         Join({kNothingFound, kAsked, {"box Windows 2000 notice"}})},
        {"Windows 2000 SP0, No: stop",
         With(On(5, 0, 0), [](Machine& m) { m.win2000Answer = IDNO; }), false,
         Join({kNothingFound, kAsked, {"box Windows 2000 notice"}})},

        // Row 4: Windows 2000 SP3 and later, NT 4.0.
        {"Windows 2000 SP3, Yes: the 2.0 SP2 page", On(5, 0, 3), true,
         Join({kNothingFound, kAsked, kUnsupported, kPage20})},
        {"Windows 2000 SP4, box fails: the 2.0 SP2 page",
         With(On(5, 0, 4), [](Machine& m) { m.unsupportedAnswer = 0; }), true,
         Join({kNothingFound, kAsked, kUnsupported, kPage20})},
        {"Windows 2000 SP4, No: stop",
         With(On(5, 0, 4), [](Machine& m) { m.unsupportedAnswer = IDNO; }), false,
         Join({kNothingFound, kAsked, kUnsupported})},
        {"NT 4.0 SP6, Yes: the 2.0 SP2 page", On(4, 0, 6), true,
         Join({kNothingFound, kAsked, kUnsupported, kPage20})},
        {"major 4 minor 10 (Windows 98 numbers): question, 2.0 SP2 page", On(4, 10, 0), true,
         Join({kNothingFound, kAsked, kUnsupported, kPage20})},
        {"major 3 minor 0: question, 2.0 SP2 page", On(3, 0, 0), true,
         Join({kNothingFound, kAsked, kUnsupported, kPage20})},

        // Row 5: XP and Server 2003, no question.
        {"XP SP3 without .NET: the 4.0 Client Profile page", On(5, 1, 3), true,
         Join({kNothingFound, kAsked, kPage40})},
        {"XP SP3 with 2.0 without SP: the 3.5 SP1 page",
         With(On(5, 1, 3), [](Machine& m) { m.net20 = Net(Number(1), Number(0)); }), true,
         Join({{"open 2.0", "query 2.0 Install", "query 2.0 SP", "close 2.0"}, kAsked,
               kPage35})},
        {"XP SP3 with a 2.0 Install of 2: the 4.0 Client Profile page",
         With(On(5, 1, 3), [](Machine& m) { m.net20 = Net(Number(2)); }), true,
         Join({{"open 2.0", "query 2.0 Install", "close 2.0", "open 4C"}, kAsked, kPage40})},
        {"XP SP2: the 3.5 SP1 page", On(5, 1, 2), true, Join({kNothingFound, kAsked, kPage35})},
        {"XP x64 / Server 2003 SP2: the 3.5 SP1 page", On(5, 2, 2), true,
         Join({kNothingFound, kAsked, kPage35})},
        {"Server 2003 SP0xFFFF (unsigned): the 4.0 Client Profile page", On(5, 2, 0xFFFF), true,
         Join({kNothingFound, kAsked, kPage40})},
        {"XP SP1: the 2.0 SP2 page", On(5, 1, 1), true, Join({kNothingFound, kAsked, kPage20})},
        {"major 3 minor 51 (NT 3.51 numbers): no question, 2.0 SP2 page", On(3, 51, 0), true,
         Join({kNothingFound, kAsked, kPage20})},
    });
}
