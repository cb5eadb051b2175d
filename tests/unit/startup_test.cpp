// Start-up's decision: where the App is found, the mode chosen, the
// self-launch guard and what the App is started as. (The gates' and the
// modes' hand-overs run end to end.)
#include "launcher/startup.h"

#include <gtest/gtest.h>

#include <string>

TEST(Startup, ChoosesTheModeAndTheApp)
{
    const std::wstring launcher = L"C:\\Apps\\Corvid\\RookMini.exe";
    const std::wstring beside = L"C:\\Apps\\Corvid\\CorvidApp.exe";
    const std::wstring above = L"C:\\Apps\\Corvid\\..\\CorvidApp.exe";
    // A launcher folder of 246 characters fits the buffer but leaves no room
    // for "\CorvidApp.exe" after it.
    const std::wstring longFolder = L"C:\\" + std::wstring(243, L'd');
    struct Case {
        const char* label;
        std::wstring modulePath;
        const wchar_t* tail;
        bool beside, above;
        StartupMode mode;
        std::wstring app, folder;
        bool self;
    };
    // clang-format off
    const Case cases[] = {
        {"App beside", launcher, L"/a \"b c\"", true, false, kStartupLaunch, beside, L"C:\\Apps\\Corvid", false},
        {"App only above: the path keeps \\..\\ and the folder is cut from it", launcher, L"", false, true,
         kStartupLaunch, above, L"C:\\Apps\\Corvid\\..", false},
        {"App in both places: the one beside wins", launcher, L"", true, true, kStartupLaunch, beside, L"C:\\Apps\\Corvid", false},
        {"no App anywhere: install mode", launcher, L"", false, false, kStartupInstall, above, L"", false},
        {"switch in small letters: install mode", launcher, L"/doupdate", true, false, kStartupInstall, beside, L"", false},
        {"switch glued into another argument: install mode", launcher, L"-x/DOUPDATEy", true, false, kStartupInstall, beside, L"", false},
        {"a near miss of the switch is passed through", launcher, L"/Do-Update", true, false, kStartupLaunch, beside, L"C:\\Apps\\Corvid", false},
        {"launcher is the App in other letter case: nothing started", L"C:\\Apps\\Corvid\\corvidapp.EXE", L"", true, false,
         kStartupLaunch, beside, L"C:\\Apps\\Corvid", true},
        {"module path without a backslash is kept whole as the folder", L"RookMini.exe", L"", true, false,
         kStartupLaunch, L"RookMini.exe\\CorvidApp.exe", L"RookMini.exe", false},
        {"App's path too long for the buffer: install mode", longFolder + L"\\RookMini.exe", L"", true, true,
         kStartupInstall, L"", L"", false},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        WCHAR placeBeside[MAX_PATH], placeAbove[MAX_PATH];
        ASSERT_TRUE(FindAppPlaces(c.modulePath.c_str(), placeBeside, placeAbove));
        StartupPlan plan;
        PlanStartup(c.modulePath.c_str(), c.tail, placeBeside, placeAbove, c.beside, c.above,
                    &plan);
        EXPECT_EQ(c.mode, plan.mode);
        EXPECT_EQ(c.app, plan.appPath);
        EXPECT_EQ(c.folder, plan.appFolder);
        EXPECT_EQ(c.self, plan.selfLaunch);
    }
    // A launcher whose own path is unknown has no places to look in: it ends.
    WCHAR placeBeside[MAX_PATH], placeAbove[MAX_PATH];
    EXPECT_FALSE(FindAppPlaces(L"", placeBeside, placeAbove));
}
