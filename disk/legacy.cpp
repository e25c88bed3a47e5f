// Disk access on the Windows 9x family through the VWIN32 device. Each exchange
// sends the one register block to the device, which runs the real-mode service
// and hands the block back with the registers as the service left them.
#include "disk/legacy.h"

#include "disk/disk_error.h"

std::uint8_t UseExtendedDiskIo = 0;
HANDLE Vwin32Handle = INVALID_HANDLE_VALUE;
DiocRegisters Registers = {};
DiskIoPacket Packet = {};
std::uint8_t LegacyProbeBuffer[512];

namespace {

DWORD BytesReturned = 0;    // the device reports it; nothing reads it
bool DeviceRefused = false; // the last exchange's DeviceIoControl call itself failed

constexpr DWORD ExtendedBuildThreshold = 1000; // builds above it have 7305h and FAT32 locks
constexpr DWORD BuildNumberMask = 0xFFFF;      // 9x keeps the version in the high word
constexpr DWORD CarryFlag = 0x0001;            // bit 0 of reg_Flags: the service failed
constexpr int SectorShift = 9;                 // a byte count is the sector count shifted by this
constexpr DWORD DriverCodeMask = 0xFFFF;       // a service's error code is in AX

// Service numbers (reg_EAX) and their parameters.
constexpr DWORD ServiceExtendedIo = 0x7305; // Int 21h: extended absolute disk read/write
constexpr DWORD ServiceIoctlBlock = 0x440D; // Int 21h: generic IOCTL for block devices
constexpr DWORD ExtendedPacketMarker = 0xFFFFFFFF;
constexpr DWORD AbsolutePacketMarker = 0xFFFF; // Int 25h/26h: DS:BX points to a packet
constexpr DWORD ModeRead = 0x0000;             // reg_ESI for 7305h
constexpr DWORD ModeWriteFileData = 0x6001;    // write, normal file data

// Volume lock and unlock (function 440Dh): category in CH, minor code in CL.
constexpr DWORD LockFat32 = 0x484A;
constexpr DWORD LockStandard = 0x084A;
constexpr DWORD UnlockFat32 = 0x486A;
constexpr DWORD UnlockStandard = 0x086A;
constexpr DWORD LockLevel1 = 0x100;        // BH = 1
constexpr DWORD LockPermitWrites = 1;      // DX bit 0: write operations allowed
constexpr DWORD AssumeFailure = CarryFlag; // carry preset before an IOCTL

// The short form of Int 25h used by the probe: one sector from sector 0.
constexpr DWORD ProbeShortCount = 1;
constexpr DWORD ProbeShortStart = 0;
constexpr DWORD ProbeExtendedStart = 1; // the extended probe reads sector 1

// Addresses in the block and the packet are 32-bit, as in every 9x process.
DWORD Address(const void* p)
{
    return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(p));
}

// Int 25h and Int 26h take the 0-based drive in AL, with AH 0.
DWORD ZeroBasedDrive(std::uint8_t drive)
{
    return static_cast<std::uint8_t>(drive - 1);
}

// One exchange with the device: it worked when the call did and carry is clear.
bool Exchange(DWORD code)
{
    const BOOL called = DeviceIoControl(Vwin32Handle, code, &Registers, sizeof Registers,
                                        &Registers, sizeof Registers, &BytesReturned, nullptr);
    DeviceRefused = called == 0;
    return called != 0 && (Registers.reg_Flags & CarryFlag) == 0;
}

// Notes why the last transfer exchange failed: the device call itself (a Win32
// error), or the disk service, whose own code is in AX.
void NoteTransferError(std::uint8_t step)
{
    if (DeviceRefused)
        NoteDiskError(step, DiskCauseWin32, GetLastError());
    else
        NoteDiskError(step, DiskCauseDriver, Registers.reg_EAX & DriverCodeMask);
}

void FillPacket(DWORD first, DWORD count, const void* buffer)
{
    Packet.dwStartSector = first;
    Packet.wSectors = static_cast<WORD>(count);
    Packet.dwBuffer = Address(buffer);
}

// Rows R1, W1 and P1: function 7305h on the packet; mode says read or write.
bool ExtendedTransfer(std::uint8_t drive, DWORD mode)
{
    Registers.reg_EAX = ServiceExtendedIo;
    Registers.reg_EBX = Address(&Packet);
    Registers.reg_ECX = ExtendedPacketMarker;
    Registers.reg_EDX = drive;
    Registers.reg_ESI = mode;
    return Exchange(VWIN32_DIOC_DOS_DRIVEINFO);
}

