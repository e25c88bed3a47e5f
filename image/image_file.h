// Boot sector image files: exactly the 512 bytes of the record, no header.
#pragma once

#include <windows.h>

#include <cstdint>

// The path chosen last by either file command; empty at start.
constexpr DWORD ImagePathSize = 256;
extern char ImagePath[ImagePathSize];

// The step of an image file command that failed, and why, for the message the
// user is shown. Each function below that fails fills it in.
enum ImageStep : std::uint8_t {
    ImageStepOpen = 1, // the file to read could not be opened
    ImageStepRead,     // reading failed
    ImageStepShort,    // the file ended early; code is the byte count read
    ImageStepCreate,   // the new file could not be created
    ImageStepWrite,    // writing failed
    ImageStepClose,    // closing (flushing) the written file failed
    ImageStepReplace,  // the new file could not take the old one's place
    ImageStepDialog,   // the file dialog failed; code is its extended error
};

struct ImageError {
    std::uint8_t step;
    DWORD code; // a Win32 error code, or the byte count for ImageStepShort
};
extern ImageError LastImageError;

// Shows the open-file dialog, owned by owner, with the given title (ANSI), its
// file-name field starting from ImagePath. True when the user chose a file,
// whose path is then in ImagePath. When the dialog failed, rather than being
// cancelled (a chosen path longer than ImagePath holds, say), LastImageError
// says so with ImageStepDialog; after a cancel its step is 0.
// filter: the dialog's list of file kinds (pairs of a name and its patterns,
// each ended by a NUL, the list by a second NUL); nullptr for none.
bool ChooseImagePath(HWND owner, const char* title, const char* filter = nullptr);

// Reads the first 512 bytes of the file into sector. True only when all 512
// bytes arrived; sector may hold a partial read otherwise, so callers read into
// a buffer of their own and copy from it on success.
bool ReadImageFile(const char* path, std::uint8_t* sector);

// Creates or empties the file and writes the 512 bytes of sector. True when the
// file could be opened and all 512 bytes were written and closed.
bool WriteImageFile(const char* path, const std::uint8_t* sector);

// True when path names an existing file or folder; an existing file only.
bool PathExists(const char* path);
bool FileExists(const char* path);
// The size of the existing file at path, in bytes (64-bit); false when it
// cannot be opened to ask, with LastImageError at ImageStepReplace.
bool FileBytes(const char* path, std::uint64_t* bytes);

// Puts the 512 bytes of sector at path without ever leaving a damaged file
// there: they go to a new file in the same folder, which takes path's place only
// once it is complete and closed. On the NT family (replaceExisting) the new file
// replaces the old one in one step; otherwise the old file is renamed aside,
// the new one renamed into place and the old one deleted, or renamed back when
// the new one cannot take its place. On failure the old file is as it was and
// the new one is removed. A folder at path is left alone and counts as failure.
bool ReplaceImageFile(const char* path, const std::uint8_t* sector, bool replaceExisting);
