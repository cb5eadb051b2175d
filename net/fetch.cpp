// FetchUrl: one synchronous HTTP GET through WinINet, the whole body read
// into one heap block that is handed to the caller. It writes diagnostics to
// the debugger output, reports progress to an optional callback and stops
// when the progress dialog's Cancel has set the cancel flag.
#include "net/fetch_platform.h"

#include <stdlib.h>
#include <wchar.h>

static const WCHAR kUserAgent[] = L"RookMini/1.0";
static const DWORD kCanonicalLength = 2048;
// RELOAD | NO_CACHE_WRITE | KEEP_CONNECTION | IGNORE_CERT_DATE_INVALID |
// RESYNCHRONIZE | NEED_FILE; redirects stay automatic.
static const DWORD kOpenFlags = 0x84402810;
static const DWORD kStatusQuery = HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER;
static const DWORD kLengthQuery = HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER;

static const WCHAR kZeroBytesLine[] = L"RookMini: Download error, 0 bytes downloaded\n";

DWORD GrownBlockSize(DWORD blockSize, DWORD received)
{
    unsigned long long needed = static_cast<unsigned long long>(received) + kReadChunk;
    if (needed <= blockSize)
        return blockSize;
    unsigned long long grown = static_cast<unsigned long long>(blockSize) + blockSize / 2;
    if (grown < needed)
        grown = needed;
    if (grown > MAXDWORD)
        grown = MAXDWORD;  // the count is 32 bits wide; never ask for more
    if (grown < needed)
        return 0;
    return static_cast<DWORD>(grown);
}

DWORD FinalBlockSize(DWORD blockSize, DWORD received)
{
    unsigned long long enough = static_cast<unsigned long long>(received) + kReadChunk;
    return enough < blockSize ? static_cast<DWORD>(enough) : blockSize;
}

// Writes the line for a status other than 200, naming the two built-in
// resources by what they are and any other URL by itself.
static void LogBadStatus(const FetchPlatform& os, const WCHAR* url, DWORD status)
{
    bool installer = wcscmp(url, kFullInstallerUrl) == 0;
    bool manifest = !installer && wcscmp(url, kVersionManifestUrl) == 0;
    int code = static_cast<int>(status);
    if (status == 404) {
        if (installer)
            os.DebugLog(L"RookMini: 404 Not Found - Setup Exe");
        else if (manifest)
            os.DebugLog(L"RookMini: 404 Not Found - Version Info");
        else
            os.DebugLog(L"RookMini: 404 Not Found - %s", url);
    } else {
        if (installer)
            os.DebugLog(L"RookMini: Status was not 200 (Setup Exe). Status: %i", code);
        else if (manifest)
            os.DebugLog(L"RookMini: Status was not 200 (Version Info). Status: %i", code);
        else
            os.DebugLog(L"RookMini: Status was not 200 (%s). Status: %i", url, code);
    }
}

