// The download user interface: the progress dialog, the worker thread that
// downloads the full installer and saves it, the progress callback that moves
// the bar, and the installer file writer. Each takes its Windows calls through
// a table of the real signatures so that tests can answer them.
#pragma once

#include "base/rookmini.h"
#include "net/fetch.h"

// The worker's two private messages to the dialog, both posted with this tag
// in wParam and 0 in lParam. A message without the tag is not the worker's.
const UINT WM_DOWNLOAD_DONE = 15636;    // the installer file exists after the write
const UINT WM_DOWNLOAD_FAILED = 1935;   // nothing downloaded, or no file after the write
const WPARAM DOWNLOAD_MESSAGE_TAG = 48104;

// ---- The progress dialog (template 9) ---------------------------------------

struct DialogPlatform {
    HANDLE(WINAPI* LoadImageW)(HINSTANCE instance, LPCWSTR name, UINT type, int width,
                               int height, UINT flags);
    BOOL(WINAPI* DestroyIcon)(HICON icon);
    BOOL(WINAPI* DeleteObject)(HGDIOBJ object);
    BOOL(WINAPI* BitBlt)(HDC target, int x, int y, int width, int height, HDC source,
                         int sourceX, int sourceY, DWORD rop);
    HANDLE(WINAPI* CreateThread)(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                                 LPTHREAD_START_ROUTINE start, LPVOID parameter,
                                 DWORD flags, LPDWORD threadId);
    BOOL(WINAPI* CloseHandle)(HANDLE handle);
    BOOL(WINAPI* DeleteFileW)(LPCWSTR path);
    LPTHREAD_START_ROUTINE DownloadWorker;  // the thread that the dialog starts
};

extern const DialogPlatform kWin32Dialog;

INT_PTR ProgressDialogProcOn(const DialogPlatform& os, HWND dialog, UINT message,
                             WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// ---- The worker thread ------------------------------------------------------

struct WorkerPlatform {
    bool (*FetchUrl)(const WCHAR* url, BYTE** body, DWORD* length,
                     FetchProgressCallback progress);
    bool (*WriteInstallerFile)(const BYTE* bytes, DWORD count);
    BOOL(WINAPI* PathFileExistsW)(LPCWSTR path);
    BOOL(WINAPI* DeleteFileW)(LPCWSTR path);
    void(WINAPI* OutputDebugStringW)(LPCWSTR text);
    BOOL(WINAPI* PostMessageW)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};

extern const WorkerPlatform kWin32Worker;

DWORD DownloadWorkerOn(const WorkerPlatform& os);
DWORD WINAPI DownloadWorker(LPVOID unused);

// ---- The progress callback --------------------------------------------------

struct ProgressPlatform {
    HWND(WINAPI* GetDlgItem)(HWND dialog, int id);
    LRESULT(WINAPI* SendMessageW)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};

extern const ProgressPlatform kWin32Progress;

LRESULT OnDownloadProgressOn(const ProgressPlatform& os, int position, int total);
LRESULT OnDownloadProgress(int position, int total);

// ---- The installer file writer ----------------------------------------------

struct InstallerFilePlatform {
    HANDLE(WINAPI* CreateFileW)(LPCWSTR path, DWORD access, DWORD share,
                                LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                                DWORD flags, HANDLE templateFile);
    BOOL(WINAPI* WriteFile)(HANDLE file, LPCVOID bytes, DWORD count, LPDWORD written,
                            LPOVERLAPPED overlapped);
    BOOL(WINAPI* CloseHandle)(HANDLE handle);
};

extern const InstallerFilePlatform kWin32InstallerFile;

bool WriteInstallerFileOn(const InstallerFilePlatform& os, const BYTE* bytes, DWORD count);
bool WriteInstallerFile(const BYTE* bytes, DWORD count);
