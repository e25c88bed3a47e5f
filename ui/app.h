// Process-wide state of the editor window and the entry points of its parts.
#pragma once

#include "disk/sector.h" // OsFamily

#include <windows.h>

#include <cstdint>

extern HINSTANCE AppInstance;
extern HWND MainDialog;
extern HWND MediaComboBox;

// The program's entry, called by the start-up code with the module instance.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
