// The .NET Framework gate: which setup-key readings show a framework, and
// where each Windows version leads, warnings and their answers included (by
// table); then the gate itself, reading values written under the real key
// paths, on this process's Windows (Wine's Windows 7: DISM).
#include "checks/dotnet_decision.h"
#include "checks/dotnet_gate.h"

#include <gtest/gtest.h>

#include "support/recorded_acts.h"
#include "support/scratch_machine.h"

#include <string>
#include <vector>

namespace {

const long long kUnread = -1;

DotNetReadings Keys(long long install20, long long sp20, long long install4)
{
    DotNetReadings r = {};
    r.net20InstallRead = install20 != kUnread;
    r.net20Install = DWORD(install20);
    r.net20SpRead = sp20 != kUnread;
    r.net20Sp = DWORD(sp20);
    r.net4InstallRead = install4 != kUnread;
    r.net4Install = DWORD(install4);
    return r;
}

DotNetReadings On(DWORD major, DWORD minor, WORD sp, bool net20 = false)
{
    DotNetReadings r = Keys(net20 ? 1 : kUnread, net20 ? 0 : kUnread, kUnread);
    r.versionRead = true;
    r.major = major;
    r.minor = minor;
    r.servicePack = sp;
    return r;
}

// A box or a start as one line, "(none)" for nothing.
std::wstring Line(const wchar_t* text, const wchar_t* caption = L"", UINT style = 0)
{
    return text ? std::wstring(caption) + L" | " + std::to_wstring(style) + L" | " + text
                : L"(none)";
}
std::wstring Line(const ShellStart& s)
{
    return s.verb + L" | " + s.file + L" | " + s.parameters + L" | " + s.directory + L" | " +
           std::to_wstring(s.show);
}

// The texts of the gate, each written out once.
const wchar_t kRequested[] = L"Installation of the .NET Framework has been requested.\n"
                             L"Please press OK to continue once the install completes.";
const wchar_t kPage40[] = L"http://www.microsoft.com/download/en/details.aspx?id=17113";
const wchar_t kNotice40[] =
    L"Your browser has been opened to the .NET Framework 4.0 Client Profile download page.\n"
    L"Please download and install dotNetFx40_Client_setup.exe and any updates mentioned on the "
    L"download page, then press OK to continue.";
const wchar_t kPage35[] = L"http://www.microsoft.com/download/en/details.aspx?id=22";
const wchar_t kNotice35[] =
    L"Your browser has been opened to the .NET Framework 3.5 SP1 download page.\n"
    L"Please download and install dotnetfx35setup.exe and any updates mentioned on the download "
    L"page, then press OK to continue.";
const wchar_t kPage20[] = L"http://www.microsoft.com/download/en/details.aspx?id=1639";
const wchar_t kNotice20[] =
    L"Your browser has been opened to the .NET Framework 2.0 SP2 download page.\n"
    L"Please download and install NetFx20SP2_x86.exe and any updates mentioned on the download "
    L"page, then press OK to continue.";
const std::wstring kWindows2000 = Line(
    L"Please install Windows 2000 Service Pack 3 and .NET 2.0 before installing this application.",
    L"Unsupported Operating System", MB_YESNO | MB_ICONWARNING);
const std::wstring kUnsupported =
    Line(L"Operating systems before Windows XP are not supported. Do you wish to continue?",
         L"Unsupported Operating System", MB_YESNO | MB_ICONWARNING);

// Which answers to a warning go on: Yes, No, a failed box.
struct Goes {
    bool yes, no, failed;
};
const Goes kNoWarning = {true, true, true};
const Goes kOnlyNoStops = {true, false, true};
const Goes kNeverGoesOn = {false, false, false};

struct Way {
    std::wstring warning;
    Goes goes;
    DotNetRoute route;
    bool lookForFondue;
    const wchar_t* page;
    const wchar_t* notice;
};
const Way kNothing = {L"(none)", kNoWarning, kDotNetNothing, false, nullptr, nullptr};
const Way kDism = {L"(none)", kNoWarning, kDotNetFeatureInstall, false, nullptr, kRequested};
const Way kFondueOrDism = {L"(none)", kNoWarning, kDotNetFeatureInstall, true, nullptr, kRequested};
const Way kWindows2000Stop = {kWindows2000, kNeverGoesOn, kDotNetNothing, false, nullptr, nullptr};
Way Page(const wchar_t* page, const wchar_t* notice)
{
    return {L"(none)", kNoWarning, kDotNetDownloadPage, false, page, notice};
}
Way Warned(const wchar_t* page, const wchar_t* notice)
{
    return {kUnsupported, kOnlyNoStops, kDotNetDownloadPage, false, page, notice};
}

}  // namespace

