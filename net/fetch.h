// FetchUrl: one HTTP GET of a whole resource into a heap block.
#pragma once

#include "base/rookmini.h"

// Progress reports: the caller's context, position and total; the result is
// ignored by the fetch.
typedef LRESULT (*FetchProgressCallback)(void* context, int position, int total);

// Hands the body over as a malloc'ed block (the caller frees it) and its
// length in bytes. True exactly when a block was handed over; the block may
// hold fewer bytes than announced, even none. progress (with its context)
// and cancel (an event that stops the fetch once set) are optional. A host
// that stays silent for 30 seconds ends the fetch as a failure.
bool FetchUrl(const WCHAR* url, BYTE** body, DWORD* length, FetchProgressCallback progress,
              void* context, HANDLE cancel);
