// The platform seam of FetchUrl: loading WinINet, its calls, the wait for an
// operation, the debugger output, the log and the heap functions, so that
// tests can answer every call (a read that fails or stalls at the n-th call,
// an allocation that fails, a cancel while a read is pending) and see every
// line written.
#pragma once

#include "net/fetch.h"

#include <wininet.h>

#include <stddef.h>

// The largest request of one read, the first block without a Content-Length,
// and the room kept free for the next read while the body grows.
const DWORD kReadChunk = 32700;

// How long the host may stay silent: the connect, send and receive time-outs
// given to WinINet, and the longest wait for any one operation.
const DWORD kSilenceLimit = 30000;

// How long a closed request may take to tell that no callback follows.
const DWORD kCloseWait = 250;

// RELOAD | NO_CACHE_WRITE | KEEP_CONNECTION | IGNORE_CERT_DATE_INVALID |
// RESYNCHRONIZE | NEED_FILE; redirects stay automatic.
const DWORD kOpenFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                         INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID |
                         INTERNET_FLAG_RESYNCHRONIZE | INTERNET_FLAG_NEED_FILE;
static_assert(kOpenFlags == 0x84402810, "the fetch's open flags");

// The WinINet calls, looked up in the system's wininet.dll when first needed.
struct WinInetApi {
    decltype(&::InternetOpenW) InternetOpenW;
    decltype(&::InternetSetOptionW) InternetSetOptionW;
    decltype(&::InternetSetStatusCallbackW) InternetSetStatusCallbackW;
    decltype(&::InternetCanonicalizeUrlW) InternetCanonicalizeUrlW;
    decltype(&::InternetOpenUrlW) InternetOpenUrlW;
    decltype(&::HttpQueryInfoW) HttpQueryInfoW;
    decltype(&::InternetQueryDataAvailable) InternetQueryDataAvailable;
    decltype(&::InternetReadFile) InternetReadFile;
    decltype(&::InternetReadFileExA) InternetReadFileExA;
    decltype(&::InternetCloseHandle) InternetCloseHandle;
};

struct FetchPlatform {
    // Fills the table from the system's WinINet; false when the library or
    // any of its functions cannot be had.
    bool (*LoadWinInet)(WinInetApi* api);
    decltype(&::WaitForMultipleObjects) WaitForMultipleObjects;
    decltype(&::GetLastError) GetLastError;
    decltype(&::OutputDebugStringW) OutputDebugStringW;
    void (*DebugLog)(const WCHAR* format, ...);
    void* (*malloc)(size_t size);
    void* (*realloc)(void* block, size_t size);
    void (*free)(void* block);
};

extern const FetchPlatform kWin32Fetch;

bool FetchUrlOn(const FetchPlatform& os, const WCHAR* url, BYTE** body, DWORD* length,
                FetchProgressCallback progress, void* context, HANDLE cancel);

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
