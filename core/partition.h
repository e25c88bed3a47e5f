// What an image file holds, read from its bytes alone: the container formats
// that are not raw disks, a volume's own boot sector, and the partition tables
// of a whole disk (MBR with its chain of EBRs, GPT). Knows nothing of files:
// the disk layer (disk/disk_image.h) reads the sectors and walks the tables.
#pragma once

#include <cstddef>
#include <cstdint>

// --- Container formats, told from the file's first and last 512 bytes ---

enum ImageFormat : std::uint8_t {
    ImageFormatRaw,        // sectors from the first byte to the last
    ImageFormatFixedVhd,   // raw sectors, then a 512-byte footer
    ImageFormatVhdx,       // "vhdxfile" at 0
    ImageFormatVmdk,       // "KDMV" at 0, or a "# Disk DescriptorFile" text
    ImageFormatQcow2,      // "QFI\xfb" at 0
    ImageFormatVdi,        // 0xbeda107f at 0x40
    ImageFormatDynamicVhd, // "conectix" at 0
};

// The format of a file whose first 512 bytes are head and whose last 512 bytes
// are tail (null when the file is not longer than 1024 bytes: no room for
// both a disk and a footer).
ImageFormat RecognizeImageFormat(const std::uint8_t* head, const std::uint8_t* tail);

// The size of the footer that follows the disk in a fixed VHD.
constexpr std::uint64_t VhdFooterSize = 512;

// --- A volume's own boot sector in sector 0 ---

// True when the 512 bytes are a volume's boot sector rather than an MBR: the
// program's recogniser knows them, "NTFS    " stands at 3, or the FAT BPB has
// reserved sectors, FATs and a valid media byte.
bool IsVolumeBootSector(const std::uint8_t* sector);
// The volume's sector size as that boot sector gives it: 1024, 2048 or 4096
// when it says so, else 512.
std::uint32_t BootSectorSectorSize(const std::uint8_t* sector);

// --- MBR and EBR: four 16-byte entries at 446, then 55 AA at 510 ---

constexpr std::size_t MbrTable = 446;      // 4 entries of MbrEntrySize bytes
constexpr std::size_t MbrEntrySize = 16;   // one entry
constexpr int MbrSlots = 4;                // primary slots 1 to 4
constexpr std::size_t PE_BootFlag = 0;     // u8: 0 or 0x80
constexpr std::size_t PE_Type = 4;         // u8: 0 for an unused slot
constexpr std::size_t PE_StartLba = 8;     // u32
constexpr std::size_t PE_SectorCount = 12; // u32
constexpr std::size_t MbrSignature = 510;  // 2 bytes: 0x55 0xAA

constexpr std::uint8_t MbrTypeProtective = 0xEE; // the whole disk belongs to a GPT

struct MbrEntry {
    std::uint8_t bootFlag;
    std::uint8_t type;
    std::uint32_t start;   // in sectors: from the disk's start (MBR), from the EBR or
                           // from the first extended partition (EBR, see below)
    std::uint32_t sectors; // 0 with type 0 for an unused slot
};

// Slot 0 to 3 of the table in sector.
MbrEntry LoadMbrEntry(const std::uint8_t* sector, int slot);
bool HasMbrSignature(const std::uint8_t* sector);
bool IsExtendedType(std::uint8_t type); // 0x05, 0x0F, 0x85
bool IsUnused(const MbrEntry& entry);   // type 0 or no sectors

// An EBR's first entry is its logical partition (start from the EBR itself);
// its second, when of an extended type, links the next EBR (start from the
// first extended partition). Longer chains are taken for loops.
constexpr int EbrLogicalSlot = 0;
constexpr int EbrLinkSlot = 1;
constexpr int MaxEbrLinks = 100;

// --- GPT: header at LBA 1 (and its backup at the last LBA), entries array ---

