// The start-up sequence against a scripted machine: gates, where the App is
// found, the mode chosen, the single-instance rule, the self-launch guard and
// what the App is started with.
#include "launcher/startup.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

// The scripted machine and what the sequence did on it.
struct Machine {
    std::wstring modulePath;
    DWORD modulePathResult = 0;  // 0: the path's length
    std::set<std::wstring> files;
    DWORD mutexError = 0;
    bool dotNetAnswer = true;
    bool hijackAnswer = true;

    std::wstring log;  // one letter per hand-over, in order
    std::wstring launchedFile, launchedFolder, launchedParameters;
    bool launchedElevated = false;
    DWORD gateTick = 0;
};

Machine g_machine;

DWORD WINAPI FakeGetModuleFileNameW(HMODULE, LPWSTR path, DWORD size)
{
    const std::wstring& p = g_machine.modulePath;
    size_t copied = p.size() < size ? p.size() : size - 1;
    p.copy(path, copied);
    path[copied] = L'\0';
    if (g_machine.modulePathResult)
        return g_machine.modulePathResult;
    return p.size() < size ? DWORD(p.size()) : size;  // cut to fit: the size
}

DWORD WINAPI FakeGetFileAttributesW(LPCWSTR path)
{
    return g_machine.files.count(path) ? FILE_ATTRIBUTE_NORMAL : INVALID_FILE_ATTRIBUTES;
}

HANDLE WINAPI FakeCreateMutexW(LPSECURITY_ATTRIBUTES, BOOL owned, LPCWSTR name)
{
    EXPECT_FALSE(owned);
    EXPECT_STREQ(L"RookMini-Inital", name);
    g_machine.log += L'M';
    return reinterpret_cast<HANDLE>(1);
}

DWORD WINAPI FakeGetLastError()
{
    return g_machine.mutexError;
}
DWORD WINAPI FakeGetTickCount()
{
    return 4242;
}
bool FakeDotNet()
{
    g_machine.log += L'D';
    return g_machine.dotNetAnswer;
}
bool FakeHijack()
{
    g_machine.log += L'H';
    return g_machine.hijackAnswer;
}

bool FakeLaunch(bool elevate, const WCHAR* file, const WCHAR* folder, const WCHAR* parameters)
{
    g_machine.log += L'L';
    g_machine.launchedElevated = elevate;
    g_machine.launchedFile = file;
    g_machine.launchedFolder = folder;
    g_machine.launchedParameters = parameters;
    return false;  // a failed start must not stop the update gate
}

void FakeUpdateGate(DWORD tick)
{
    g_machine.log += L'U';
    g_machine.gateTick = tick;
}
void FakeInstallMode()
{
    g_machine.log += L'I';
}

const StartupPlatform kFake = {
    .GetModuleFileNameW = FakeGetModuleFileNameW,
    .GetFileAttributesW = FakeGetFileAttributesW,
    .CreateMutexW = FakeCreateMutexW,
    .GetLastError = FakeGetLastError,
    .GetTickCount = FakeGetTickCount,
    .CheckDotNetPrerequisite = FakeDotNet,
    .CheckCompilerHijack = FakeHijack,
    .LaunchProgram = FakeLaunch,
    .RunUpdateGate = FakeUpdateGate,
    .RunInstallMode = FakeInstallMode,
};

}  // namespace

struct StartupCase {
    const char* label;
    std::wstring modulePath;
    std::set<std::wstring> files;
    const wchar_t* tail;
    DWORD mutexError;
    bool dotNet, hijack;
    const wchar_t* expectLog;   // hand-overs in order
    const wchar_t* expectFile;  // what the App was started as, if started
    const wchar_t* expectFolder;
    DWORD modulePathResult = 0;  // 0: the path's length, or the size when cut
};

static const wchar_t kLauncher[] = L"C:\\Apps\\Corvid\\RookMini.exe";
static const wchar_t kBeside[] = L"C:\\Apps\\Corvid\\CorvidApp.exe";
static const wchar_t kAbove[] = L"C:\\Apps\\Corvid\\..\\CorvidApp.exe";
// A launcher folder of 246 characters fits the buffer but leaves no room for
// "\CorvidApp.exe" after it.
static const std::wstring kLongFolder = L"C:\\" + std::wstring(243, L'd');

