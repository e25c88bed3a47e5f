// Steering and observing the file, volume and VWIN32 half of the stand-in.
//
// Volumes are named byte arrays ("\\.\A:" -> bytes) opened with CreateFileA and
// moved with SetFilePointer, ReadFile and WriteFile. The VWIN32 device ("\\.\vwin32")
// carries out Int 25h, Int 26h, Int 21h 7305h and 440Dh lock/unlock on the same
// volumes, drive n being "\\.\" plus the n-th letter. Every call is logged through
// standin::Log; every exchange's register block is also kept, as it was sent.
//
// The 32-bit addresses in a register block or packet are mapped back to real
// memory through the regions a test hands to MapMemory; an address outside every
// region makes the service fail (carry set), as a bad pointer would.
#pragma once

#include "standin.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Error codes the stand-in reports that the program itself never names.
#define ERROR_INVALID_FUNCTION 1
#define ERROR_INVALID_HANDLE 6
#define ERROR_WRITE_PROTECT 19
#define ERROR_NEGATIVE_SEEK 131
#define ERROR_NOT_SUPPORTED 50
#define ERROR_SECTOR_NOT_FOUND 27
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_NOT_LOCKED 158

namespace standin {

// --- Volumes ---
struct Volume {
    std::vector<std::uint8_t> bytes;
    bool noMedium = false;       // opens, but every transfer answers "not ready"
    bool writeProtected = false; // opens, reads; writes fail
    bool readOnly = false;       // a read-only file: opening it for writing is refused
    // Bytes per sector. Above 512, every transfer (buffered or not) whose offset
    // or length is not a multiple of it fails as an invalid parameter, and so
    // does an unbuffered one whose buffer is not aligned to it.
    DWORD sectorSize = 512;
    bool answersGeometry = true; // IOCTL_DISK_GET_DRIVE_GEOMETRY; else error 50
    // The partition requests: answered by both (a disk of any Windows since XP),
    // by the older one only (NT 4.0 and 2000), by the newer one only (a GPT
    // disk), or by neither (Wine); error 50 when refused.
    enum Partition { BothRequests, OlderOnly, NewerOnly, NoRequests } partition = NoRequests;
    std::uint64_t partitionStart = 0; // bytes from the start of the disk
    // The last sector lies past the file system's end, as on NTFS: a handle
    // reaches it only after FSCTL_ALLOW_EXTENDED_DASD_IO, which needs a handle
    // that shares both reading and writing. Otherwise a transfer there fails.
    bool lastSectorGuarded = false;
    // FSCTL_LOCK_VOLUME fails with ERROR_ACCESS_DENIED, as for a volume with open
    // files, the system volume or one holding a page file.
    bool inUse = false;
    // The handle that holds the volume's lock, 0 when none: transfers through any
    // other handle then fail with ERROR_ACCESS_DENIED. Dismounts counts the
    // dismounts granted.
    std::uintptr_t lockedBy = 0;
    int dismounts = 0;
    // When set, the bytes live in this file of the host instead (files of any
    // size, sparse ones too); GetFileSize reports its size.
    std::string hostFile;
};
// Adds (or replaces) a volume of size bytes, each set to fill.
Volume& AddVolume(const std::string& name, std::size_t size, std::uint8_t fill = 0);
// Adds (or replaces) a file of that name whose bytes are the host file at path.
Volume& AddHostFile(const std::string& name, const std::string& path);
// The volume of that name (letters compare without case), or null.
Volume* FindVolume(const std::string& name);
// "\\.\A:" for drive 1, "\\.\C:" for drive 3.
std::string VolumeName(int drive);
// Whether "\\.\vwin32" can be opened (the 9x family); true after a reset.
void SetVwin32Present(bool present);

// --- Scripted outcomes, one per call of the named function, in order ---
// Calls with nothing scripted behave normally.
void PassNext(const std::string& function);
// The call fails with this error: it returns its failure value and moves nothing.
void FailNext(const std::string& function, DWORD error);
// ReadFile or WriteFile: succeeds but moves at most bytes.
void ShortNext(const std::string& function, DWORD bytes);
// DeviceIoControl: the call succeeds but the service fails: carry set, AX = ax,
// nothing transferred or locked.
void CarryNext(WORD ax);

// --- Handles ---
// Handles are never reused, so a late use of a closed handle is always caught.
struct HandleStats {
    int opened = 0;        // handles CreateFileA gave out
    int closed = 0;        // of these, closed once
    int doubleCloses = 0;  // CloseHandle on a handle already closed
    int invalidCloses = 0; // CloseHandle on INVALID_HANDLE_VALUE or a value never given out
    int badUses = 0;       // any other call on such a handle
    int open() const { return opened - closed; }
};
HandleStats Handles();
// "h1", "h2", ... in the order CreateFileA gave them out; "INVALID" otherwise.
std::string HandleName(HANDLE handle);

// --- The VWIN32 device ---
// A region of test memory that 32-bit addresses may point into. name is shown in
// the log when a register holds the region's own address.
void MapMemory(const std::string& name, const void* base, std::size_t size);
// The register block of one exchange as the program sent it.
struct Exchange {
    DWORD code;
    DWORD ebx, edx, ecx, eax, edi, esi, flags;
    bool packetForm; // the service took its parameters from a packet
    DWORD start;     // the packet as sent, when packetForm
    WORD sectors;
    DWORD buffer;
    DWORD eaxBack, flagsBack; // the two registers the device hands back changed
};
extern std::vector<Exchange> Exchanges;
// The lock level held on a drive (1-based), 0 when unlocked.
int LockLevel(int drive);

// --- File dialog ---
// Acts as the user choosing path in GetOpenFileNameA: writes it into lpstrFile and
// gives TRUE, or, when it does not fit nMaxFile, writes the size needed into the
// first two bytes and gives FALSE (the dialog's "buffer too small").
BOOL ChooseFile(OPENFILENAMEA* dialog, const std::string& path);

} // namespace standin
