// Libraries beyond the ones the program imports at load time come from the
// system folder only, so that a DLL planted beside the launcher (a Downloads
// folder, say) is never loaded into a process that starts code elevated.
#pragma once

#include "base/rookmini.h"

// The kernel calls that the library search depends on, so that tests can play
// a Windows without the loader's search flags.
struct LibrarySearchPlatform {
    decltype(&::GetModuleHandleW) GetModuleHandleW;
    decltype(&::GetProcAddress) GetProcAddress;
    decltype(&::SetDllDirectoryW) SetDllDirectoryW;
    decltype(&::LoadLibraryExW) LoadLibraryExW;
    decltype(&::GetSystemDirectoryW) GetSystemDirectoryW;
    decltype(&::GetLastError) GetLastError;
};

extern const LibrarySearchPlatform kWin32LibrarySearch;

// Restricts the process's library search to the system folder
// (SetDefaultDllDirectories, where the loader has it); elsewhere at least
// takes the current folder out of the search. Called first thing.
void RestrictLibrarySearchOn(const LibrarySearchPlatform& os);
void RestrictLibrarySearch();

// Loads a library, and the libraries it needs, from the system folder only;
// null when it cannot be had. The library stays loaded for the process.
HMODULE LoadSystemLibraryOn(const LibrarySearchPlatform& os, const WCHAR* name);
HMODULE LoadSystemLibrary(const WCHAR* name);

// Looks up one function of a loaded library into a typed pointer; false
// (and the pointer null) when the library lacks it.
template <typename Function>
bool BindFunction(HMODULE library, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(library, name)));
    return function != nullptr;
}
