// The volume picker: a small dialog listing the drives whose first sector can
// be read, then the volumes of the open disk image, and the volume the user chose.
#pragma once

#include <windows.h>

#include "disk/sector.h"

// The picker's answer: NoVolume when nothing was chosen.
extern Volume PickedVolume;

// Shows the picker modally, with preselected chosen when it is listed (else
// the first item), and gives PickedVolume.
Volume PickVolume(Volume preselected = NoVolume);

INT_PTR CALLBACK PickerDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
