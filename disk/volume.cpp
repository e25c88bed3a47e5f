// Direct volume access on the NT family: the volume device "\\.\X:" opened like
// a file, positioned and transferred in whole 512-byte sectors.
#include "disk/volume.h"

#include "core/record.h"
#include "disk/disk_error.h"

#include <cstdio>

std::uint8_t ProbeBuffer[512];
DiskError LastDiskError = {};

namespace {

constexpr DWORD VolumeAccess = GENERIC_READ | GENERIC_WRITE;
// Writers may share the volume; readers may not (read sharing is not granted).
constexpr DWORD VolumeShare = FILE_SHARE_WRITE;
constexpr int SectorShift = 9;          // a byte count is the sector count shifted by this
constexpr DWORD SectorCountMask = 0xFF; // a transfer takes only the low 8 bits of its count
constexpr char DriveLetterBase = '@';   // drive 1 is 'A'
constexpr int VolumePathSize = 7;       // "\\.\A:" and its terminator

} // namespace

HANDLE OpenVolume(const char* path)
{
    return CreateFileA(path, VolumeAccess, VolumeShare, nullptr, OPEN_EXISTING,
                       FILE_FLAG_NO_BUFFERING, nullptr);
}

int SeekSector(HANDLE volume, DWORD sector)
{
    const std::uint64_t offset = static_cast<std::uint64_t>(sector) * SectorSize;
    LONG high = static_cast<LONG>(static_cast<DWORD>(offset >> 32));
    const DWORD low =
        SetFilePointer(volume, static_cast<LONG>(static_cast<DWORD>(offset)), &high, FILE_BEGIN);
    // The low half of a multiple of 512 is never all ones, so this value can
    // only mean failure.
    return low == INVALID_SET_FILE_POINTER ? 1 : 0;
}

DWORD ReadSectors(HANDLE volume, void* buffer, DWORD count)
{
    DWORD read = 0;
    if (!ReadFile(volume, buffer, (count & SectorCountMask) << SectorShift, &read, nullptr))
        return 0;
    return read;
}

DWORD WriteSectors(HANDLE volume, const void* buffer, DWORD count)
{
    DWORD written = 0;
    if (!WriteFile(volume, buffer, (count & SectorCountMask) << SectorShift, &written, nullptr))
        return 0;
    return written;
}

int CloseVolume(HANDLE volume)
{
    CloseHandle(volume);
    return 1;
}

// Each step runs only when the one before it worked: an invalid handle is never
// positioned, used or closed, and nothing is written at a position that could
// not be set. A handle that was opened is closed exactly once. A failed step is
// noted in LastDiskError with the system's error code, or with the byte count
// when a transfer worked but moved less than a sector.
DWORD VolumeTransfer(std::uint8_t drive, bool write, std::uint8_t* buffer)
{
    char path[VolumePathSize];
    std::sprintf(path, "\\\\.\\%c:", static_cast<char>(DriveLetterBase + drive));

    HANDLE volume = OpenVolume(path);
    if (volume == INVALID_HANDLE_VALUE) {
        NoteDiskError(DiskStepOpen, DiskCauseWin32, GetLastError());
        return 0;
    }
    DWORD moved = 0;
    const std::uint8_t step = write ? DiskStepWrite : DiskStepRead;
    if (SeekSector(volume, 0) != 0) {
        NoteDiskError(DiskStepSeek, DiskCauseWin32, GetLastError());
    } else {
        SetLastError(ERROR_SUCCESS);
        moved = write ? WriteSectors(volume, buffer, 1) : ReadSectors(volume, buffer, 1);
        const DWORD error = GetLastError();
        if (moved == 0 && error != ERROR_SUCCESS)
            NoteDiskError(step, DiskCauseWin32, error);
        else if (moved != SectorSize)
            NoteDiskError(step, DiskCauseShort, moved);
    }
    CloseVolume(volume);
    return moved;
}

bool ProbeVolume(const char* path)
{
    // Buffered, unlike OpenVolume: the probe reads into a plain static buffer.
    HANDLE volume =
        CreateFileA(path, VolumeAccess, VolumeShare, nullptr, OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE)
        return false;
    DWORD read = 0;
    ReadFile(volume, ProbeBuffer, sizeof ProbeBuffer, &read, nullptr);
    CloseHandle(volume);
    return read == sizeof ProbeBuffer;
}
