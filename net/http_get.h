// One HTTP GET through WinINet, read piece by piece: shared by the manifest
// fetch, which keeps the body in memory, and the installer download, which
// streams it into a file. The GET never blocks inside WinINet: every
// operation is waited for together with an optional cancel event, for at
// most the silence limit, and never past an optional deadline. It follows
// redirects itself, only to hosts on the Internet, and keeps no cookies.
#pragma once

#include "base/rookmini.h"

#include <wininet.h>

// How long a host may stay silent before the GET gives up on it.
const DWORD kSilenceLimit = 30000;

// The largest piece one read hands over.
const DWORD kReadPiece = 65536;

// Response headers longer than this count as absent.
const DWORD kHeaderChars = 128;

// The longest URL a GET takes, in characters, the terminator included.
const DWORD kUrlChars = 2048;

// Redirects followed in one GET; one more is refused.
const int kMaxRedirects = 5;

// How one step of a GET ended.
enum HttpStep {
    kHttpData,       // a piece of the body arrived
    kHttpEnded,      // the body has ended (complete, or cut short: compare the count)
    kHttpFailed,     // WinINet reported an error
    kHttpCancelled,  // the cancel event was set
    kHttpSilent,     // the host was silent for the whole silence limit
    kHttpLate,       // the deadline has passed
    kHttpRefused,    // a redirect the GET may not follow (its line is written)
};

// What the response said about itself.
struct HttpResponse {
    DWORD status;                      // 0 when it could not be read
    bool hasLength;                    // a Content-Length of 1 to 4 GiB - 1
    DWORD length;                      // that Content-Length
    WCHAR etag[kHeaderChars];          // empty when absent
    WCHAR lastModified[kHeaderChars];  // likewise
    WCHAR contentRange[kHeaderChars];  // likewise
    ULONGLONG lastModifiedTime;        // the Last-Modified date as a FILETIME, 0 when absent
    ULONGLONG dateTime;                // the response's Date likewise
    bool answerable;                   // a 407 whose challenge a sign-in can answer
};

// What WinINet's status callback shares with the GET for one request: its
// results, and where a pending read writes. A request may call back after it
// has been closed, even from one of WinINet's own threads, and more than one
// handle carries its context, so a record is never given back: each lives
// for the rest of the process.
struct WinInetShared;

struct HttpGet {
    // Set by the caller before OpenHttpGet.
    HINTERNET internet;  // optional session (OpenHttpSession); else the GET opens its own
    HANDLE cancel;       // optional manual-reset event that stops the GET
    DWORD silence;       // the silence limit in milliseconds
    bool hasDeadline;    // whether the GET must end by the deadline
    DWORD deadline;      // a GetTickCount value
    // Kept by the GET.
    const WCHAR* headers;  // extra headers of every request, or null
    WCHAR url[kUrlChars];  // the URL the request in use was made for
    bool ownsSession;      // the session is the GET's own, closed with it
    bool openPending;      // an open was given up while WinINet still works on it:
                           // its request and session are never closed
    HINTERNET request;
    WinInetShared* call;  // the record of the request in use
    BYTE* buffer;         // where reads write: made at the first, kept like a record
    DWORD received;       // body bytes handed over so far
    HttpResponse response;
};

// A WinINet session for GETs: the system's proxy settings, asynchronous,
// the silence limit as its time-outs, the GET's status callback. What the
// user gives a proxy's sign-in prompt lasts as long as the session, so a
// download of several tries keeps one. Null, with the line "Internet
// Unavailable" written, when it cannot be had.
HINTERNET OpenHttpSession(DWORD silence);
void CloseHttpSession(HINTERNET session);

// A GET with the silence limit, its own session, no cancel event and no
// deadline.
void InitHttpGet(HttpGet* get);

// Opens the request with extra headers (null for none), which every
// redirect keeps, and reads the response's headers. kHttpData when a
// response arrived (any status but a redirect that was followed); otherwise
// the request could not be made and the line for it is written: "Internet
// Unavailable", "Failed expanding URL", "Failed opening URL" or, for
// kHttpRefused, "Redirect refused".
HttpStep OpenHttpGet(HttpGet* get, const WCHAR* url, const WCHAR* headers);

// After the user signed in to the proxy on the response's 407 (see
// PromptProxySignIn), sends the same request again and reads the response,
// following redirects as OpenHttpGet does; the same steps and lines.
HttpStep ResendHttpGet(HttpGet* get);

// Shows Windows' own proxy sign-in prompt for a request answered 407, owned
// by the window, and keeps what the user gave in WinINet for this process.
// Answers ERROR_INTERNET_FORCE_RETRY when the request is to be sent again,
// ERROR_CANCELLED when the user cancelled, anything else when it cannot help.
DWORD PromptProxySignIn(HWND owner, HINTERNET request);

// Whether a sign-in can answer a proxy's challenge (its Proxy-Authenticate
// header): a scheme WinINet answers with a user name and password.
bool CanAnswerChallenge(const WCHAR* challenge);

// Whether the GET follows its redirect number `redirect` (from 1) to a URL
// of that scheme and host: only to http or https, only to a host name with a
// dot inside it (a name without one is an intranet host, which WinINet would
// sign in to with the user's Windows credentials), and at most kMaxRedirects.
bool MayFollowRedirect(int redirect, INTERNET_SCHEME scheme, const WCHAR* host);

// Reads the next piece of the body: what has arrived, or, when nothing has,
// waits for it. kHttpData hands over *data and *count (valid until the next
// call); kHttpEnded when the body has ended or reached its Content-Length.
HttpStep ReadHttpGet(HttpGet* get, const BYTE** data, DWORD* count);

// Closes the request, and the session when it is the GET's own. The records
// stay: WinINet may still call back into them. An open given up while
// pending is left alone, with its session (openPending tells the owner of a
// shared one): Wine's open task goes on with the request's handle value, not
// a reference, so closing the request or its session would free what the
// task still uses and hand its value to the next handle made.
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
