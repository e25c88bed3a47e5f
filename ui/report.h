// What the user is told when a command fails, and the questions asked before a
// command replaces something. Every box is owned by the main window.
#pragma once

#include "core/backup.h"
#include "core/recognize.h"
#include "disk/disk_image.h"
#include "disk/sector.h"

#include <cstdint>

// A failed disk transfer of drive (1 = A:), from LastDiskError.
void ReportDiskError(Volume drive);
// A file dialog that failed rather than being cancelled, from LastImageError;
// says nothing after a cancel.
void ReportFileDialogError();
// A failed import or export of path, from LastImageError.
void ReportImportError(const char* path);
void ReportExportError(const char* path);
// No undo file could be saved, so nothing was written to drive.
void ReportUndoFileError(Volume drive);
// The drive's sector 0 is no longer what the undo file holds.
void ReportDriveChanged(Volume drive);
// The picker found no drive; accessDenied when a volume refused to open.
void ReportNoDrive(bool accessDenied);

// Asks before sector 0 of drive is replaced, naming what the drive holds now
// (current, from its sector 0), what happens to its backup, and the undo file. True
// for Yes; No is the default.
bool AskWriteDrive(Volume drive, const VolumeIdentity& current, const char* undoPath,
                   BackupPlan plan, std::uint64_t backup);

// The drive could not be locked for the write: files on it are open, or it is
// the system volume or holds a page file. Asks whether to write all the same.
// True for Yes; No is the default.
bool AskWriteInUse(Volume drive);

// Sector 0 was written but its backup was not; says how to get a matching pair.
void ReportBackupWriteError(Volume drive, std::uint64_t backup, const char* undoPath);
// Read backup: the backup at sector could not be read; no backup could be
// located (the volume's length is unknown); the drive has none.
void ReportBackupReadError(Volume drive, std::uint64_t backup);
void ReportBackupNotLocated(Volume drive);
void ReportNoBackup(Volume drive);
// Asks before an existing file of bytes bytes is replaced. A file larger than
// one sector is named with its size, and the question points to Open disk
// image for writing into an image. True for Yes; No is the default.
bool AskReplaceFile(const char* path, std::uint64_t bytes);
// Open disk image gave result for path: one message naming a refused format,
// what is wrong with a table, or why the file could not be read.
void ReportImageError(const char* path, ImageResult result);
// The rebuild's read of sectors first to last failed: nothing was loaded.
void ReportRebuildReadError(Volume drive, std::uint64_t first, std::uint64_t last);
