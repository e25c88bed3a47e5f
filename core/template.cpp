#include "template.h"

#include "layout.h"
#include "record.h"

#include <cstring>

namespace {

// The boot program, entered by the BIOS at 0000:7C00 through the jump at offset 0:
//   mov ax,cs / mov ds,ax / mov es,ax      segments = CS
//   mov ah,0Eh / mov bx,0004h              teletype output, page 0, colour 4
//   mov si,7D00h                           the message at sector offset 0x100
// print:
//   mov al,[si] / int 10h / inc si         print a character
//   cmp byte [si],0 / jne print            until the next byte is NUL
//   mov ah,0 / int 16h                     wait for a key
//   int 19h                                restart the BIOS boot sequence
//   int 18h / ret                          boot-failure recovery if it returns
constexpr std::uint8_t BootProgram[] = {
    0x8C, 0xC8, 0x8E, 0xD8, 0x8E, 0xC0, 0xB4, 0x0E, 0xBB, 0x04, 0x00,
    0xBE, 0x00, 0x7D, 0x8A, 0x04, 0xCD, 0x10, 0x46, 0x80, 0x3C, 0x00,
    0x75, 0xF6, 0xB4, 0x00, 0xCD, 0x16, 0xCD, 0x19, 0xCD, 0x18, 0xC3,
};
static_assert(sizeof(BootProgram) == 33, "the boot program is 33 bytes");

constexpr char JumpAndOemName[] = "\xEB\x56\x90"
                                  "Morvane!";

#define KELVASHIN_BOOT_MESSAGE                                                                     \
    "Boot sector created with Kelvashin from www.morvane.example\r\n"                              \
    "This is not a bootable disk, please insert a boot disk and press any key!\r\n"

constexpr std::size_t MessageLength = sizeof(KELVASHIN_BOOT_MESSAGE) - 1;
static_assert(BootMessageOffset + MessageLength + 1 <= BootSignature,
              "the boot message and its NUL must end before the signature");

constexpr std::array<std::uint8_t, 512> BuildTemplate()
{
    std::array<std::uint8_t, 512> t{};
    for (std::size_t i = 0; i + 1 < sizeof(JumpAndOemName); ++i)
        t[BS_jmpBoot + i] = static_cast<std::uint8_t>(JumpAndOemName[i]);
    for (std::size_t i = 0; i < sizeof(BootProgram); ++i)
        t[BootProgramOffset + i] = BootProgram[i];
    constexpr const char* message = KELVASHIN_BOOT_MESSAGE;
    for (std::size_t i = 0; i < MessageLength; ++i)
        t[BootMessageOffset + i] = static_cast<std::uint8_t>(message[i]);
    t[BootSignature] = 0x55;
    t[BootSignature + 1] = 0xAA;
    return t;
}

void CopyTemplate()
{
    std::memcpy(SectorBuffer, BootSectorTemplate.data(), SectorSize);
}

} // namespace

const char BootMessage[] = KELVASHIN_BOOT_MESSAGE;
constexpr std::array<std::uint8_t, 512> BootSectorTemplate = BuildTemplate();

void CreateBootSector(std::uint8_t kind)
{
    switch (kind) {
    case FsKindFat12:
    case FsKindFat16:
        CopyTemplate();
        FsKind = kind;
        StoreText(SectorBuffer, fat16::BS_FilSysType, kind == FsKindFat12 ? "FAT12" : "FAT16");
        StoreU16(SectorBuffer, BPB_BytsPerSec, 512);
        StoreU8(SectorBuffer, BPB_Media, kind == FsKindFat12 ? 0xF0 : 0xF8);
        StoreU8(SectorBuffer, BPB_NumFATs, 2);
        break;
    case FsKindFat32:
        CopyTemplate();
        FsKind = kind;
        StoreText(SectorBuffer, fat32::BS_FilSysType, "FAT32");
        StoreU16(SectorBuffer, BPB_BytsPerSec, 512);
        StoreU8(SectorBuffer, BPB_NumFATs, 2);
        StoreU8(SectorBuffer, BPB_Media, 0xF8);
        StoreU8(SectorBuffer, fat32::BS_DrvNum, 0x80);
        break;
    case FsKindNtfs:
        CopyTemplate();
        FsKind = kind;
        StoreU16(SectorBuffer, BPB_BytsPerSec, 512);
        StoreU8(SectorBuffer, BPB_Media, 0xF8);
        // The NUL after the eight characters lands on offset 11, the low byte of
        // BPB_BytsPerSec, which is already 0 for 512.
        StoreText(SectorBuffer, BS_OEMName, "NTFS    ");
        break;
    default: break;
    }
}

void ApplyFloppyPreset()
{
    CopyTemplate();
    FsKind = FsKindFat12;
    StoreU16(SectorBuffer, BPB_BytsPerSec, 512);
    StoreU8(SectorBuffer, BPB_Media, 0xF0);
    StoreU8(SectorBuffer, BPB_NumFATs, 2);
    StoreU8(SectorBuffer, BPB_SecPerClus, 1);
    StoreU16(SectorBuffer, BPB_RsvdSecCnt, 1);
    StoreU16(SectorBuffer, BPB_SecPerTrk, 18);
    StoreU16(SectorBuffer, BPB_NumHeads, 2);
    StoreU16(SectorBuffer, BPB_TotSec16, 2880);
    StoreU16(SectorBuffer, BPB_FATSz16, 9);
    StoreU32(SectorBuffer, BPB_HiddSec, 0);
    StoreU16(SectorBuffer, BPB_RootEntCnt, 224);
    StoreText(SectorBuffer, fat16::BS_FilSysType, "FAT12");
}
