#include "partition.h"

#include "layout.h"
#include "recognize.h"
#include "record.h"

#include <array>
#include <cstring>

namespace {

bool BytesAre(const std::uint8_t* bytes, std::size_t off, const char* text, std::size_t size)
{
    return std::memcmp(bytes + off, text, size) == 0;
}

// The signatures that mark the container formats.
constexpr std::size_t VdiSignature = 0x40; // u32
constexpr std::uint32_t VdiMagic = 0xbeda107f;

constexpr std::array<std::uint32_t, 256> MakeCrcTable()
{
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr std::array<std::uint32_t, 256> CrcTable = MakeCrcTable();
static_assert(CrcTable[1] == 0x77073096u, "the IEEE polynomial, reflected");

bool IsPowerOfTwo(std::uint32_t v)
{
    return v != 0 && (v & (v - 1)) == 0;
}

} // namespace

ImageFormat RecognizeImageFormat(const std::uint8_t* head, const std::uint8_t* tail)
{
    if (BytesAre(head, 0, "vhdxfile", 8))
        return ImageFormatVhdx;
    if (BytesAre(head, 0, "KDMV", 4) || BytesAre(head, 0, "# Disk DescriptorFile", 21))
        return ImageFormatVmdk;
    if (BytesAre(head, 0, "QFI\xfb", 4))
        return ImageFormatQcow2;
    if (LoadU32(head, VdiSignature) == VdiMagic)
        return ImageFormatVdi;
    if (BytesAre(head, 0, "conectix", 8))
        return ImageFormatDynamicVhd;
    if (tail != nullptr && BytesAre(tail, 0, "conectix", 8))
        return ImageFormatFixedVhd;
    return ImageFormatRaw;
}

bool IsVolumeBootSector(const std::uint8_t* sector)
{
    if (RecognizeKindOf(sector) != FsKindNone || BytesAre(sector, BS_OEMName, "NTFS    ", 8))
        return true;
    const std::uint8_t media = LoadU8(sector, BPB_Media);
    return LoadU16(sector, BPB_RsvdSecCnt) != 0 && LoadU8(sector, BPB_NumFATs) != 0 &&
           (media == 0xF0 || media >= 0xF8);
}

std::uint32_t BootSectorSectorSize(const std::uint8_t* sector)
{
    const std::uint32_t size = LoadU16(sector, BPB_BytsPerSec);
    return size == 1024 || size == 2048 || size == 4096 ? size : 512;
}

MbrEntry LoadMbrEntry(const std::uint8_t* sector, int slot)
{
    const std::uint8_t* e = sector + MbrTable + MbrEntrySize * static_cast<std::size_t>(slot);
    return {LoadU8(e, PE_BootFlag), LoadU8(e, PE_Type), LoadU32(e, PE_StartLba),
            LoadU32(e, PE_SectorCount)};
}

bool HasMbrSignature(const std::uint8_t* sector)
{
    return sector[MbrSignature] == 0x55 && sector[MbrSignature + 1] == 0xAA;
}

bool IsExtendedType(std::uint8_t type)
{
    return type == 0x05 || type == 0x0F || type == 0x85;
}

bool IsUnused(const MbrEntry& entry)
{
    return entry.type == 0 || entry.sectors == 0;
}

TableResult CheckGptHeader(const std::uint8_t* block, std::uint32_t blockSize, std::uint64_t lba,
                           GptHeader* header)
{
    if (!BytesAre(block, gpt::Signature, "EFI PART", 8))
        return TableGptNoSignature;
    const std::uint32_t size = LoadU32(block, gpt::HeaderSize);
    if (size < gpt::MinHeaderSize || size > blockSize)
        return TableGptFieldRange;
    const std::uint8_t zero[4] = {};
    std::uint32_t crc = Crc32Update(0, block, gpt::HeaderCrc);
    crc = Crc32Update(crc, zero, sizeof zero);
    crc = Crc32Update(crc, block + gpt::HeaderCrc + 4, size - gpt::HeaderCrc - 4);
    if (crc != LoadU32(block, gpt::HeaderCrc))
        return TableGptHeaderCrc;
    GptHeader h{};
    h.firstUsable = LoadU64(block, gpt::FirstUsableLba);
    h.lastUsable = LoadU64(block, gpt::LastUsableLba);
    h.entriesLba = LoadU64(block, gpt::EntriesLba);
    h.entryCount = LoadU32(block, gpt::EntryCount);
    h.entrySize = LoadU32(block, gpt::EntrySize);
    h.entriesCrc = LoadU32(block, gpt::EntriesCrc);
    const std::uint64_t entriesBytes = std::uint64_t{h.entryCount} * h.entrySize;
    // Entries no larger than a sector never straddle two sectors.
    const bool entriesFit = h.entrySize >= gpt::MinEntrySize && IsPowerOfTwo(h.entrySize) &&
                            h.entrySize <= blockSize && h.entryCount != 0 &&
                            entriesBytes <= gpt::MaxEntriesBytes;
    // Every usable LBA must have a byte offset that 64 bits hold.
    if (!entriesFit || LoadU64(block, gpt::MyLba) != lba || h.firstUsable > h.lastUsable ||
        h.lastUsable >= ~std::uint64_t{0} / blockSize)
        return TableGptFieldRange;
    // The entries may not cover the header itself.
    const std::uint64_t entriesSectors = (entriesBytes + blockSize - 1) / blockSize;
    if (h.entriesLba == 0 || h.entriesLba > ~std::uint64_t{0} - entriesSectors ||
        RangesOverlap(h.entriesLba, h.entriesLba + entriesSectors - 1, lba, lba))
        return TableGptFieldRange;
    *header = h;
    return TableGood;
}

bool LoadGptEntry(const std::uint8_t* entry, GptEntry* out)
{
    std::memcpy(out->type, entry + gpt::TypeGuid, gpt::GuidSize);
    out->first = LoadU64(entry, gpt::FirstLba);
    out->last = LoadU64(entry, gpt::LastLba);
    for (std::uint8_t b : out->type)
        if (b != 0)
            return true;
    return false;
}

std::uint32_t Crc32Update(std::uint32_t crc, const std::uint8_t* data, std::size_t size)
{
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i)
        crc = CrcTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}