namespace gpt {
constexpr std::size_t Signature = 0;       // 8 bytes, "EFI PART"
constexpr std::size_t Revision = 8;        // u32
constexpr std::size_t HeaderSize = 12;     // u32: the bytes HeaderCrc covers
constexpr std::size_t HeaderCrc = 16;      // u32, computed with this field zero
constexpr std::size_t MyLba = 24;          // u64
constexpr std::size_t AlternateLba = 32;   // u64
constexpr std::size_t FirstUsableLba = 40; // u64
constexpr std::size_t LastUsableLba = 48;  // u64
constexpr std::size_t DiskGuid = 56;       // 16 bytes
constexpr std::size_t EntriesLba = 72;     // u64
constexpr std::size_t EntryCount = 80;     // u32
constexpr std::size_t EntrySize = 84;      // u32: 128 << n
constexpr std::size_t EntriesCrc = 88;     // u32: CRC32 of EntryCount * EntrySize bytes
constexpr std::uint32_t MinHeaderSize = 92;

// One entry of the array.
constexpr std::size_t TypeGuid = 0;    // 16 bytes, all zero for an unused slot
constexpr std::size_t UniqueGuid = 16; // 16 bytes
constexpr std::size_t FirstLba = 32;   // u64
constexpr std::size_t LastLba = 40;    // u64, inclusive
constexpr std::size_t Attributes = 48; // u64
constexpr std::size_t Name = 56;       // 72 bytes, UTF-16LE
constexpr std::uint32_t MinEntrySize = 128;
// Arrays larger than this are taken as damage (the usual one is 16 KiB).
constexpr std::uint64_t MaxEntriesBytes = std::uint64_t{1} << 20;
constexpr std::size_t GuidSize = 16;
} // namespace gpt

struct GptHeader {
    std::uint64_t firstUsable;
    std::uint64_t lastUsable;
    std::uint64_t entriesLba;
    std::uint32_t entryCount;
    std::uint32_t entrySize;
    std::uint32_t entriesCrc;
};

// --- What the walk found wrong ---

enum TableResult : std::uint8_t {
    TableGood,
    TableBadBootFlag,      // an MBR or EBR entry's flag is neither 0 nor 0x80
    TableOverlap,          // two partitions share sectors
    TableChainLoop,        // the EBR chain runs past MaxEbrLinks links
    TableBadEbr,           // an EBR lacks 55 AA, or a link or logical lies outside the container
    TableGptNoSignature,   // no "EFI PART" where the header should be
    TableGptHeaderCrc,     // the header's CRC32 does not match
    TableGptEntriesCrc,    // the entries' CRC32 does not match
    TableGptFieldRange,    // a header field is out of range
    TableGptEntryRange,    // an entry ends before it starts or lies outside the usable LBAs
    TableGptEntriesCutOff, // the entries lie past the end of the image
    TableTooManyVolumes,   // more volumes than the list holds
    TableEmpty,            // a valid table that holds no partition
};

// Checks the header in block (blockSize bytes, the sector it was read from),
// expected at lba. On TableGood, fills header.
TableResult CheckGptHeader(const std::uint8_t* block, std::uint32_t blockSize, std::uint64_t lba,
                           GptHeader* header);

struct GptEntry {
    std::uint8_t type[gpt::GuidSize];
    std::uint64_t first;
    std::uint64_t last; // inclusive
};
// The entry at entry; false for an unused slot.
bool LoadGptEntry(const std::uint8_t* entry, GptEntry* out);

// Whether the inclusive sector ranges [aFirst, aLast] and [bFirst, bLast] share a sector.
inline bool RangesOverlap(std::uint64_t aFirst, std::uint64_t aLast, std::uint64_t bFirst,
                          std::uint64_t bLast)
{
    return aFirst <= bLast && bFirst <= aLast;
}

// --- CRC32 (IEEE, reflected, as GPT uses it) ---

// Continues crc (start with 0) over size bytes.
std::uint32_t Crc32Update(std::uint32_t crc, const std::uint8_t* data, std::size_t size);
