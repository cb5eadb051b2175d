// The update gate: number conversion, the INI build, the manifest parser,
// the installed-version probe and the gate's ordered actions against
// a scripted registry, INI file, clock, shell and manifest fetch.
#include "launcher/update_gate.h"

#include <gtest/gtest.h>

#include "support/log_format.h"
#include <shlobj.h>

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

std::vector<std::wstring> actions;

void Record(const std::wstring& action)
{
    actions.push_back(action);
}

std::wstring Text(const WCHAR* text)
{
    return text ? text : L"(null)";
}

void FakeLog(const WCHAR* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring line = FormatLogLine(format, args);
    va_end(args);
    Record(L"log " + line);
}

struct Machine {
    bool keyOpens = true;
    bool openReportsFailure = false;  // an error code, yet a handle
    bool valuePresent = false;
    int value = 0;
    bool folderAvailable = true;
    const WCHAR* iniValue = nullptr;  // null: no INI file
    // The manifest fetch: null body means the fetch failed.
    const char* manifest = nullptr;
    DWORD manifestLength = 0;
    DWORD startTick = 1000;
    DWORD nowTick = 1120;
    int answer = IDYES;
    bool copyFails = false;
};

Machine m;
int liveBlocks;
HKEY const kKey = reinterpret_cast<HKEY>(0x40);

