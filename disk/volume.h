// Direct access to a volume on the NT family: the volume device "\\.\X:" is
// opened like a file and read or written in whole 512-byte sectors.
#pragma once

#include <windows.h>

#include <cstdint>

// Opens the volume unbuffered for reading and writing; gives the handle exactly
// as CreateFileA returned it (INVALID_HANDLE_VALUE on failure).
HANDLE OpenVolume(const char* path);
// Positions at sector * 512 (64-bit); gives 1 when the positioning failed, else 0.
int SeekSector(HANDLE volume, DWORD sector);
// Transfer count sectors (only the low 8 bits of count are used); give the
// number of bytes the system reported as moved, 0 after a failure.
DWORD ReadSectors(HANDLE volume, void* buffer, DWORD count);
DWORD WriteSectors(HANDLE volume, const void* buffer, DWORD count);
// Closes the handle; always gives 1.
int CloseVolume(HANDLE volume);

// One whole transfer of sector 0 of drive (1 = A:): open, position, read or
// write one sector, close. Stops at the first failed step and never closes an
// invalid handle. Gives the number of bytes moved: 512 exactly when it worked.
DWORD VolumeTransfer(std::uint8_t drive, bool write, std::uint8_t* buffer);

// The drive picker's readability test on the NT family: a buffered open of
// path and a read of 512 bytes into ProbeBuffer. True when 512 bytes arrived.
// After a false answer GetLastError tells why (ERROR_NOT_READY: no medium).
bool ProbeVolume(const char* path);
extern std::uint8_t ProbeBuffer[512];