// clang-format off
static const StartupCase kCases[] = {
    {"App beside: started with the tail, in its folder", kLauncher, {kBeside}, L"/a \"b c\"", 0,
     true, true, L"DHMLU", kBeside, L"C:\\Apps\\Corvid"},
    {"App only above: the path keeps \\..\\ and the folder is cut from it", kLauncher, {kAbove},
     L"", 0, true, true, L"DHMLU", kAbove, L"C:\\Apps\\Corvid\\.."},
    {"App in both places: the one beside wins", kLauncher, {kBeside, kAbove}, L"", 0, true, true,
     L"DHMLU", kBeside, L"C:\\Apps\\Corvid"},
    {"no App anywhere: install mode", kLauncher, {}, L"", 0, true, true, L"DHI", nullptr, nullptr},
    {"switch in small letters: install mode", kLauncher, {kBeside}, L"/doupdate", 0, true, true,
     L"DHI", nullptr, nullptr},
    {"switch glued into another argument: install mode", kLauncher, {kBeside},
     L"-x/DOUPDATEy", 0, true, true, L"DHI", nullptr, nullptr},
    {"a near miss of the switch is passed through", kLauncher, {kBeside}, L"/Do-Update", 0, true,
     true, L"DHMLU", kBeside, L"C:\\Apps\\Corvid"},
    {".NET gate stops: nothing else runs", kLauncher, {kBeside}, L"", 0, false, true, L"D",
     nullptr, nullptr},
    {"hijack gate stops: nothing else runs", kLauncher, {kBeside}, L"", 0, true, false, L"DH",
     nullptr, nullptr},
    {"mutex already exists: ends before starting the App", kLauncher, {kBeside}, L"",
     ERROR_ALREADY_EXISTS, true, true, L"DHM", nullptr, nullptr},
    {"mutex access denied: ends before starting the App", kLauncher, {kBeside}, L"",
     ERROR_ACCESS_DENIED, true, true, L"DHM", nullptr, nullptr},
    {"any other mutex error: launch mode goes on", kLauncher, {kBeside}, L"",
     ERROR_INVALID_HANDLE, true, true, L"DHMLU", kBeside, L"C:\\Apps\\Corvid"},
    {"launcher is the App in other letter case: nothing started",
     L"C:\\Apps\\Corvid\\corvidapp.EXE", {kBeside}, L"", 0, true, true, L"DHM", nullptr, nullptr},
    {"module path without a backslash is kept whole as the folder", L"RookMini.exe",
     {L"RookMini.exe\\CorvidApp.exe"}, L"", 0, true, true, L"DHMLU",
     L"RookMini.exe\\CorvidApp.exe", L"RookMini.exe"},
    {"empty module path: ends", L"", {kBeside}, L"", 0, true, true, L"DH", nullptr, nullptr},
    {"App's path too long for the buffer: install mode", kLongFolder + L"\\RookMini.exe",
     {kLongFolder + L"\\CorvidApp.exe"}, L"", 0, true, true, L"DHI", nullptr, nullptr},
    {"module path one longer than the buffer: ends", kLongFolder + L"d\\RookMini.exe", {kBeside},
     L"", 0, true, true, L"DH", nullptr, nullptr},
    {"module path cut to fit the buffer: ends", kLauncher, {kBeside}, L"", 0, true, true, L"DH",
     nullptr, nullptr, MAX_PATH},
};
// clang-format on

TEST(Startup, ChoosesModeAndStartsTheApp)
{
    for (const StartupCase& c : kCases) {
        SCOPED_TRACE(c.label);
        g_machine = Machine();
        g_machine.modulePath = c.modulePath;
        g_machine.modulePathResult = c.modulePathResult;
        g_machine.files = c.files;
        g_machine.mutexError = c.mutexError;
        g_machine.dotNetAnswer = c.dotNet;
        g_machine.hijackAnswer = c.hijack;

        EXPECT_EQ(0, RunStartup(kFake, nullptr, c.tail));
        EXPECT_EQ(std::wstring(c.expectLog), g_machine.log);
        if (c.expectFile) {
            EXPECT_EQ(std::wstring(c.expectFile), g_machine.launchedFile);
            EXPECT_EQ(std::wstring(c.expectFolder), g_machine.launchedFolder);
            EXPECT_EQ(std::wstring(c.tail), g_machine.launchedParameters);
            EXPECT_FALSE(g_machine.launchedElevated);
            EXPECT_EQ(4242u, g_machine.gateTick);
        }
    }
}
