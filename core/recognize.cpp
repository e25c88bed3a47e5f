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

namespace {

constexpr std::uint8_t ExtendedBootSignature = 0x29; // label and serial follow
constexpr std::uint8_t SerialOnlySignature = 0x28;   // a serial, no label

void ReadFatIdentity(const std::uint8_t* sector, std::size_t bootSig, std::size_t volId,
                     std::size_t volLab, VolumeIdentity* id)
{
    const std::uint8_t signature = LoadU8(sector, bootSig);
    id->hasLabel = signature == ExtendedBootSignature;
    id->hasSerial = id->hasLabel || signature == SerialOnlySignature;
    if (id->hasSerial)
        id->serial = LoadU32(sector, volId);
    if (!id->hasLabel)
        return;
    int length = 0;
    for (int i = 0; i < VolumeLabelSize; ++i) {
        const std::uint8_t c = sector[volLab + i];
        id->label[i] = c < ' ' ? '?' : static_cast<char>(c);
        if (c != ' ')
            length = i + 1;
    }
    id->label[length] = '\0';
}

} // namespace

VolumeIdentity IdentifyVolume(const std::uint8_t* sector)
{
    VolumeIdentity id = {};
    id.kind = RecognizeKindOf(sector);
    switch (id.kind) {
    case FsKindFat12:
    case FsKindFat16:
        ReadFatIdentity(sector, fat16::BS_BootSig, fat16::BS_VolID, fat16::BS_VolLab, &id);
        break;
    case FsKindFat32:
        ReadFatIdentity(sector, fat32::BS_BootSig, fat32::BS_VolID, fat32::BS_VolLab, &id);
        break;
    case FsKindNtfs:
        id.hasSerial = true;
        id.serial = LoadU32(sector, ntfs::NtfsVolumeSerial);
        break;
    default: break;
    }
    return id;
}
