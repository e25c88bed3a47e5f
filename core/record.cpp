#include "record.h"

#include <cstdlib>
#include <cstring>

std::uint8_t* SectorBuffer = nullptr;
std::uint8_t FsKind = FsKindNone;

bool AllocateSectorBuffer()
{
    if (SectorBuffer != nullptr)
        return true; // one buffer per process, kept until it ends
    // calloc clears the block; the extra bytes let the start move up to the
    // next multiple of 512. The block is kept for the life of the process.
    void* block = std::calloc(1, SectorBufferSize + SectorBufferAlignment - 1);
    if (block == nullptr)
        return false;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t aligned =
        (start + SectorBufferAlignment - 1) & ~(std::uintptr_t{SectorBufferAlignment} - 1);
    SectorBuffer = static_cast<std::uint8_t*>(block) + (aligned - start);
    return true;
}

void StoreText(std::uint8_t* r, std::size_t off, const char* text)
{
    const std::size_t length = std::strlen(text);
    std::memcpy(r + off, text, length + 1);
}
