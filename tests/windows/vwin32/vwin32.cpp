// vwin32.vxd: a test double of the Windows 9x VWIN32 device for the end-to-end
// tests under Wine. It never ships.
//
// Wine carries out Int 25h and Int 26h for a program that opens "\\.\vwin32",
// but answers Int 21h function 7305h with carry clear and moves nothing, so the
// extended path of the 9x builds above 1000 could not reach a disk. Run with
// WINEDLLOVERRIDES="vwin32.vxd=n", Wine loads this DLL from the program's folder
// when the device is opened and hands every DeviceIoControl on the device's
// handle to the export DeviceIoControl (a stdcall function of seven arguments,
// exported under that plain name by vwin32.def).
//
// Services, on the register block (EBX, EDX, ECX, EAX, EDI, ESI, Flags):
//   1  Int 21h 440Dh, generic IOCTL: CX 484Ah/084Ah lock the logical volume
//      (BL 1-based drive, BH level, DX permissions), CX 486Ah/086Ah unlock it
//      (BL drive). An unlock of a volume that is not locked fails.
//   2  Int 25h, absolute read: AL 0-based drive. CX FFFFh: packet at EBX;
//      any other CX: short form, CX sectors from sector DX into the buffer at EBX.
//   3  Int 26h, absolute write: as code 2, from the buffer.
//   6  Int 21h 7305h: EAX 7305h, ECX FFFFFFFFh, packet at EBX, DL 1-based
//      drive, SI bit 0 set for a write.
// The packet: start sector (32 bits), sector count (16 bits), buffer (32 bits).
// Sectors move through "\\.\X:", which Wine maps to the image that the prefix's
// `x::` entry names. Success clears carry and leaves the other registers as they
// came; a failure sets carry and puts an error code into AX:
//   0001h unknown function or unlock without a lock, 0005h refused by script,
//   000Fh no such drive, 001Dh write fault, 001Eh read fault.
// Any other control code, or a register block shorter than 28 bytes, makes
// DeviceIoControl give FALSE.
//
// Environment, read once when the DLL is loaded:
//   KELVASHIN_VWIN32_LOG     file that receives one line per event (appended):
//                            "attach pid=N", then per exchange "dioc code=N" and
//                            the registers as received (in.*), the packet if the
//                            service has one (packet.*), the registers handed
//                            back (out.*), the bytes moved and whether the drive
//                            was locked; values in hexadecimal.
//   KELVASHIN_VWIN32_REFUSE  rows to refuse with carry set and AX 0005h,
//                            separated by commas: L1 L2 (lock, FAT32 or standard
//                            category), U1 U2 (unlock), R1 W1 (7305h read or
//                            write, probes included), R2 W2 (Int 25h or Int 26h).
#include <windows.h>

#include <stdio.h>
#include <string.h>

