#pragma once

#include <cstdint>

// Sets FsKind from the record's bytes after a sector was loaded from a drive or
// a file: 3 for "NTFS" at offset 3, 4 for "FAT32" at offset 82, then 1 or 2 for
// "AT12" or "AT16" at offset 55. A later match replaces an earlier one; a sector
// that matches nothing gets 0, which the form shows as the generic FAT kind.
void RecognizeFsKind();

// The kind that RecognizeFsKind would give the 512 bytes at sector.
std::uint8_t RecognizeKindOf(const std::uint8_t* sector);

// What names a volume to the user: its kind as RecognizeKindOf gives it, and
// the label and serial number its sector holds. A FAT layout has a serial after
// an extended boot signature of 0x28 or 0x29, and a label only after 0x29; the
// label drops trailing blanks and shows control bytes as '?'. NTFS has a serial
// (the low 32 bits of its 64-bit one) and no label.
constexpr int VolumeLabelSize = 11;
struct VolumeIdentity {
    std::uint8_t kind;
    bool hasLabel;
    bool hasSerial;
    char label[VolumeLabelSize + 1];
    std::uint32_t serial;
};
VolumeIdentity IdentifyVolume(const std::uint8_t* sector);
