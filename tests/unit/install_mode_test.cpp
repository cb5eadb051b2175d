// Install mode's decision after the download, and the single-instance rule
// with real named mutexes. (Its journeys, from the dialog to the elevated
// installer or the question, run end to end.)
#include "launcher/install_mode.h"

#include <gtest/gtest.h>

#include <string>

TEST(InstallMode, StartsOnlyAWholeDownloadWithoutACancel)
{
    struct Case {
        const char* label;
        bool cancelled, saved;
        InstallStep step;
    };
    // clang-format off
    const Case cases[] = {
        {"saved whole", false, true, kStartInstaller},
        {"nothing saved (an earlier file is no download)", false, false, kAskAfterFailure},
        {"cancelled", true, false, kAskAfterCancel},
        {"cancelled as the download completed: not started", true, true, kAskAfterCancel},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.step, StepAfterDownload(c.cancelled, c.saved));
    }
}

TEST(InstallMode, OneLauncherPerModeAtATime)
{
    std::wstring name = L"RookMini-Test-" + std::to_wstring(GetCurrentProcessId());
    EXPECT_TRUE(TakeSingleInstance(name.c_str()));
    EXPECT_FALSE(TakeSingleInstance(name.c_str()));  // as a second launcher finds it
    EXPECT_TRUE(TakeSingleInstance((name + L"-other").c_str()));
}
