// Boot sector image files: exactly the 512 bytes of the record, no header.
#pragma once

#include <windows.h>

#include <cstdint>

// The path chosen last by either file command; empty at start.
constexpr DWORD ImagePathSize = 256;
extern char ImagePath[ImagePathSize];

// Shows the open-file dialog, owned by owner, with the given title (ANSI), its
// file-name field starting from ImagePath. True when the user chose a file,
// whose path is then in ImagePath.
bool ChooseImagePath(HWND owner, const char* title);

// Reads the first 512 bytes of the file into sector. True only when all 512
// bytes arrived; sector may hold a partial read otherwise, so callers read into
// a buffer of their own and copy from it on success.
bool ReadImageFile(const char* path, std::uint8_t* sector);

// Creates or replaces the file with the 512 bytes of sector. True when the file
// could be opened and all 512 bytes were written and closed.
bool WriteImageFile(const char* path, const std::uint8_t* sector);
