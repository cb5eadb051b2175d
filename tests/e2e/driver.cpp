// The end-to-end test driver. It starts the launcher as a debuggee and writes
// what happens to a report file, one JSON object per line: debug-output lines,
// top-level windows with their controls (again whenever their texts change),
// actions taken on those windows, crashes, a time-out and the exit code. It
// also lists and ends processes by exe name, because the harness cannot see
// Windows processes from outside (Wine's tasklist prints nothing).
//
//   driver.exe run <config file>       start and watch the launcher
//   driver.exe ps <out file>           list running processes
//   driver.exe kill <out file> <name>… end every process with one of the names
//
// The config file is UTF-8, one key=value per line:
//   report=<path>  exe=<path>  cmdline=<full command line>  cwd=<folder>
//   timeout=<ms>   release=<path prefix for hold release files>
//   action=<caption filter>\t<press:Text|esc|close|sign_in:User:Password|none>
//          \t<delay ms>\t<hold 0|1>\t<control-text filter>
// Actions are applied in order, each to the next window that appears whose
// caption contains the caption filter and one of whose controls' texts
// contains the text filter (an empty filter matches any window).
#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>
#include "json_text.h"

namespace {

HANDLE g_report = INVALID_HANDLE_VALUE;

std::wstring Wide(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring out(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], size);
    return out;
}

// Every event carries "tick", the system's millisecond count when it was
// written, on the clock that the stand-ins' records use too.
void Emit(const std::string& line)
{
    std::string text =
        "{\"tick\":" + std::to_string(GetTickCount64()) + "," + line.substr(1) + "\n";
    DWORD written = 0;
    WriteFile(g_report, text.data(), (DWORD)text.size(), &written, nullptr);
    FlushFileBuffers(g_report);
}

bool OpenReport(const std::wstring& path)
{
    g_report = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                           nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return g_report != INVALID_HANDLE_VALUE;
}

std::wstring WindowText(HWND window)
{
    WCHAR text[4096];
    text[0] = L'\0';
    GetWindowTextW(window, text, 4096);
    return text;
}

std::wstring ClassOf(HWND window)
{
    WCHAR name[256];
    name[0] = L'\0';
    GetClassNameW(window, name, 256);
    return name;
}

std::wstring WithoutAmpersands(const std::wstring& text)
{
    std::wstring out;
    for (WCHAR c : text)
        if (c != L'&')
            out += c;
    return out;
}

// ---- Processes -------------------------------------------------------------

struct ProcessEntry {
    std::wstring name;
    DWORD pid;
};

std::vector<ProcessEntry> ListProcesses()
{
    std::vector<ProcessEntry> list;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return list;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry))
        list.push_back({entry.szExeFile, entry.th32ProcessID});
    CloseHandle(snapshot);
    return list;
}

int ListMode(const std::wstring& out)
{
    if (!OpenReport(out))
        return 2;
    for (const ProcessEntry& entry : ListProcesses())
        if (entry.pid != GetCurrentProcessId())
            Emit("{\"name\":" + Json(entry.name) + ",\"pid\":" + std::to_string(entry.pid) + "}");
    return 0;
}

int KillMode(const std::wstring& out, int count, wchar_t** names)
{
    if (!OpenReport(out))
        return 2;
    for (const ProcessEntry& entry : ListProcesses()) {
        for (int i = 0; i < count; ++i) {
            if (_wcsicmp(entry.name.c_str(), names[i]) != 0)
                continue;
            HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.pid);
            bool ended = process && TerminateProcess(process, 1);
            if (process) {
                WaitForSingleObject(process, 5000);
                CloseHandle(process);
            }
            Emit("{\"killed\":" + Json(entry.name) + ",\"pid\":" + std::to_string(entry.pid) +
                 ",\"ok\":" + (ended ? "true" : "false") + "}");
        }
    }
    return 0;
}

// ---- Watching the launcher -------------------------------------------------

struct Action {
    std::wstring filter;  // caption substring; empty matches any window
    std::wstring text;    // substring of some control's text; empty matches any
    std::wstring what;    // press:Text, esc, close, sign_in:User:Password or none
    DWORD delay;
    bool hold;
};

struct Config {
    std::wstring report, exe, cmdline, cwd, release;
    DWORD timeout = 30000;
    std::vector<Action> actions;
};

