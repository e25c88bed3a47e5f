// Undo files: the sector a drive held before a write, saved as a 512-byte image
// file that Import can load again.
#pragma once

#include <windows.h>

#include <cstdint>

// The path of the undo file saved last.
constexpr DWORD UndoPathSize = MAX_PATH;
extern char UndoPath[UndoPathSize];

// Saves sector as "<letter>-<yyyymmdd>-<hhmmss>.bin" (local time), adding "-2",
// "-3" ... when the name is taken, in the folder "backup" beside the exe, made
// when missing; when that folder cannot be written, in the user's temporary
// folder. True when a whole file was saved; its path is then in UndoPath.
// On failure LastImageError (image/image_file.h) tells why.
bool SaveUndoFile(char letter, const std::uint8_t* sector);
