#include "check.h"

#include "layout.h"
#include "record.h"

#include <cstring>

namespace {

// The bounds the rules hold the fields to.
constexpr std::uint32_t FatMaxClusterBytes = 32 * 1024;
constexpr std::uint32_t NtfsMaxClusterBytes = 2 * 1024 * 1024;
constexpr std::uint32_t NtfsOldMaxClusterBytes = 64 * 1024; // before Windows 10 1709
constexpr std::uint64_t Fat12ClusterLimit = 4085;           // FAT12 has fewer clusters
constexpr std::uint64_t Fat16ClusterLimit = 65525; // FAT16 has fewer, FAT32 at least as many
constexpr std::uint32_t SmallTotalLimit = 0xFFFF;  // this program's capture keeps 65535 in 32 bits
constexpr std::uint32_t DirectoryEntryBytes = 32;
constexpr std::uint8_t NtfsFirstSizeCode = 0xF4;   // 2^(256 - code) sectors per cluster: 4096
constexpr std::uint8_t NtfsLastSizeCode = 0xF8;    // ... down to 256
constexpr std::uint8_t NtfsFirstRecordCode = 0xE1; // 2^(256 - code) bytes: 2^31
constexpr std::uint8_t NtfsLastRecordCode = 0xF7;  // ... down to 2^9
constexpr std::uint8_t NtfsMaxRecordClusters = 64;
constexpr std::uint64_t NtfsName = 0x202020205346544EULL; // "NTFS    "
constexpr std::uint16_t BootSignatureValue = 0xAA55;

// The findings written so far into the caller's array.
struct Findings {
    Finding* out;
    int capacity;
    int count;
};

void Add(Findings& f, CheckRule rule, std::size_t offset, std::uint64_t value,
         std::uint64_t limit = 0)
{
    if (f.count < f.capacity)
        f.out[f.count++] = {rule, static_cast<std::uint16_t>(offset), value, limit};
}

bool PowerOfTwoUpTo(std::uint32_t n, std::uint32_t max)
{
    return n != 0 && n <= max && (n & (n - 1)) == 0;
}

// The shift that divides by a power of two.
unsigned ShiftOf(std::uint32_t powerOfTwo)
{
    unsigned shift = 0;
    while ((powerOfTwo >> shift) > 1)
        ++shift;
    return shift;
}

// --- Every kind ---

std::uint32_t BytesPerSector(const std::uint8_t* r)
{
    return LoadU16(r, BPB_BytsPerSec);
}

bool SectorSizeValid(const std::uint8_t* r)
{
    const std::uint32_t bytes = BytesPerSector(r);
    return bytes >= 512 && PowerOfTwoUpTo(bytes, 4096);
}

void CheckJump(const std::uint8_t* r, Findings& f)
{
    const std::uint8_t op = r[BS_jmpBoot];
    if (!(op == 0xEB && r[BS_jmpBoot + 2] == 0x90) && op != 0xE9)
        Add(f, RuleJump, BS_jmpBoot, op | (r[BS_jmpBoot + 1] << 8) | (r[BS_jmpBoot + 2] << 16));
}

void CheckSignature(const std::uint8_t* r, Findings& f)
{
    if (LoadU16(r, BootSignature) != BootSignatureValue)
        Add(f, RuleSignature, BootSignature, LoadU16(r, BootSignature));
}

void CheckBytesPerSector(const std::uint8_t* r, Findings& f)
{
    if (!SectorSizeValid(r))
        Add(f, RuleBytesPerSector, BPB_BytsPerSec, BytesPerSector(r));
}

bool ValidMedia(std::uint8_t media)
{
    return media == 0xF0 || media >= 0xF8;
}

void CheckMedia(const std::uint8_t* r, Findings& f)
{
    if (!ValidMedia(r[BPB_Media]))
        Add(f, RuleMedia, BPB_Media, r[BPB_Media]);
}

// --- FAT12, FAT16 and FAT32 ---

// A FAT volume's layout as the record gives it, in sectors. Valid only when
// the sector size and the cluster size are.
struct FatLayout {
    bool valid;
    std::uint32_t sectorsPerCluster;
    std::uint64_t total;     // the total in use; 0 leaves out the rules below
    std::size_t totalOffset; // the field the total came from
    std::uint64_t fatSectors;
    std::size_t fatOffset;
    std::uint64_t dataStart;
    std::uint64_t clusters; // data clusters, when total reaches one past dataStart
};

bool FatClusterValid(const std::uint8_t* r)
{
    return PowerOfTwoUpTo(r[BPB_SecPerClus], 128);
}

FatLayout LayoutOf(const std::uint8_t* r, bool fat32)
{
    FatLayout l{};
    l.valid = SectorSizeValid(r) && FatClusterValid(r);
    l.sectorsPerCluster = r[BPB_SecPerClus];
    const std::uint16_t small = LoadU16(r, BPB_TotSec16);
    l.totalOffset = fat32 || small == 0 ? BPB_TotSec32 : BPB_TotSec16;
    l.total = l.totalOffset == BPB_TotSec32 ? LoadU32(r, BPB_TotSec32) : small;
    l.fatOffset = fat32 ? fat32::BPB_FATSz32 : BPB_FATSz16;
    l.fatSectors = fat32 ? LoadU32(r, fat32::BPB_FATSz32) : LoadU16(r, BPB_FATSz16);
    if (!l.valid)
        return l;
    const std::uint32_t bytes = BytesPerSector(r);
    const std::uint32_t rootBytes = LoadU16(r, BPB_RootEntCnt) * DirectoryEntryBytes;
    l.dataStart = LoadU16(r, BPB_RsvdSecCnt) + std::uint64_t{r[BPB_NumFATs]} * l.fatSectors +
                  (rootBytes + bytes - 1) / bytes;
    if (l.total >= l.dataStart + l.sectorsPerCluster)
        l.clusters = (l.total - l.dataStart) >> ShiftOf(l.sectorsPerCluster);
    return l;
}

bool HasData(const FatLayout& l)
{
    return l.valid && l.total != 0 && l.clusters != 0;
}

void CheckFatSectorsPerCluster(const std::uint8_t* r, Findings& f)
{
    if (!FatClusterValid(r))
        Add(f, RuleSectorsPerCluster, BPB_SecPerClus, r[BPB_SecPerClus]);
}

void CheckFatClusterSize(const std::uint8_t* r, Findings& f)
{
    const std::uint32_t bytes = BytesPerSector(r) * r[BPB_SecPerClus];
    if (SectorSizeValid(r) && FatClusterValid(r) && bytes > FatMaxClusterBytes)
        Add(f, RuleFatClusterSize, BPB_SecPerClus, r[BPB_SecPerClus], bytes);
}

void CheckReservedSectors(const std::uint8_t* r, Findings& f)
{
    if (LoadU16(r, BPB_RsvdSecCnt) == 0)
        Add(f, RuleReservedSectors, BPB_RsvdSecCnt, 0);
}

void CheckNoFat(const std::uint8_t* r, Findings& f)
{
    if (r[BPB_NumFATs] == 0)
        Add(f, RuleNoFat, BPB_NumFATs, 0);
}

void CheckManyFats(const std::uint8_t* r, Findings& f)
{
    if (r[BPB_NumFATs] > 2)
        Add(f, RuleManyFats, BPB_NumFATs, r[BPB_NumFATs], 2);
}

void CheckFatSizeZero(const FatLayout& l, Findings& f)
{
    if (l.fatSectors == 0)
        Add(f, RuleFatSizeZero, l.fatOffset, 0);
}

void CheckTotalMissing(const FatLayout& l, Findings& f)
{
    if (l.total == 0)
        Add(f, RuleTotalMissing, l.totalOffset, 0);
}

void CheckDataRegion(const FatLayout& l, Findings& f)
{
    if (l.valid && l.total != 0 && l.clusters == 0)
        Add(f, RuleNoDataRegion, l.totalOffset, l.total, l.dataStart + l.sectorsPerCluster);
}

// The FAT must hold an entry for each data cluster and the two reserved ones.
// A FAT12/FAT16 record's entry width follows its cluster count, as readers
// take it; a FAT32 entry is 4 bytes.
void CheckFatSize(const std::uint8_t* r, const FatLayout& l, bool fat32, Findings& f)
{
    if (!HasData(l) || l.fatSectors == 0)
        return;
    const std::uint64_t entries = l.clusters + 2;
    std::uint64_t needed = entries * 4; // bytes
    if (!fat32)
        needed = l.clusters < Fat12ClusterLimit ? (entries * 3 + 1) / 2 : entries * 2;
    const std::uint32_t bytes = BytesPerSector(r);
    if (l.fatSectors * bytes < needed)
        Add(f, RuleFatTooSmall, l.fatOffset, l.fatSectors, (needed + bytes - 1) >> ShiftOf(bytes));
}

// --- FAT12 and FAT16 ---

void CheckRootEntriesZero(const std::uint8_t* r, Findings& f)
{
    if (LoadU16(r, BPB_RootEntCnt) == 0)
        Add(f, RuleRootEntriesZero, BPB_RootEntCnt, 0);
}

// Whole sectors of 512 bytes, as fsck.fat counts them: mkfs.fat writes 112
// entries (3.5 sectors) on a volume of 1024-byte sectors, and the root folder's
// last sector is simply not full there.
void CheckRootEntriesWhole(const std::uint8_t* r, Findings& f)
{
    constexpr std::uint32_t perSector = 512 / DirectoryEntryBytes;
    const std::uint16_t entries = LoadU16(r, BPB_RootEntCnt);
    if (entries % perSector != 0)
        Add(f, RuleRootEntriesPartial, BPB_RootEntCnt, entries, perSector);
}

// A total below 65536 belongs in BPB_TotSec16 with BPB_TotSec32 at 0.
void CheckTotalInBoth(const std::uint8_t* r, Findings& f)
{
    const std::uint16_t small = LoadU16(r, BPB_TotSec16);
    const std::uint32_t large = LoadU32(r, BPB_TotSec32);
    if (small != 0 && large != 0)
        Add(f, RuleTotalInBoth, BPB_TotSec32, small, large);
}

void CheckSmallTotalIn32(const std::uint8_t* r, Findings& f)
{
    const std::uint32_t large = LoadU32(r, BPB_TotSec32);
    if (LoadU16(r, BPB_TotSec16) == 0 && large != 0 && large < SmallTotalLimit)
        Add(f, RuleSmallTotalIn32, BPB_TotSec32, large, SmallTotalLimit);
}

// The type text names FAT12 or FAT16 by the data-cluster count; a generic
// record only has to stay below the FAT16 limit.
void CheckFat12Clusters(const FatLayout& l, Findings& f)
{
    if (HasData(l) && l.clusters >= Fat12ClusterLimit)
        Add(f, RuleFat12TooManyClusters, fat16::BS_FilSysType, l.clusters, Fat12ClusterLimit);
}

void CheckFat16FewClusters(const FatLayout& l, Findings& f)
{
    if (HasData(l) && l.clusters < Fat12ClusterLimit)
        Add(f, RuleFat16TooFewClusters, fat16::BS_FilSysType, l.clusters, Fat12ClusterLimit);
}

void CheckFat16ManyClusters(const FatLayout& l, Findings& f)
{
    if (HasData(l) && l.clusters >= Fat16ClusterLimit)
        Add(f, RuleFat16TooManyClusters, fat16::BS_FilSysType, l.clusters, Fat16ClusterLimit);
}

// --- FAT32 ---

void CheckFat32RootEntries(const std::uint8_t* r, Findings& f)
{
    if (LoadU16(r, BPB_RootEntCnt) != 0)
        Add(f, RuleFat32RootEntries, BPB_RootEntCnt, LoadU16(r, BPB_RootEntCnt));
}

void CheckFat32SmallTotal(const std::uint8_t* r, Findings& f)
{
    if (LoadU16(r, BPB_TotSec16) != 0)
        Add(f, RuleFat32SmallTotal, BPB_TotSec16, LoadU16(r, BPB_TotSec16));
}

void CheckFat32SmallFatSize(const std::uint8_t* r, Findings& f)
{
    if (LoadU16(r, BPB_FATSz16) != 0)
        Add(f, RuleFat32SmallFatSize, BPB_FATSz16, LoadU16(r, BPB_FATSz16));
}

void CheckFat32Clusters(const FatLayout& l, Findings& f)
{
    if (HasData(l) && l.clusters < Fat16ClusterLimit)
        Add(f, RuleFat32FewClusters, fat32::BS_FilSysType, l.clusters, Fat16ClusterLimit);
}

// Cluster numbers run from 2 to the count of data clusters plus 1.
void CheckRootCluster(const std::uint8_t* r, const FatLayout& l, Findings& f)
{
    const std::uint32_t root = LoadU32(r, fat32::BPB_RootClus);
    const std::uint64_t last = HasData(l) ? l.clusters + 1 : 0;
    if (root < 2 || (last != 0 && root > last))
        Add(f, RuleRootCluster, fat32::BPB_RootClus, root, last);
}

void CheckFsInfoInside(const std::uint8_t* r, Findings& f)
{
    const std::uint16_t sector = LoadU16(r, fat32::BPB_FSInfo);
    const std::uint16_t reserved = LoadU16(r, BPB_RsvdSecCnt);
    if (sector != 0 && sector >= reserved)
        Add(f, RuleFsInfoOutside, fat32::BPB_FSInfo, sector, reserved);
}

void CheckBackupInside(const std::uint8_t* r, Findings& f)
{
    const std::uint16_t sector = LoadU16(r, fat32::BPB_BkBootSec);
    const std::uint16_t reserved = LoadU16(r, BPB_RsvdSecCnt);
    if (sector != 0 && sector >= reserved)
        Add(f, RuleBackupOutside, fat32::BPB_BkBootSec, sector, reserved);
}

void CheckFsInfoNotBackup(const std::uint8_t* r, Findings& f)
{
    const std::uint16_t sector = LoadU16(r, fat32::BPB_BkBootSec);
    if (sector != 0 && sector == LoadU16(r, fat32::BPB_FSInfo))
        Add(f, RuleFsInfoIsBackup, fat32::BPB_BkBootSec, sector);
}

void CheckFsVersion(const std::uint8_t* r, Findings& f)
{
    if (LoadU16(r, fat32::BPB_FSVer) != 0)
        Add(f, RuleFsVersion, fat32::BPB_FSVer, LoadU16(r, fat32::BPB_FSVer));
}

void CheckFat(const std::uint8_t* r, std::uint8_t kind, Findings& f)
{
    const bool fat32 = kind == FsKindFat32;
    const FatLayout l = LayoutOf(r, fat32);
    CheckFatSectorsPerCluster(r, f);
    CheckFatClusterSize(r, f);
    CheckReservedSectors(r, f);
    CheckNoFat(r, f);
    CheckManyFats(r, f);
    if (fat32) {
        CheckFat32RootEntries(r, f);
        CheckFat32SmallTotal(r, f);
        CheckFat32SmallFatSize(r, f);
    } else {
        CheckRootEntriesZero(r, f);
        CheckRootEntriesWhole(r, f);
        CheckTotalInBoth(r, f);
        CheckSmallTotalIn32(r, f);
    }
    CheckTotalMissing(l, f);
    CheckFatSizeZero(l, f);
    CheckFatSize(r, l, fat32, f);
    CheckDataRegion(l, f);
    if (fat32) {
        CheckFat32Clusters(l, f);
        CheckRootCluster(r, l, f);
        CheckFsInfoInside(r, f);
        CheckBackupInside(r, f);
        CheckFsInfoNotBackup(r, f);
        CheckFsVersion(r, f);
    } else if (kind == FsKindFat12) {
        CheckFat12Clusters(l, f);
    } else {
        if (kind == FsKindFat16)
            CheckFat16FewClusters(l, f);
        CheckFat16ManyClusters(l, f);
    }
}

// --- NTFS ---

constexpr std::size_t MftFields[] = {ntfs::MftCluster, ntfs::MftMirrCluster};
constexpr std::size_t RecordCodeFields[] = {ntfs::ClustersPerFileRecord,
                                            ntfs::ClustersPerIndexBlock};

// Sectors per cluster: the count itself up to 128, or 0xF4 to 0xF8 for
// 2^(256 - code). 0 for any other byte.
std::uint32_t NtfsSectorsPerCluster(const std::uint8_t* r)
{
    const std::uint8_t code = r[BPB_SecPerClus];
    if (PowerOfTwoUpTo(code, 128))
        return code;
    if (code >= NtfsFirstSizeCode && code <= NtfsLastSizeCode)
        return 1u << (256 - code);
    return 0;
}

void CheckNtfsSectorsPerCluster(const std::uint8_t* r, Findings& f)
{
    if (NtfsSectorsPerCluster(r) == 0)
        Add(f, RuleSectorsPerCluster, BPB_SecPerClus, r[BPB_SecPerClus]);
}

std::uint32_t NtfsClusterBytes(const std::uint8_t* r)
{
    return SectorSizeValid(r) ? BytesPerSector(r) * NtfsSectorsPerCluster(r) : 0;
}

void CheckNtfsClusterSize(const std::uint8_t* r, Findings& f)
{
    const std::uint32_t bytes = NtfsClusterBytes(r);
    if (bytes > NtfsMaxClusterBytes)
        Add(f, RuleNtfsClusterSize, BPB_SecPerClus, r[BPB_SecPerClus], bytes);
}

void CheckNtfsLargeCluster(const std::uint8_t* r, Findings& f)
{
    const std::uint32_t bytes = NtfsClusterBytes(r);
    if (bytes > NtfsOldMaxClusterBytes && bytes <= NtfsMaxClusterBytes)
        Add(f, RuleNtfsLargeCluster, BPB_SecPerClus, r[BPB_SecPerClus], bytes);
}

void CheckNtfsFatFields(const std::uint8_t* r, Findings& f)
{
    struct Field {
        std::size_t offset;
        std::uint64_t value;
    };
    const Field fields[] = {
        {BPB_RsvdSecCnt, LoadU16(r, BPB_RsvdSecCnt)}, {BPB_NumFATs, r[BPB_NumFATs]},
        {BPB_RootEntCnt, LoadU16(r, BPB_RootEntCnt)}, {BPB_TotSec16, LoadU16(r, BPB_TotSec16)},
        {BPB_FATSz16, LoadU16(r, BPB_FATSz16)},       {BPB_TotSec32, LoadU32(r, BPB_TotSec32)},
    };
    for (const Field& field : fields)
        if (field.value != 0)
            Add(f, RuleNtfsFatField, field.offset, field.value);
}

void CheckNtfsName(const std::uint8_t* r, Findings& f)
{
    if (LoadU64(r, BS_OEMName) != NtfsName)
        Add(f, RuleNtfsName, BS_OEMName, LoadU64(r, BS_OEMName));
}

void CheckMftZero(const std::uint8_t* r, Findings& f)
{
    for (std::size_t offset : MftFields)
        if (LoadU64(r, offset) == 0)
            Add(f, RuleMftZero, offset, 0);
}

void CheckMftMirrSame(const std::uint8_t* r, Findings& f)
{
    const std::uint64_t mft = LoadU64(r, ntfs::MftCluster);
    if (mft != 0 && mft == LoadU64(r, ntfs::MftMirrCluster))
        Add(f, RuleMftMirrSame, ntfs::MftMirrCluster, mft);
}

// Cluster numbers run from 0 to the volume's clusters less one.
void CheckMftInside(const std::uint8_t* r, Findings& f)
{
    const std::uint32_t perCluster = NtfsSectorsPerCluster(r);
    if (perCluster == 0)
        return;
    const std::uint64_t clusters = LoadU64(r, ntfs::NtfsTotalSectors) >> ShiftOf(perCluster);
    for (std::size_t offset : MftFields) {
        const std::uint64_t cluster = LoadU64(r, offset);
        if (cluster != 0 && cluster >= clusters)
            Add(f, RuleMftOutside, offset, cluster, clusters);
    }
}

// The low byte counts clusters (1 to 64, a power of two) or, from 0xE1 to
// 0xF7, gives 2^(256 - byte) bytes.
void CheckNtfsRecordCodes(const std::uint8_t* r, Findings& f)
{
    for (std::size_t offset : RecordCodeFields) {
        const std::uint8_t code = r[offset];
        if (!PowerOfTwoUpTo(code, NtfsMaxRecordClusters) &&
            (code < NtfsFirstRecordCode || code > NtfsLastRecordCode))
            Add(f, RuleNtfsRecordCode, offset, LoadU32(r, offset));
    }
}

void CheckNtfs(const std::uint8_t* r, Findings& f)
{
    CheckNtfsSectorsPerCluster(r, f);
    CheckNtfsClusterSize(r, f);
    CheckNtfsLargeCluster(r, f);
    CheckNtfsFatFields(r, f);
    CheckNtfsName(r, f);
    CheckMftZero(r, f);
    CheckMftMirrSame(r, f);
    CheckMftInside(r, f);
    CheckNtfsRecordCodes(r, f);
}

} // namespace

