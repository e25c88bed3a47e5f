#include "backup.h"

#include "layout.h"
#include "recognize.h"
#include "record.h"

#include <cstring>

namespace {

constexpr std::uint16_t NoFat32Backup = 0xFFFF; // like 0, names no backup
constexpr std::uint8_t SignatureLow = 0x55;
constexpr std::uint8_t SignatureHigh = 0xAA;

} // namespace

bool BackupLocation(const std::uint8_t* record, std::uint8_t kind, std::uint64_t* sector)
{
    if (kind == FsKindFat32) {
        const std::uint16_t backup = LoadU16(record, fat32::BPB_BkBootSec);
        const std::uint16_t reserved = LoadU16(record, BPB_RsvdSecCnt);
        if (backup == 0 || backup == NoFat32Backup || backup >= reserved)
            return false;
        *sector = backup;
        return true;
    }
    if (kind == FsKindNtfs) {
        *sector = LoadU64(record, ntfs::NtfsTotalSectors);
        return *sector != 0;
    }
    return false;
}

bool BackupOnVolume(const std::uint8_t* record, std::uint8_t kind, std::uint32_t volumeSectorSize,
                    BackupPlace* place)
{
    std::uint64_t sector = 0;
    if (!BackupLocation(record, kind, &sector))
        return false;
    const std::uint32_t own = LoadU16(record, BPB_BytsPerSec);
    if (own != 0 && volumeSectorSize != 0 && own != volumeSectorSize &&
        (sector * own) % volumeSectorSize == 0)
        sector = sector * own / volumeSectorSize;
    place->sector = sector;
    place->pastFileSystem = kind == FsKindNtfs;
    return true;
}

BackupPlan PlanBackup(const std::uint8_t* current, const std::uint8_t* backup,
                      const std::uint8_t* next, std::uint32_t volumeSectorSize)
{
    BackupPlace now = {};
    BackupPlace named = {};
    if (!BackupOnVolume(current, RecognizeKindOf(current), volumeSectorSize, &now))
        return BackupPlanNone;
    if (backup == nullptr)
        return BackupPlanUnreadable;
    if (std::memcmp(backup, current, SectorSize) != 0)
        return BackupPlanDiffers;
    if (!BackupOnVolume(next, RecognizeKindOf(next), volumeSectorSize, &named) ||
        named.sector != now.sector)
        return BackupPlanMoved;
    return BackupPlanUpdate;
}

bool HoldsFat32BootSector(const std::uint8_t* sector)
{
    return std::memcmp(sector + fat32::BS_FilSysType, "FAT32", 5) == 0 &&
           sector[BootSignature] == SignatureLow && sector[BootSignature + 1] == SignatureHigh;
}

bool HoldsNtfsBootSector(const std::uint8_t* sector)
{
    return std::memcmp(sector + BS_OEMName, "NTFS    ", 8) == 0;
}
