#include "recognize.h"

#include "layout.h"
#include "record.h"

#include <cstring>

namespace {

bool BytesAre(std::size_t off, const char* text)
{
    return std::memcmp(SectorBuffer + off, text, std::strlen(text)) == 0;
}

} // namespace

void RecognizeFsKind()
{
    FsKind = FsKindNone;
    if (BytesAre(BS_OEMName, "NTFS"))
        FsKind = FsKindNtfs;
    if (BytesAre(fat32::BS_FilSysType, "FAT32"))
        FsKind = FsKindFat32;
    // Only the second to fifth characters of "FAT12"/"FAT16" are compared.
    if (BytesAre(fat16::BS_FilSysType + 1, "AT12"))
        FsKind = FsKindFat12;
    if (BytesAre(fat16::BS_FilSysType + 1, "AT16"))
        FsKind = FsKindFat16;
}
