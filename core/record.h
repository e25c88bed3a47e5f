// The boot sector record: one 512-byte sector held at the start of SectorBuffer,
// read and written field by field through little-endian helpers, with no struct
// laid over the bytes. The same bytes are read as FAT12/FAT16, FAT32 or NTFS
// depending on FsKind, so every field is addressed by its offset.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t SectorSize = 512;            // every transfer counts in these
constexpr std::size_t SectorBufferSize = 512;      // the record
constexpr std::size_t SectorBufferAlignment = 512; // a whole sector, as disk services move it

// The one buffer of the process; the record is bytes 0 to 511.
extern std::uint8_t* SectorBuffer;

// The layout under which the form shows and captures the record.
extern std::uint8_t FsKind;

constexpr std::uint8_t FsKindNone = 0; // nothing recognised yet
constexpr std::uint8_t FsKindFat12 = 1;
constexpr std::uint8_t FsKindFat16 = 2;
constexpr std::uint8_t FsKindNtfs = 3;
constexpr std::uint8_t FsKindFat32 = 4;
constexpr std::uint8_t FsKindGeneric = 5; // FAT12/16 shown without its extended fields

// Sets up SectorBuffer: 512 bytes, cleared, aligned to 512, in the program's
// own data so that every disk service can address it. Kept until the process
// ends; a later call gives the same buffer. Returns true.
bool AllocateSectorBuffer();

// --- Little-endian loads and stores at any byte offset (no alignment needed) ---

inline std::uint8_t LoadU8(const std::uint8_t* r, std::size_t off)
{
    return r[off];
}

inline std::uint16_t LoadU16(const std::uint8_t* r, std::size_t off)
{
    return static_cast<std::uint16_t>(r[off] | (r[off + 1] << 8));
}

inline std::uint32_t LoadU32(const std::uint8_t* r, std::size_t off)
{
    return static_cast<std::uint32_t>(r[off]) | (static_cast<std::uint32_t>(r[off + 1]) << 8) |
           (static_cast<std::uint32_t>(r[off + 2]) << 16) |
           (static_cast<std::uint32_t>(r[off + 3]) << 24);
}

inline std::uint64_t LoadU64(const std::uint8_t* r, std::size_t off)
{
    return LoadU32(r, off) | (static_cast<std::uint64_t>(LoadU32(r, off + 4)) << 32);
}

// Each store keeps only the field's width of low-order bytes of the value.
inline void StoreU8(std::uint8_t* r, std::size_t off, std::uint32_t v)
{
    r[off] = static_cast<std::uint8_t>(v);
}

inline void StoreU16(std::uint8_t* r, std::size_t off, std::uint32_t v)
{
    r[off] = static_cast<std::uint8_t>(v);
    r[off + 1] = static_cast<std::uint8_t>(v >> 8);
}

inline void StoreU32(std::uint8_t* r, std::size_t off, std::uint32_t v)
{
    StoreU16(r, off, v);
    StoreU16(r, off + 2, v >> 16);
}

// A 64-bit field is written as two 32-bit halves: the low half, then the high half.
inline void StoreU64(std::uint8_t* r, std::size_t off, std::uint64_t v)
{
    StoreU32(r, off, static_cast<std::uint32_t>(v));
    StoreU32(r, off + 4, static_cast<std::uint32_t>(v >> 32));
}

// Writes the characters of text and one NUL after them; the rest of the field
// keeps its bytes.
void StoreText(std::uint8_t* r, std::size_t off, const char* text);