// Rows R2 and W2: the packet form of Int 25h (read) or Int 26h (write).
bool AbsoluteTransfer(DWORD code, std::uint8_t drive)
{
    Registers.reg_EAX = ZeroBasedDrive(drive);
    Registers.reg_EBX = Address(&Packet);
    Registers.reg_ECX = AbsolutePacketMarker;
    return Exchange(code);
}

// Rows L1 and L2: lock the logical volume at level 1, writes permitted.
bool LockVolume(std::uint8_t drive, DWORD categoryAndMinor)
{
    Registers.reg_EAX = ServiceIoctlBlock;
    Registers.reg_EBX = drive + LockLevel1;
    Registers.reg_ECX = categoryAndMinor;
    Registers.reg_EDX = LockPermitWrites;
    Registers.reg_Flags = AssumeFailure;
    return Exchange(VWIN32_DIOC_DOS_IOCTL);
}

// Rows U1 and U2: unlock the logical volume.
bool UnlockVolume(std::uint8_t drive, DWORD categoryAndMinor)
{
    Registers.reg_EAX = ServiceIoctlBlock;
    Registers.reg_EBX = drive;
    Registers.reg_ECX = categoryAndMinor;
    Registers.reg_Flags = AssumeFailure;
    return Exchange(VWIN32_DIOC_DOS_IOCTL);
}

} // namespace

void PrepareLegacyDiskIo(DWORD buildNumber)
{
    UseExtendedDiskIo = (buildNumber & BuildNumberMask) > ExtendedBuildThreshold ? 1 : 0;
    Vwin32Handle =
        CreateFileA("\\\\.\\vwin32", 0, 0, nullptr, 0, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

DWORD LegacyReadSectors(std::uint8_t drive, DWORD first, DWORD count, void* buffer)
{
    Registers.reg_ESI = ModeRead;
    FillPacket(first, count, buffer);
    const bool read = UseExtendedDiskIo ? ExtendedTransfer(drive, ModeRead)
                                        : AbsoluteTransfer(VWIN32_DIOC_DOS_INT25, drive);
    if (!read)
        NoteTransferError(DiskStepRead);
    return read ? count << SectorShift : 0;
}

// A refused lock of the FAT32 category falls back to the standard one; the
// write is sent even when neither was granted.
void LegacyLock(std::uint8_t drive)
{
    if (UseExtendedDiskIo && LockVolume(drive, LockFat32))
        return;
    LockVolume(drive, LockStandard);
}

void LegacyUnlock(std::uint8_t drive)
{
    if (UseExtendedDiskIo && UnlockVolume(drive, UnlockFat32))
        return;
    UnlockVolume(drive, UnlockStandard);
}

DWORD LegacyWriteLocked(std::uint8_t drive, DWORD first, DWORD count, const void* buffer)
{
    FillPacket(first, count, buffer);
    const bool written = UseExtendedDiskIo ? ExtendedTransfer(drive, ModeWriteFileData)
                                           : AbsoluteTransfer(VWIN32_DIOC_DOS_INT26, drive);
    if (!written)
        NoteTransferError(DiskStepWrite);
    return written ? count << SectorShift : 0;
}

// The unlock runs whatever the write gave; only the write's own outcome is
// reported.
DWORD LegacyWriteSectors(std::uint8_t drive, DWORD first, DWORD count, const void* buffer)
{
    LegacyLock(drive);
    const DWORD written = LegacyWriteLocked(drive, first, count, buffer);
    LegacyUnlock(drive);
    return written;
}

bool LegacyProbeDrive(std::uint8_t drive)
{
    if (UseExtendedDiskIo) {
        FillPacket(ProbeExtendedStart, 1, LegacyProbeBuffer);
        return ExtendedTransfer(drive, ModeRead);
    }
    // Row P2: the short form of Int 25h, with no packet.
    Registers.reg_EAX = ZeroBasedDrive(drive);
    Registers.reg_EBX = Address(LegacyProbeBuffer);
    Registers.reg_ECX = ProbeShortCount;
    Registers.reg_EDX = ProbeShortStart;
    Registers.reg_Flags = AssumeFailure;
    return Exchange(VWIN32_DIOC_DOS_INT25);
}