// Reads the body of an open 200 response into a new block. Answers the block
// (null when nothing is handed over) and the bytes received in it.
static BYTE* ReadBody(const FetchPlatform& os, HINTERNET request, DWORD contentLength,
                      FetchProgressCallback progress, DWORD* received)
{
    *received = 0;
    DWORD blockSize = contentLength ? contentLength : kReadChunk;
    BYTE* block = static_cast<BYTE*>(os.malloc(blockSize));
    if (!block) {
        os.OutputDebugStringW(L"RookMini: Download error, malloc failed.");
        os.OutputDebugStringW(kZeroBytesLine);
        return nullptr;
    }

    DWORD count = 0;
    bool failed = false;
    for (;;) {
        // Never past the end of the block: with a length the block is exactly
        // that long, without one the growth below keeps a full read of room.
        DWORD want = kReadChunk;
        if (contentLength && contentLength - count < want)
            want = contentLength - count;
        DWORD read = 0;
        if (!os.InternetReadFile(request, block + count, want, &read)) {
            failed = true;
            break;
        }
        if (read == 0)
            break;
        count += read;

        if (g_bCancel.load()) {
            os.OutputDebugStringW(L"RookMini: Download canceled.");
            g_bCancel.store(false);
            failed = true;
            break;
        }

        if (!contentLength) {
            DWORD grown = GrownBlockSize(blockSize, count);
            if (grown != blockSize) {
                BYTE* larger = grown ? static_cast<BYTE*>(os.realloc(block, grown)) : nullptr;
                if (!larger) {
                    os.DebugLog(L"RookMini: Download error, realloc to %i bytes failed.\n",
                                static_cast<int>(grown ? grown : count + kReadChunk));
                    os.free(block);
                    block = nullptr;
                    failed = true;
                    break;
                }
                block = larger;
                blockSize = grown;
            }
        } else if (progress) {
            progress(static_cast<int>(count), static_cast<int>(contentLength));
        }
    }

    if (failed) {
        os.OutputDebugStringW(L"RookMini: Download failed.");
        if (block)
            os.free(block);
        os.OutputDebugStringW(kZeroBytesLine);
        return nullptr;
    }

    if (count == 0) {
        os.OutputDebugStringW(L"RookMini: Download error, 0 bytes downloaded");
        os.OutputDebugStringW(kZeroBytesLine);
    } else if (contentLength && count != contentLength) {
        os.OutputDebugStringW(L"RookMini: Download error, final buffer size != content length");
        os.OutputDebugStringW(L"RookMini: Download error, final buffer size != content length\n");
    }

    // Give back the room the geometric growth left past the body. A failed
    // shrink leaves the larger block, which is still whole and valid. A block
    // sized by the Content-Length is handed over as it is.
    DWORD finalSize = contentLength ? blockSize : FinalBlockSize(blockSize, count);
    if (finalSize != blockSize) {
        BYTE* smaller = static_cast<BYTE*>(os.realloc(block, finalSize));
        if (smaller)
            block = smaller;
    }

    *received = count;
    return block;
}

bool FetchUrlOn(const FetchPlatform& os, const WCHAR* url, BYTE** body, DWORD* length,
                FetchProgressCallback progress)
{
    if (body)
        *body = nullptr;
    if (length)
        *length = 0;
    if (!body || !length)
        return false;

    HINTERNET internet = os.InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr,
                                          nullptr, 0);
    if (!internet) {
        os.OutputDebugStringW(L"RookMini: Internet Unavailable");
        return false;
    }

    // Only a check: the request is made with the URL as it was given.
    WCHAR canonical[kCanonicalLength];
    DWORD canonicalLength = kCanonicalLength;
    if (!os.InternetCanonicalizeUrlW(url, canonical, &canonicalLength, ICU_BROWSER_MODE)) {
        os.OutputDebugStringW(L"RookMini: Failed expanding URL");
        os.InternetCloseHandle(internet);
        return false;
    }

    HINTERNET request = os.InternetOpenUrlW(internet, url, nullptr, 0, kOpenFlags, 0);
    if (!request) {
        os.OutputDebugStringW(L"RookMini: Failed opening URL");
        os.InternetCloseHandle(internet);
        return false;
    }

    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!os.HttpQueryInfoW(request, kStatusQuery, &status, &size, nullptr))
        status = 0;
    if (status != 200) {
        LogBadStatus(os, url, status);
        os.InternetCloseHandle(request);
        os.InternetCloseHandle(internet);
        return false;
    }

    DWORD contentLength = 0;  // 0: no usable Content-Length
    size = sizeof(contentLength);
    if (!os.HttpQueryInfoW(request, kLengthQuery, &contentLength, &size, nullptr))
        contentLength = 0;
    if (progress && !contentLength)
        progress(-1, -1);

    DWORD received = 0;
    BYTE* block = ReadBody(os, request, contentLength, progress, &received);

    *body = block;
    *length = block ? received : 0;
    os.InternetCloseHandle(request);
    os.InternetCloseHandle(internet);
    return block != nullptr;
}

bool FetchUrl(const WCHAR* url, BYTE** body, DWORD* length, FetchProgressCallback progress)
{
    return FetchUrlOn(kWin32Fetch, url, body, length, progress);
}

const FetchPlatform kWin32Fetch = {
    ::InternetOpenW, ::InternetCanonicalizeUrlW, ::InternetOpenUrlW, ::HttpQueryInfoW,
    ::InternetReadFile, ::InternetCloseHandle, ::OutputDebugStringW, ::DebugLog,
    ::malloc, ::realloc, ::free,
};