TEST(DotNetDecision, FindsAFrameworkInTheSetupKeys)
{
    struct Case {
        const char* label;
        DotNetReadings readings;
        bool found;
    };
    // clang-format off
    const Case cases[] = {
        {"2.0 with SP 1", Keys(1, 1, kUnread), true},
        {"2.0 with SP 0xFFFFFFFF (unsigned)", Keys(1, 0xFFFFFFFF, kUnread), true},
        {"2.0 with SP 0 hides a 4 Client Profile", Keys(1, 0, 1), false},
        {"2.0 without an SP value", Keys(1, kUnread, 1), false},
        {"no 2.0 Install, 4 Client", Keys(kUnread, kUnread, 1), true},
        {"a 2.0 Install of 2 is not 1, so 4 Client counts", Keys(2, kUnread, 1), true},
        {"4 Client Install of 2", Keys(0, kUnread, 2), false},
        {"nothing read", Keys(kUnread, kUnread, kUnread), false},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.found, FrameworkFound(c.readings));
    }
}

TEST(DotNetDecision, RoutesByWindowsVersion)
{
    DotNetReadings unread = On(6, 1, 1);
    unread.versionRead = false;
    struct Case {
        const char* label;
        DotNetReadings readings;
        Way way;
    };
    // clang-format off
    const Case cases[] = {
        {"version unreadable: nothing more", unread, kNothing},
        // The feature installer; Fondue.exe is looked for from 6.2 on.
        {"Windows 7: DISM", On(6, 1, 1), kDism},
        {"Vista SP1: DISM", On(6, 0, 1), kDism},
        {"6.2: Fondue when it is there", On(6, 2, 0), kFondueOrDism},
        {"10.0: Fondue when it is there", On(10, 0, 0), kFondueOrDism},
        {"major 0xFFFFFFFF is above 6 (unsigned)", On(0xFFFFFFFF, 0, 0), kFondueOrDism},
        // Warned about first.
        {"Vista SP0: the 3.5 SP1 page", On(6, 0, 0), Warned(kPage35, kNotice35)},
        {"Windows 2000 SP2: the notice, then stop", On(5, 0, 2), kWindows2000Stop},
        {"Windows 2000 SP3: the 2.0 SP2 page", On(5, 0, 3), Warned(kPage20, kNotice20)},
        {"NT 4.0 SP6: the 2.0 SP2 page", On(4, 0, 6), Warned(kPage20, kNotice20)},
        {"4.10 (Windows 98): the 2.0 SP2 page", On(4, 10, 0), Warned(kPage20, kNotice20)},
        {"3.0: the 2.0 SP2 page", On(3, 0, 0), Warned(kPage20, kNotice20)},
        // XP and Server 2003, and NT 3.51: no warning.
        {"XP SP3 without 2.0: the 4.0 Client Profile page", On(5, 1, 3), Page(kPage40, kNotice40)},
        {"XP SP3 with 2.0: the 3.5 SP1 page", On(5, 1, 3, true), Page(kPage35, kNotice35)},
        {"5.2 SP 0xFFFF (unsigned): the 4.0 Client Profile page", On(5, 2, 0xFFFF), Page(kPage40, kNotice40)},
        {"XP SP2: the 3.5 SP1 page", On(5, 1, 2), Page(kPage35, kNotice35)},
        {"XP SP1: the 2.0 SP2 page", On(5, 1, 1), Page(kPage20, kNotice20)},
        {"3.51: the 2.0 SP2 page", On(3, 51, 0), Page(kPage20, kNotice20)},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const DotNetVerdict v = RouteDotNet(c.readings);
        const DotNetBox* w = v.warning;
        EXPECT_EQ(c.way.warning, w ? Line(w->text, w->caption, w->style) : Line(nullptr));
        if (w) {
            EXPECT_EQ(c.way.goes.yes, AnswerGoesOn(*w, IDYES));
            EXPECT_EQ(c.way.goes.no, AnswerGoesOn(*w, IDNO));
            EXPECT_EQ(c.way.goes.failed, AnswerGoesOn(*w, 0));
        }
        EXPECT_EQ(c.way.route, v.route);
        EXPECT_EQ(c.way.lookForFondue, v.lookForFondue);
        EXPECT_EQ(Line(c.way.page), Line(v.page));
        EXPECT_EQ(Line(c.way.notice), Line(v.notice));
    }
}

