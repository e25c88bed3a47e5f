// Direct access to a volume on the NT family: the volume device "\\.\X:" is
// opened like a file and read or written in whole sectors of the volume's own
// size (512, 1024, 2048 or 4096 bytes).
#pragma once

#include <windows.h>

#include <cstdint>

// The sector sizes a volume may have here.
constexpr DWORD MinVolumeSectorSize = 512;
constexpr DWORD MaxVolumeSectorSize = 4096;
// The transfer buffer: one request of a multi-sector read moves at most this
// many bytes (128 sectors of 512 bytes, 16 of 4096).
constexpr DWORD VolumeChunkBytes = 65536;

// "\\.\X:" for drive (1 = A:) into path, which holds VolumePathSize characters.
constexpr int VolumePathSize = 7;
void VolumePath(std::uint8_t drive, char* path);

// Opens the volume unbuffered for reading and writing; gives the handle exactly
// as CreateFileA returned it (INVALID_HANDLE_VALUE on failure).
HANDLE OpenVolume(const char* path);
// Positions at sector * sectorSize (64-bit); gives 1 when the positioning
// failed, else 0.
int SeekSector(HANDLE volume, std::uint64_t sector, DWORD sectorSize);
// Transfer count sectors of sectorSize bytes as one request; give the number
// of bytes the system reported as moved, 0 after a failure.
DWORD ReadSectors(HANDLE volume, void* buffer, DWORD count, DWORD sectorSize);
DWORD WriteSectors(HANDLE volume, const void* buffer, DWORD count, DWORD sectorSize);
// Closes the handle; always gives 1.
int CloseVolume(HANDLE volume);

// The volume's logical sector size: what the volume reports, or, when it does
// not answer, the first of 512, 1024, 2048 and 4096 bytes that a read at the
// start does not refuse as an invalid parameter (512 when the first read fails
// for another reason). Gives 0, with the size noted in LastDiskError, for a
// reported size that is none of these.
DWORD VolumeSectorSize(HANDLE volume);

// One sector of drive (1 = A:): open, find the sector size, position, transfer,
// close. A read gives the sector's first 512 bytes in record. A write puts the
// record's 512 bytes at the start of the sector and the rest of the sector back
// as the volume held it. With pastEnd the volume is opened for access past the
// end of its file system. Stops at the first failed step, noting it in
// LastDiskError, and never closes an invalid handle. True when it worked.
bool ReadVolumeSector(std::uint8_t drive, std::uint64_t sector, std::uint8_t* record,
                      bool pastEnd = false);
bool WriteVolumeSector(std::uint8_t drive, std::uint64_t sector, const std::uint8_t* record,
                       bool pastEnd = false);

// count sectors from first into buffer (count * the volume's sector size
// bytes): one open of the volume, with access past the end of its file system,
// then one request of up to VolumeChunkBytes per chunk through VolumeBuffer.
// Stops at the first failed step, noting it in LastDiskError; true when every
// sector arrived.
bool ReadVolumeSectors(std::uint8_t drive, std::uint64_t first, std::uint32_t count,
                       std::uint8_t* buffer);

// The drive's sector size, asked of its volume (opened and closed again); 0,
// noted in LastDiskError, when the volume does not open or its size is none of
// the four.
DWORD DriveVolumeSectorSize(std::uint8_t drive);

// --- One handle for a whole write ---
// A write to a mounted volume locks it, so that no file is open while its boot
// sector changes, and dismounts it afterwards, so that the file system reads
// the new boot sector when the volume is next used. A locked volume can be
// reached only through the handle that locked it, so every transfer of the
// write goes through that one handle.
//
// Opens the drive's volume unbuffered, sharing reading and writing as locking
// needs, and finds its sector size. INVALID_HANDLE_VALUE on failure, noted in LastDiskError.
HANDLE OpenLockableVolume(std::uint8_t drive, DWORD* sectorSize);
// FSCTL_LOCK_VOLUME, tried again for about two seconds while it is refused (a
// volume with open files, the system volume, one holding a page file).
bool LockVolume(HANDLE volume);
// Asks for access past the end of the file system on the handle, where an NTFS
// volume keeps its backup boot sector; a refusal is not reported.
void AllowPastEnd(HANDLE volume);
// One sector on an open handle, as ReadVolumeSector and WriteVolumeSector move it.
bool ReadSectorOn(HANDLE volume, DWORD sectorSize, std::uint64_t sector, std::uint8_t* record);
bool WriteSectorOn(HANDLE volume, DWORD sectorSize, std::uint64_t sector,
                   const std::uint8_t* record);
// Ends a write's use of the handle: dismounts the volume when asked (after a
// write on a locked volume; a refusal changes nothing, the write stands),
// unlocks a locked one, and closes the handle.
void ReleaseVolume(HANDLE volume, bool locked, bool dismount);

// Where the drive's partition starts on its disk and how long it is, in bytes.
// False when the volume answers neither partition request.
bool VolumePartition(std::uint8_t drive, std::uint64_t* start, std::uint64_t* length);

// The drive picker's readability test on the NT family: a buffered open of the
// volume and a read of its first sector. True when a whole sector arrived.
// After a false answer GetLastError tells why (ERROR_NOT_READY: no medium).
bool ProbeVolume(std::uint8_t drive);

// Whole sectors move through this buffer, aligned as unbuffered I/O needs and in
// the program's own data (zero-filled .bss: no room in the file).
extern std::uint8_t VolumeBuffer[VolumeChunkBytes];
