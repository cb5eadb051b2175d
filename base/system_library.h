// Libraries beyond the ones the program imports at load time come from the
// system folder only, so that a DLL planted beside the launcher (a Downloads
// folder, say) is never loaded into a process that starts code elevated.
#pragma once

#include "base/rookmini.h"

// Restricts the process's library search to the system folder
// (SetDefaultDllDirectories, where the loader has it); elsewhere at least
// takes the current folder out of the search (SetDllDirectoryW, from Windows
// XP SP1 on). Called first thing.
void RestrictLibrarySearch();

// Loads a library, and the libraries it needs, from the system folder only;
// null when it cannot be had. The library stays loaded for the process.
HMODULE LoadSystemLibrary(const WCHAR* name);

// The same for a loader without the search flags: by the library's full path
// in the system folder, its own imports searched from there.
HMODULE LoadSystemLibraryByPath(const WCHAR* name);

// Looks up one function of a loaded library into a typed pointer; false
// (and the pointer null) when the library lacks it.
template <typename Function>
bool BindFunction(HMODULE library, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(library, name)));
    return function != nullptr;
}
