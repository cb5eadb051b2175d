// The update gate of launch mode: after the App has been started, reads the
// installed Meridian build (registry, else the platform client's INI file),
// fetches the minimum build from the version manifest and, when the
// installation is too old, ends the App's processes and offers the update
// page in the browser. Nothing is shown unless an update is required.
#include "launcher/update_gate.h"

#include "base/acts.h"
#include "net/fetch.h"

#include <shlobj.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static const WCHAR kRegistryKey[] = L"SOFTWARE\\Ironbark\\ComponentManager";
static const WCHAR kRegistryValue[] = L"MeridianVersion";
static const WCHAR* const kIniLevelNames[kIniLevels] = {L"\\Ironbark", L"\\Meridian",
                                                        L"\\InstalledXML", L"\\meridian_main.ini"};
static const char kManifestKey[] = "Minimum Supported Meridian Version: ";
static const WCHAR kTaskKill[] = L"\\system32\\taskkill.exe";
static const WCHAR* const kTaskKillParameters[] = {
    L"/f /im CorvidApp.exe",
    L"/f /im CorvidNow.exe",
    L"/f /im RookNative.exe",
};
static const DWORD kKillDelay = 500;  // milliseconds from the App's start

template <typename Char>
static int DecimalClampedOf(const Char* text)
{
    const Char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    // Accumulate up to one past the limit, then stop growing: the digits that
    // follow cannot bring the number back into range.
    const long long limit = negative ? 2147483648LL : 2147483647LL;
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > limit)
            value = limit;
    }
    return static_cast<int>(negative ? -value : value);
}

int DecimalClamped(const char* text)
{
    return DecimalClampedOf(text);
}

int DecimalClamped(const WCHAR* text)
{
    return DecimalClampedOf(text);
}

int BuildFromIniVersion(const WCHAR* version)
{
    const WCHAR* lastStop = wcsrchr(version, L'.');
    return DecimalClamped(lastStop ? lastStop + 1 : version);
}

int ParseManifestMinimum(char* text)
{
    char* key = strstr(text, kManifestKey);
    if (!key) {
        DebugLog(L"RookMini: Could not parse version string. '%S'", text);
        return 0;
    }
    char* number = key + strlen(kManifestKey);
    char* stop = strchr(number, '.');
    if (!stop) {
        DebugLog(L"RookMini: Could not parse version string (2). '%S'", text);
        return 0;
    }
    *stop = '\0';
    int minimum = DecimalClamped(number);
    if (minimum != 0 || number[0] != '0')
        DebugLog(L"RookMini: Minimum version '%i'", minimum);
    return minimum;
}

UpdateVerdict DecideUpdate(int installed, int minimum, DWORD startTick, DWORD now)
{
    UpdateVerdict verdict = {kNoUpdate, now - startTick, 0};
    if (installed >= minimum)
        return verdict;
    if (installed < 0) {
        verdict.decision = kBetaInstalled;
    } else if (verdict.elapsed > kLateVerdict) {
        verdict.decision = kUpdateTooLate;
    } else {
        // Give the App at least half a second between its start and the kill.
        verdict.decision = kUpdateRequired;
        verdict.wait = verdict.elapsed < kKillDelay ? kKillDelay - verdict.elapsed : 0;
    }
    return verdict;
}

IniChain JudgeIniChain(const LevelFacts (&levels)[kIniLevels], const PrivateSecurity& security)
{
    for (const LevelFacts& level : levels) {
        if (level.pathAttributes == INVALID_FILE_ATTRIBUTES)
            return kIniAbsent;
    }
    for (int i = 0; i < kIniLevels; ++i) {
        if (!IsTrustedLevel(levels[i], security, i < kIniLevels - 1))
            return kIniUntrusted;
    }
    return kIniTrusted;
}