namespace {

struct Registers {
    DWORD ebx;
    DWORD edx;
    DWORD ecx;
    DWORD eax;
    DWORD edi;
    DWORD esi;
    DWORD flags;
};
static_assert(sizeof(Registers) == 28, "the register block is 28 bytes");

#pragma pack(push, 1)
struct Packet {
    DWORD start;
    WORD count;
    DWORD buffer;
};
#pragma pack(pop)
static_assert(sizeof(Packet) == 10, "the packet is 10 bytes, packed");

constexpr DWORD CodeIoctl = 1;
constexpr DWORD CodeInt25 = 2;
constexpr DWORD CodeInt26 = 3;
constexpr DWORD CodeExtended = 6;

constexpr DWORD CarryFlag = 0x0001;
constexpr DWORD SectorSize = 512;
constexpr DWORD ServiceExtendedIo = 0x7305;
constexpr DWORD ServiceIoctlBlock = 0x440D;
constexpr DWORD ExtendedPacketMarker = 0xFFFFFFFF;
constexpr DWORD AbsolutePacketMarker = 0xFFFF;
constexpr DWORD ExtendedWriteBit = 0x0001; // SI bit 0

constexpr DWORD LockFat32 = 0x484A;
constexpr DWORD LockStandard = 0x084A;
constexpr DWORD UnlockFat32 = 0x486A;
constexpr DWORD UnlockStandard = 0x086A;

constexpr WORD ErrorFunction = 0x0001;
constexpr WORD ErrorRefused = 0x0005;
constexpr WORD ErrorDrive = 0x000F;
constexpr WORD ErrorWriteFault = 0x001D;
constexpr WORD ErrorReadFault = 0x001E;

constexpr int DriveCount = 26; // A: to Z:, 1-based

char LogPath[MAX_PATH];
char Refused[128]; // ",L1,U1," form: every row between commas
bool Locked[DriveCount + 1];
BYTE LockLevel[DriveCount + 1];

// What one exchange did, for the log line.
struct Outcome {
    bool hasPacket;
    Packet packet;
    DWORD moved;
    bool refused;
    int drive; // 1-based; 0 when the service names none
};

void AppendLog(const char* text)
{
    if (!LogPath[0])
        return;
    HANDLE file = CreateFileA(LogPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    SetFilePointer(file, 0, nullptr, FILE_END);
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    CloseHandle(file);
}

// The refusal list is kept as ",A,B," so that a row is found as ",ROW,".
void LoadSettings()
{
    DWORD got = GetEnvironmentVariableA("KELVASHIN_VWIN32_LOG", LogPath, sizeof LogPath);
    if (got == 0 || got >= sizeof LogPath)
        LogPath[0] = 0;
    char list[sizeof Refused - 2];
    got = GetEnvironmentVariableA("KELVASHIN_VWIN32_REFUSE", list, sizeof list);
    if (got == 0 || got >= sizeof list)
        list[0] = 0;
    snprintf(Refused, sizeof Refused, ",%s,", list);
    for (char* c = Refused; *c; ++c) {
        if (*c >= 'a' && *c <= 'z')
            *c = static_cast<char>(*c - 'a' + 'A');
        if (*c == ' ')
            *c = ',';
    }
}

bool IsRefused(const char* row)
{
    char needle[8];
    snprintf(needle, sizeof needle, ",%s,", row);
    return strstr(Refused, needle) != nullptr;
}

void Succeed(Registers& regs)
{
    regs.flags &= ~CarryFlag;
}

void Fail(Registers& regs, WORD error)
{
    regs.eax = (regs.eax & 0xFFFF0000) | error;
    regs.flags |= CarryFlag;
}

bool ValidDrive(int drive)
{
    return drive >= 1 && drive <= DriveCount;
}

// Moves count sectors from sector start between the drive's volume and the
// buffer; gives 0 or the error code for AX.
WORD Transfer(int drive, DWORD start, DWORD count, DWORD buffer, bool write, DWORD& moved)
{
    moved = 0;
    if (!ValidDrive(drive))
        return ErrorDrive;
    char path[] = "\\\\.\\A:";
    path[4] = static_cast<char>('A' + drive - 1);
    HANDLE volume =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE)
        return ErrorDrive;
    const ULONGLONG offset = static_cast<ULONGLONG>(start) * SectorSize;
    LONG high = static_cast<LONG>(offset >> 32);
    const DWORD low =
        SetFilePointer(volume, static_cast<LONG>(offset & 0xFFFFFFFF), &high, FILE_BEGIN);
    const DWORD wanted = count * SectorSize;
    BOOL done = low != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR;
    void* data = reinterpret_cast<void*>(static_cast<ULONG_PTR>(buffer));
    if (done && wanted)
        done = write ? WriteFile(volume, data, wanted, &moved, nullptr)
                     : ReadFile(volume, data, wanted, &moved, nullptr);
    CloseHandle(volume);
    if (done && moved == wanted)
        return 0;
    return write ? ErrorWriteFault : ErrorReadFault;
}

// Reads the packet at the address in EBX; false when it cannot be read.
bool FetchPacket(const Registers& regs, Outcome& outcome)
{
    const void* at = reinterpret_cast<const void*>(static_cast<ULONG_PTR>(regs.ebx));
    if (IsBadReadPtr(at, sizeof(Packet)))
        return false;
    memcpy(&outcome.packet, at, sizeof(Packet));
    outcome.hasPacket = true;
    return true;
}

// A packet transfer, or a refusal with carry set before anything moves.
void PacketTransfer(Registers& regs, Outcome& outcome, const char* row, int drive, bool write)
{
    outcome.drive = drive;
    if (!FetchPacket(regs, outcome))
        return Fail(regs, ErrorFunction);
    if (IsRefused(row)) {
        outcome.refused = true;
        return Fail(regs, ErrorRefused);
    }
    const WORD error = Transfer(drive, outcome.packet.start, outcome.packet.count,
                                outcome.packet.buffer, write, outcome.moved);
    if (error)
        return Fail(regs, error);
    Succeed(regs);
}

void Extended(Registers& regs, Outcome& outcome)
{
    if ((regs.eax & 0xFFFF) != ServiceExtendedIo || regs.ecx != ExtendedPacketMarker)
        return Fail(regs, ErrorFunction);
    const bool write = (regs.esi & ExtendedWriteBit) != 0;
    PacketTransfer(regs, outcome, write ? "W1" : "R1", regs.edx & 0xFF, write);
}

// Int 25h and Int 26h: the packet form when CX is FFFFh, else the short form.
void Absolute(Registers& regs, Outcome& outcome, bool write)
{
    const int drive = static_cast<int>(regs.eax & 0xFF) + 1;
    const char* row = write ? "W2" : "R2";
    if ((regs.ecx & 0xFFFF) == AbsolutePacketMarker)
        return PacketTransfer(regs, outcome, row, drive, write);
    outcome.drive = drive;
    if (IsRefused(row)) {
        outcome.refused = true;
        return Fail(regs, ErrorRefused);
    }
    const WORD error =
        Transfer(drive, regs.edx & 0xFFFF, regs.ecx & 0xFFFF, regs.ebx, write, outcome.moved);
    if (error)
        return Fail(regs, error);
    Succeed(regs);
}

// Function 440Dh, lock and unlock of a logical volume; BL names the drive.
void Ioctl(Registers& regs, Outcome& outcome)
{
    const DWORD minor = regs.ecx & 0xFFFF;
    const bool lock = minor == LockFat32 || minor == LockStandard;
    const bool unlock = minor == UnlockFat32 || minor == UnlockStandard;
    if ((regs.eax & 0xFFFF) != ServiceIoctlBlock || !(lock || unlock))
        return Fail(regs, ErrorFunction);
    const int drive = regs.ebx & 0xFF;
    outcome.drive = drive;
    const bool fat32 = minor == LockFat32 || minor == UnlockFat32;
    const char* row = lock ? (fat32 ? "L1" : "L2") : (fat32 ? "U1" : "U2");
    if (IsRefused(row)) {
        outcome.refused = true;
        return Fail(regs, ErrorRefused);
    }
    if (!ValidDrive(drive))
        return Fail(regs, ErrorDrive);
    if (lock) {
        Locked[drive] = true;
        LockLevel[drive] = static_cast<BYTE>((regs.ebx >> 8) & 0xFF);
    } else {
        if (!Locked[drive])
            return Fail(regs, ErrorFunction);
        Locked[drive] = false;
    }
    Succeed(regs);
}

int FormatRegisters(char* out, size_t size, const char* side, const Registers& regs)
{
    return snprintf(out, size,
                    " %s.ebx=%08lx %s.edx=%08lx %s.ecx=%08lx %s.eax=%08lx %s.edi=%08lx"
                    " %s.esi=%08lx %s.flags=%08lx",
                    side, regs.ebx, side, regs.edx, side, regs.ecx, side, regs.eax, side, regs.edi,
                    side, regs.esi, side, regs.flags);
}

void LogExchange(DWORD code, const Registers& in, const Registers& out, const Outcome& outcome)
{
    if (!LogPath[0])
        return;
    char line[600];
    int used = snprintf(line, sizeof line, "dioc code=%lu", code);
    used += FormatRegisters(line + used, sizeof line - used, "in", in);
    if (outcome.hasPacket)
        used += snprintf(line + used, sizeof line - used,
                         " packet.start=%08lx packet.count=%04x packet.buffer=%08lx",
                         outcome.packet.start, outcome.packet.count, outcome.packet.buffer);
    used += FormatRegisters(line + used, sizeof line - used, "out", out);
    const bool locked = ValidDrive(outcome.drive) && Locked[outcome.drive];
    snprintf(line + used, sizeof line - used, " moved=%lx locked=%d refused=%d\r\n", outcome.moved,
             locked ? 1 : 0, outcome.refused ? 1 : 0);
    AppendLog(line);
}

} // namespace