bool ReadConfig(const std::wstring& path, Config& config)
{
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (!file)
        return false;
    std::string all;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0)
        all.append(buffer, got);
    fclose(file);
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\n', start);
        if (end == std::string::npos)
            end = all.size();
        std::string line = all.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        std::string key = line.substr(0, equals);
        std::wstring value = Wide(line.substr(equals + 1));
        if (key == "report")
            config.report = value;
        else if (key == "exe")
            config.exe = value;
        else if (key == "cmdline")
            config.cmdline = value;
        else if (key == "cwd")
            config.cwd = value;
        else if (key == "release")
            config.release = value;
        else if (key == "timeout")
            config.timeout = wcstoul(value.c_str(), nullptr, 10);
        else if (key == "action") {
            Action action;
            std::vector<std::wstring> fields;
            size_t from = 0;
            for (;;) {
                size_t tab = value.find(L'\t', from);
                fields.push_back(value.substr(from, tab == std::wstring::npos ? std::wstring::npos
                                                                              : tab - from));
                if (tab == std::wstring::npos)
                    break;
                from = tab + 1;
            }
            fields.resize(5);
            action.filter = fields[0];
            action.what = fields[1].empty() ? L"none" : fields[1];
            action.delay = wcstoul(fields[2].c_str(), nullptr, 10);
            action.hold = fields[3] == L"1";
            action.text = fields[4];
            config.actions.push_back(action);
        }
    }
    return !config.report.empty() && !config.cmdline.empty();
}

struct Seen {
    HWND window;
    bool reported;
    bool present;        // found in the latest poll
    std::wstring texts;  // the caption and the controls' texts last reported
};

struct EnumState {
    DWORD pid;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM param)
{
    EnumState* state = reinterpret_cast<EnumState*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == state->pid && IsWindowVisible(window))
        state->found.push_back(window);
    return TRUE;
}

BOOL CALLBACK CollectChildren(HWND window, LPARAM param)
{
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    return TRUE;
}

std::string Handle(HWND window)
{
    return std::to_string((unsigned long long)(ULONG_PTR)window);
}

// The caption and the controls' texts, for noticing a change.
std::wstring Texts(HWND window)
{
    std::wstring texts = WindowText(window);
    std::vector<HWND> children;
    EnumChildWindows(window, CollectChildren, reinterpret_cast<LPARAM>(&children));
    for (HWND child : children)
        texts += L'\n' + WindowText(child);
    return texts;
}

// Reports a window as event "window" or "window_changed"; answers the texts
// reported, as Texts() gives them.
std::wstring ReportWindow(HWND window, const char* event)
{
    RECT rect = {};
    GetWindowRect(window, &rect);
    std::wstring texts = WindowText(window);
    std::string line = std::string("{\"event\":\"") + event + "\",\"hwnd\":" + Handle(window) +
                       ",\"caption\":" + Json(texts) + ",\"class\":" + Json(ClassOf(window)) +
                       ",\"rect\":[" + std::to_string(rect.left) + "," + std::to_string(rect.top) +
                       "," + std::to_string(rect.right) + "," + std::to_string(rect.bottom) +
                       "],\"controls\":[";
    std::vector<HWND> children;
    EnumChildWindows(window, CollectChildren, reinterpret_cast<LPARAM>(&children));
    for (size_t i = 0; i < children.size(); ++i) {
        HWND child = children[i];
        std::wstring text = WindowText(child);
        texts += L'\n' + text;
        if (i)
            line += ",";
        line += "{\"class\":" + Json(ClassOf(child)) +
                ",\"id\":" + std::to_string((int)GetDlgCtrlID(child)) + ",\"text\":" + Json(text) +
                ",\"style\":" + std::to_string((unsigned long)GetWindowLongW(child, GWL_STYLE)) +
                ",\"visible\":" + (IsWindowVisible(child) ? "true" : "false") + "}";
    }
    Emit(line + "]}");
    return texts;
}

// ---- Progress bars ---------------------------------------------------------

// A "progress" event whenever a progress bar of a reported window shows a new
// position or turns into a marquee or back: a picture of the window waits for
// its bar to have moved. The bar belongs to the debuggee, so it is asked with
// a time-out: a debuggee stopped at a debug event cannot answer.
struct BarSeen {
    HWND bar;
    long long pos;
    bool marquee;
};

std::vector<BarSeen> g_bars;

BOOL CALLBACK CollectBars(HWND window, LPARAM param)
{
    if (_wcsicmp(ClassOf(window).c_str(), PROGRESS_CLASSW) == 0)
        reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    return TRUE;
}

long long AskBar(HWND bar, UINT message, WPARAM wParam)
{
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(bar, message, wParam, 0, SMTO_ABORTIFHUNG, 100, &answer))
        return -1;
    return (long long)(int)answer;
}

