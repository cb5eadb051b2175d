// The update gate: number conversion, the INI build, whether the INI file's
// chain is trusted, the manifest parser and the verdict by table; then the
// probe against a scratch registry and a real INI file, and the whole gate
// with Wine's real WinINet against a loopback manifest host, its shell
// starts and question recorded.
#include "launcher/update_gate.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include "support/debug_lines.h"
#include "support/loopback_server.h"
#include "support/owners.h"
#include "support/recorded_acts.h"
#include "support/scratch_machine.h"

#include <string.h>

#include <string>
#include <vector>

using loopback::Reply;

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
        Lines lines;
    };
    // clang-format off
    const Case cases[] = {
        {"key, number, full stop", "Minimum Supported Meridian Version: 46.", 46,
         {"RookMini: Minimum version '46'"}},
        {"surrounded by other text",
         "Latest: 50.\r\nMinimum Supported Meridian Version: 46. See notes.\r\n", 46,
         {"RookMini: Minimum version '46'"}},
        {"first occurrence wins",
         "Minimum Supported Meridian Version: 40.Minimum Supported Meridian Version: 50.", 40,
         {"RookMini: Minimum version '40'"}},
        {"full stop far after the number", "Minimum Supported Meridian Version: 46 build x.",
         46, {"RookMini: Minimum version '46'"}},
        {"key missing", "Nothing here.", 0,
         {"RookMini: Could not parse version string. 'Nothing here.'"}},
        {"key in other case", "minimum supported meridian version: 46.", 0,
         {"RookMini: Could not parse version string. "
          "'minimum supported meridian version: 46.'"}},
        {"key without its blank", "Minimum Supported Meridian Version:46.", 0,
         {"RookMini: Could not parse version string. "
          "'Minimum Supported Meridian Version:46.'"}},
        {"no full stop after the key", "Version 1.0 Minimum Supported Meridian Version: 46", 0,
         {"RookMini: Could not parse version string (2). "
          "'Version 1.0 Minimum Supported Meridian Version: 46'"}},
        {"number text 0: no diagnostic", "Minimum Supported Meridian Version: 0.", 0, {}},
        {"number text starting with a letter", "Minimum Supported Meridian Version: x9.", 0,
         {"RookMini: Minimum version '0'"}},
        {"wider than 32 bits", "Minimum Supported Meridian Version: 123456789012.", 2147483647,
         {"RookMini: Minimum version '2147483647'"}},
        {"negative minimum", "Minimum Supported Meridian Version: -5.", -5,
         {"RookMini: Minimum version '-5'"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        DebugLines lines;
        std::string text = c.text;
        EXPECT_EQ(c.minimum, ParseManifestMinimum(&text[0]));
        EXPECT_EQ(c.lines, lines.Lines());
    }
}

TEST(UpdateGate, Verdict)
{
    struct Case {
        const char* label;
        int installed, minimum;
        DWORD start, now;
        UpdateDecision decision;
        DWORD wait;
    };
    // clang-format off
    const Case cases[] = {
        {"below the minimum, 120 ms after the start: wait out half a second", 45, 46, 1000, 1120, kUpdateRequired, 380},
        {"500 ms already passed: no wait", 45, 46, 1000, 1500, kUpdateRequired, 0},
        {"tick count wrapped: 356 ms passed", 45, 46, 0xFFFFFF00u, 0x64, kUpdateRequired, 144},
        {"verdict exactly 30 s after the start: still acted on", 45, 46, 1000, 31000, kUpdateRequired, 0},
        {"verdict later than 30 s: the App is left running", 45, 46, 1000, 31001, kUpdateTooLate, 0},
        {"late verdict across a tick-count wrap", 45, 46, 0xFFFFFF00u, 40000, kUpdateTooLate, 0},
        {"at the minimum", 46, 46, 1000, 1120, kNoUpdate, 0},
        {"nothing installed, a minimum of 46", 0, 46, 1000, 1120, kUpdateRequired, 380},
        {"no minimum read", 45, 0, 1000, 1120, kNoUpdate, 0},
        {"beta below the minimum", -1, 46, 1000, 1120, kBetaInstalled, 0},
        {"beta and no minimum read", -1, 0, 1000, 1120, kBetaInstalled, 0},
        {"a minimum beyond any build", 2147483646, 2147483647, 1000, 1120, kUpdateRequired, 380},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        UpdateVerdict verdict = DecideUpdate(c.installed, c.minimum, c.start, c.now);
        EXPECT_EQ(c.decision, verdict.decision);
        EXPECT_EQ(c.wait, verdict.wait);
    }
}

namespace {

const wchar_t kRegistryKey[] = L"SOFTWARE\\Ironbark\\ComponentManager";

std::wstring IniPath()
{
    WCHAR folder[MAX_PATH];
    SHGetSpecialFolderPathW(nullptr, folder, CSIDL_COMMON_APPDATA, TRUE);
    return std::wstring(folder) + L"\\Ironbark\\Meridian\\InstalledXML\\meridian_main.ini";
}

// The platform client's INI file, written for the test and removed again;
// "<folder>" puts a folder in its place.
struct Ini {
    explicit Ini(const wchar_t* version)
    {
        if (!version)
            return;
        std::wstring path = IniPath();
        for (size_t at = path.find(L'\\', 3); at != std::wstring::npos;
             at = path.find(L'\\', at + 1))
            CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
        if (wcscmp(version, L"<folder>") == 0)
            CreateDirectoryW(path.c_str(), nullptr);
        else
            WritePrivateProfileStringW(L"ApplicationInformation", L"Version", version,
                                       path.c_str());
    }
    ~Ini()
    {
        DeleteFileW(IniPath().c_str());
        RemoveDirectoryW(IniPath().c_str());
    }
};

}  // namespace

TEST(UpdateGate, TheIniFileCountsOnlyWhenItsChainIsTrusted)
{
    PrivateSecurity security;
    ASSERT_TRUE(BuildPrivateSecurity(&security, kUser));
    const DWORD folder = FILE_ATTRIBUTE_DIRECTORY, file = FILE_ATTRIBUTE_ARCHIVE;
    const DWORD link = FILE_ATTRIBUTE_REPARSE_POINT;
    auto level = [](DWORD attributes, PSID owner, DWORD held = 0) {
        return Facts(attributes, attributes != INVALID_FILE_ATTRIBUTES, held ? held : attributes,
                     owner);
    };
    struct Case {
        const char* label;
        int changed;       // the level read otherwise
        LevelFacts facts;  // how it was read
        IniChain chain;
    };
    // clang-format off
    const Case cases[] = {
        {"every level the Administrators'", 0, level(folder, kAdministrators), kIniTrusted},
        {"the file the user's own", 3, level(file, kUser), kIniTrusted},
        {"a folder missing", 1, level(INVALID_FILE_ATTRIBUTES, nullptr), kIniAbsent},
        {"the file missing", 3, level(INVALID_FILE_ATTRIBUTES, nullptr), kIniAbsent},
        {"a folder another user made", 0, level(folder, kStranger), kIniUntrusted},
        {"the file another user made", 3, level(file, kStranger), kIniUntrusted},
        {"a folder owned by nobody known", 2, level(folder, nullptr), kIniUntrusted},
        {"a folder that is a link", 1, level(folder | link, kAdministrators), kIniUntrusted},
        {"a folder that is a link, as its handle shows", 1, level(folder, kAdministrators, folder | link), kIniUntrusted},
        {"the file a link", 3, level(file | link, kAdministrators), kIniUntrusted},
        {"a folder where the file should be", 3, level(folder, kAdministrators), kIniUntrusted},
        {"a file where a folder should be", 2, level(file, kAdministrators), kIniUntrusted},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        LevelFacts levels[kIniLevels] = {
            level(folder, kAdministrators), level(folder, kAdministrators),
            level(folder, kAdministrators), level(file, kAdministrators)};
        levels[c.changed] = c.facts;
        EXPECT_EQ(c.chain, JudgeIniChain(levels, security));
    }
}

TEST(UpdateGate, ProbeReadsTheRegistryThenTheIniFile)
{
    const std::wstring path = IniPath();
    struct Case {
        const char* label;
        bool key;
        const DWORD* value;  // the registry value, when present
        const wchar_t* ini;  // the INI version, when there is a file
        int version;
        Lines lines;
    };
    const DWORD zero = 0, fifty = 50, beta = static_cast<DWORD>(-1);
    // clang-format off
    const Case cases[] = {
        {"registry 0 wins over the INI file", true, &zero, L"1.2.3.45", 0, {"RookMini: Version 0 (Registry)"}},
        {"registry build", true, &fifty, nullptr, 50, {"RookMini: Version 50 (Registry)"}},
        {"registry beta", true, &beta, nullptr, -1, {"RookMini: Version -1 (Registry)"}},
        {"value absent: INI 1.2.3.45", true, nullptr, L"1.2.3.45", 45, {"RookMini: Version 45 (Ini)"}},
        {"key absent: INI without a full stop", false, nullptr, L"45", 45, {"RookMini: Version 45 (Ini)"}},
        {"INI last part not a number", false, nullptr, L"1.2.x", 0, {"RookMini: Version 0 (Ini)"}},
        {"nothing installed", false, nullptr, nullptr, 0, {}},
        {"a folder where the INI file should be: not trusted", false, nullptr, L"<folder>", 0,
         {"RookMini: Version file not trusted, ignored: " + std::string(path.begin(), path.end())}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<MachineValue> values;
        if (c.value)
            values.push_back(Dword(kRegistryKey, L"MeridianVersion", *c.value));
        else if (c.key)
            values.push_back(NoValue(kRegistryKey));
        ScratchMachine machine(values);
        Ini ini(c.ini);
        DebugLines lines;
        EXPECT_EQ(c.version, ProbeInstalledVersion());
        EXPECT_EQ(c.lines, lines.Lines());
    }
}

TEST(UpdateGate, EndsTheAppAndAsksOnlyWhenTheInstallationIsTooOld)
{
    const std::wstring question =
        L"A Corvid App update is required.\n\nWould you like to get this update now?";
    const std::string manifest = "Corvid App\r\nMinimum Supported Meridian Version: 46.\r\n";
    struct Case {
        const char* label;
        DWORD installed;
        Reply reply;
        int answer;
        bool asked, browser;
        Lines lines;
    };
    // clang-format off
    const Case cases[] = {
        {"too old, Yes: the App ended, the update page opened", 45, Reply{.body = manifest}, IDYES, true, true,
         {"RookMini: Version 45 (Registry)", "RookMini: Minimum version '46'"}},
        {"too old, No: the App is ended all the same", 45, Reply{.body = manifest}, IDNO, true, false,
         {"RookMini: Version 45 (Registry)", "RookMini: Minimum version '46'"}},
        {"up to date", 46, Reply{.body = manifest}, IDYES, false, false,
         {"RookMini: Version 46 (Registry)", "RookMini: Minimum version '46'"}},
        {"beta", static_cast<DWORD>(-1), Reply{.body = manifest}, IDYES, false, false,
         {"RookMini: Version -1 (Registry)", "RookMini: Minimum version '46'", "RookMini: Using Beta of the Corvid App"}},
        {"no manifest: no update", 45, Reply{.status = 404}, IDYES, false, false,
         {"RookMini: Version 45 (Registry)", "RookMini: 404 Not Found - Version Info"}},
        {"a zero byte inside the body ends the text", 45,
         Reply{.body = std::string("Minimum Supported Meridian Version: 46\0.", 40)}, IDYES, false, false,
         {"RookMini: Version 45 (Registry)",
          "RookMini: Could not parse version string (2). 'Minimum Supported Meridian Version: 46'"}},
    };
    // clang-format on
    WCHAR windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring taskKill = std::wstring(windows) + L"\\system32\\taskkill.exe";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ScratchMachine machine({Dword(kRegistryKey, L"MeridianVersion", c.installed)});
        loopback::Server server;
        server.BecomeProxy();
        server.Serve("/update/meridian_version.txt", {c.reply});
        RecordedActs acts;
        acts.answers[question] = c.answer;
        DWORD firstStart = 0;
        acts.onStart = [&](const ShellStart&) {
            if (!firstStart)
                firstStart = GetTickCount();
        };
        DebugLines lines;
        DWORD start = GetTickCount();
        RunUpdateGate(start);
        EXPECT_EQ(c.lines, lines.Lines());

        std::vector<ShellStart> expected;
        if (c.asked) {
            for (const wchar_t* image : {L"CorvidApp.exe", L"CorvidNow.exe", L"RookNative.exe"})
                expected.push_back({L"", taskKill, std::wstring(L"/f /im ") + image, L"", SW_HIDE});
            EXPECT_GE(firstStart - start, 400u);  // the App had about half a second first
        }
        if (c.browser)
            expected.push_back({L"", kUpdatePageUrl, L"", L"", SW_SHOWNORMAL});
        ASSERT_EQ(expected.size(), acts.starts.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(expected[i].verb, acts.starts[i].verb);
            EXPECT_EQ(expected[i].file, acts.starts[i].file);
            EXPECT_EQ(expected[i].parameters, acts.starts[i].parameters);
            EXPECT_EQ(expected[i].directory, acts.starts[i].directory);
            EXPECT_EQ(expected[i].show, acts.starts[i].show);
        }
        ASSERT_EQ(c.asked ? 1u : 0u, acts.questions.size());
        if (c.asked) {
            EXPECT_EQ(question, acts.questions[0].text);
            EXPECT_EQ(L"Corvid App", acts.questions[0].caption);
            EXPECT_EQ(static_cast<UINT>(MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND | MB_TOPMOST),
                      acts.questions[0].style);
            EXPECT_FALSE(acts.questions[0].owned);
        }
    }
}