TEST(DotNetGate, ReadsTheKeysAsksAndStartsTheFeatureInstaller)
{
    // Wine's Windows here is 7, where Fondue.exe is not looked for: the
    // Fondue route is a decision row, and a journey end to end.
    OSVERSIONINFOW version = {sizeof(version)};
    ASSERT_TRUE(GetVersionExW(&version));
    ASSERT_EQ(6u, version.dwMajorVersion);
    ASSERT_EQ(1u, version.dwMinorVersion);
    const wchar_t kNet20[] = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v2.0.50727";
    const wchar_t kNet4[] = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Client";
    const wchar_t kFondue[] = L"C:\\windows\\system32\\Fondue.exe";
    const wchar_t kQuestion[] =
        L"This application requires .NET Framework 2.0 SP1 or later, which could not be found on "
        L"your computer. Do you wish to install it?";
    const std::wstring asked = Line(kQuestion, L".NET Framework Upgrade Required", 0x24);
    const std::wstring requested = Line(kRequested, L".NET Framework Install", MB_OK);
    // Started in the system folder, which an elevated program searches for
    // DLLs instead of the launcher's folder.
    const std::wstring dism = L"runas | C:\\windows\\system32\\dism.exe | "
                              L"/online /enable-feature /featurename:NetFX3 | "
                              L"C:\\windows\\system32 | 1";
    struct Case {
        const char* label;
        std::vector<MachineValue> values;
        int answer;  // to the install question
        std::vector<std::wstring> questions;
        std::vector<std::wstring> starts;
    };
    // clang-format off
    const Case cases[] = {
        {"2.0 with SP 1: nothing shown", {Dword(kNet20, L"Install", 1), Dword(kNet20, L"SP", 1)}, IDYES, {}, {}},
        {"a 2.0 Install in 8 bytes does not fit and is not there, so a one-byte 4 Client 1 counts",
         {Binary(kNet20, L"Install", {1, 0, 0, 0, 0, 0, 0, 0}), Binary(kNet4, L"Install", {1})}, IDYES, {}, {}},
        {"2.0 without SP hides a 4 Client: asked; No",
         {Dword(kNet20, L"Install", 1), Dword(kNet20, L"SP", 0), Dword(kNet4, L"Install", 1)}, IDNO, {asked}, {}},
        {"4 Client Install as the text \"1\" reads as 0x31; the box fails: counts as No",
         {Text(kNet4, L"Install", L"1")}, 0, {asked}, {}},
        {"nothing, Yes: DISM from the system folder, on 7 even with Fondue.exe there",
         {NoValue(kNet20), NoValue(kNet4)}, IDYES, {asked, requested}, {dism}},
    };
    // clang-format on
    CloseHandle(CreateFileW(kFondue, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchMachine machine(c.values);
        RecordedActs acts;
        acts.answers[kQuestion] = c.answer;
        const HKEY next = NextKeyHandle();
        // This test program is 64-bit: switching WOW64 redirection off fails
        // here as on 32-bit Windows, and the gate goes on all the same.
        EXPECT_TRUE(CheckDotNetPrerequisite());
        EXPECT_EQ(next, NextKeyHandle()) << "a key left open";
        std::vector<std::wstring> questions, starts;
        for (const Question& q : acts.questions)
            questions.push_back(q.owned ? L"owned"
                                        : Line(q.text.c_str(), q.caption.c_str(), q.style));
        for (const ShellStart& s : acts.starts)
            starts.push_back(Line(s));
        EXPECT_EQ(c.questions, questions);
        EXPECT_EQ(c.starts, starts);
    }
    DeleteFileW(kFondue);
}