void ReportProgress(HWND window)
{
    std::vector<HWND> bars;
    EnumChildWindows(window, CollectBars, reinterpret_cast<LPARAM>(&bars));
    for (HWND bar : bars) {
        long long pos = AskBar(bar, PBM_GETPOS, 0);
        if (pos < 0)
            continue;
        bool marquee = (GetWindowLongW(bar, GWL_STYLE) & PBS_MARQUEE) != 0;
        BarSeen* known = nullptr;
        for (BarSeen& b : g_bars)
            if (b.bar == bar)
                known = &b;
        if (known && known->pos == pos && known->marquee == marquee)
            continue;
        if (!known) {
            g_bars.push_back({bar, pos, marquee});
        } else {
            known->pos = pos;
            known->marquee = marquee;
        }
        Emit("{\"event\":\"progress\",\"hwnd\":" + Handle(window) + ",\"bar\":" + Handle(bar) +
             ",\"pos\":" + std::to_string(pos) + ",\"low\":" +
             std::to_string(AskBar(bar, PBM_GETRANGE, TRUE)) + ",\"high\":" +
             std::to_string(AskBar(bar, PBM_GETRANGE, FALSE)) +
             ",\"marquee\":" + (marquee ? "true" : "false") + "}");
    }
}

struct FindButton {
    std::wstring text;
    HWND found;
};

BOOL CALLBACK MatchButton(HWND window, LPARAM param)
{
    FindButton* find = reinterpret_cast<FindButton*>(param);
    if (_wcsicmp(ClassOf(window).c_str(), L"Button") == 0 &&
        _wcsicmp(WithoutAmpersands(WindowText(window)).c_str(), find->text.c_str()) == 0) {
        find->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK CollectEdits(HWND window, LPARAM param)
{
    if (_wcsicmp(ClassOf(window).c_str(), L"Edit") == 0)
        reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    return TRUE;
}

// WM_SETTEXT to a window of the debuggee, which may be stopped at a debug
// event that only this thread can continue: a plain SendMessage could wait
// for ever, so the send gives up soon and the caller tries again later.
bool SetText(HWND window, const std::wstring& text)
{
    DWORD_PTR answer = 0;
    return SendMessageTimeoutW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                               SMTO_ABORTIFHUNG, 250, &answer) &&
           answer;
}

enum Outcome { kFailed, kDone, kTryAgain };

Outcome Posted(bool ok)
{
    return ok ? kDone : kFailed;
}

// Fills a sign-in prompt: the user name into the first plain edit field,
// the password into the ES_PASSWORD one. what is "sign_in:User:Password"
// (a user name holds no colon).
Outcome FillSignIn(HWND window, const std::wstring& what)
{
    size_t colon = what.find(L':', 8);
    if (colon == std::wstring::npos)
        return kFailed;
    std::vector<HWND> edits;
    EnumChildWindows(window, CollectEdits, reinterpret_cast<LPARAM>(&edits));
    HWND user = nullptr, password = nullptr;
    for (HWND edit : edits) {
        HWND& slot = (GetWindowLongW(edit, GWL_STYLE) & ES_PASSWORD) ? password : user;
        if (!slot)
            slot = edit;
    }
    if (!user || !password)
        return kFailed;
    if (!SetText(user, what.substr(8, colon - 8)) || !SetText(password, what.substr(colon + 1)))
        return IsWindow(window) ? kTryAgain : kFailed;
    return kDone;
}

Outcome Perform(HWND window, const std::wstring& what)
{
    if (what == L"none")
        return kDone;
    if (what.compare(0, 8, L"sign_in:") == 0) {
        Outcome filled = FillSignIn(window, what);
        return filled == kDone ? Perform(window, L"press:OK") : filled;
    }
    if (what == L"close")
        return Posted(PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0));
    if (what == L"esc") {
        // To the focused control of the window's thread, as a real key would
        // go, so that the dialog manager turns it into IDCANCEL.
        GUITHREADINFO info = {};
        info.cbSize = sizeof(info);
        HWND target = window;
        if (GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) && info.hwndFocus)
            target = info.hwndFocus;
        return Posted(PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, 0x00010001) &&
                      PostMessageW(target, WM_KEYUP, VK_ESCAPE, (LPARAM)0xC0010001u));
    }
    if (what.compare(0, 6, L"press:") == 0) {
        FindButton find = {what.substr(6), nullptr};
        EnumChildWindows(window, MatchButton, reinterpret_cast<LPARAM>(&find));
        if (!find.found)
            return kFailed;
        int id = GetDlgCtrlID(find.found);
        return Posted(PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                                   reinterpret_cast<LPARAM>(find.found)));
    }
    return kFailed;
}

