// The launcher's shared basics: the module instance, the built-in URLs, the
// diagnostic log, the shell start and the fixed-buffer path helpers. Every
// source file of the launcher includes this header, so it stays small.
#pragma once

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#include <windows.h>

// ---- Process-wide state (defined in state.cpp) ------------------------------

// Recorded first thing at start-up; dialogs, icons and the bitmap load from it.
extern HINSTANCE g_hInstance;

// ---- Built-in URLs (defined in state.cpp) -----------------------------------

extern const WCHAR kVersionManifestUrl[];  // download host, the version manifest
extern const WCHAR kFullInstallerUrl[];    // web host, the full installer
extern const WCHAR kUpdatePageUrl[];       // web host, the update page
extern const WCHAR kSupportPageUrl[];      // web host, the csc.exe troubleshooting section

// ---- Shared helpers ---------------------------------------------------------

// Formats with wvsprintfW into a zero-filled 1536-character buffer and sends
// the line to the debugger output.
void DebugLog(const WCHAR* format, ...);

// Starts a program or opens a document through the shell; elevation is asked
// for only from Windows 6 on. True when the shell accepted the request.
bool LaunchProgram(bool elevate, const WCHAR* file, const WCHAR* directory,
                   const WCHAR* parameters);

// Takes the named mutex of one mode of the launcher for the rest of the
// process; false when another launcher holds it.
bool TakeSingleInstance(const WCHAR* name);

// The verb of such a start: "runas" when elevation is asked for on Windows
// 6 or later (major 0: the version could not be read), else the default.
const WCHAR* ShellVerb(bool elevate, DWORD major);

// ---- Fixed-buffer text ------------------------------------------------------

// Appends text to a MAX_PATH buffer. When the result would not fit, the buffer
// is left unchanged and the answer is false: callers treat such a path as
// unavailable instead of cutting it.
bool AppendPath(WCHAR (&buffer)[MAX_PATH], const WCHAR* text);

// Copies text into a buffer of `capacity` characters. When it would not fit,
// the buffer is left empty and the answer is false.
bool CopyText(WCHAR* buffer, size_t capacity, const WCHAR* text);
template <size_t N>
bool CopyText(WCHAR (&buffer)[N], const WCHAR* text)
{
    return CopyText(buffer, N, text);
}

// Ends the text at its last backslash; false (text unchanged) when it has none.
bool CutAtLastBackslash(WCHAR* text);
