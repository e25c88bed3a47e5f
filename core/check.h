// The boot sector check: the record's fields against the rules that formatters
// and file system checkers hold them to. Each finding names the rule, the
// offset of the field it concerns and the numbers involved; turning it into
// words is the window's part.
#pragma once

#include <cstdint>

// Each rule's value and limit are described beside it. A field's value is the
// number the form shows for it, unless said otherwise.
enum CheckRule : std::uint8_t {
    // Every kind.
    RuleJump = 1,          // value: bytes 0 to 2 as a little-endian number
    RuleSignature,         // value: bytes 510 and 511 as a little-endian number
    RuleBytesPerSector,    // not 512, 1024, 2048 or 4096
    RuleSectorsPerCluster, // not a power of two from 1 to 128 (on NTFS, nor 0xF4 to 0xF8)
    RuleFatClusterSize,    // limit: the cluster in bytes, above 32 KiB
    RuleNtfsClusterSize,   // limit: the cluster in bytes, above 2 MiB
    RuleNtfsLargeCluster,  // limit: the cluster in bytes, above 64 KiB (a warning)
    RuleMedia,             // neither 0xF0 nor 0xF8 to 0xFF
    // FAT12, FAT16 and FAT32.
    RuleReservedSectors, // 0
    RuleNoFat,           // 0 FATs
    RuleManyFats,        // more than 2 FATs (a warning)
    RuleFatSizeZero,     // the FAT size in use is 0
    RuleFatTooSmall,     // limit: the FAT sectors the clusters need
    RuleNoDataRegion,    // value: the total; limit: the sectors before the data, and one cluster
    RuleTotalMissing,    // the total in use is 0
    // FAT12 and FAT16.
    RuleRootEntriesZero,      // 0 root entries
    RuleRootEntriesPartial,   // limit: the entries that fill one sector
    RuleTotalInBoth,          // value: BPB_TotSec16; limit: BPB_TotSec32, which should be 0
    RuleSmallTotalIn32,       // value: BPB_TotSec32, below 65535 with BPB_TotSec16 at 0
    RuleFat12TooManyClusters, // value: the data clusters; limit: 4085
    RuleFat16TooFewClusters,  // value: the data clusters; limit: 4085
    RuleFat16TooManyClusters, // value: the data clusters; limit: 65525
    // FAT32.
    RuleFat32RootEntries,  // root entries not 0
    RuleFat32SmallTotal,   // BPB_TotSec16 not 0
    RuleFat32SmallFatSize, // BPB_FATSz16 not 0
    RuleFat32FewClusters,  // value: the data clusters; limit: 65525
    RuleRootCluster,       // limit: the last cluster number, 0 when unknown
    RuleFsInfoOutside,     // limit: the reserved sectors
    RuleBackupOutside,     // limit: the reserved sectors
    RuleFsInfoIsBackup,    // the FS Info sector is the backup boot sector
    RuleFsVersion,         // not 0
    // NTFS.
    RuleNtfsFatField,   // a field only FAT uses is not 0
    RuleNtfsName,       // value: bytes 3 to 10 as a little-endian number
    RuleMftZero,        // the $MFT or $MFTMirr cluster is 0
    RuleMftMirrSame,    // $MFTMirr is at the $MFT cluster
    RuleMftOutside,     // limit: the volume's clusters
    RuleNtfsRecordCode, // low byte neither 1 to 64 as a power of two nor 0xE1 to 0xF7
    // The record against the drive it was read from.
    RuleHiddenSectors,    // limit: the partition's first sector
    RuleTotalTooLarge,    // limit: the most the volume holds (NTFS: its length less one)
    RuleMediaNotFat,      // limit: the media byte that FAT[0] holds
    RulePartitionUnknown, // the partition's start could not be asked
    RuleBackupDiffers,    // offset to value: bytes that differ; limit: the backup's sector
    RuleBackupUnreadable, // limit: the backup's sector
    // The record against its partition in a disk image's table.
    RuleHiddenFromEbr,  // the hidden sectors count from the EBR (DOS); limit: the start on the disk
    RuleHiddenEbrCount, // follows RuleHiddenSectors for a logical partition; limit: the EBR count
    RuleTotalLength,    // value: the total sectors; limit: the partition's length
};