// Reads the version from the platform client's INI file while its levels
// are held (so that none can be swapped between the check and the read),
// when the chain is trusted; leaves the value empty otherwise.
static void ReadIniVersion(WCHAR (&value)[200])
{
    WCHAR path[MAX_PATH] = L"";
    PrivateSecurity security;
    SHGetSpecialFolderPathW(nullptr, path, CSIDL_COMMON_APPDATA, TRUE);
    if (path[0] == L'\0' || !BuildUserSecurity(&security))
        return;
    LevelFacts levels[kIniLevels] = {};
    HANDLE held[kIniLevels];
    int opened = 0;
    for (; opened < kIniLevels && AppendPath(path, kIniLevelNames[opened]); ++opened)
        held[opened] = HoldLevel(path, 0, &levels[opened]);
    IniChain chain = opened == kIniLevels ? JudgeIniChain(levels, security) : kIniAbsent;
    if (chain == kIniTrusted)
        GetPrivateProfileStringW(L"ApplicationInformation", L"Version", L"", value, 200, path);
    else if (chain == kIniUntrusted)
        DebugLog(L"RookMini: Version file not trusted, ignored: %s", path);
    while (opened > 0) {
        if (held[--opened] != INVALID_HANDLE_VALUE)
            CloseHandle(held[opened]);
    }
}

int ProbeInstalledVersion()
{
    int version = kVersionNotRead;
    HKEY key = nullptr;
    // Opened or not is judged by the handle, not by the code returned.
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRegistryKey, 0, KEY_READ, &key);
    if (key) {
        DWORD size = sizeof(version);
        RegQueryValueExW(key, kRegistryValue, nullptr, nullptr, reinterpret_cast<LPBYTE>(&version),
                         &size);
        RegCloseKey(key);
    }
    if (version != kVersionNotRead) {
        DebugLog(L"RookMini: Version %i (Registry)", version);
        return version;
    }

    WCHAR value[200] = L"";
    ReadIniVersion(value);
    if (value[0] == L'\0')
        return 0;
    version = BuildFromIniVersion(value);
    DebugLog(L"RookMini: Version %i (Ini)", version);
    return version;
}

// Fetches the manifest and answers the minimum build it publishes, 0 when it
// was not fetched or not understood. A verdict later than kLateVerdict after
// the App's start would not be acted on, so the fetch ends by then.
static int FetchMinimum(DWORD startTick)
{
    BYTE* body = nullptr;
    DWORD length = 0;
    FetchUrl(kVersionManifestUrl, &body, &length, startTick + kLateVerdict);
    if (!body)
        return 0;
    int minimum = 0;
    // A terminated copy (the body is at most kFetchLimit bytes); a block of
    // length 0 is parsed as the empty text.
    char* text = static_cast<char*>(malloc(length + 2));
    if (text) {
        memcpy(text, body, length);
        text[length] = '\0';
        text[length + 1] = '\0';
        minimum = ParseManifestMinimum(text);
        free(text);
    }
    free(body);
    return minimum;
}

// Ends the App's processes and asks whether to open the update page.
static void OfferUpdate()
{

    WCHAR taskKill[MAX_PATH] = L"";
    UINT folderLength = GetWindowsDirectoryW(taskKill, MAX_PATH);
    if (folderLength >= MAX_PATH)
        taskKill[0] = L'\0';  // did not fit: nothing usable was written
    if (AppendPath(taskKill, kTaskKill)) {
        for (const WCHAR* parameters : kTaskKillParameters)
            g_shellExecute(nullptr, nullptr, taskKill, parameters, L"", SW_HIDE);
    }

    int answer = g_messageBox(
        nullptr, L"A Corvid App update is required.\n\nWould you like to get this update now?",
        L"Corvid App", MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND | MB_TOPMOST);
    if (answer == IDYES)
        g_shellExecute(nullptr, nullptr, kUpdatePageUrl, nullptr, nullptr, SW_SHOWNORMAL);
}

void RunUpdateGate(DWORD startTick)
{
    int installed = ProbeInstalledVersion();
    int minimum = FetchMinimum(startTick);
    UpdateVerdict verdict = DecideUpdate(installed, minimum, startTick, GetTickCount());
    switch (verdict.decision) {
    case kNoUpdate:
        break;
    case kBetaInstalled:
        DebugLog(L"RookMini: Using Beta of the Corvid App");
        break;
    case kUpdateRequired:
        Sleep(verdict.wait);
        OfferUpdate();
        break;
    case kUpdateTooLate:
        // Ending the App now could lose the user's work: the next start asks.
        DebugLog(L"RookMini: Update required, but found %u ms after the start; "
                 L"the App is left running.",
                 verdict.elapsed);
        break;
    }
}