// Exported as "DeviceIoControl" (see vwin32.def): Wine calls it for every
// DeviceIoControl that the program sends to the device.
extern "C" BOOL WINAPI Vwin32DeviceIoControl(DWORD code, void* in, DWORD inSize, void* out,
                                             DWORD outSize, DWORD* returned, OVERLAPPED*)
{
    if (!in || !out || inSize < sizeof(Registers) || outSize < sizeof(Registers) ||
        IsBadReadPtr(in, sizeof(Registers)) || IsBadWritePtr(out, sizeof(Registers))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Registers received;
    memcpy(&received, in, sizeof received);
    Registers regs = received;
    Outcome outcome = {};
    switch (code) {
    case CodeIoctl: Ioctl(regs, outcome); break;
    case CodeInt25: Absolute(regs, outcome, false); break;
    case CodeInt26: Absolute(regs, outcome, true); break;
    case CodeExtended: Extended(regs, outcome); break;
    default:
        LogExchange(code, received, received, outcome);
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    memcpy(out, &regs, sizeof regs);
    if (returned)
        *returned = sizeof regs;
    LogExchange(code, received, regs, outcome);
    return TRUE;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*)
{
    if (reason == DLL_PROCESS_ATTACH) {
        LoadSettings();
        char line[64];
        snprintf(line, sizeof line, "attach pid=%lu\r\n", GetCurrentProcessId());
        AppendLog(line);
    }
    return TRUE;
}