struct Finding {
    std::uint8_t rule;    // a CheckRule
    std::uint16_t offset; // the field it concerns
    std::uint64_t value;
    std::uint64_t limit;
};

// Checks the 512-byte record under kind: NTFS, FAT32, or FAT12/FAT16 for any
// other kind (a generic record counts as FAT12 or FAT16 by its data clusters).
// A field that breaks its own rule leaves out the rules computed from it: a
// bad sector size or cluster size gives no cluster-count findings. Writes at
// most capacity findings to out and returns how many it wrote.
int CheckBootRecord(const std::uint8_t* record, std::uint8_t kind, Finding* out, int capacity);

// The hidden sectors against the partition's first sector on its disk, when
// known: RuleHiddenSectors when they differ, RulePartitionUnknown when the
// start is not known. Returns the findings written to out (0 or 1).
int CheckPartitionStart(const std::uint8_t* record, bool startKnown, std::uint64_t startSector,
                        Finding* out, int capacity);

// What the program knows of the volume a record was read from.
struct VolumeFacts {
    bool startKnown;
    std::uint64_t start;    // the partition's first sector on its disk, in the volume's sectors
    std::uint64_t bytes;    // the volume's length; 0 when unknown
    bool fatRead;           // fatStart holds the first bytes of the first FAT
    std::uint32_t fatStart; // FAT[0] and what follows, little-endian
};

// The sector of a volume of volumeSectorSize-byte sectors where the record's
// first FAT starts (after BPB_RsvdSecCnt sectors of the record's own size);
// false when it does not start on a boundary of one, or the sizes are unknown.
bool FirstFatOnVolume(const std::uint8_t* record, std::uint32_t volumeSectorSize,
                      std::uint64_t* sector);

// The record against the volume's length and its FAT: RuleTotalTooLarge when
// the total claims more sectors than the volume holds, RuleMediaNotFat when
// FAT[0] starts a FAT (the bits above the media byte set) with a valid media
// byte other than the record's. Returns the findings written to out.
int CheckVolumeFacts(const std::uint8_t* record, std::uint8_t kind, const VolumeFacts& facts,
                     Finding* out, int capacity);

// A value the program knows for a field the check names: the hidden sectors
// (BPB_HiddSec), the total (the field RuleTotalTooLarge names) or the media
// byte (BPB_Media).
struct Correction {
    std::uint16_t offset;
    std::uint64_t now;
    std::uint64_t proposed;
};

// The corrections for the findings against the volume: the hidden sectors
// become the partition's start (when it fits 32 bits); the total the most the
// volume holds, when the record claims more and still holds together with it
// (its FAT has an entry for every cluster, the cluster count keeps the kind,
// the root folder and $MFT stay inside); the media byte FAT[0]'s. Returns the
// corrections written to out.
int ProposeCorrections(const std::uint8_t* record, std::uint8_t kind, const VolumeFacts& facts,
                       Correction* out, int capacity);

// Puts the corrections into the record; a FAT12 or FAT16 total goes where the
// form puts a typed one: BPB_TotSec16 below 65535, else BPB_TotSec32.
void ApplyCorrections(std::uint8_t* record, std::uint8_t kind, const Correction* corrections,
                      int count);
// The record against its partition as its disk's table gives it, in sectors:
// start, length and, for a logical partition, its EBR (else NotLogical). The
// hidden sectors match the start, or for a logical partition the distance from
// its EBR, where DOS counts from (RuleHiddenFromEbr says that one matches);
// otherwise RuleHiddenSectors, followed for a logical partition by
// RuleHiddenEbrCount. The total sectors match the length (NTFS: the length or
// one less, its backup lying past the file system), else RuleTotalLength.
constexpr std::uint64_t NotLogical = ~std::uint64_t{0};
int CheckPartitionPlace(const std::uint8_t* record, std::uint8_t kind, std::uint64_t start,
                        std::uint64_t length, std::uint64_t ebr, Finding* out, int capacity);

// The record against its backup as read from sector (nullptr: the read failed):
// one RuleBackupDiffers for each run of differing bytes, in order, or one
// RuleBackupUnreadable. Returns the findings written to out.
int CheckBackup(const std::uint8_t* record, const std::uint8_t* backup, std::uint64_t sector,
                Finding* out, int capacity);
