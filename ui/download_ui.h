// The download user interface: the progress dialog, the worker thread that
// downloads the full installer and saves it, the progress callback that moves
// the bar, and the installer file writer. They share one download job. Each
// takes its Windows calls through a table of the real signatures so that
// tests can answer them.
#pragma once

#include "base/rookmini.h"
#include "net/fetch.h"

#include <shlwapi.h>

#include <atomic>

// The worker's two private messages to the dialog, both posted with this tag
// in wParam and 0 in lParam. A message without the tag is not the worker's.
const UINT WM_DOWNLOAD_DONE = 15636;   // the installer was saved whole
const UINT WM_DOWNLOAD_FAILED = 1935;  // nothing downloaded, or not saved whole
const WPARAM DOWNLOAD_MESSAGE_TAG = 48104;

// One download of the full installer. Install mode owns it and reads its
// outcome once the worker has ended; the dialog gets it through
// DialogBoxParamW's parameter, the worker through the thread's.
struct DownloadJob {
    WCHAR installerPath[MAX_PATH];      // where the worker saves the installer
    HANDLE cancel;                      // manual-reset event: stops the fetch
    std::atomic<bool> cancelledByUser;  // Cancel, Esc or a close request
    std::atomic<HWND> dialog;           // the open progress dialog, or null
    HANDLE worker;                      // the worker thread, waited for by install mode
    std::atomic<bool> finished;         // the worker has done its work
    bool saved;                         // this run's download was saved whole
    HICON smallIcon;                    // the dialog's icons and background,
    HICON largeIcon;                    // released when it is destroyed
    HBITMAP background;
};

// ---- The progress dialog (template 9) ---------------------------------------

struct DialogPlatform {
    decltype(&::LoadImageW) LoadImageW;
    decltype(&::DestroyIcon) DestroyIcon;
    decltype(&::DeleteObject) DeleteObject;
    decltype(&::BitBlt) BitBlt;
    decltype(&::CreateThread) CreateThread;
    decltype(&::DeleteFileW) DeleteFileW;
    decltype(&::EndDialog) EndDialog;
    LPTHREAD_START_ROUTINE DownloadWorker;  // the thread that the dialog starts
};

extern const DialogPlatform kWin32Dialog;

INT_PTR ProgressDialogProcOn(const DialogPlatform& os, HWND dialog, UINT message, WPARAM wParam,
                             LPARAM lParam);
INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// ---- The worker thread ------------------------------------------------------

struct WorkerPlatform {
    decltype(&::FetchUrl) FetchUrl;
    bool (*WriteInstallerFile)(const WCHAR* path, const BYTE* bytes, DWORD count);
    decltype(&::PathFileExistsW) PathFileExistsW;
    decltype(&::DeleteFileW) DeleteFileW;
    decltype(&::OutputDebugStringW) OutputDebugStringW;
    decltype(&::PostMessageW) PostMessageW;
};

extern const WorkerPlatform kWin32Worker;

DWORD DownloadWorkerOn(const WorkerPlatform& os, DownloadJob* job);
DWORD WINAPI DownloadWorker(LPVOID job);

// ---- The progress callback --------------------------------------------------

struct ProgressPlatform {
    decltype(&::GetDlgItem) GetDlgItem;
    decltype(&::SendMessageW) SendMessageW;
    decltype(&::GetWindowLongW) GetWindowLongW;
    decltype(&::SetWindowLongW) SetWindowLongW;
};

extern const ProgressPlatform kWin32Progress;

LRESULT OnDownloadProgressOn(const ProgressPlatform& os, DownloadJob* job, int position, int total);
LRESULT OnDownloadProgress(void* job, int position, int total);

// ---- The installer file writer ----------------------------------------------

struct InstallerFilePlatform {
    decltype(&::CreateFileW) CreateFileW;
    decltype(&::WriteFile) WriteFile;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::DeleteFileW) DeleteFileW;
};

extern const InstallerFilePlatform kWin32InstallerFile;

// Writes the installer whole or not at all: a failed or short write removes
// what was written. True when every byte was written.
bool WriteInstallerFileOn(const InstallerFilePlatform& os, const WCHAR* path, const BYTE* bytes,
                          DWORD count);
bool WriteInstallerFile(const WCHAR* path, const BYTE* bytes, DWORD count);
