// The partial file that the download is written into, and how it becomes
// the installer: only when it is whole, by a rename.
#pragma once

#include "download/download_job.h"

// Appends a piece; false when it was not written whole (a full disk, say).
bool AppendToPartialFile(DownloadJob* job, const BYTE* data, DWORD count);

// Empties the file for a download that starts over.
bool EmptyPartialFile(DownloadJob* job);

// Makes the whole partial file the installer: records its identity, closes
// it and renames it to the installer's name. False when that fails, and then
// the partial file is gone.
bool MakeInstallerFile(DownloadJob* job);

// Reads a file's identity from its handle.
bool ReadFileIdentity(HANDLE file, FileIdentity* identity);
