// The Tools menu's rebuild of a lost boot sector: the picker, a scan of the
// chosen volume's own structures (core/rebuild) with a progress window and
// Cancel, one message saying what was found, and on Yes the rebuilt sector in
// the record.
#pragma once

#include <windows.h>

// True when the user took the rebuilt sector: it is in the record and the drive
// is remembered as Read from disk remembers it; the caller then recognises and
// shows it. A cancelled or failed scan, nothing found, or No leave the record
// and the form as they were, and one message says why.
bool RebuildFromDisk();

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
