// The process entry: restricts the library search to the system folder,
// records the module instance, gives the process its taskbar identity, and
// hands over to the start-up sequence. The exit code is always 0.
//
// The program is linked without the C runtime's start-up code (-nostartfiles,
// see CMakeLists.txt), which would bring its TLS callbacks, pseudo-relocations
// and exception-handler set-up into the image: RookMiniEntry takes its place.
// msvcrt.dll initialises itself as it loads, so the C functions the launcher
// uses need nothing more.
#include "base/command_line.h"
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
    return RunStartup(instance, CommandLineTail(GetCommandLineW()));
}

// Static constructors as the runtime's start-up would run them, last listed
// first (the launcher has none today), then wWinMain with the command-line
// tail; its answer is the process's exit code.
extern "C" void (*__CTOR_LIST__[])();
extern "C" IMAGE_DOS_HEADER __ImageBase;

extern "C" void RookMiniEntry()
{
    void (**ctor)() = __CTOR_LIST__ + 1;
    while (*ctor)
        ++ctor;
    while (--ctor != __CTOR_LIST__)
        (*ctor)();
    ExitProcess(wWinMain(reinterpret_cast<HINSTANCE>(&__ImageBase), nullptr,
                         const_cast<PWSTR>(CommandLineTail(GetCommandLineW())), SW_SHOWDEFAULT));
}
