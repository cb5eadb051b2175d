// FetchUrl: one HTTP GET of a small resource, the version manifest, whole
// into a heap block.
#pragma once

#include "base/rookmini.h"

// The most of a body that is read: a longer one is handed over cut here.
const DWORD kFetchLimit = 65536;

// Hands the body over as a malloc'ed block (the caller frees it) and its
// length in bytes. True exactly when a block was handed over; the block may
// hold fewer bytes than announced, even none. The fetch ends by the deadline
// (a GetTickCount value) whatever the host does, and gives up on a host that
// stays silent for 30 seconds.
bool FetchUrl(const WCHAR* url, BYTE** body, DWORD* length, DWORD deadline);
