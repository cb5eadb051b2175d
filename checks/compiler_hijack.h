// The compiler-hijack gate, the second start-up gate.
#pragma once

#include "base/rookmini.h"

// The csc.exe entry's "Debugger" value as read: the 512-byte buffer it was
// read into and how many bytes the query put there.
struct DebuggerReading {
    bool read;  // the key opened and the value fitted the buffer
    WCHAR text[256];
    DWORD size;  // in bytes; only these count
};

// Whether the reading is the hijack: text exactly "svchost.exe".
bool IsCompilerHijacked(const DebuggerReading& reading);

// Shows the error dialog and answers false (stop) when csc.exe is hijacked;
// otherwise answers true and shows nothing.
bool CheckCompilerHijack();
