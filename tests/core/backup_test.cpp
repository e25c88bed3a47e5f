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

// The backup: the old sector 0, it with a byte changed, unreadable, 0s, 0xF6s, the new record.
enum class Copy { Same, Differs, Unreadable, Zeros, NoBpb, Next };

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
        std::uint64_t length = 0;   // the volume's sectors, 0: unknown
        std::uint16_t fsInfo = 0;   // FAT32 BPB_FSInfo, in both records
        bool sector0Zeroed = false; // the drive's sector 0 is no boot sector
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
        {"FAT32 empty: filled", FsKindFat32, 512, 6, 512, Copy::Zeros, 6, 6, BackupPlanFill},
        {"FAT32 no BPB: filled", FsKindFat32, 512, 6, 512, Copy::NoBpb, 6, 6, BackupPlanFill},
        {"FAT32 empty at FS Info", FsKindFat32, 512, 6, 512, Copy::Zeros, 6, 6, BackupPlanDiffers,
         0, 6},
        {"NTFS empty, length known", FsKindNtfs, 512, 63, 512, Copy::Zeros, 63, 63, BackupPlanFill,
         64},
        {"NTFS empty, length unknown", FsKindNtfs, 512, 63, 512, Copy::Zeros, 63, 63,
         BackupPlanDiffers},
        {"NTFS empty, not the last", FsKindNtfs, 512, 63, 512, Copy::Zeros, 63, 63,
         BackupPlanDiffers, 100},
        {"sector 0 zeroed: next names it", FsKindFat32, 512, 6, 512, Copy::Zeros, 6, 6,
         BackupPlanFill, 0, 0, true},
        {"sector 0 zeroed, backup is next", FsKindNtfs, 512, 63, 512, Copy::Next, 63, 63,
         BackupPlanNone, 64, 0, true},
        {"sector 0 zeroed, boot sector differs", FsKindFat32, 512, 6, 512, Copy::Differs, 6, 6,
         BackupPlanDiffers, 0, 0, true},
    };
    for (const auto& c : cases) {
        Sector old = BootSector(c.kind, c.ownSize, c.backup);
        Sector next = BootSector(c.kind, c.ownSize, c.nextBackup);
        next[100] = 0x77; // the edit being written
        StoreU16(old.data(), 48, c.fsInfo);
        StoreU16(next.data(), 48, c.fsInfo);
        const Sector current = c.sector0Zeroed ? Sector{} : old;
        Sector backup = c.copy == Copy::Zeros ? Sector{} : c.copy == Copy::Next ? next : old;
        if (c.copy == Copy::NoBpb)
            backup.fill(0xF6);
        backup[300] ^= c.copy == Copy::Differs ? 1 : 0;
        BackupPlace place = {None, false};
        BackupOfWrite(current.data(), next.data(), c.volumeSize, &place);
        EXPECT_EQ(place.sector, c.place) << c.name;
        EXPECT_EQ(place.pastFileSystem, c.kind == FsKindNtfs) << c.name;
        EXPECT_EQ(PlanBackup(current.data(), c.copy == Copy::Unreadable ? nullptr : backup.data(),
                             next.data(), c.volumeSize, c.length),
                  c.plan)
            << c.name;
    }
}

} // namespace