int CheckBootRecord(const std::uint8_t* record, std::uint8_t kind, Finding* out, int capacity)
{
    Findings f{out, capacity, 0};
    CheckJump(record, f);
    CheckSignature(record, f);
    CheckBytesPerSector(record, f);
    CheckMedia(record, f);
    if (kind == FsKindNtfs)
        CheckNtfs(record, f);
    else
        CheckFat(record, kind, f);
    return f.count;
}

int CheckPartitionStart(const std::uint8_t* record, bool startKnown, std::uint64_t startSector,
                        Finding* out, int capacity)
{
    Findings f{out, capacity, 0};
    const std::uint32_t hidden = LoadU32(record, BPB_HiddSec);
    if (!startKnown)
        Add(f, RulePartitionUnknown, BPB_HiddSec, hidden);
    else if (hidden != startSector)
        Add(f, RuleHiddenSectors, BPB_HiddSec, hidden, startSector);
    return f.count;
}

namespace {

// More than CheckBootRecord ever gives.
constexpr int RecordFindings = 64;

// The rules that judge a total against the rest of the record: a proposed
// total breaks none of them.
constexpr CheckRule TotalRules[] = {
    RuleTotalMissing,        RuleNoFat,
    RuleFatSizeZero,         RuleFatTooSmall,
    RuleNoDataRegion,        RuleFat12TooManyClusters,
    RuleFat16TooFewClusters, RuleFat16TooManyClusters,
    RuleFat32FewClusters,    RuleRootCluster,
    RuleMftOutside,
};

// The total in use, and the field it came from.
struct Total {
    std::size_t offset;
    std::uint64_t value;
};

Total TotalOf(const std::uint8_t* r, std::uint8_t kind)
{
    if (kind == FsKindNtfs)
        return {ntfs::NtfsTotalSectors, LoadU64(r, ntfs::NtfsTotalSectors)};
    const FatLayout l = LayoutOf(r, kind == FsKindFat32);
    return {l.totalOffset, l.total};
}

// The largest total, in the record's sectors, that the volume holds: its
// length, less the last sector on NTFS, which keeps the backup. 0 when unknown.
std::uint64_t MostTotal(const std::uint8_t* r, std::uint8_t kind, const VolumeFacts& facts)
{
    if (facts.bytes == 0 || !SectorSizeValid(r))
        return 0;
    const std::uint64_t sectors = facts.bytes >> ShiftOf(BytesPerSector(r));
    return kind == FsKindNtfs && sectors != 0 ? sectors - 1 : sectors;
}

// FAT[0]'s media byte, when the bytes read start a FAT: FAT[0] holds the media
// byte with ones above it, so the second byte is 0xFF in every FAT width.
bool MediaFromFat(const VolumeFacts& facts, std::uint8_t* media)
{
    *media = static_cast<std::uint8_t>(facts.fatStart);
    return facts.fatRead && (facts.fatStart & 0xFF00) == 0xFF00 && ValidMedia(*media);
}

// Whether the record, with the total corrected, breaks none of TotalRules; a
// record whose cluster size leaves them unjudged does not hold together.
bool HoldsTogether(const std::uint8_t* r, std::uint8_t kind, const Correction& total)
{
    std::uint8_t copy[SectorSize];
    std::memcpy(copy, r, SectorSize);
    ApplyCorrections(copy, kind, &total, 1);
    if (kind == FsKindNtfs ? NtfsSectorsPerCluster(copy) == 0 : !LayoutOf(copy, false).valid)
        return false;
    Finding found[RecordFindings];
    const int count = CheckBootRecord(copy, kind, found, RecordFindings);
    for (int i = 0; i < count; ++i)
        for (CheckRule rule : TotalRules)
            if (found[i].rule == rule)
                return false;
    return true;
}

} // namespace

