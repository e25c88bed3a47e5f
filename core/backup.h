// Where a boot sector keeps its backup copy, in the volume's own sectors.
#pragma once

#include <cstdint>

// FAT32: sector BPB_BkBootSec when it lies between 1 and BPB_RsvdSecCnt - 1
// (0 and 0xFFFF mean none). NTFS: the volume's last sector, NtfsTotalSectors
// (the field counts the volume's sectors less that one). FAT12 and FAT16 keep
// no backup. kind is a FsKind value. False when the record names none.
bool BackupLocation(const std::uint8_t* record, std::uint8_t kind, std::uint64_t* sector);

// Where the backup lies on a volume whose sectors are volumeSectorSize bytes:
// BackupLocation's sector, which counts in the record's own BPB_BytsPerSec,
// converted to the volume's sectors where it falls on a boundary of one (kept
// as it is otherwise, or when either size is unknown). pastFileSystem: the
// NTFS backup lies past the end of its file system. False when none is named.
struct BackupPlace {
    std::uint64_t sector;
    bool pastFileSystem;
};
bool BackupOnVolume(const std::uint8_t* record, std::uint8_t kind, std::uint32_t volumeSectorSize,
                    BackupPlace* place);

// What a write does with the drive's backup boot sector, and why.
enum BackupPlan : std::uint8_t {
    BackupPlanNone,       // sector 0 names no backup
    BackupPlanUpdate,     // the pair matched: the backup is written too
    BackupPlanDiffers,    // the backup already differs from sector 0: left as it is
    BackupPlanUnreadable, // the backup could not be read: left as it is
    BackupPlanMoved,      // the new record names another place for it: left as it is
    BackupPlanFill,       // the backup's place holds no boot sector: the new one goes there too
};

// Where the backup lies that a write of next over current, the drive's sector
// 0, plans for: where current names it, or, when current is no boot sector at
// all (zeroed, say), where next names it. False when the one asked names none.
bool BackupOfWrite(const std::uint8_t* current, const std::uint8_t* next,
                   std::uint32_t volumeSectorSize, BackupPlace* place);

// The plan for writing next over current, whose backup, at BackupOfWrite's
// place, reads as backup (nullptr: the read failed). The backup is updated only
// while the pair matches and next keeps it at the same place. An empty backup
// (all zeros, or no BPB at all) is filled when next keeps it at the same place
// and that place is where formatters put one: a FAT32 BPB_BkBootSec above 1
// that is not the FS Info sector; NTFS's last sector, when volumeSectors, the
// volume's length in its own sectors (0: unknown), is one past it. A boot
// sector there that differs is left alone; where current is no boot sector, a
// backup that already holds next needs nothing (BackupPlanNone).
BackupPlan PlanBackup(const std::uint8_t* current, const std::uint8_t* backup,
                      const std::uint8_t* next, std::uint32_t volumeSectorSize,
                      std::uint64_t volumeSectors = 0);

// Where formatters put a backup when sector 0 no longer says: sector 6 for FAT32.
constexpr std::uint64_t Fat32UsualBackup = 6;

// Whether a sector found at such a place holds a FAT32 boot sector ("FAT32" at
// 82 and 0x55AA at 510) or an NTFS one ("NTFS    " at 3).
bool HoldsFat32BootSector(const std::uint8_t* sector);
bool HoldsNtfsBootSector(const std::uint8_t* sector);
