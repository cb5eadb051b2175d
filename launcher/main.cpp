// The process entry: restricts the library search to the system folder,
// records the module instance, gives the process its taskbar identity, and
// hands over to the start-up sequence. The exit code is always 0.
#include "base/system_library.h"
#include "launcher/startup.h"

static void SetTaskbarIdentity()
{
    // Looked up at run time: the call exists only from Windows 7 on. The
    // library stays loaded for the life of the process.
    typedef HRESULT(WINAPI * SetAppIdFn)(PCWSTR);
    HMODULE shell = LoadLibraryA("shell32.dll");
    if (!shell)
        return;
    SetAppIdFn setAppId = reinterpret_cast<SetAppIdFn>(
        reinterpret_cast<void*>(GetProcAddress(shell, "SetCurrentProcessExplicitAppUserModelID")));
    if (setAppId)
        setAppId(L"Corvid.Skyfetch.App");
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    // Before anything can load a library: nothing beside the launcher, in a
    // Downloads folder say, is ever loaded into this process.
    RestrictLibrarySearch();
    g_hInstance = instance;
    SetTaskbarIdentity();
    return RunStartup(kWin32Startup, instance, CommandLineTail(GetCommandLineW()));
}
