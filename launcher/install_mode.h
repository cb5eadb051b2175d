// The platform seam of install mode: the Windows calls it makes and the
// hand-overs it uses, so that tests can answer them.
#pragma once

#include "base/rookmini.h"

#include <shellapi.h>

struct InstallPlatform {
    HANDLE(WINAPI* CreateMutexW)(LPSECURITY_ATTRIBUTES attributes, BOOL owned, LPCWSTR name);
    DWORD(WINAPI* GetLastError)();
    BOOL(WINAPI* SHGetSpecialFolderPathW)(HWND owner, LPWSTR path, int folder, BOOL create);
    BOOL(WINAPI* CreateDirectoryW)(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes);
    INT_PTR(WINAPI* DialogBoxParamW)(HINSTANCE instance, LPCWSTR templateName, HWND owner,
                                     DLGPROC procedure, LPARAM parameter);
    BOOL(WINAPI* PathFileExistsW)(LPCWSTR path);
    int(WINAPI* MessageBoxW)(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
    HINSTANCE(WINAPI* ShellExecuteW)(HWND window, LPCWSTR verb, LPCWSTR file,
                                     LPCWSTR parameters, LPCWSTR directory, INT show);
    // Starts the installer elevated from its folder, only when its signature
    // names the maker; true when the start succeeded.
    bool (*StartInstaller)(const WCHAR* path, const WCHAR* folder);
};

extern const InstallPlatform kWin32Install;

void RunInstallModeOn(const InstallPlatform& os);
