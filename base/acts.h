// The two acts of the launcher that a test must not really carry out: handing
// something to the shell (the App, the installer elevated, taskkill ending the
// App, DISM or Fondue elevated, the browser on a page) and asking the user a
// question that waits for an answer. The launcher makes these calls through
// the two pointers, which name the Windows functions; a test points them at a
// recorder.
#pragma once

#include "base/rookmini.h"

#include <shellapi.h>

extern decltype(&::ShellExecuteW) g_shellExecute;
extern decltype(&::MessageBoxW) g_messageBox;