LSTATUS WINAPI FakeRegOpen(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY key)
{
    EXPECT_EQ(HKEY_LOCAL_MACHINE, root);
    EXPECT_EQ(0u, options);
    EXPECT_EQ(static_cast<REGSAM>(KEY_READ), access);
    Record(L"RegOpenKeyExW " + Text(subKey));
    if (m.keyOpens)
        *key = kKey;
    return m.keyOpens && !m.openReportsFailure ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LSTATUS WINAPI FakeRegQuery(HKEY key, LPCWSTR name, LPDWORD, LPDWORD type, LPBYTE data,
                            LPDWORD size)
{
    EXPECT_EQ(kKey, key);
    EXPECT_EQ(nullptr, type);
    EXPECT_EQ(4u, *size);
    Record(L"RegQueryValueExW " + Text(name));
    if (!m.valuePresent)
        return ERROR_FILE_NOT_FOUND;
    memcpy(data, &m.value, 4);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI FakeRegClose(HKEY key)
{
    EXPECT_EQ(kKey, key);
    Record(L"RegCloseKey");
    return ERROR_SUCCESS;
}

BOOL WINAPI FakeFolder(HWND, LPWSTR path, int folder, BOOL create)
{
    EXPECT_EQ(CSIDL_COMMON_APPDATA, folder);
    EXPECT_TRUE(create);
    if (!m.folderAvailable)
        return FALSE;
    wcscpy(path, L"C:\\ProgramData");
    return TRUE;
}

DWORD WINAPI FakeProfile(LPCWSTR section, LPCWSTR key, LPCWSTR fallback, LPWSTR value, DWORD size,
                         LPCWSTR file)
{
    EXPECT_EQ(200u, size);
    Record(L"GetPrivateProfileStringW " + Text(section) + L" " + Text(key) + L" '" +
           Text(fallback) + L"' " + Text(file));
    wcscpy(value, m.iniValue ? m.iniValue : fallback);
    return static_cast<DWORD>(wcslen(value));
}

DWORD WINAPI FakeTick()
{
    return m.nowTick;
}

void WINAPI FakeSleep(DWORD milliseconds)
{
    Record(L"Sleep " + std::to_wstring(milliseconds));
}

UINT WINAPI FakeWindows(LPWSTR path, UINT size)
{
    EXPECT_EQ(static_cast<UINT>(MAX_PATH), size);
    wcscpy(path, L"C:\\windows");
    return 10;
}

HINSTANCE WINAPI FakeShell(HWND window, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                           LPCWSTR directory, INT show)
{
    EXPECT_EQ(nullptr, window);
    EXPECT_EQ(nullptr, verb);
    Record(L"ShellExecuteW " + Text(file) + L" | " + Text(parameters) + L" | " + Text(directory) +
           L" | " + std::to_wstring(show));
    return reinterpret_cast<HINSTANCE>(42);
}

int WINAPI FakeMessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)
{
    EXPECT_EQ(nullptr, owner);
    Record(L"MessageBoxW " + Text(text) + L" | " + Text(caption) + L" | " + std::to_wstring(type));
    return m.answer;
}

void* FakeMalloc(size_t size)
{
    if (m.copyFails)
        return nullptr;
    ++liveBlocks;
    return malloc(size);
}

void FakeFree(void* block)
{
    --liveBlocks;
    free(block);
}

bool FakeFetch(const WCHAR* url, BYTE** body, DWORD* length, DWORD deadline)
{
    // The fetch must end when a verdict could no longer be acted on.
    EXPECT_EQ(m.startTick + kLateVerdict, deadline);
    Record(L"FetchUrl " + Text(url));
    *body = nullptr;
    *length = 0;
    if (!m.manifest)
        return false;
    // Exactly the body's bytes, unterminated, as the fetch hands them over.
    *body = static_cast<BYTE*>(malloc(m.manifestLength ? m.manifestLength : 1));
    ++liveBlocks;
    memcpy(*body, m.manifest, m.manifestLength);
    *length = m.manifestLength;
    return true;
}

const UpdateGatePlatform kFake = {
    .RegOpenKeyExW = FakeRegOpen,
    .RegQueryValueExW = FakeRegQuery,
    .RegCloseKey = FakeRegClose,
    .SHGetSpecialFolderPathW = FakeFolder,
    .GetPrivateProfileStringW = FakeProfile,
    .GetTickCount = FakeTick,
    .Sleep = FakeSleep,
    .GetWindowsDirectoryW = FakeWindows,
    .ShellExecuteW = FakeShell,
    .MessageBoxW = FakeMessageBox,
    .FetchUrl = FakeFetch,
    .DebugLog = FakeLog,
    .malloc = FakeMalloc,
    .free = FakeFree,
};

typedef std::vector<std::wstring> Lines;

Lines operator+(Lines a, const Lines& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Build 45 in the registry and a manifest asking for 46, then changed by edit.
Machine Gate(void (*edit)(Machine&))
{
    Machine machine;
    machine.valuePresent = true;
    machine.value = 45;
    machine.manifest = "Minimum Supported Meridian Version: 46.";
    machine.manifestLength = static_cast<DWORD>(strlen(machine.manifest));
    edit(machine);
    return machine;
}

const std::wstring kRegOpen = L"RegOpenKeyExW SOFTWARE\\Ironbark\\ComponentManager";
const std::wstring kRegQuery = L"RegQueryValueExW MeridianVersion";
const std::wstring kIniRead =
    L"GetPrivateProfileStringW ApplicationInformation Version '' "
    L"C:\\ProgramData\\Ironbark\\Meridian\\InstalledXML\\meridian_main.ini";
const std::wstring kFetch =
    L"FetchUrl http://download.corvidapp.example/update/meridian_version.txt";
const std::wstring kKill = L"ShellExecuteW C:\\windows\\system32\\taskkill.exe | /f /im ";
const std::wstring kHide = L".exe |  | 0";
const std::wstring kQuestion =
    L"MessageBoxW A Corvid App update is required.\n\nWould you like to get this update now? | "
    L"Corvid App | 327716";  // MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND | MB_TOPMOST
const std::wstring kBrowser =
    L"ShellExecuteW http://www.corvidapp.example/meridian_update.asp | (null) | (null) | 1";

}  // namespace

TEST(UpdateGate, DecimalConversionClampsTo32Bits)
{
    struct Case {
        const char* label;
        const char* text;
        int value;
    };
    // clang-format off
    const Case cases[] = {
        {"plain", "46", 46},
        {"leading blanks and tabs", " \t\n 46", 46},
        {"plus sign", "+7", 7},
        {"minus sign", "-12", -12},
        {"stops at a non-digit", "46x9", 46},
        {"no digits", "abc", 0},
        {"sign without digits", "-", 0},
        {"empty", "", 0},
        {"largest int", "2147483647", 2147483647},
        {"one past the largest", "2147483648", 2147483647},
        {"many digits", "99999999999999999999999", 2147483647},
        {"smallest int", "-2147483648", -2147483647 - 1},
        {"below the smallest", "-2147483649000", -2147483647 - 1},
        {"leading zeros", "000000000000000000046", 46},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.value, DecimalClamped(c.text));
        std::wstring wide(c.text, c.text + strlen(c.text));
        EXPECT_EQ(c.value, DecimalClamped(wide.c_str()));
    }
}

