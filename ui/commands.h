// The File menu's commands that move the record to or from a drive or a file.
#pragma once

#include "disk/sector.h"

#include <cstdint>

// Each load gives true when a whole sector replaced the record; the caller then
// recognises and shows it. A failed or partial read leaves the record as it was
// and shows the user one message saying what failed.
bool ReadFromDisk();
bool ImportFile();
// Loads the chosen drive's backup boot sector: where sector 0 says it is, or
// where formatters put one. Says so when the drive has none.
bool ReadBackupFromDisk();
// Open disk image: the file dialog, then the image's volumes listed (or one
// message saying why not), then the picker opens by itself with the image's
// first volume chosen, and that volume's sector 0 is read as Read from disk
// reads it. Another image replaces the one opened before.
bool OpenDiskImageFile();

// The volume the record was read from with Read from disk or Open disk image;
// NoVolume when it came from anywhere else.
extern Volume RecordDrive;

// Loads arrive here and replace the record only when complete. The 9x disk
// services read straight into it, so it lies in the exe's image like the record.
extern std::uint8_t StagedSector[512];

// Each save first captures the form into the record. Write to disk saves the
// drive's current sector 0 as an undo file and asks before replacing it; Export
// asks before replacing an existing file and never leaves it damaged. Failures
// are reported to the user, one message each.
void WriteToDisk();
void ExportFile();
