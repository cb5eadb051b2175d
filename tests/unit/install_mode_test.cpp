// Install mode's way from the mutex to the installer start or the question,
// through its platform table.
#include "launcher/install_mode.h"
#include "ui/download_ui.h"
#include "support/fake_ui.h"

#include "res/resource.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>
#include <vector>

using fakeui::Actions;
using fakeui::g_actions;

static struct {
    DWORD mutexError; const wchar_t* appData; bool cancel, file, launches;
    std::vector<std::wstring> folders;
} t;

static HANDLE WINAPI FakeMutex(LPSECURITY_ATTRIBUTES, BOOL owned, LPCWSTR name)
{
    EXPECT_FALSE(owned);
    EXPECT_STREQ(L"RookMini-DoUpdate", name);
    return reinterpret_cast<HANDLE>(0x10);
}
static DWORD WINAPI FakeError() { return t.mutexError; }
static BOOL WINAPI FakeFolder(HWND, LPWSTR path, int folder, BOOL create)
{
    EXPECT_EQ(CSIDL_COMMON_APPDATA, folder);
    EXPECT_TRUE(create);
    if (!t.appData)
        return FALSE;
    wcscpy(path, t.appData);
    return TRUE;
}
static BOOL WINAPI FakeCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES) { t.folders.push_back(path); return FALSE; }
static INT_PTR WINAPI FakeDialog(HINSTANCE, LPCWSTR name, HWND owner, DLGPROC proc, LPARAM parameter)
{
    EXPECT_EQ(MAKEINTRESOURCEW(IDD_DOWNLOAD_PROGRESS), name);
    EXPECT_EQ(nullptr, owner);
    EXPECT_EQ(&ProgressDialogProc, proc);
    EXPECT_EQ(reinterpret_cast<LPARAM>(g_szInstallerPath), parameter);
    g_actions.push_back("dialog");
    g_bCancelledByUser = t.cancel;
    return 0;
}
static BOOL WINAPI FakeExists(LPCWSTR path) { EXPECT_STREQ(g_szInstallerPath, path); return t.file; }
static bool FakeLaunch(const WCHAR* file, const WCHAR* directory)
{
    EXPECT_STREQ(L"C:\\PD\\Ironbark\\Meridian\\Temporary\\meridian_mainmini\\meridian_setupfull.exe", file);
    EXPECT_STREQ(L"C:\\PD\\Ironbark\\Meridian\\Temporary\\meridian_mainmini", directory);
    g_actions.push_back("start");
    return t.launches;
}
static const InstallPlatform kFakeInstall = {FakeMutex, FakeError, FakeFolder, FakeCreateDirectory,
                                             FakeDialog, FakeExists, fakeui::MessageBoxW, fakeui::ShellExecuteW, FakeLaunch};

TEST(RunInstallMode, StartsTheInstallerOrOffersTheBrowser)
{
    const UINT style = MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND | MB_TOPMOST;
    fakeui::g_boxes = {
        {"failed", L"Corvid App", L"There was a problem retrieving the App automatically.\n\nWould you like to download it through your Internet browser?", style},
        {"cancelled", L"Corvid App", L"The automatic retrieving of the App was canceled.\n\nWould you like to download it through your Internet browser?", style}};
    const std::string browser = "shell (null) " + fakeui::Narrow(kFullInstallerUrl);
    const std::wstring tooLong = L"C:\\" + std::wstring(200, 'p');
    struct Case {
        const char* label; DWORD mutexError; const wchar_t* appData; bool cancel, file, launches; int answer;
        Actions actions;
    };
    const Case cases[] = {
        {"second launcher in install mode", ERROR_ALREADY_EXISTS, L"C:\\PD", false, true, true, IDYES, {}},
        {"mutex refused", ERROR_ACCESS_DENIED, L"C:\\PD", false, true, true, IDYES, {}},
        {"other mutex failure goes on", ERROR_INVALID_HANDLE, L"C:\\PD", false, true, true, IDYES, {"dialog", "start"}},
        {"start refused, Yes", 0, L"C:\\PD", false, true, false, IDYES, {"dialog", "start", "box failed", browser}},
        {"download failed, No", 0, L"C:\\PD", false, false, false, IDNO, {"dialog", "box failed"}},
        {"cancelled with an earlier file, Yes", 0, L"C:\\PD", true, true, true, IDYES, {"dialog", "box cancelled", browser}},
        {"cancelled, question box failed", 0, L"C:\\PD", true, false, true, 0, {"dialog", "box cancelled"}},
        {"no application-data folder", 0, nullptr, false, true, true, IDYES, {"box failed", browser}},
        {"staging path too long", 0, tooLong.c_str(), false, true, true, IDNO, {"box failed"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        t = {c.mutexError, c.appData, c.cancel, c.file, c.launches};
        fakeui::g_answers = {{"failed", c.answer}, {"cancelled", c.answer}};
        g_actions.clear();
        g_bCancelledByUser = false;
        RunInstallModeOn(kFakeInstall);
        EXPECT_EQ(c.actions, g_actions);
        if (!c.actions.empty() && c.actions[0] == "dialog") {
            EXPECT_EQ((std::vector<std::wstring>{L"C:\\PD", L"C:\\PD\\Ironbark", L"C:\\PD\\Ironbark\\Meridian",
                L"C:\\PD\\Ironbark\\Meridian\\Temporary", L"C:\\PD\\Ironbark\\Meridian\\Temporary\\meridian_mainmini"}), t.folders);
        }
        if (c.appData == tooLong.c_str()) {
            EXPECT_EQ(L"", std::wstring(g_szInstallerPath));
        }
    }
    g_bCancelledByUser = false;
}
