// Offsets of the boot sector fields, one constant per field, with its width.
// Offsets 11 to 31 are shared by every layout; the extended fields differ.
#pragma once

#include <cstddef>

// Fields common to the FAT12/FAT16, FAT32 and NTFS layouts.
constexpr std::size_t BS_jmpBoot = 0;      // 3 bytes: jump to the boot code
constexpr std::size_t BS_OEMName = 3;      // 8 bytes, ASCII
constexpr std::size_t BPB_BytsPerSec = 11; // u16
constexpr std::size_t BPB_SecPerClus = 13; // u8
constexpr std::size_t BPB_RsvdSecCnt = 14; // u16
constexpr std::size_t BPB_NumFATs = 16;    // u8 (FAT only)
constexpr std::size_t BPB_RootEntCnt = 17; // u16 (FAT only)
constexpr std::size_t BPB_TotSec16 = 19;   // u16 (FAT only)
constexpr std::size_t BPB_Media = 21;      // u8
constexpr std::size_t BPB_FATSz16 = 22;    // u16 (FAT only)
constexpr std::size_t BPB_SecPerTrk = 24;  // u16
constexpr std::size_t BPB_NumHeads = 26;   // u16
constexpr std::size_t BPB_HiddSec = 28;    // u32
constexpr std::size_t BPB_TotSec32 = 32;   // u32 (FAT only)
constexpr std::size_t BootSignature = 510; // 2 bytes: 0x55 0xAA

// FAT12/FAT16 extended fields.
namespace fat16 {
constexpr std::size_t BS_DrvNum = 36;     // u8
constexpr std::size_t BS_Reserved1 = 37;  // u8
constexpr std::size_t BS_BootSig = 38;    // u8
constexpr std::size_t BS_VolID = 39;      // u32
constexpr std::size_t BS_VolLab = 43;     // 11 bytes
constexpr std::size_t BS_FilSysType = 54; // 8 bytes, "FAT12   " or "FAT16   "
constexpr std::size_t BootCode = 62;      // 448 bytes
} // namespace fat16

// FAT32 extended fields.
namespace fat32 {
constexpr std::size_t BPB_FATSz32 = 36;   // u32
constexpr std::size_t BPB_ExtFlags = 40;  // u16
constexpr std::size_t BPB_FSVer = 42;     // u16
constexpr std::size_t BPB_RootClus = 44;  // u32
constexpr std::size_t BPB_FSInfo = 48;    // u16
constexpr std::size_t BPB_BkBootSec = 50; // u16
constexpr std::size_t BPB_Reserved = 52;  // 12 bytes
constexpr std::size_t BS_DrvNum = 64;     // u8
constexpr std::size_t BS_Reserved1 = 65;  // u8
constexpr std::size_t BS_BootSig = 66;    // u8
constexpr std::size_t BS_VolID = 67;      // u32
constexpr std::size_t BS_VolLab = 71;     // 11 bytes
constexpr std::size_t BS_FilSysType = 82; // 8 bytes, "FAT32   "
constexpr std::size_t BootCode = 90;      // 420 bytes
} // namespace fat32

// NTFS fields past the shared ones.
namespace ntfs {
constexpr std::size_t PhysicalDrive = 36;         // u8, 0x80
constexpr std::size_t ExtendedBootSig = 38;       // u8, 0x80
constexpr std::size_t NtfsTotalSectors = 40;      // u64
constexpr std::size_t MftCluster = 48;            // u64
constexpr std::size_t MftMirrCluster = 56;        // u64
constexpr std::size_t ClustersPerFileRecord = 64; // u32
constexpr std::size_t ClustersPerIndexBlock = 68; // u32
constexpr std::size_t NtfsVolumeSerial = 72;      // u64
constexpr std::size_t NtfsChecksum = 80;          // u32
constexpr std::size_t BootCode = 84;              // 426 bytes
} // namespace ntfs
