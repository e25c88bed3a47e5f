// A disk image file as a disk: its volumes, found through its partition table,
// and one sector of a volume read or written in place. Files of any size, with
// 64-bit positions through SetFilePointer's high part (Windows 95, NT 3.1).
// Every transfer opens the file and closes it again, as the drive paths do:
// read-only to list and read, for reading and writing only to write.
#pragma once

#include "core/partition.h"

#include <windows.h>

#include <cstdint>

// How a volume was found.
enum ImageVolumeKind : std::uint8_t {
    ImageVolumeWhole,   // the whole disk: no table recognised
    ImageVolumeOwnBoot, // the file is a volume image: sector 0 is its boot sector
    ImageVolumePrimary, // an MBR slot 1 to 4
    ImageVolumeLogical, // a logical partition in the extended partition, 5 onwards
    ImageVolumeGpt,     // a GPT slot
};

struct ImageVolume {
    std::uint32_t number;                // as Linux numbers it: the slot, logicals from 5, else 1
    std::uint64_t start;                 // first sector, in sectors of sectorSize
    std::uint64_t length;                // in sectors of sectorSize
    std::uint32_t sectorSize;            // 512, 1024, 2048 or 4096
    std::uint8_t kind;                   // ImageVolumeKind
    std::uint8_t mbrType;                // the MBR or EBR entry's type (primary, logical)
    std::uint8_t gptType[gpt::GuidSize]; // the GPT entry's type GUID as stored
    std::uint64_t ebrSector; // a logical partition's EBR, where DOS counts hidden sectors from
    bool cutShort;           // runs past the end of the image (a truncated copy)
};

// What opening an image found.
enum ImageResult : std::uint8_t {
    ImageListed,      // ImageVolumes holds ImageVolumeCount volumes (at least one)
    ImageOpenFailed,  // the file would not open or tell its size: LastDiskError says why
    ImageReadFailed,  // a read failed: LastDiskError says why
    ImageTooSmall,    // shorter than one 512-byte sector
    ImageRefusedVhdx, // one code for each container format that is not raw
    ImageRefusedVmdk,
    ImageRefusedQcow2,
    ImageRefusedVdi,
    ImageRefusedDynamicVhd,
    ImageBadTable, // the table failed its check: ImageTableProblem says how
};

// The list holds at most this many volumes; a table with more used entries is
// reported as TableTooManyVolumes (GPT arrays usually have 128 slots).
constexpr int MaxImageVolumes = 128;

// The image last opened: its path, the bytes of its disk (a fixed VHD's footer
// not counted), its volumes, and what was wrong with its table when
// OpenDiskImage gave ImageBadTable. ImageUsedBackupGpt: the primary GPT header
// or its entries were bad and the backup at the disk's last LBA was used.
extern char DiskImagePath[MAX_PATH];
extern std::uint64_t ImageDiskBytes;
extern ImageVolume ImageVolumes[MaxImageVolumes];
extern int ImageVolumeCount;
extern TableResult ImageTableProblem;
extern bool ImageUsedBackupGpt;

// Opens the file read-only, recognises it and lists its volumes: container
// formats are refused; a volume image is one volume; then GPT, then MBR; then
// anything else is the whole disk as volume 1. The previous image's list is
// replaced (emptied unless ImageListed).
ImageResult OpenDiskImage(const char* path);

// Sector n of the volume (in the volume's sector size), from DiskImagePath. A read
// gives the sector's first 512 bytes in record; a write puts the record's 512
// bytes there and changes no other byte of the file. A sector past the
// volume's or the image's end is a short transfer (DiskCauseShort) and nothing
// is written. True when it worked; otherwise LastDiskError tells why (a
// read-only file or one another program holds fails at DiskStepOpen).
bool ReadImageSector(const ImageVolume& volume, std::uint64_t n, std::uint8_t* record);
bool WriteImageSector(const ImageVolume& volume, std::uint64_t n, const std::uint8_t* record);
// count whole sectors of the volume from sector first, in one read, into
// buffer (count times the volume's sector size); a range past the volume's or
// the image's end is a short transfer.
bool ReadImageSectors(const ImageVolume& volume, std::uint64_t first, std::uint32_t count,
                      std::uint8_t* buffer);

// Whether the image file opens for reading and writing now (it is closed
// again); false, noted in LastDiskError, for a read-only file or one another
// program holds.
bool ImageWritable();
