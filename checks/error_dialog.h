// The error dialog shown when the compiler is hijacked: its dialog procedure,
// with the one call that leaves the dialog (opening the support page) behind
// a seam so that tests can see it without starting a browser.
#pragma once

#include "base/rookmini.h"

#include <shellapi.h>

struct ErrorDialogPlatform {
    decltype(&::ShellExecuteW) ShellExecuteW;
};

extern const ErrorDialogPlatform kWin32ErrorDialog;

// The dialog procedure on the given platform.
INT_PTR ErrorDialogProcOn(const ErrorDialogPlatform& os, HWND dialog, UINT message, WPARAM wParam,
                          LPARAM lParam);

// The dialog procedure of template IDD_CONFIG_ERROR.
INT_PTR CALLBACK ErrorDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
