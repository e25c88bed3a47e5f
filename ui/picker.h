// The drive picker: a small dialog listing the drives whose first sector can be
// read, and the drive the user chose.
#pragma once

#include <windows.h>

#include <cstdint>

// The picker's answer: 0 = no drive, 1 to 25 = A: to Y:.
extern std::uint8_t DriveNumber;

// Shows the picker modally and gives DriveNumber.
std::uint8_t PickDrive();

INT_PTR CALLBACK PickerDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
