// Install mode's way from the mutex to the installer start or the question,
// through its platform table.
#include "launcher/install_mode.h"
#include "ui/progress_dialog.h"
#include "support/fake_ui.h"

#include "res/resource.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>
#include <vector>

using fakeui::Actions;
using fakeui::g_actions;

static struct {
    DWORD mutexError;
    bool folder, cancel, saved, launches;
    INT_PTR shown;
    bool workerUnfinished;
    bool cancelSetBeforeWait;
} t;

static const wchar_t kFolder[] = L"C:\\PD\\Ironbark\\Meridian\\Temporary\\meridian_mainmini";
static const wchar_t kInstaller[] =
    L"C:\\PD\\Ironbark\\Meridian\\Temporary\\meridian_mainmini\\meridian_setupfull.exe";
static const wchar_t kPartial[] =
    L"C:\\PD\\Ironbark\\Meridian\\Temporary\\meridian_mainmini\\meridian_setupfull.partial";
static DownloadJob* s_job;

static HANDLE WINAPI FakeMutex(LPSECURITY_ATTRIBUTES, BOOL owned, LPCWSTR name)
{
    EXPECT_FALSE(owned);
    EXPECT_STREQ(L"RookMini-DoUpdate", name);
    return reinterpret_cast<HANDLE>(0x10);
}
static DWORD WINAPI FakeError()
{
    return t.mutexError;
}
static bool FakeStaging(StagingFolder* staging)
{
    if (!t.folder)
        return false;
    wcscpy(staging->folder, kFolder);
    wcscpy(staging->installer, kInstaller);
    wcscpy(staging->partial, kPartial);
    for (HANDLE& level : staging->levels)
        level = INVALID_HANDLE_VALUE;
    staging->partialFile = INVALID_HANDLE_VALUE;
    return true;
}
// Plays the dialog and its worker: what the user pressed, what was saved.
static INT_PTR WINAPI FakeDialog(HINSTANCE, LPCWSTR name, HWND owner, DLGPROC proc,
                                 LPARAM parameter)
{
    EXPECT_EQ(MAKEINTRESOURCEW(IDD_DOWNLOAD_PROGRESS), name);
    EXPECT_EQ(nullptr, owner);
    EXPECT_EQ(&ProgressDialogProc, proc);
    s_job = reinterpret_cast<ProgressDialog*>(parameter)->job;
    EXPECT_STREQ(kInstaller, s_job->installerPath);
    EXPECT_STREQ(kPartial, s_job->partialPath);
    EXPECT_TRUE(s_job->cancel);
    g_actions.push_back("dialog");
    s_job->worker = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // stands for the thread
    s_job->cancelledByUser = t.cancel;
    s_job->saved = t.saved;
    s_job->finished = !t.workerUnfinished;
    return t.shown;
}
static DWORD WINAPI FakeWait(HANDLE handle, DWORD timeout)
{
    EXPECT_EQ(s_job->worker, handle);
    EXPECT_EQ(INFINITE, timeout);
    t.cancelSetBeforeWait = WaitForSingleObject(s_job->cancel, 0) == WAIT_OBJECT_0;
    g_actions.push_back("wait for the worker");
    return WAIT_OBJECT_0;
}
static bool FakeLaunch(const WCHAR* file, const WCHAR* directory, const FileIdentity&)
{
    EXPECT_STREQ(kInstaller, file);
    EXPECT_STREQ(kFolder, directory);
    g_actions.push_back("start");
    return t.launches;
}
static const InstallPlatform kFakeInstall = {.CreateMutexW = FakeMutex,
                                             .GetLastError = FakeError,
                                             .PrepareStagingFolder = FakeStaging,
                                             .DialogBoxParamW = FakeDialog,
                                             .WaitForSingleObject = FakeWait,
                                             .MessageBoxW = fakeui::MessageBoxW,
                                             .ShellExecuteW = fakeui::ShellExecuteW,
                                             .StartInstaller = FakeLaunch};

TEST(RunInstallMode, StartsOnlyThisRunsWholeDownloadAfterTheWorkerHasEnded)
{
    const UINT style = MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND | MB_TOPMOST;
    fakeui::g_boxes = {{"failed", L"Corvid App",
                        L"There was a problem retrieving the App automatically.\n\nWould you like "
                        L"to download it through your Internet browser?",
                        style},
                       {"cancelled", L"Corvid App",
                        L"The automatic retrieving of the App was canceled.\n\nWould you like to "
                        L"download it through your Internet browser?",
                        style}};
    const std::string browser = "shell (null) " + fakeui::Narrow(kFullInstallerUrl);
    const std::string wait = "wait for the worker";
    struct Case {
        const char* label;
        DWORD mutexError;
        bool folder, cancel, saved, launches;
        INT_PTR shown;
        bool workerUnfinished;
        int answer;
        Actions actions;
    };
    // clang-format off
    const Case cases[] = {
        {"second launcher in install mode", ERROR_ALREADY_EXISTS, true, false, true, true, 0, false, IDYES, {}},
        {"mutex refused", ERROR_ACCESS_DENIED, true, false, true, true, 0, false, IDYES, {}},
        {"other mutex failure goes on", ERROR_INVALID_HANDLE, true, false, true, true, 0, false, IDYES, {"dialog", wait, "start"}},
        {"start refused, Yes", 0, true, false, true, false, 0, false, IDYES, {"dialog", wait, "start", "box failed", browser}},
        {"nothing saved (an earlier file is no download), No", 0, true, false, false, true, 0, false, IDNO, {"dialog", wait, "box failed"}},
        {"cancelled, Yes", 0, true, true, false, true, 0, false, IDYES, {"dialog", wait, "box cancelled", browser}},
        {"cancelled as the download completed: not started", 0, true, true, true, true, 0, false, 0, {"dialog", wait, "box cancelled"}},
        {"dialog could not be shown: the worker is stopped", 0, true, false, true, true, -1, true, IDNO, {"dialog", wait, "box failed"}},
        {"no staging folder", 0, false, false, true, true, 0, false, IDYES, {"box failed", browser}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        t = {c.mutexError, c.folder, c.cancel,           c.saved,
             c.launches,   c.shown,  c.workerUnfinished, false};
        fakeui::g_answers = {{"failed", c.answer}, {"cancelled", c.answer}};
        g_actions.clear();
        RunInstallModeOn(kFakeInstall);
        EXPECT_EQ(c.actions, g_actions);
        EXPECT_EQ(c.workerUnfinished, t.cancelSetBeforeWait);
    }
}
