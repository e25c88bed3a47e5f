// Undo files: the sector a drive held before a write, saved as a 512-byte image
// file that Import can load again.
#pragma once

#include <windows.h>

#include <cstdint>

// The path of the undo file saved last.
constexpr DWORD UndoPathSize = MAX_PATH;
extern char UndoPath[UndoPathSize];

// Saves sector as "<stem>-<yyyymmdd>-<hhmmss>.bin" (local time), the stem
// naming the volume (a drive letter, or an image's name and partition), adding "-2",
// "-3" ... when the name is taken, in the folder "backup" beside the exe, made
// when missing; when that folder cannot be written, in the user's temporary
// folder. True when a whole file was saved; its path is then in UndoPath.
// On failure LastImageError (image/image_file.h) tells why.
constexpr std::size_t MaxUndoStem = 47; // a longer stem is cut to this length
bool SaveUndoFile(const char* stem, const std::uint8_t* sector);
