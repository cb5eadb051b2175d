// Measures one fetch in this process and prints it as one JSON line:
//   fetch_bench fetch URL             the launcher's own FetchUrl
//   fetch_bench reference URL SIZE    a bare loop through the same WinINet
//                                     calls, SIZE bytes allocated up front
// Private memory is reported three ways: before the fetch (baseline), what
// GetProcessMemoryInfo calls the peak at the end, and the highest current
// value seen by a thread that samples it every millisecond (Wine reports the
// current value as the peak, so only the sampled one is a true peak there).
#include "net/fetch.h"

#include <psapi.h>
#include <wininet.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <atomic>

static std::atomic<bool> s_done(false);
static std::atomic<unsigned long long> s_sampledPeak(0);

static PROCESS_MEMORY_COUNTERS Memory()
{
    PROCESS_MEMORY_COUNTERS counters;
    ZeroMemory(&counters, sizeof(counters));
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return counters;
}

static DWORD WINAPI Sampler(LPVOID)
{
    while (!s_done.load()) {
        unsigned long long now = Memory().PagefileUsage;
        if (now > s_sampledPeak.load())
            s_sampledPeak.store(now);
        Sleep(1);
    }
    return 0;
}

// The reference: the fetch's WinINet calls without its bookkeeping. The
// block is handed back so that it is released after the measurement.
static bool ReferenceFetch(const WCHAR* url, DWORD size, BYTE** block, DWORD* received)
{
    *received = 0;
    *block = nullptr;
    HINTERNET internet =
        InternetOpenW(L"RookMini/1.0", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (!internet)
        return false;
    bool ok = false;
    HINTERNET request = InternetOpenUrlW(internet, url, nullptr, 0, 0x84402810, 0);
    *block = static_cast<BYTE*>(malloc(size));
    if (request && *block) {
        DWORD status = 0, length = sizeof(status);
        HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length,
                       nullptr);
        ok = status == 200;
        while (ok) {
            DWORD want = size - *received < 32700 ? size - *received : 32700;
            DWORD read = 0;
            if (!InternetReadFile(request, *block + *received, want, &read)) {
                ok = false;
                break;
            }
            if (read == 0)
                break;
            *received += read;
        }
    }
    if (request)
        InternetCloseHandle(request);
    InternetCloseHandle(internet);
    return ok;
}

int wmain(int argc, wchar_t** argv)
{
    bool reference = argc == 4 && wcscmp(argv[1], L"reference") == 0;
    if (!(argc == 3 && wcscmp(argv[1], L"fetch") == 0) && !reference) {
        fprintf(stderr, "usage: fetch_bench fetch URL | reference URL SIZE\n");
        return 2;
    }
    unsigned long long baseline = Memory().PagefileUsage;
    s_sampledPeak.store(baseline);
    HANDLE sampler = CreateThread(nullptr, 0, Sampler, nullptr, 0, nullptr);

    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    BYTE* body = nullptr;
    DWORD received = 0;
    bool ok = reference ? ReferenceFetch(argv[2], wcstoul(argv[3], nullptr, 10), &body, &received)
                        : FetchUrl(argv[2], &body, &received, GetTickCount() + 600000);
    QueryPerformanceCounter(&end);
    unsigned long long reported = Memory().PeakPagefileUsage;
    s_done.store(true);
    WaitForSingleObject(sampler, INFINITE);
    free(body);

    printf("{\"mode\": \"%s\", \"ok\": %s, \"bytes\": %lu, \"seconds\": %.6f, "
           "\"baseline\": %llu, \"reported_peak\": %llu, \"sampled_peak\": %llu}\n",
           reference ? "reference" : "fetch", ok ? "true" : "false",
           static_cast<unsigned long>(received),
           double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart), baseline, reported,
           s_sampledPeak.load());
    return ok ? 0 : 1;
}
