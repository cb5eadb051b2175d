// The partial file of the installer download. It is created new in the
// private staging folder, shared with nobody for writing or deleting, and
// held until the download is whole; then it is renamed over the installer
// path, so that nothing but a whole download ever stands there.
#include "download/partial_file.h"

bool AppendToPartialFile(DownloadJob* job, const BYTE* data, DWORD count)
{
    DWORD written = 0;
    return WriteFile(job->partialFile, data, count, &written, nullptr) && written == count;
}

bool EmptyPartialFile(DownloadJob* job)
{
    return SetFilePointer(job->partialFile, 0, nullptr, FILE_BEGIN) == 0 &&
           SetEndOfFile(job->partialFile);
}

bool ReadFileIdentity(HANDLE file, FileIdentity* identity)
{
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(file, &information))
        return false;
    identity->volume = information.dwVolumeSerialNumber;
    identity->indexHigh = information.nFileIndexHigh;
    identity->indexLow = information.nFileIndexLow;
    return true;
}

bool MakeInstallerFile(DownloadJob* job)
{
    bool known = ReadFileIdentity(job->partialFile, &job->identity);
    CloseHandle(job->partialFile);
    job->partialFile = INVALID_HANDLE_VALUE;
    // The staging folder was emptied of an earlier run's installer; anything
    // in the way that cannot be replaced fails the rename, a failed write.
    if (known && MoveFileExW(job->partialPath, job->installerPath, MOVEFILE_REPLACE_EXISTING))
        return true;
    DeleteFileW(job->partialPath);
    return false;
}

void DiscardPartialFile(DownloadJob* job)
{
    if (job->partialFile == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(job->partialFile);
    job->partialFile = INVALID_HANDLE_VALUE;
    DeleteFileW(job->partialPath);
}
