// The installer download's decisions about a connection that dropped: which
// validator a retry sends, how the answer to a retry is taken, whether and
// when to try again. Plain functions over what the responses said.
#pragma once

#include "net/http_get.h"

// Tries in all, the first included.
const int kDownloadTries = 5;

// How long before the response's Date a Last-Modified date must lie to be a
// strong validator: a resource changed within the same second as an earlier
// change would otherwise keep its date.
const ULONGLONG kStrongDateAge = 60ull * 10000000;  // 60 s in FILETIME units

// The validator a retry sends in If-Range: a strong ETag, else a strong
// Last-Modified date (kStrongDateAge or more before the response's Date);
// empty when the response had neither. A weak ETag ("W/...") or a weak date
// may not be used in If-Range.
void ChooseValidator(const HttpResponse& response, WCHAR (&validator)[kHeaderChars]);

// Reads "bytes first-last/total". False unless all three are numbers within
// 32 bits with first <= last < total.
bool ParseContentRange(const WCHAR* text, DWORD* first, DWORD* last, DWORD* total);

enum RetryAnswer {
    kAppendRest,    // the rest of the same resource: append it
    kStartOver,     // the whole resource: start the file over
    kRefetchWhole,  // the rest of another version: the next try asks for the whole
    kGiveUp,        // anything else: the download fails
};

// Takes the answer to a retry that asked for the bytes from `asked` on
// (with the validator of `began`, the response the file began with, in
// If-Range), or for the whole resource when asked is 0. total is the
// resource's size as known so far, 0 when unknown. A 206 of another version
// than the file's (another ETag than the first's, when it had one, or
// another Last-Modified date) is never appended, whatever a cache between
// made of the If-Range. Only a 206 of the same version whose range
// continues exactly where the file ends, reaches the end of a resource of
// the known size and agrees with its own Content-Length is appended: never
// a file spliced from two resources.
RetryAnswer JudgeRetryAnswer(const HttpResponse& response, DWORD asked, DWORD total,
                             const HttpResponse& began);

// Whether a try that was cut, failed or fell silent is tried again: only
// once some bytes have arrived, and only while tries remain.
bool TryAgain(bool bytesArrived, int triesMade);

// The pause before a try (2 to 5): 1, 2, 4 and 8 times the unit.
DWORD PauseBeforeTry(int tryNumber, DWORD unit);
