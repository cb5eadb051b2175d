// Saves the downloaded installer to the installer path in one write,
// replacing whatever file was there. The installer is saved whole or not at
// all: a file cut short by a failed or short write is removed, so that it is
// never mistaken for a download.
#include "ui/download_ui.h"

bool WriteInstallerFileOn(const InstallerFilePlatform& os, const WCHAR* path, const BYTE* bytes,
                          DWORD count)
{
    HANDLE file =
        os.CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!file || file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool whole = os.WriteFile(file, bytes, count, &written, nullptr) && written == count;
    os.CloseHandle(file);
    if (!whole)
        os.DeleteFileW(path);
    return whole;
}

bool WriteInstallerFile(const WCHAR* path, const BYTE* bytes, DWORD count)
{
    return WriteInstallerFileOn(kWin32InstallerFile, path, bytes, count);
}

const InstallerFilePlatform kWin32InstallerFile = {
    .CreateFileW = ::CreateFileW,
    .WriteFile = ::WriteFile,
    .CloseHandle = ::CloseHandle,
    .DeleteFileW = ::DeleteFileW,
};
