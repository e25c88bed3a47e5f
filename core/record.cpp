#include "record.h"

#include <cstring>

std::uint8_t* SectorBuffer = nullptr;
std::uint8_t FsKind = FsKindNone;

namespace {

// The buffer is part of the program's own image (zero-filled in .bss, which
// takes no room in the file), not the heap: the 9x disk services read and write
// the record directly. Wine's VWIN32 (Int 25h/26h, packet
// form) takes the high word of a buffer address as a selector: addresses in
// the exe's image (0x0040xxxx) come through, heap addresses land elsewhere in
// memory. Windows 9x itself takes any flat address.
alignas(SectorBufferAlignment) std::uint8_t SectorStorage[SectorBufferSize];

} // namespace

bool AllocateSectorBuffer()
{
    SectorBuffer = SectorStorage; // zero-filled at load, kept until the process ends
    return true;
}

void StoreText(std::uint8_t* r, std::size_t off, const char* text)
{
    const std::size_t length = std::strlen(text);
    std::memcpy(r + off, text, length + 1);
}
