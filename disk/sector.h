// A volume's sectors on both Windows families, by volume and sector number: a
// drive goes to the volume device on the NT family (volume.h) or the VWIN32
// device on the 9x family (legacy.h), chosen once at start-up; a volume of the
// open disk image goes to the image file (disk_image.h) on either family.
#pragma once

#include <windows.h>

#include <cstdint>

// The Windows family, chosen once at start-up by PrepareDiskAccess; every part
// of the program asks it here.
constexpr std::uint8_t OsFamily9x = 0x10; // Windows 95, 98, Me: the VWIN32 device
constexpr std::uint8_t OsFamilyNt = 0x20; // NT 4.0 and everything after it: volume devices
extern std::uint8_t OsFamily;

// Asks the system's version, sets OsFamily and, on the 9x family, prepares the
// VWIN32 services. True on the 9x family.
bool PrepareDiskAccess();

// The one kind of target of every disk command: a drive, 1 (A:) to 25 (Y:), or
// a volume of the open disk image, ImageVolumeBase plus its index in
// ImageVolumes, which holds its start, length and sector size. Only disk/ tells
// the two apart; the commands pass the value along.
using Volume = std::uint32_t;
constexpr Volume NoVolume = 0;
constexpr Volume ImageVolumeBase = 0x100;
constexpr Volume ImageVolumeAt(int index)
{
    return ImageVolumeBase + static_cast<Volume>(index);
}

// Reads the first 512 bytes of the sector into record. True when they all
// arrived; otherwise LastDiskError (disk_error.h) tells why and record may hold
// anything. pastFileSystem asks the NT family for access past the end of the
// file system, where an NTFS volume keeps its backup boot sector.
bool ReadDriveSector(Volume drive, std::uint64_t sector, std::uint8_t* record,
                     bool pastFileSystem = false);

// Puts the record's 512 bytes at the start of the sector; the rest of a larger
// sector keeps its bytes. True when the write worked; otherwise LastDiskError
// tells why. On the 9x family the volume is locked around the write.
bool WriteDriveSector(Volume drive, std::uint64_t sector, const std::uint8_t* record);

// Reads count sectors of the drive's own size from first into buffer (count *
// that size bytes), in chunks of at most DriveChunkSectors, one request each:
// on the NT family one open of the volume device and 64 KiB requests, unbuffered,
// through disk/volume's aligned buffer; on the 9x family 32 KiB requests (64
// sectors) into a window of that buffer, which lies in the exe's image as the
// VWIN32 services need. True when every sector arrived; otherwise LastDiskError
// tells why and buffer may hold anything.
bool ReadDriveSectors(Volume drive, std::uint64_t first, std::uint32_t count, std::uint8_t* buffer);
// The most sectors of sectorSize bytes that one request of ReadDriveSectors moves.
std::uint32_t DriveChunkSectors(DWORD sectorSize);

// --- Writing a drive's boot sectors, as one session ---
// BeginBootWrite, then the second read of sector 0 (ReadWriteSector), then
// WriteBootSectors, then EndBootWrite, which always follows a begin, whatever
// came between. On the NT family the session holds one handle to the volume,
// sharing reading and writing: the volume is locked on it, every transfer of
// the session goes through it, and at the end a locked volume is dismounted
// (so that its file system reads the new boot sector) and unlocked. On the 9x
// family the transfers go as outside a session, and WriteBootSectors locks the
// volume around its writes.
enum BootWriteStart : std::uint8_t {
    BootWriteLocked,      // the session is open with the volume locked (9x: always)
    BootWriteLockRefused, // open, but the volume is in use: writes would go unlocked
    BootWriteFailed,      // the volume could not be opened; LastDiskError tells why
};
BootWriteStart BeginBootWrite(Volume drive);
// One sector of the session's drive, as ReadDriveSector reads it.
bool ReadWriteSector(Volume drive, std::uint64_t sector, std::uint8_t* record);
// Writes the record to sector 0 and then, unless backup is NoBackupSector, to
// that sector too. Gives the number of sectors written: 0 when sector 0
// failed, and then the backup is not tried; a failure is noted in LastDiskError.
constexpr std::uint64_t NoBackupSector = ~std::uint64_t{0};
int WriteBootSectors(Volume drive, std::uint64_t backup, bool backupPastFileSystem,
                     const std::uint8_t* record);
void EndBootWrite();

// The size of the drive's sectors, asked of the drive: 512 on the 9x family;
// 0 when the NT family's volume does not answer.
DWORD DriveSectorSize(Volume drive);

// Where the drive's partition starts on its disk and how long it is, in bytes.
// False when the system does not say (the 9x family, Wine, old drivers).
bool DrivePartition(Volume drive, std::uint64_t* start, std::uint64_t* length);

// The volume's length in its own sectors where the image's list or the system
// gives it, without a read. For a drive letter the system does not say on the
// 9x family, under Wine or with old drivers.
bool DriveToldLength(Volume drive, std::uint64_t* sectors);

// The volume's length in its own sectors: the length told (DriveToldLength),
// else one past the last sector that a read returns in full (Wine, the 9x
// family), found by doubling and then halving, about 2 log2(n) reads. False
// when not even sector 0 can be read.
bool DriveLength(Volume drive, std::uint64_t* sectors);

// How the drive picker's test of one drive came out.
enum DriveProbe : std::uint8_t {
    DriveReadable,     // its first sector could be read
    DriveNotReady,     // the NT family's answer for a drive without a medium
    DriveAccessDenied, // the volume refused to open: the program lacks the rights
    DriveUnreadable,   // anything else, or no such drive
};
DriveProbe ProbeDrive(Volume drive);

// --- What the messages, the picker and the check ask of a volume ---
// The image file holding the volume, or nullptr for a drive; the volume's
// number in its image (as Linux numbers it).
const char* VolumeImageFile(Volume drive);
std::uint32_t VolumeImageNumber(Volume drive);
// Whether the volume answers the check's questions about its place (every
// image volume; a drive on the NT family).
bool VolumeCheckable(Volume drive);
// An image volume's place in its partition table, in the volume's sectors:
// its start, its length and, for a logical partition, its EBR (else
// NoEbrSector). False for a drive, a volume image and a disk without a table.
constexpr std::uint64_t NoEbrSector = ~std::uint64_t{0};
bool VolumeTablePlace(Volume drive, std::uint64_t* start, std::uint64_t* length,
                      std::uint64_t* ebr);
// The start of an undo file's name: the drive letter, or for an image volume
// "<image name without extension, at most 32 characters>-p<N>". stem holds
// UndoStemSize characters.
constexpr int UndoStemSize = 48;
void VolumeUndoStem(Volume drive, char* stem);
