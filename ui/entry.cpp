// The exe's own start-up code, used instead of the toolchain's (the exe is
// linked with -nostartfiles). The toolchain's start-up object is built for
// newer processors and runs a conditional move on every start, which faults on
// the 486 and Pentium machines that Windows 95 and NT 4.0 run on. The program
// needs little from a start-up: msvcrt.dll initialises itself when it is
// loaded, there are no global constructors, and WinMain ignores its command
// line, previous instance and show command.
#include <windows.h>

#include <stdlib.h>

#include "app.h"

extern "C" {

// msvcrt.dll: records whether the program is a console or a window program,
// which decides how the runtime reports its own fatal errors.
__declspec(dllimport) void __cdecl __set_app_type(int type);

// msvcrt.dll exports atexit only as data, so a call to the library's atexit
// would jump into the import table. _onexit registers the same kind of
// handler, run by exit() in reverse order of registration.
int __cdecl atexit(void(__cdecl* handler)(void))
{
    return _onexit(reinterpret_cast<_onexit_t>(handler)) != nullptr ? 0 : -1;
}

// The process entry point named in the PE header. exit() runs the registered
// handlers, flushes and closes the C streams and ends the process with
// WinMain's result.
void __cdecl WinMainCRTStartup(void)
{
    static char emptyCommandLine[] = "";
    const int guiApp = 2; // _GUI_APP: report runtime errors in a message box
    __set_app_type(guiApp);
    exit(WinMain(GetModuleHandleA(nullptr), nullptr, emptyCommandLine, SW_SHOWDEFAULT));
}
}
