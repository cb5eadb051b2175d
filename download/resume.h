// The installer download's decisions about a connection that dropped: which
// validator a retry sends, how the answer to a retry is taken, whether and
// when to try again. Plain functions over what the responses said.
#pragma once

#include "net/http_get.h"

// Tries in all, the first included.
const int kDownloadTries = 5;

// The validator a retry sends in If-Range: a strong ETag, else the
// Last-Modified date; empty when the response had neither. A weak ETag
// ("W/...") may not be used in If-Range.
void ChooseValidator(const HttpResponse& response, WCHAR (&validator)[kHeaderChars]);

// Reads "bytes first-last/total". False unless all three are numbers within
// 32 bits with first <= last < total.
bool ParseContentRange(const WCHAR* text, DWORD* first, DWORD* last, DWORD* total);

enum RetryAnswer {
    kAppendRest,  // the rest of the same resource: append it
    kStartOver,   // the whole resource: start the file over
    kGiveUp,      // anything else: the download fails
};

// Takes the answer to a retry that asked for the bytes from `asked` on
// (with the validator in If-Range), or for the whole resource when asked is
// 0. total is the resource's size as known so far, 0 when unknown. Only a
// 206 whose range continues exactly where the file ends, reaches the end of
// a resource of the known size and agrees with its own Content-Length is
// appended: never a file spliced from two resources.
RetryAnswer JudgeRetryAnswer(const HttpResponse& response, DWORD asked, DWORD total);

// Whether a try that was cut, failed or fell silent is tried again: only
// once some bytes have arrived, and only while tries remain.
bool TryAgain(bool bytesArrived, int triesMade);

// The pause before a try (2 to 5): 1, 2, 4 and 8 times the unit.
DWORD PauseBeforeTry(int tryNumber, DWORD unit);
