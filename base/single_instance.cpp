// One launcher per mode at a time, by a named mutex that lives as long as
// the process.
#include "base/rookmini.h"

bool TakeSingleInstance(const WCHAR* name)
{
    // Only these two errors mean another launcher holds the name; any other
    // failure lets this one go on. The handle is never closed.
    CreateMutexW(nullptr, FALSE, name);
    DWORD error = GetLastError();
    return error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED;
}
