// A drive's sectors on both Windows families, by drive number (1 = A:) and
// sector number: the volume device on the NT family (volume.h), the VWIN32
// device on the 9x family (legacy.h). The family is chosen once at start-up.
#pragma once

#include <windows.h>

#include <cstdint>

// Asks the system's version, picks the path of its family and, on the 9x
// family, prepares the VWIN32 services. True on the 9x family.
bool PrepareDiskAccess();

// Reads the first 512 bytes of the sector into record. True when they all
// arrived; otherwise LastDiskError (disk_error.h) tells why and record may hold
// anything.
bool ReadDriveSector(std::uint8_t drive, std::uint64_t sector, std::uint8_t* record);

// Puts the record's 512 bytes at the start of the sector; the rest of a larger
// sector keeps its bytes. True when the write worked; otherwise LastDiskError
// tells why. On the 9x family the volume is locked around the write.
bool WriteDriveSector(std::uint8_t drive, std::uint64_t sector, const std::uint8_t* record);

// How the drive picker's test of one drive came out.
enum DriveProbe : std::uint8_t {
    DriveReadable,     // its first sector could be read
    DriveNotReady,     // the NT family's answer for a drive without a medium
    DriveAccessDenied, // the volume refused to open: the program lacks the rights
    DriveUnreadable,   // anything else, or no such drive
};
DriveProbe ProbeDrive(std::uint8_t drive);
