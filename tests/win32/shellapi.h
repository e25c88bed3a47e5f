// Host stand-in: opening a link with the shell.
#pragma once

#include "windows.h"

HINSTANCE WINAPI ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                               LPCSTR directory, INT show);
