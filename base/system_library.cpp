// Loading libraries from the system folder only. Where the loader knows the
// search flags (Windows 8, and 7 with its loader update), the process's
// default search is the system folder and every load names it as well.
// Without them, the current folder leaves the search and a library is loaded
// by its full system-folder path, its own imports searched from there.
#include "base/system_library.h"

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFn)(DWORD flags);
typedef BOOL(WINAPI* SetDllDirectoryFn)(LPCWSTR folder);

void RestrictLibrarySearch()
{
    // Both are looked up: the first is missing before Windows 7's loader
    // update, the second before Windows XP SP1.
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    SetDefaultDllDirectoriesFn systemFolderOnly;
    SetDllDirectoryFn leaveCurrentFolder;
    if (BindFunction(kernel, "SetDefaultDllDirectories", systemFolderOnly) &&
        systemFolderOnly(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return;
    if (BindFunction(kernel, "SetDllDirectoryW", leaveCurrentFolder))
        leaveCurrentFolder(L"");
}

HMODULE LoadSystemLibraryByPath(const WCHAR* name)
{
    WCHAR path[MAX_PATH];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || !AppendPath(path, L"\\") || !AppendPath(path, name))
        return nullptr;
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

HMODULE LoadSystemLibrary(const WCHAR* name)
{
    HMODULE library = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library || GetLastError() != ERROR_INVALID_PARAMETER)
        return library;  // loaded, or the loader knows the flag and said no
    return LoadSystemLibraryByPath(name);
}
