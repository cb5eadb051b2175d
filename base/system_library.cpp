// Loading libraries from the system folder only. Where the loader knows the
// search flags (Windows 8, and 7 with its loader update), the process's
// default search is the system folder and every load names it as well.
// Without them, the current folder leaves the search and a library is loaded
// by its full system-folder path, its own imports searched from there.
#include "base/system_library.h"

#include <wchar.h>

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFn)(DWORD flags);

void RestrictLibrarySearchOn(const LibrarySearchPlatform& os)
{
    HMODULE kernel = os.GetModuleHandleW(L"kernel32.dll");
    SetDefaultDllDirectoriesFn restrict = nullptr;
    if (kernel)
        restrict = reinterpret_cast<SetDefaultDllDirectoriesFn>(
            reinterpret_cast<void*>(os.GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (!restrict || !restrict(LOAD_LIBRARY_SEARCH_SYSTEM32))
        os.SetDllDirectoryW(L"");
}

HMODULE LoadSystemLibraryOn(const LibrarySearchPlatform& os, const WCHAR* name)
{
    HMODULE library = os.LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library || os.GetLastError() != ERROR_INVALID_PARAMETER)
        return library;  // loaded, or the loader knows the flag and said no

    // A loader without the search flags: the full path, and the library's
    // own imports searched from its folder rather than the program's.
    WCHAR path[MAX_PATH];
    UINT length = os.GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || !AppendPath(path, L"\\") || !AppendPath(path, name))
        return nullptr;
    return os.LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void RestrictLibrarySearch()
{
    RestrictLibrarySearchOn(kWin32LibrarySearch);
}

HMODULE LoadSystemLibrary(const WCHAR* name)
{
    return LoadSystemLibraryOn(kWin32LibrarySearch, name);
}

const LibrarySearchPlatform kWin32LibrarySearch = {
    .GetModuleHandleW = ::GetModuleHandleW,
    .GetProcAddress = ::GetProcAddress,
    .SetDllDirectoryW = ::SetDllDirectoryW,
    .LoadLibraryExW = ::LoadLibraryExW,
    .GetSystemDirectoryW = ::GetSystemDirectoryW,
    .GetLastError = ::GetLastError,
};
