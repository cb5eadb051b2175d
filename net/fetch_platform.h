// The platform seam of FetchUrl: the WinINet calls, the debugger output, the
// log and the heap functions that the fetch uses, so that tests can answer
// every call (a read that fails at the n-th call, an allocation that fails)
// and see every line written.
#pragma once

#include "net/fetch.h"

#include <wininet.h>

#include <stddef.h>

// The largest request of one read, the first block without a Content-Length,
// and the room kept free for the next read while the body grows.
const DWORD kReadChunk = 32700;

struct FetchPlatform {
    HINTERNET(WINAPI* InternetOpenW)(LPCWSTR agent, DWORD access, LPCWSTR proxy,
                                     LPCWSTR bypass, DWORD flags);
    BOOL(WINAPI* InternetCanonicalizeUrlW)(LPCWSTR url, LPWSTR buffer, LPDWORD length,
                                           DWORD flags);
    HINTERNET(WINAPI* InternetOpenUrlW)(HINTERNET internet, LPCWSTR url, LPCWSTR headers,
                                        DWORD headersLength, DWORD flags, DWORD_PTR context);
    BOOL(WINAPI* HttpQueryInfoW)(HINTERNET request, DWORD level, LPVOID buffer,
                                 LPDWORD length, LPDWORD index);
    BOOL(WINAPI* InternetReadFile)(HINTERNET file, LPVOID buffer, DWORD toRead, LPDWORD read);
    BOOL(WINAPI* InternetCloseHandle)(HINTERNET handle);
    void(WINAPI* OutputDebugStringW)(LPCWSTR text);
    void (*DebugLog)(const WCHAR* format, ...);
    void* (*malloc)(size_t size);
    void* (*realloc)(void* block, size_t size);
    void (*free)(void* block);
};

extern const FetchPlatform kWin32Fetch;

bool FetchUrlOn(const FetchPlatform& os, const WCHAR* url, BYTE** body, DWORD* length,
                FetchProgressCallback progress);

// Growth of the body block when the response has no Content-Length. The
// block is grown only when less than one full read of room is left, and then
// by half its size (at least enough for the next full read), so the number of
// copies stays logarithmic in the body size. Answers the size to grow to,
// blockSize itself when no growth is needed, or 0 when the size needed does
// not fit in 32 bits.
DWORD GrownBlockSize(DWORD blockSize, DWORD received);

// The size to shrink the block to once the body is complete: at most one read
// of room past the body. blockSize itself when it is already that small.
DWORD FinalBlockSize(DWORD blockSize, DWORD received);