bool FirstFatOnVolume(const std::uint8_t* record, std::uint32_t volumeSectorSize,
                      std::uint64_t* sector)
{
    const std::uint32_t bytes = LoadU16(record, BPB_RsvdSecCnt) * BytesPerSector(record);
    if (!SectorSizeValid(record) || !PowerOfTwoUpTo(volumeSectorSize, 4096) || bytes == 0 ||
        (bytes & (volumeSectorSize - 1)) != 0)
        return false;
    *sector = bytes >> ShiftOf(volumeSectorSize);
    return true;
}

int CheckVolumeFacts(const std::uint8_t* record, std::uint8_t kind, const VolumeFacts& facts,
                     Finding* out, int capacity)
{
    Findings f{out, capacity, 0};
    const Total total = TotalOf(record, kind);
    const std::uint64_t most = MostTotal(record, kind, facts);
    if (most != 0 && total.value > most)
        Add(f, RuleTotalTooLarge, total.offset, total.value, most);
    std::uint8_t media = 0;
    if (kind != FsKindNtfs && MediaFromFat(facts, &media) && media != record[BPB_Media])
        Add(f, RuleMediaNotFat, BPB_Media, record[BPB_Media], media);
    return f.count;
}

// Each finding against the volume whose limit is the field's right value
// becomes a correction to that value.
int ProposeCorrections(const std::uint8_t* record, std::uint8_t kind, const VolumeFacts& facts,
                       Correction* out, int capacity)
{
    Finding found[3];
    int count = CheckPartitionStart(record, facts.startKnown, facts.start, found, 1);
    count += CheckVolumeFacts(record, kind, facts, found + count, 3 - count);
    int proposed = 0;
    for (int i = 0; i < count && proposed < capacity; ++i) {
        const Finding& f = found[i];
        const Correction correction = {f.offset, f.value, f.limit};
        const bool known = f.rule == RuleHiddenSectors   ? f.limit <= 0xFFFFFFFFu
                           : f.rule == RuleTotalTooLarge ? HoldsTogether(record, kind, correction)
                                                         : f.rule == RuleMediaNotFat;
        if (known)
            out[proposed++] = correction;
    }
    return proposed;
}

