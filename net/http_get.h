// One HTTP GET through WinINet, read piece by piece: shared by the manifest
// fetch, which keeps the body in memory, and the installer download, which
// streams it into a file. The GET never blocks inside WinINet: every
// operation is waited for together with an optional cancel event, for at
// most the silence limit, and never past an optional deadline.
#pragma once

#include "base/rookmini.h"

#include <wininet.h>

// How long a host may stay silent before the GET gives up on it.
const DWORD kSilenceLimit = 30000;

// The largest piece one read hands over.
const DWORD kReadPiece = 65536;

// Response headers longer than this count as absent.
const DWORD kHeaderChars = 128;

// How one step of a GET ended.
enum HttpStep {
    kHttpData,       // a piece of the body arrived
    kHttpEnded,      // the body has ended (complete, or cut short: compare the count)
    kHttpFailed,     // WinINet reported an error
    kHttpCancelled,  // the cancel event was set
    kHttpSilent,     // the host was silent for the whole silence limit
    kHttpLate,       // the deadline has passed
};

// What the response said about itself.
struct HttpResponse {
    DWORD status;                      // 0 when it could not be read
    bool hasLength;                    // a Content-Length of 1 to 4 GiB - 1
    DWORD length;                      // that Content-Length
    WCHAR etag[kHeaderChars];          // empty when absent
    WCHAR lastModified[kHeaderChars];  // likewise
    WCHAR contentRange[kHeaderChars];  // likewise
};

struct WinInetShared;  // what WinINet's status callback shares with the GET

struct HttpGet {
    // Set by the caller before OpenHttpGet.
    HANDLE cancel;     // optional manual-reset event that stops the GET
    DWORD silence;     // the silence limit in milliseconds
    bool hasDeadline;  // whether the GET must end by the deadline
    DWORD deadline;    // a GetTickCount value
    // Kept by the GET.
    HINTERNET internet;
    HINTERNET request;
    WinInetShared* call;
    bool pending;    // an operation was abandoned: WinINet may still write
    DWORD received;  // body bytes handed over so far
    HttpResponse response;
};

// A GET with the silence limit, no cancel event and no deadline.
void InitHttpGet(HttpGet* get);

// Opens the request with extra headers (null for none) and reads the
// response's headers. kHttpData when a response arrived (any status);
// otherwise the request could not be made and the line for it is written:
// "Internet Unavailable", "Failed expanding URL" or "Failed opening URL".
HttpStep OpenHttpGet(HttpGet* get, const WCHAR* url, const WCHAR* headers);

// Reads the next piece of the body: what has arrived, or, when nothing has,
// waits for it. kHttpData hands over *data and *count (valid until the next
// call); kHttpEnded when the body has ended or reached its Content-Length.
HttpStep ReadHttpGet(HttpGet* get, const BYTE** data, DWORD* count);

// Closes the request and the Internet handle. The state a pending
// operation may still write to is released once WinINet has said that the
// request is closing, or otherwise left allocated for the life of the process.
void CloseHttpGet(HttpGet* get);

// Reads the decimal number at the start of a header value; answers where it
// stops, or null when there are no digits or the number needs more than 32
// bits.
const WCHAR* ReadHeaderNumber(const WCHAR* text, DWORD* value);

// Reads a Content-Length header value: decimal digits only, 1 to 4 GiB - 1.
// False for anything else (absent, 0, too large, not a number).
bool ParseContentLength(const WCHAR* text, DWORD* length);

// The lines that the manifest fetch and the installer download share: why a
// step ended (Cancel, silence, the deadline), a failed download (its first
// line "Download failed." unless another is given, then that nothing was
// downloaded), an empty body, and a body cut short of its Content-Length.
void LogStepEnd(HttpStep step);
void LogDownloadFailed(const WCHAR* first = nullptr);
void LogEmptyBody();
void LogShortBody();

// Writes the line for a response whose status is not the one wanted, naming
// the two built-in resources by what they are and any other URL by itself.
void LogBadStatus(const WCHAR* url, DWORD status);
