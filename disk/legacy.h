// Disk access on the Windows 9x family through the VWIN32 device: real-mode
// disk services (Int 25h/26h, Int 21h 7305h and 440Dh) carried out for the
// program from a register block sent with DeviceIoControl.
#pragma once

#include <windows.h>

#include <cstdint>

// The register block, both input and output of every exchange. Fields that an
// exchange does not set keep what the previous exchange left in them.
struct DiocRegisters {
    DWORD reg_EBX;
    DWORD reg_EDX;
    DWORD reg_ECX;
    DWORD reg_EAX;
    DWORD reg_EDI;
    DWORD reg_ESI;
    DWORD reg_Flags;
};
static_assert(sizeof(DiocRegisters) == 28, "the device expects 28 bytes");

// The packet of the packet forms of Int 25h/26h and of function 7305h.
#pragma pack(push, 1)
struct DiskIoPacket {
    DWORD dwStartSector;
    WORD wSectors;
    DWORD dwBuffer;
};
#pragma pack(pop)
static_assert(sizeof(DiskIoPacket) == 10, "the packet is 10 bytes, packed");

constexpr DWORD VWIN32_DIOC_DOS_IOCTL = 1;
constexpr DWORD VWIN32_DIOC_DOS_INT25 = 2;
constexpr DWORD VWIN32_DIOC_DOS_INT26 = 3;
constexpr DWORD VWIN32_DIOC_DOS_DRIVEINFO = 6;

extern std::uint8_t UseExtendedDiskIo; // 1: function 7305h and the FAT32 lock category
extern HANDLE Vwin32Handle;
extern DiocRegisters Registers;
extern DiskIoPacket Packet;
// The legacy probe's own sector buffer; nothing looks at what it holds.
extern std::uint8_t LegacyProbeBuffer[512];

// Once at start-up on the 9x family: picks the service generation from the
// build number that GetVersionExA reported and opens the VWIN32 device.
void PrepareLegacyDiskIo(DWORD buildNumber);
// Gives count * 512 when the read worked, else 0. drive is 1-based (1 = A:).
// A failed read or write notes its cause in LastDiskError (disk/disk_error.h).
DWORD LegacyReadSectors(std::uint8_t drive, DWORD first, DWORD count, void* buffer);
// Locks the volume, writes, unlocks. Gives count * 512 when the write worked,
// else 0; the locks' outcomes are not reported.
DWORD LegacyWriteSectors(std::uint8_t drive, DWORD first, DWORD count, const void* buffer);
// The steps of a locked write, for several writes under one lock: lock the
// logical volume (FAT32 category first on the extended services), write
// without locking, unlock.
void LegacyLock(std::uint8_t drive);
DWORD LegacyWriteLocked(std::uint8_t drive, DWORD first, DWORD count, const void* buffer);
void LegacyUnlock(std::uint8_t drive);
// True when one sector of the drive could be read (into a buffer of its own).
bool LegacyProbeDrive(std::uint8_t drive);
