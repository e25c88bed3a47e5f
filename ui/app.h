// Process-wide state of the editor window and the entry points of its parts.
#pragma once

#include <windows.h>

#include <cstdint>

constexpr std::uint8_t OsFamily9x = 0x10; // Windows 95, 98, Me
constexpr std::uint8_t OsFamilyNt = 0x20; // NT 4.0 and everything after it

extern std::uint8_t OsFamily;
extern HINSTANCE AppInstance;
extern HWND MainDialog;
extern HWND MediaComboBox;

// The program's entry, called by the start-up code with the module instance.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
