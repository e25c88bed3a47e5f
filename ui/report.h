// What the user is told when a command fails, and the questions asked before a
// command replaces something. Every box is owned by the main window.
#pragma once

#include <cstdint>

// A failed disk transfer of drive (1 = A:), from LastDiskError.
void ReportDiskError(std::uint8_t drive);
// A failed import or export of path, from LastImageError.
void ReportImportError(const char* path);
void ReportExportError(const char* path);
// No undo file could be saved, so nothing was written to drive.
void ReportUndoFileError(std::uint8_t drive);
// The drive's sector 0 is no longer what the undo file holds.
void ReportDriveChanged(std::uint8_t drive);
// The picker found no drive; accessDenied when a volume refused to open.
void ReportNoDrive(bool accessDenied);

// Asks before sector 0 of drive is replaced, naming what the drive holds now
// (current, its sector 0) and the undo file. True for Yes; No is the default.
bool AskWriteDrive(std::uint8_t drive, const std::uint8_t* current, const char* undoPath);
// Asks before an existing file is replaced. True for Yes; No is the default.
bool AskReplaceFile(const char* path);
