// A stand-in for every program the launcher starts: the App, the downloaded
// installer, the browser, dism.exe and fondue.exe are copies of this one
// program under those names. Each start appends one JSON line to the file
// named by RIG_STANDIN_LOG: its exe name, full path, command-line tail,
// working folder, process id, the system tick count and the verb it was
// started with ("runas" when the shell's runas command for exe files added
// "/rig-verb=runas", else "").
// Names listed in RIG_STAY_UP (separated by ';') stay running for
// RIG_STAY_UP_MS milliseconds (default 60000) so that a test can see them
// ended from outside.
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <string>

#include "base/command_line.h"
#include "json_text.h"

namespace {

const WCHAR kVerbMark[] = L"/rig-verb=runas";

std::wstring Environment(const WCHAR* name)
{
    WCHAR value[4096];
    DWORD length = GetEnvironmentVariableW(name, value, 4096);
    if (length == 0 || length >= 4096)
        return std::wstring();
    return value;
}

bool Listed(const std::wstring& list, const std::wstring& name)
{
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(L';', start);
        if (end == std::wstring::npos)
            end = list.size();
        if (_wcsicmp(list.substr(start, end - start).c_str(), name.c_str()) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    WCHAR path[MAX_PATH * 4];
    path[0] = L'\0';
    GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    const WCHAR* slash = wcsrchr(path, L'\\');
    std::wstring name = slash ? slash + 1 : path;

    std::wstring tail = CommandLineTail(GetCommandLineW());
    std::wstring verb;
    if (tail.compare(0, wcslen(kVerbMark), kVerbMark) == 0) {
        verb = L"runas";
        tail.erase(0, wcslen(kVerbMark));
        if (!tail.empty() && tail[0] == L' ')
            tail.erase(0, 1);
    }

    WCHAR cwd[MAX_PATH * 4];
    cwd[0] = L'\0';
    GetCurrentDirectoryW(MAX_PATH * 4, cwd);

    std::string line =
        "{\"name\":" + Json(name) + ",\"path\":" + Json(path) + ",\"tail\":" + Json(tail) +
        ",\"cwd\":" + Json(cwd) + ",\"pid\":" + std::to_string(GetCurrentProcessId()) +
        ",\"verb\":" + Json(verb) + ",\"tick\":" + std::to_string(GetTickCount64()) + "}\n";

    std::wstring log = Environment(L"RIG_STANDIN_LOG");
    if (!log.empty()) {
        // One write per record, in append mode, so that stand-ins started at
        // the same time do not mix their lines.
        HANDLE file = INVALID_HANDLE_VALUE;
        for (int attempt = 0; attempt < 50 && file == INVALID_HANDLE_VALUE; ++attempt) {
            file = CreateFileW(log.c_str(), FILE_APPEND_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file == INVALID_HANDLE_VALUE)
                Sleep(20);
        }
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, line.data(), (DWORD)line.size(), &written, nullptr);
            CloseHandle(file);
        }
    }

    if (Listed(Environment(L"RIG_STAY_UP"), name)) {
        std::wstring ms = Environment(L"RIG_STAY_UP_MS");
        Sleep(ms.empty() ? 60000 : wcstoul(ms.c_str(), nullptr, 10));
    }
    return 0;
}
