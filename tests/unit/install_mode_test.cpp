// Install mode's way from the mutex to the installer start or the question,
// through its platform table.
#include "launcher/install_mode.h"
#include "ui/download_ui.h"

#include "resource.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>
#include <vector>

static struct {
    DWORD mutexError; const wchar_t* appData; bool cancel, file, launches; int answer;
    std::vector<std::wstring> folders; int dialogs, launched, browser; std::wstring question;
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
    t.dialogs++;
    g_bCancelledByUser = t.cancel;
    return 0;
}
static BOOL WINAPI FakeExists(LPCWSTR path) { EXPECT_STREQ(g_szInstallerPath, path); return t.file; }
static int WINAPI FakeAsk(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style)
{
    EXPECT_EQ(nullptr, owner);
    EXPECT_STREQ(L"Corvid App", caption);
    EXPECT_EQ(UINT(MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND | MB_TOPMOST), style);
    t.question = text;
    return t.answer;
}
static HINSTANCE WINAPI FakeShell(HWND, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR directory, INT show)
{
    EXPECT_EQ(nullptr, verb);
    EXPECT_STREQ(kFullInstallerUrl, file);
    EXPECT_EQ(nullptr, parameters);
    EXPECT_EQ(nullptr, directory);
    EXPECT_EQ(SW_SHOWNORMAL, show);
    t.browser++;
    return reinterpret_cast<HINSTANCE>(42);
}
static bool FakeLaunch(const WCHAR* file, const WCHAR* directory)
{
    EXPECT_STREQ(L"C:\\PD\\Ironbark\\Meridian\\Temporary\\meridian_mainmini\\meridian_setupfull.exe", file);
    EXPECT_STREQ(L"C:\\PD\\Ironbark\\Meridian\\Temporary\\meridian_mainmini", directory);
    t.launched++;
    return t.launches;
}
static const InstallPlatform kFakeInstall = {FakeMutex, FakeError, FakeFolder, FakeCreateDirectory,
                                             FakeDialog, FakeExists, FakeAsk, FakeShell, FakeLaunch};

TEST(RunInstallMode, StartsTheInstallerOrOffersTheBrowser)
{
    const std::wstring failed = L"There was a problem retrieving the App automatically.\n\nWould you like to download it through your Internet browser?";
    const std::wstring cancelled = L"The automatic retrieving of the App was canceled.\n\nWould you like to download it through your Internet browser?";
    const std::wstring tooLong = L"C:\\" + std::wstring(200, 'p');
    struct Case {
        const char* label; DWORD mutexError; const wchar_t* appData; bool cancel, file, launches; int answer;
        int dialogs, launched; std::wstring question; int browser;
    };
    const Case cases[] = {
        {"second launcher in install mode", ERROR_ALREADY_EXISTS, L"C:\\PD", false, true, true, IDYES, 0, 0, L"", 0},
        {"mutex refused", ERROR_ACCESS_DENIED, L"C:\\PD", false, true, true, IDYES, 0, 0, L"", 0},
        {"other mutex failure goes on", ERROR_INVALID_HANDLE, L"C:\\PD", false, true, true, IDYES, 1, 1, L"", 0},
        {"downloaded and started", 0, L"C:\\PD", false, true, true, IDYES, 1, 1, L"", 0},
        {"start refused, Yes", 0, L"C:\\PD", false, true, false, IDYES, 1, 1, failed, 1},
        {"download failed, No", 0, L"C:\\PD", false, false, false, IDNO, 1, 0, failed, 0},
        {"cancelled with an earlier file, Yes", 0, L"C:\\PD", true, true, true, IDYES, 1, 0, cancelled, 1},
        {"cancelled, question box failed", 0, L"C:\\PD", true, false, true, 0, 1, 0, cancelled, 0},
        {"no application-data folder", 0, nullptr, false, true, true, IDYES, 0, 0, failed, 1},
        {"staging path too long", 0, tooLong.c_str(), false, true, true, IDNO, 0, 0, failed, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        t = {c.mutexError, c.appData, c.cancel, c.file, c.launches, c.answer};
        g_bCancelledByUser = false;
        RunInstallModeOn(kFakeInstall);
        EXPECT_EQ(c.dialogs, t.dialogs);
        EXPECT_EQ(c.launched, t.launched);
        EXPECT_EQ(c.question, t.question);
        EXPECT_EQ(c.browser, t.browser);
        if (c.dialogs) {
            EXPECT_EQ((std::vector<std::wstring>{L"C:\\PD", L"C:\\PD\\Ironbark", L"C:\\PD\\Ironbark\\Meridian",
                L"C:\\PD\\Ironbark\\Meridian\\Temporary", L"C:\\PD\\Ironbark\\Meridian\\Temporary\\meridian_mainmini"}), t.folders);
        }
        if (c.appData == tooLong.c_str()) {
            EXPECT_EQ(L"", std::wstring(g_szInstallerPath));
        }
    }
    g_bCancelledByUser = false;
}