TEST(UpdateGate, IniVersionGivesTheNumberAfterTheLastFullStop)
{
    struct Case {
        const char* label;
        const WCHAR* version;
        int build;
    };
    // clang-format off
    const Case cases[] = {
        {"dotted", L"1.2.3.45", 45},
        {"no full stop", L"45", 45},
        {"last part not a number", L"1.2.x", 0},
        {"ends with a full stop", L"1.2.", 0},
        {"negative build", L"1.2.-3", -3},
        {"blank after the stop", L"1.2. 7", 7},
        {"too wide", L"1.99999999999", 2147483647},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.build, BuildFromIniVersion(c.version));
    }
}

TEST(UpdateGate, ManifestParsing)
{
    struct Case {
        const char* label;
        const char* text;
        int minimum;
        std::vector<std::wstring> lines;
    };
    // clang-format off
    const Case cases[] = {
        {"key, number, full stop", "Minimum Supported Meridian Version: 46.", 46,
         {L"log RookMini: Minimum version '46'"}},
        {"surrounded by other text",
         "Latest: 50.\r\nMinimum Supported Meridian Version: 46. See notes.\r\n", 46,
         {L"log RookMini: Minimum version '46'"}},
        {"first occurrence wins",
         "Minimum Supported Meridian Version: 40.Minimum Supported Meridian Version: 50.", 40,
         {L"log RookMini: Minimum version '40'"}},
        {"full stop far after the number", "Minimum Supported Meridian Version: 46 build x.",
         46, {L"log RookMini: Minimum version '46'"}},
        {"key missing", "Nothing here.", 0,
         {L"log RookMini: Could not parse version string. 'Nothing here.'"}},
        {"key in other case", "minimum supported meridian version: 46.", 0,
         {L"log RookMini: Could not parse version string. "
          L"'minimum supported meridian version: 46.'"}},
        {"key without its blank", "Minimum Supported Meridian Version:46.", 0,
         {L"log RookMini: Could not parse version string. "
          L"'Minimum Supported Meridian Version:46.'"}},
        {"no full stop after the key", "Version 1.0 Minimum Supported Meridian Version: 46", 0,
         {L"log RookMini: Could not parse version string (2). "
          L"'Version 1.0 Minimum Supported Meridian Version: 46'"}},
        {"number text 0: no diagnostic", "Minimum Supported Meridian Version: 0.", 0, {}},
        {"number text starting with a letter", "Minimum Supported Meridian Version: x9.", 0,
         {L"log RookMini: Minimum version '0'"}},
        {"wider than 32 bits", "Minimum Supported Meridian Version: 123456789012.", 2147483647,
         {L"log RookMini: Minimum version '2147483647'"}},
        {"negative minimum", "Minimum Supported Meridian Version: -5.", -5,
         {L"log RookMini: Minimum version '-5'"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        actions.clear();
        std::string text = c.text;
        EXPECT_EQ(c.minimum, ParseManifestMinimum(&text[0], FakeLog));
        EXPECT_EQ(c.lines, actions);
    }
}

TEST(UpdateGate, ProbeReadsTheRegistryThenTheIniFile)
{
    struct Case {
        const char* label;
        Machine machine;
        int version;
        std::vector<std::wstring> actions;
    };
    auto with = [](void (*edit)(Machine&)) {
        Machine machine;
        edit(machine);
        return machine;
    };
    // clang-format off
    const Case cases[] = {
        {"registry 0 wins over the INI file",
         with([](Machine& x) { x.valuePresent = true; x.value = 0; x.iniValue = L"1.2.3.45"; }),
         0, {kRegOpen, kRegQuery, L"RegCloseKey", L"log RookMini: Version 0 (Registry)"}},
        {"value absent: INI 1.2.3.45",
         with([](Machine& x) { x.iniValue = L"1.2.3.45"; }), 45,
         {kRegOpen, kRegQuery, L"RegCloseKey", kIniRead, L"log RookMini: Version 45 (Ini)"}},
        {"key absent: INI without a full stop",
         with([](Machine& x) { x.keyOpens = false; x.iniValue = L"45"; }), 45,
         {kRegOpen, kIniRead, L"log RookMini: Version 45 (Ini)"}},
        {"open reports an error but gives a handle: still read",
         with([](Machine& x) {
             x.openReportsFailure = true; x.valuePresent = true; x.value = 50;
         }),
         50, {kRegOpen, kRegQuery, L"RegCloseKey", L"log RookMini: Version 50 (Registry)"}},
        {"INI last part not a number",
         with([](Machine& x) { x.iniValue = L"1.2.x"; }), 0,
         {kRegOpen, kRegQuery, L"RegCloseKey", kIniRead, L"log RookMini: Version 0 (Ini)"}},
        {"nothing installed", Machine(), 0,
         {kRegOpen, kRegQuery, L"RegCloseKey", kIniRead}},
        {"data folder unavailable",
         with([](Machine& x) { x.folderAvailable = false; x.iniValue = L"9"; }), 0,
         {kRegOpen, kRegQuery, L"RegCloseKey"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        m = c.machine;
        actions.clear();
        EXPECT_EQ(c.version, ProbeInstalledVersionOn(kFake));
        EXPECT_EQ(c.actions, actions);
    }
}

TEST(UpdateGate, GateActsInOrder)
{
    const Lines probe = {kRegOpen, kRegQuery, L"RegCloseKey",
                         L"log RookMini: Version 45 (Registry)"};
    const std::wstring minimum46 = L"log RookMini: Minimum version '46'";
    const Lines fetched = probe + Lines{kFetch, minimum46};
    const Lines offer = {kKill + L"CorvidApp" + kHide, kKill + L"CorvidNow" + kHide,
                         kKill + L"RookNative" + kHide, kQuestion};
    const Lines sleep = {L"Sleep 380"}, browser = {kBrowser};
    struct Case {
        const char* label;
        Machine machine;
        Lines actions;
    };
    // clang-format off
    const Case cases[] = {
        {"update required, Yes: sleep, three kills, question, browser", Gate([](Machine&) {}),
         fetched + sleep + offer + browser},
        {"update required, No: the App's processes are still ended",
         Gate([](Machine& x) { x.answer = IDNO; }), fetched + sleep + offer},
        {"failed question box counts as No", Gate([](Machine& x) { x.answer = 0; }),
         fetched + sleep + offer},
        {"500 ms already passed: no sleep",
         Gate([](Machine& x) { x.nowTick = x.startTick + 500; }), fetched + offer + browser},
        {"tick count wrapped: 356 ms passed",
         Gate([](Machine& x) { x.startTick = 0xFFFFFF00u; x.nowTick = 0x64; }),
         fetched + Lines{L"Sleep 144"} + offer + browser},
        {"verdict exactly 30 s after the start: still acted on",
         Gate([](Machine& x) { x.nowTick = x.startTick + 30000; }), fetched + offer + browser},
        {"verdict later than 30 s: the App is left running",
         Gate([](Machine& x) { x.nowTick = x.startTick + 30001; }),
         fetched + Lines{L"log RookMini: Update required, but found 30001 ms after the start; "
                         L"the App is left running."}},
        {"late verdict across a tick-count wrap",
         Gate([](Machine& x) { x.startTick = 0xFFFFFF00u; x.nowTick = 40000; }),
         fetched + Lines{L"log RookMini: Update required, but found 40256 ms after the start; "
                         L"the App is left running."}},
        {"nothing installed and a minimum of 46", Gate([](Machine& x) { x.valuePresent = false; }),
         Lines{kRegOpen, kRegQuery, L"RegCloseKey", kIniRead, kFetch, minimum46} + sleep + offer +
             browser},
        {"up to date", Gate([](Machine& x) { x.value = 46; }),
         {kRegOpen, kRegQuery, L"RegCloseKey", L"log RookMini: Version 46 (Registry)", kFetch,
          minimum46}},
        {"beta", Gate([](Machine& x) { x.value = -1; }),
         {kRegOpen, kRegQuery, L"RegCloseKey", L"log RookMini: Version -1 (Registry)", kFetch,
          minimum46, L"log RookMini: Using Beta of the Corvid App"}},
        {"fetch failed: no update", Gate([](Machine& x) { x.manifest = nullptr; }),
         probe + Lines{kFetch}},
        {"empty body", Gate([](Machine& x) { x.manifestLength = 0; }),
         probe + Lines{kFetch, L"log RookMini: Could not parse version string. ''"}},
        {"terminated copy unavailable: not parsed", Gate([](Machine& x) { x.copyFails = true; }),
         probe + Lines{kFetch}},
        {"zero byte inside the body ends the text",
         Gate([](Machine& x) {
             x.manifest = "Minimum Supported Meridian Version: 46\0.";
             x.manifestLength = 40;
         }),
         probe + Lines{kFetch, L"log RookMini: Could not parse version string (2). "
                               L"'Minimum Supported Meridian Version: 46'"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        m = c.machine;
        actions.clear();
        liveBlocks = 0;
        RunUpdateGateOn(kFake, m.startTick);
        EXPECT_EQ(c.actions, actions);
        EXPECT_EQ(0, liveBlocks);  // the copy and the fetched body are released
    }
}
