// Where a boot sector's backup lies on a volume, and what a write does with it.
#include "core/backup.h"
#include "core/record.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace {

using Sector = std::array<std::uint8_t, 512>;

// A FAT32 sector naming its backup at backup (32 reserved sectors), an NTFS one
// whose last sector is backup, or a FAT16 one, which keeps none.
Sector BootSector(std::uint8_t kind, std::uint16_t ownSize, std::uint16_t backup)
{
    Sector s{};
    StoreU16(s.data(), 11, ownSize);
    StoreU16(s.data(), 14, 32);
    if (kind == FsKindFat32) {
        std::memcpy(s.data() + 82, "FAT32", 5);
        StoreU16(s.data(), 50, backup);
    } else if (kind == FsKindNtfs) {
        std::memcpy(s.data() + 3, "NTFS    ", 8);
        StoreU64(s.data(), 40, backup);
    } else {
        std::memcpy(s.data() + 54, "FAT16", 5);
    }
    return s;
}

enum class Copy { Same, Differs, Unreadable };

TEST(Backup, PlaceOnTheVolumeAndPlanOfAWrite)
{
    struct Case {
        const char* name;
        std::uint8_t kind;
        std::uint16_t ownSize, backup;
        std::uint32_t volumeSize;
        Copy copy;
        std::uint16_t nextBackup;
        std::uint64_t place; // ~0: none named
        BackupPlan plan;
    };
    constexpr std::uint64_t None = ~std::uint64_t{0};
    const Case cases[] = {
        {"FAT16 keeps none", FsKindFat16, 512, 0, 512, Copy::Same, 0, None, BackupPlanNone},
        {"FAT32 0xFFFF names none", FsKindFat32, 512, 0xFFFF, 512, Copy::Same, 6, None,
         BackupPlanNone},
        {"FAT32 past the reserved area", FsKindFat32, 512, 32, 512, Copy::Same, 32, None,
         BackupPlanNone},
        {"FAT32 in step", FsKindFat32, 512, 6, 512, Copy::Same, 6, 6, BackupPlanUpdate},
        {"FAT32 unreadable", FsKindFat32, 512, 6, 512, Copy::Unreadable, 6, 6,
         BackupPlanUnreadable},
        {"FAT32 already differs", FsKindFat32, 512, 6, 512, Copy::Differs, 6, 6, BackupPlanDiffers},
        {"FAT32 moved to 7", FsKindFat32, 512, 6, 512, Copy::Same, 7, 6, BackupPlanMoved},
        {"FAT32 record names none", FsKindFat32, 512, 6, 512, Copy::Same, 0, 6, BackupPlanMoved},
        {"NTFS in step, own units", FsKindNtfs, 512, 63, 512, Copy::Same, 63, 63, BackupPlanUpdate},
        {"512 in 4096: sector 8 is 1", FsKindFat32, 512, 8, 4096, Copy::Same, 8, 1,
         BackupPlanUpdate},
        {"512 in 4096: sector 6 off a boundary", FsKindFat32, 512, 6, 4096, Copy::Same, 8, 6,
         BackupPlanMoved},
        {"size unknown: own units", FsKindFat32, 512, 8, 0, Copy::Same, 8, 8, BackupPlanUpdate},
    };
    for (const auto& c : cases) {
        const Sector current = BootSector(c.kind, c.ownSize, c.backup);
        Sector next = BootSector(c.kind, c.ownSize, c.nextBackup);
        next[100] = 0x77; // the edit being written
        Sector backup = current;
        backup[300] ^= c.copy == Copy::Differs ? 1 : 0;
        BackupPlace place = {None, false};
        BackupOnVolume(current.data(), c.kind, c.volumeSize, &place);
        EXPECT_EQ(place.sector, c.place) << c.name;
        EXPECT_EQ(place.pastFileSystem, c.kind == FsKindNtfs) << c.name;
        EXPECT_EQ(PlanBackup(current.data(), c.copy == Copy::Unreadable ? nullptr : backup.data(),
                             next.data(), c.volumeSize),
                  c.plan)
            << c.name;
    }
}

} // namespace
