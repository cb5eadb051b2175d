// FetchUrl: one synchronous HTTP GET of a whole resource into a heap block.
#pragma once

#include "base/rookmini.h"

// Progress reports: position and total; the result is ignored by the fetch.
typedef LRESULT (*FetchProgressCallback)(int position, int total);

// Hands the body over as a malloc'ed block (the caller frees it) and its
// length in bytes. True exactly when a block was handed over; the block may
// hold fewer bytes than announced, even none.
bool FetchUrl(const WCHAR* url, BYTE** body, DWORD* length, FetchProgressCallback progress);
