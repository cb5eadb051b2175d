// Starts one program as its child and watches it to its end:
//   watch CAPTION STOP FOLDER COMMANDLINE
// CAPTION names a window of the child ("" for none). A window of the child
// captioned STOP ("" for none), a question that nobody will answer, ends it
// at once ("stopped"). Prints one JSON line: whether the start worked, the
// child's exit code, its wall time from the start to its end, when the
// window appeared and went, and the child's
// private bytes (PROCESS_MEMORY_COUNTERS.PagefileUsage): when the window
// appeared ("base"; the first sample when there is no window), their highest
// value while it was shown ("peak_shown") and from its appearance to the
// end ("peak").
// The counters are sampled about every millisecond: Wine reports the current
// value as the peak. The windows are looked for every 10 ms only: each look
// is a few round trips to the Wine server, which the child's own calls wait
// behind, and a yardstick without a window is not looked at at all. Built
// for x64 only: a 64-bit process reads a 32-bit one's counters too.
#include <windows.h>
#include <psapi.h>

#include <stdio.h>

static unsigned long long PrivateBytes(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS counters;
    ZeroMemory(&counters, sizeof(counters));
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(process, &counters, sizeof(counters)))
        return 0;
    return counters.PagefileUsage;
}

// The child's visible top-level window with that caption, or null.
static HWND ShownWindow(const wchar_t* caption, DWORD pid)
{
    HWND window = FindWindowW(nullptr, caption);
    DWORD owner = 0;
    if (window)
        GetWindowThreadProcessId(window, &owner);
    return window && owner == pid && IsWindowVisible(window) ? window : nullptr;
}

static double Since(const LARGE_INTEGER& start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return double(now.QuadPart - start.QuadPart) / double(frequency.QuadPart);
}

enum Phase { kBefore, kShown, kAfter };  // waiting for the window; watching it go; after

// Ends the child at a question nobody will answer, and notes when the
// watched window appears and goes.
static void LookAtWindows(const wchar_t* caption, const wchar_t* stop,
                          const PROCESS_INFORMATION& child, const LARGE_INTEGER& start,
                          Phase& phase, HWND& window, double& shown, double& gone, bool& stopped)
{
    if (stop && !stopped && ShownWindow(stop, child.dwProcessId)) {
        TerminateProcess(child.hProcess, 1);
        stopped = true;
    }
    if (phase == kBefore && (window = ShownWindow(caption, child.dwProcessId)) != nullptr) {
        shown = Since(start);
        phase = kShown;
    } else if (phase == kShown && window && !(IsWindow(window) && IsWindowVisible(window))) {
        gone = Since(start);
        phase = kAfter;
    }
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: watch CAPTION STOP FOLDER COMMANDLINE\n");
        return 2;
    }
    const wchar_t* caption = argv[1][0] ? argv[1] : nullptr;
    const wchar_t* stop = argv[2][0] ? argv[2] : nullptr;
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child;
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(nullptr, argv[4], nullptr, nullptr, FALSE, 0, nullptr, argv[3], &startup,
                        &child)) {
        printf("{\"ok\": false, \"error\": %lu}\n", GetLastError());
        return 1;
    }
    CloseHandle(child.hThread);

    Phase phase = caption ? kBefore : kShown;
    HWND window = nullptr;
    double shown = -1, gone = -1;
    unsigned long long base = 0, peakShown = 0, peak = 0;
    bool stopped = false;
    for (unsigned sample = 0; WaitForSingleObject(child.hProcess, 1) == WAIT_TIMEOUT; ++sample) {
        unsigned long long bytes = PrivateBytes(child.hProcess);
        if (sample % 10 == 0)
            LookAtWindows(caption, stop, child, start, phase, window, shown, gone, stopped);
        if (phase == kBefore || bytes == 0)
            continue;
        if (base == 0)
            base = bytes;
        if (phase == kShown && bytes > peakShown)
            peakShown = bytes;
        if (bytes > peak)
            peak = bytes;
    }
    double seconds = Since(start);
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hProcess);
    printf("{\"ok\": true, \"exit\": %lu, \"stopped\": %s, \"seconds\": %.6f, "
           "\"shown\": %.6f, \"gone\": %.6f, \"base\": %llu, \"peak_shown\": %llu, "
           "\"peak\": %llu}\n",
           code, stopped ? "true" : "false", seconds, shown, gone, base, peakShown, peak);
    return 0;
}