BOOL CALLBACK MatchText(HWND window, LPARAM param)
{
    std::pair<const std::wstring*, bool>* find =
        reinterpret_cast<std::pair<const std::wstring*, bool>*>(param);
    if (WindowText(window).find(*find->first) != std::wstring::npos) {
        find->second = true;
        return FALSE;
    }
    return TRUE;
}

bool Matches(HWND window, const Action& action)
{
    if (WindowText(window).find(action.filter) == std::wstring::npos)
        return false;
    if (action.text.empty())
        return true;
    std::pair<const std::wstring*, bool> find(&action.text, false);
    EnumChildWindows(window, MatchText, reinterpret_cast<LPARAM>(&find));
    return find.second;
}

enum ActionState { kWaiting, kHolding, kDelaying };

int RunMode(const std::wstring& configPath)
{
    Config config;
    if (!ReadConfig(configPath, config))
        return 2;
    if (!OpenReport(config.report))
        return 2;

    std::vector<WCHAR> cmdline(config.cmdline.begin(), config.cmdline.end());
    cmdline.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(config.exe.empty() ? nullptr : config.exe.c_str(), cmdline.data(), nullptr,
                        nullptr, TRUE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                        config.cwd.empty() ? nullptr : config.cwd.c_str(), &startup, &info)) {
        Emit("{\"event\":\"error\",\"text\":\"CreateProcessW failed\",\"code\":" +
             std::to_string(GetLastError()) + "}");
        return 1;
    }
    Emit("{\"event\":\"start\",\"pid\":" + std::to_string(info.dwProcessId) + "}");

    std::vector<Seen> seen;
    size_t next = 0;  // the action waiting for its window
    ActionState state = kWaiting;
    HWND bound = nullptr;
    DWORD since = 0;
    int tries = 0;  // of an action that asked to be tried again
    int holdIndex = 0;
    std::wstring releaseFile;
    DWORD started = GetTickCount();
    bool timedOut = false;
    DWORD killedAt = 0;

    for (;;) {
        DEBUG_EVENT event;
        if (WaitForDebugEvent(&event, 50)) {
            DWORD status = DBG_CONTINUE;
            switch (event.dwDebugEventCode) {
            case OUTPUT_DEBUG_STRING_EVENT: {
                const OUTPUT_DEBUG_STRING_INFO& out = event.u.DebugString;
                DWORD units = out.nDebugStringLength;
                std::wstring text;
                if (out.fUnicode) {
                    std::vector<WCHAR> buffer(units + 1, L'\0');
                    SIZE_T got = 0;
                    ReadProcessMemory(info.hProcess, out.lpDebugStringData, buffer.data(),
                                      units * sizeof(WCHAR), &got);
                    text.assign(buffer.data(), got / sizeof(WCHAR));
                } else {
                    std::vector<char> buffer(units + 1, '\0');
                    SIZE_T got = 0;
                    ReadProcessMemory(info.hProcess, out.lpDebugStringData, buffer.data(), units,
                                      &got);
                    int size = MultiByteToWideChar(CP_ACP, 0, buffer.data(), (int)got, nullptr, 0);
                    text.assign(size, L'\0');
                    if (size)
                        MultiByteToWideChar(CP_ACP, 0, buffer.data(), (int)got, &text[0], size);
                }
                // The length counts the terminator; drop it and anything after.
                size_t nul = text.find(L'\0');
                if (nul != std::wstring::npos)
                    text.resize(nul);
                Emit("{\"event\":\"debug\",\"text\":" + Json(text) + "}");
                break;
            }
            case EXCEPTION_DEBUG_EVENT: {
                const EXCEPTION_DEBUG_INFO& ex = event.u.Exception;
                DWORD code = ex.ExceptionRecord.ExceptionCode;
                if (ex.dwFirstChance) {
                    // The loader's breakpoint is ours to swallow; everything
                    // else goes back to the program's own handlers.
                    if (code != EXCEPTION_BREAKPOINT && code != 0x4000001F /* WX86 breakpoint */)
                        status = DBG_EXCEPTION_NOT_HANDLED;
                } else {
                    char buffer[96];
                    snprintf(buffer, sizeof(buffer),
                             "{\"event\":\"crash\",\"code\":%lu,\"address\":%llu}",
                             (unsigned long)code,
                             (unsigned long long)(ULONG_PTR)ex.ExceptionRecord.ExceptionAddress);
                    Emit(buffer);
                    status = DBG_EXCEPTION_NOT_HANDLED;
                }
                break;
            }
            case CREATE_PROCESS_DEBUG_EVENT:
                if (event.dwProcessId != info.dwProcessId)
                    Emit("{\"event\":\"note\",\"text\":\"other debuggee\",\"pid\":" +
                         std::to_string(event.dwProcessId) + "}");
                if (event.u.CreateProcessInfo.hFile)
                    CloseHandle(event.u.CreateProcessInfo.hFile);
                break;
            case LOAD_DLL_DEBUG_EVENT:
                if (event.u.LoadDll.hFile)
                    CloseHandle(event.u.LoadDll.hFile);
                break;
            case EXIT_PROCESS_DEBUG_EVENT:
                if (event.dwProcessId == info.dwProcessId) {
                    Emit("{\"event\":\"exit\",\"code\":" +
                         std::to_string(event.u.ExitProcess.dwExitCode) + "}");
                    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
                    CloseHandle(info.hThread);
                    CloseHandle(info.hProcess);
                    return 0;
                }
                break;
            }
            ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
        }

        DWORD now = GetTickCount();
        if (!timedOut && now - started > config.timeout) {
            timedOut = true;
            killedAt = now;
            Emit("{\"event\":\"timeout\"}");
            TerminateProcess(info.hProcess, 0xDEAD);
        }
        if (timedOut) {
            if (now - killedAt > 10000) {
                Emit("{\"event\":\"error\",\"text\":\"no exit after termination\"}");
                return 1;
            }
            continue;
        }

        // Windows: a new one is reported on the poll after it was first
        // seen, so that its texts are set; a reported one again whenever
        // its texts change.
        EnumState found = {info.dwProcessId, {}};
        EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&found));
        for (Seen& s : seen)
            s.present = false;
        for (HWND window : found.found) {
            bool known = false;
            for (Seen& s : seen) {
                if (s.window != window)
                    continue;
                known = true;
                s.present = true;
                if (s.reported) {
                    if (Texts(window) != s.texts)
                        s.texts = ReportWindow(window, "window_changed");
                } else {
                    s.reported = true;
                    s.texts = ReportWindow(window, "window");
                    if (state == kWaiting && next < config.actions.size() && !bound &&
                        Matches(window, config.actions[next])) {
                        bound = window;
                        since = GetTickCount();
                        if (config.actions[next].hold) {
                            state = kHolding;
                            releaseFile = config.release + std::to_wstring(holdIndex);
                            Emit("{\"event\":\"hold\",\"index\":" + std::to_string(holdIndex) +
                                 ",\"hwnd\":" + Handle(window) + "}");
                            ++holdIndex;
                        } else {
                            state = kDelaying;
                        }
                    }
                }
            }
            if (!known)
                seen.push_back({window, false, true, std::wstring()});
        }
        for (size_t i = 0; i < seen.size();) {
            if (!seen[i].present) {
                if (seen[i].reported)
                    Emit("{\"event\":\"window_gone\",\"hwnd\":" + Handle(seen[i].window) + "}");
                if (seen[i].window == bound) {
                    // The window went before its action was done.
                    Emit("{\"event\":\"action\",\"do\":" + Json(config.actions[next].what) +
                         ",\"ok\":false,\"why\":\"window gone\"}");
                    bound = nullptr;
                    state = kWaiting;
                    tries = 0;
                    ++next;
                }
                seen.erase(seen.begin() + i);
            } else {
                ++i;
            }
        }

        for (const Seen& s : seen)
            if (s.reported)
                ReportProgress(s.window);

        if (bound && state == kHolding &&
            GetFileAttributesW(releaseFile.c_str()) != INVALID_FILE_ATTRIBUTES) {
            state = kDelaying;
            since = GetTickCount();
        }
        if (bound && state == kDelaying && GetTickCount() - since >= config.actions[next].delay) {
            Outcome outcome = Perform(bound, config.actions[next].what);
            if (outcome == kTryAgain && ++tries < 40)
                continue;  // after the next debug event or 50 ms
            bool ok = outcome == kDone;
            tries = 0;
            Emit("{\"event\":\"action\",\"hwnd\":" + Handle(bound) + ",\"do\":" +
                 Json(config.actions[next].what) + ",\"ok\":" + (ok ? "true" : "false") + "}");
            bound = nullptr;
            state = kWaiting;
            ++next;
        }
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 3 && wcscmp(argv[1], L"run") == 0)
        return RunMode(argv[2]);
    if (argc >= 3 && wcscmp(argv[1], L"ps") == 0)
        return ListMode(argv[2]);
    if (argc >= 4 && wcscmp(argv[1], L"kill") == 0)
        return KillMode(argv[2], argc - 3, argv + 3);
    fwprintf(stderr, L"usage: driver run <config> | ps <out> | kill <out> <name>...\n");
    return 2;
}