void ApplyCorrections(std::uint8_t* record, std::uint8_t kind, const Correction* corrections,
                      int count)
{
    for (int i = 0; i < count; ++i) {
        const std::uint64_t value = corrections[i].proposed;
        const auto low = static_cast<std::uint32_t>(value);
        switch (corrections[i].offset) {
        case BPB_Media: StoreU8(record, BPB_Media, low); break;
        case BPB_HiddSec: StoreU32(record, BPB_HiddSec, low); break;
        case ntfs::NtfsTotalSectors: StoreU64(record, ntfs::NtfsTotalSectors, value); break;
        case BPB_TotSec16:
        case BPB_TotSec32:
            if (kind == FsKindFat32) {
                StoreU32(record, BPB_TotSec32, low);
                break;
            }
            StoreU16(record, BPB_TotSec16, low < SmallTotalLimit ? low : 0);
            StoreU32(record, BPB_TotSec32, low < SmallTotalLimit ? 0 : low);
            break;
        default: break;
        }
    }
}

int CheckPartitionPlace(const std::uint8_t* record, std::uint8_t kind, std::uint64_t start,
                        std::uint64_t length, std::uint64_t ebr, Finding* out, int capacity)
{
    Findings f{out, capacity, 0};
    const std::uint32_t hidden = LoadU32(record, BPB_HiddSec);
    const bool logical = ebr != NotLogical && ebr <= start;
    if (logical && hidden != start && hidden == start - ebr) {
        Add(f, RuleHiddenFromEbr, BPB_HiddSec, hidden, start);
    } else if (hidden != start) {
        Add(f, RuleHiddenSectors, BPB_HiddSec, hidden, start);
        if (logical)
            Add(f, RuleHiddenEbrCount, BPB_HiddSec, hidden, start - ebr);
    }
    if (kind == FsKindNtfs) {
        const std::uint64_t total = LoadU64(record, ntfs::NtfsTotalSectors);
        if (total != length && total + 1 != length)
            Add(f, RuleTotalLength, ntfs::NtfsTotalSectors, total, length);
        return f.count;
    }
    const std::uint16_t small = LoadU16(record, BPB_TotSec16);
    const std::size_t at = small != 0 ? BPB_TotSec16 : BPB_TotSec32;
    const std::uint64_t total = small != 0 ? small : LoadU32(record, BPB_TotSec32);
    if (total != length)
        Add(f, RuleTotalLength, at, total, length);
    return f.count;
}

int CheckBackup(const std::uint8_t* record, const std::uint8_t* backup, std::uint64_t sector,
                Finding* out, int capacity)
{
    Findings f{out, capacity, 0};
    if (backup == nullptr) {
        Add(f, RuleBackupUnreadable, 0, 0, sector);
        return f.count;
    }
    std::size_t i = 0;
    while (i < SectorSize) {
        if (record[i] == backup[i]) {
            ++i;
            continue;
        }
        const std::size_t first = i;
        while (i < SectorSize && record[i] != backup[i])
            ++i;
        Add(f, RuleBackupDiffers, first, i - 1, sector);
    }
    return f.count;
}
