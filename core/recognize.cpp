#include "recognize.h"

#include "layout.h"
#include "record.h"

#include <cstring>

namespace {

bool BytesAre(const std::uint8_t* sector, std::size_t off, const char* text)
{
    return std::memcmp(sector + off, text, std::strlen(text)) == 0;
}

} // namespace

std::uint8_t RecognizeKindOf(const std::uint8_t* sector)
{
    std::uint8_t kind = FsKindNone;
    if (BytesAre(sector, BS_OEMName, "NTFS"))
        kind = FsKindNtfs;
    if (BytesAre(sector, fat32::BS_FilSysType, "FAT32"))
        kind = FsKindFat32;
    // Only the second to fifth characters of "FAT12"/"FAT16" are compared.
    if (BytesAre(sector, fat16::BS_FilSysType + 1, "AT12"))
        kind = FsKindFat12;
    if (BytesAre(sector, fat16::BS_FilSysType + 1, "AT16"))
        kind = FsKindFat16;
    return kind;
}

void RecognizeFsKind()
{
    FsKind = RecognizeKindOf(SectorBuffer);
}
