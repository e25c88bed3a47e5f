#include "backup.h"

#include "layout.h"
#include "partition.h"
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

bool BackupOfWrite(const std::uint8_t* current, const std::uint8_t* next,
                   std::uint32_t volumeSectorSize, BackupPlace* place)
{
    const std::uint8_t* namer = IsVolumeBootSector(current) ? current : next;
    return BackupOnVolume(namer, RecognizeKindOf(namer), volumeSectorSize, place);
}

namespace {

// Whether the record keeps its backup where formatters put one, so that an
// empty sector there can only be a backup's lost place, not data: a FAT32
// backup above sector 1 that is not the FS Info sector, or the NTFS volume's
// last sector when the volume's length is known.
bool AtUsualPlace(const std::uint8_t* record, const BackupPlace& place, std::uint64_t volumeSectors)
{
    switch (RecognizeKindOf(record)) {
    case FsKindFat32: {
        const std::uint16_t backup = LoadU16(record, fat32::BPB_BkBootSec);
        return backup > 1 && backup != LoadU16(record, fat32::BPB_FSInfo);
    }
    case FsKindNtfs: return volumeSectors != 0 && place.sector + 1 == volumeSectors;
    default: return false;
    }
}

} // namespace

BackupPlan PlanBackup(const std::uint8_t* current, const std::uint8_t* backup,
                      const std::uint8_t* next, std::uint32_t volumeSectorSize,
                      std::uint64_t volumeSectors)
{
    BackupPlace place = {};
    BackupPlace named = {};
    if (!BackupOfWrite(current, next, volumeSectorSize, &place))
        return BackupPlanNone;
    if (backup == nullptr)
        return BackupPlanUnreadable;
    const bool currentIsBoot = IsVolumeBootSector(current);
    if (!currentIsBoot && std::memcmp(backup, next, SectorSize) == 0)
        return BackupPlanNone;
    const bool empty = !IsVolumeBootSector(backup);
    if (!empty && std::memcmp(backup, current, SectorSize) != 0)
        return BackupPlanDiffers;
    if (!BackupOnVolume(next, RecognizeKindOf(next), volumeSectorSize, &named) ||
        named.sector != place.sector)
        return BackupPlanMoved;
    if (!empty)
        return BackupPlanUpdate;
    const bool usual = AtUsualPlace(next, place, volumeSectors) &&
                       (!currentIsBoot || AtUsualPlace(current, place, volumeSectors));
    return usual ? BackupPlanFill : BackupPlanDiffers;
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
