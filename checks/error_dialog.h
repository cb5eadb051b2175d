// The error dialog shown when the compiler is hijacked.
#pragma once

#include "base/rookmini.h"

// The dialog procedure of template IDD_CONFIG_ERROR.
INT_PTR CALLBACK ErrorDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
