// LaunchProgram: when elevation is asked for, what the shell is handed, and
// how its answer is read.
#include "base/acts.h"

#include <gtest/gtest.h>

#include "support/recorded_acts.h"

TEST(LaunchProgram, AsksForElevationFromWindows6On)
{
    struct Case {
        const char* label;
        bool elevate;
        DWORD major;
        const WCHAR* verb;
    };
    // clang-format off
    const Case cases[] = {
        {"elevated on Windows 6", true, 6, L"runas"},
        {"elevation dropped below Windows 6", true, 5, nullptr},
        {"elevation dropped when the version cannot be read", true, 0, nullptr},
        {"not elevated", false, 10, nullptr},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const WCHAR* verb = ShellVerb(c.elevate, c.major);
        EXPECT_STREQ(c.verb, verb);
    }
}

TEST(LaunchProgram, HandsTheStartToTheShellAndReadsItsAnswer)
{
    struct Case {
        const char* label;
        bool elevate;
        INT_PTR answer;
        bool started;
    };
    // clang-format off
    const Case cases[] = {
        {"elevated, on this Windows 6 or later", true, 42, true},
        {"shell answer 32 is a failure", false, 32, false},
        {"shell answer 33 is a success", false, 33, true},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        RecordedActs acts;
        acts.shellResult = c.answer;
        EXPECT_EQ(c.started, LaunchProgram(c.elevate, L"C:\\x\\setup.exe", L"C:\\x", L"/q"));
        ASSERT_EQ(1u, acts.starts.size());
        const ShellStart& s = acts.starts[0];
        EXPECT_EQ(c.elevate ? L"runas" : L"", s.verb);
        EXPECT_EQ(L"C:\\x\\setup.exe", s.file);
        EXPECT_EQ(L"C:\\x", s.directory);
        EXPECT_EQ(L"/q", s.parameters);
        EXPECT_EQ(SW_SHOWNORMAL, s.show);
    }
}
