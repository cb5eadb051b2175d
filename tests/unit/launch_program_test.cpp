// LaunchProgram: when elevation is asked for, what the shell is handed, and
// how its answer is read.
#include "base/launch_program.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Shell {
    BOOL versionResult;
    DWORD major;
    INT_PTR shellResult;
    DWORD versionSize;  // what the call saw
    std::wstring verb, file, parameters, directory;
    INT show;
    bool calledShell;
};

Shell g_shell;

BOOL WINAPI FakeGetVersionExW(LPOSVERSIONINFOW info)
{
    g_shell.versionSize = info->dwOSVersionInfoSize;
    if (g_shell.versionResult)
        info->dwMajorVersion = g_shell.major;
    return g_shell.versionResult;
}

HINSTANCE WINAPI FakeShellExecuteW(HWND window, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                                   LPCWSTR directory, INT show)
{
    EXPECT_EQ(nullptr, window);
    g_shell.calledShell = true;
    g_shell.verb = verb ? verb : L"<default>";
    g_shell.file = file;
    g_shell.parameters = parameters;
    g_shell.directory = directory;
    g_shell.show = show;
    return reinterpret_cast<HINSTANCE>(g_shell.shellResult);
}

const LaunchPlatform kFake = {.GetVersionExW = FakeGetVersionExW,
                              .ShellExecuteW = FakeShellExecuteW};

struct LaunchCase {
    const char* label;
    bool elevate;
    BOOL versionResult;
    DWORD major;
    INT_PTR shellResult;
    const wchar_t* expectVerb;
    bool expectResult;
};

// clang-format off
const LaunchCase kCases[] = {
    {"elevated on Windows 6", true, TRUE, 6, 42, L"runas", true},
    {"elevation dropped below Windows 6", true, TRUE, 5, 42, L"<default>", true},
    {"elevation dropped when the version query fails", true, FALSE, 0, 42, L"<default>", true},
    {"not elevated: default verb", false, TRUE, 10, 42, L"<default>", true},
    {"shell answer 32 is a failure", true, TRUE, 6, 32, L"runas", false},
    {"shell answer 33 is a success", false, TRUE, 6, 33, L"<default>", true},
};
// clang-format on

}  // namespace

TEST(LaunchProgram, ElevatesFromWindows6AndReadsTheShellAnswer)
{
    for (const LaunchCase& c : kCases) {
        SCOPED_TRACE(c.label);
        g_shell = Shell{c.versionResult, c.major, c.shellResult};
        bool result = LaunchProgramOn(kFake, c.elevate, L"C:\\x\\setup.exe", L"C:\\x", L"/q");
        EXPECT_EQ(c.expectResult, result);
        ASSERT_TRUE(g_shell.calledShell);
        EXPECT_EQ(std::wstring(c.expectVerb), g_shell.verb);
        EXPECT_EQ(L"C:\\x\\setup.exe", g_shell.file);
        EXPECT_EQ(L"C:\\x", g_shell.directory);
        EXPECT_EQ(L"/q", g_shell.parameters);
        EXPECT_EQ(SW_SHOWNORMAL, g_shell.show);
        if (c.elevate) {
            EXPECT_EQ(276u, g_shell.versionSize);
        }
    }
}
