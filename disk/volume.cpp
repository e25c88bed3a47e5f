// Direct volume access on the NT family: the volume device "\\.\X:" opened like
// a file, positioned and transferred in whole sectors of the volume's size.
#include "disk/volume.h"

#include "core/record.h"
#include "disk/disk_error.h"

#include <winioctl.h>

#include <cstdio>
#include <cstring>

alignas(MaxVolumeSectorSize) std::uint8_t VolumeBuffer[VolumeChunkBytes];
DiskError LastDiskError = {};

namespace {

constexpr DWORD VolumeAccess = GENERIC_READ | GENERIC_WRITE;
// Writers may share the volume; readers may not (read sharing is not granted).
constexpr DWORD VolumeShare = FILE_SHARE_WRITE;
// Extended access past the file system's end, and locking, need a handle that
// shares both.
constexpr DWORD ExtendedShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr char DriveLetterBase = '@'; // drive 1 is 'A'

// A lock on a volume in use is tried again for about two seconds: another
// program may be just closing its files.
constexpr int LockAttempts = 20;
constexpr DWORD LockRetryDelay = 100; // milliseconds

// A control request that takes and gives no data; true when it was granted.
bool VolumeRequest(HANDLE volume, DWORD code)
{
    DWORD returned = 0;
    return DeviceIoControl(volume, code, nullptr, 0, nullptr, 0, &returned, nullptr) != FALSE;
}

// The size the volume reports, or 0 when it does not answer.
DWORD ReportedSectorSize(HANDLE volume)
{
    DISK_GEOMETRY geometry;
    DWORD returned = 0;
    if (!DeviceIoControl(volume, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry,
                         sizeof geometry, &returned, nullptr))
        return 0;
    return geometry.BytesPerSector;
}

// Reads the first sector at 512, 1024, 2048 and 4096 bytes in turn, as long as
// the volume refuses the size as an invalid parameter. Gives the bytes the last
// read moved (0 when it failed) and, in size, the size it asked for; 512 when
// every size was refused.
DWORD TryFirstSector(HANDLE volume, DWORD* size)
{
    for (*size = MinVolumeSectorSize; *size <= MaxVolumeSectorSize; *size *= 2) {
        if (SeekSector(volume, 0, *size) != 0)
            return 0;
        const DWORD read = ReadSectors(volume, VolumeBuffer, 1, *size);
        if (read != 0 || GetLastError() != ERROR_INVALID_PARAMETER)
            return read;
    }
    *size = MinVolumeSectorSize;
    return 0;
}

// A reported size that is none of the four is noted and refused.
bool Supported(DWORD size)
{
    if (size == 512 || size == 1024 || size == 2048 || size == 4096)
        return true;
    NoteDiskError(DiskStepOpen, DiskCauseSectorSize, size);
    return false;
}

// Opens the drive's volume, sharing as asked, and finds its sector size; a
// failure is noted. With pastEnd it asks for access past the end of the file
// system (the last sector of an NTFS volume lies there), which needs a handle
// sharing reading too; a system that does not grant it (NT 4.0, 2000, Wine) is
// tried without.
HANDLE OpenDriveVolume(std::uint8_t drive, DWORD share, bool pastEnd, DWORD* sectorSize)
{
    char path[VolumePathSize];
    VolumePath(drive, path);
    HANDLE volume = CreateFileA(path, VolumeAccess, share, nullptr, OPEN_EXISTING,
                                FILE_FLAG_NO_BUFFERING, nullptr);
    if (volume == INVALID_HANDLE_VALUE) {
        NoteDiskError(DiskStepOpen, DiskCauseWin32, GetLastError());
        return volume;
    }
    if (pastEnd)
        AllowPastEnd(volume);
    *sectorSize = VolumeSectorSize(volume);
    if (*sectorSize == 0) {
        CloseVolume(volume);
        return INVALID_HANDLE_VALUE;
    }
    return volume;
}

// Positions at the sector, then reads count sectors whole into VolumeBuffer,
// or writes them whole from there; a failure is noted.
bool MoveSector(HANDLE volume, std::uint64_t sector, DWORD sectorSize, bool write, DWORD count = 1)
{
    if (SeekSector(volume, sector, sectorSize) != 0) {
        NoteDiskError(DiskStepSeek, DiskCauseWin32, GetLastError());
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    const DWORD moved = write ? WriteSectors(volume, VolumeBuffer, count, sectorSize)
                              : ReadSectors(volume, VolumeBuffer, count, sectorSize);
    if (moved == count * sectorSize)
        return true;
    const DWORD error = GetLastError();
    const std::uint8_t step = write ? DiskStepWrite : DiskStepRead;
    if (moved == 0 && error != ERROR_SUCCESS)
        NoteDiskError(step, DiskCauseWin32, error);
    else
        NoteDiskError(step, DiskCauseShort, moved);
    return false;
}

} // namespace

void VolumePath(std::uint8_t drive, char* path)
{
    std::sprintf(path, "\\\\.\\%c:", static_cast<char>(DriveLetterBase + drive));
}

HANDLE OpenVolume(const char* path)
{
    return CreateFileA(path, VolumeAccess, VolumeShare, nullptr, OPEN_EXISTING,
                       FILE_FLAG_NO_BUFFERING, nullptr);
}

int SeekSector(HANDLE volume, std::uint64_t sector, DWORD sectorSize)
{
    const std::uint64_t offset = sector * sectorSize;
    LONG high = static_cast<LONG>(static_cast<DWORD>(offset >> 32));
    SetLastError(ERROR_SUCCESS);
    const DWORD low =
        SetFilePointer(volume, static_cast<LONG>(static_cast<DWORD>(offset)), &high, FILE_BEGIN);
    // The low half of a multiple of 512 is never all ones, so this value can
    // only mean failure.
    return low == INVALID_SET_FILE_POINTER ? 1 : 0;
}

DWORD ReadSectors(HANDLE volume, void* buffer, DWORD count, DWORD sectorSize)
{
    DWORD read = 0;
    if (!ReadFile(volume, buffer, count * sectorSize, &read, nullptr))
        return 0;
    return read;
}

DWORD WriteSectors(HANDLE volume, const void* buffer, DWORD count, DWORD sectorSize)
{
    DWORD written = 0;
    if (!WriteFile(volume, buffer, count * sectorSize, &written, nullptr))
        return 0;
    return written;
}

int CloseVolume(HANDLE volume)
{
    CloseHandle(volume);
    return 1;
}

DWORD VolumeSectorSize(HANDLE volume)
{
    DWORD size = ReportedSectorSize(volume);
    if (size == 0)
        TryFirstSector(volume, &size);
    return Supported(size) ? size : 0;
}

// Each step runs only when the one before it worked: an invalid handle is never
// positioned, used or closed, and nothing is written at a position that could
// not be set. A handle that was opened is closed exactly once.
bool ReadVolumeSector(std::uint8_t drive, std::uint64_t sector, std::uint8_t* record, bool pastEnd)
{
    DWORD sectorSize = 0;
    HANDLE volume =
        OpenDriveVolume(drive, pastEnd ? ExtendedShare : VolumeShare, pastEnd, &sectorSize);
    if (volume == INVALID_HANDLE_VALUE)
        return false;
    const bool read = ReadSectorOn(volume, sectorSize, sector, record);
    CloseVolume(volume);
    return read;
}

bool WriteVolumeSector(std::uint8_t drive, std::uint64_t sector, const std::uint8_t* record,
                       bool pastEnd)
{
    DWORD sectorSize = 0;
    HANDLE volume =
        OpenDriveVolume(drive, pastEnd ? ExtendedShare : VolumeShare, pastEnd, &sectorSize);
    if (volume == INVALID_HANDLE_VALUE)
        return false;
    const bool written = WriteSectorOn(volume, sectorSize, sector, record);
    CloseVolume(volume);
    return written;
}

bool ReadVolumeSectors(std::uint8_t drive, std::uint64_t first, std::uint32_t count,
                       std::uint8_t* buffer)
{
    DWORD sectorSize = 0;
    HANDLE volume = OpenDriveVolume(drive, ExtendedShare, true, &sectorSize);
    if (volume == INVALID_HANDLE_VALUE)
        return false;
    const std::uint32_t chunk = VolumeChunkBytes / sectorSize;
    bool read = true;
    while (read && count > 0) {
        const std::uint32_t n = count < chunk ? count : chunk;
        read = MoveSector(volume, first, sectorSize, false, n);
        if (read)
            std::memcpy(buffer, VolumeBuffer, std::size_t{n} * sectorSize);
        first += n;
        count -= n;
        buffer += std::size_t{n} * sectorSize;
    }
    CloseVolume(volume);
    return read;
}

DWORD DriveVolumeSectorSize(std::uint8_t drive)
{
    DWORD sectorSize = 0;
    HANDLE volume = OpenDriveVolume(drive, VolumeShare, false, &sectorSize);
    if (volume == INVALID_HANDLE_VALUE)
        return 0;
    CloseVolume(volume);
    return sectorSize;
}

bool ReadSectorOn(HANDLE volume, DWORD sectorSize, std::uint64_t sector, std::uint8_t* record)
{
    if (!MoveSector(volume, sector, sectorSize, false))
        return false;
    std::memcpy(record, VolumeBuffer, SectorSize);
    return true;
}

// A sector larger than the record is read first, so that its bytes past the
// record reach the disk again exactly as they were.
bool WriteSectorOn(HANDLE volume, DWORD sectorSize, std::uint64_t sector,
                   const std::uint8_t* record)
{
    if (sectorSize > SectorSize && !MoveSector(volume, sector, sectorSize, false))
        return false;
    std::memcpy(VolumeBuffer, record, SectorSize);
    return MoveSector(volume, sector, sectorSize, true);
}

HANDLE OpenLockableVolume(std::uint8_t drive, DWORD* sectorSize)
{
    return OpenDriveVolume(drive, ExtendedShare, false, sectorSize);
}

void AllowPastEnd(HANDLE volume)
{
    VolumeRequest(volume, FSCTL_ALLOW_EXTENDED_DASD_IO);
}

bool LockVolume(HANDLE volume)
{
    for (int attempt = 1;; ++attempt) {
        if (VolumeRequest(volume, FSCTL_LOCK_VOLUME))
            return true;
        if (attempt == LockAttempts)
            return false;
        Sleep(LockRetryDelay);
    }
}

void ReleaseVolume(HANDLE volume, bool locked, bool dismount)
{
    if (dismount)
        VolumeRequest(volume, FSCTL_DISMOUNT_VOLUME);
    if (locked)
        VolumeRequest(volume, FSCTL_UNLOCK_VOLUME);
    CloseVolume(volume);
}

// When the volume does not report its size, the reads that find it are the
// probe's read.
bool ProbeVolume(std::uint8_t drive)
{
    char path[VolumePathSize];
    VolumePath(drive, path);
    // Buffered, unlike OpenVolume.
    HANDLE volume =
        CreateFileA(path, VolumeAccess, VolumeShare, nullptr, OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE)
        return false;
    DWORD size = ReportedSectorSize(volume);
    DWORD read = 0;
    if (size == 0)
        read = TryFirstSector(volume, &size);
    else if (Supported(size) && SeekSector(volume, 0, size) == 0)
        read = ReadSectors(volume, VolumeBuffer, 1, size);
    const DWORD error = GetLastError();
    CloseHandle(volume);
    SetLastError(error);
    return read == size;
}

// The newer request knows GPT disks; NT 4.0 and 2000 have only the older one.
bool VolumePartition(std::uint8_t drive, std::uint64_t* start, std::uint64_t* length)
{
    char path[VolumePathSize];
    VolumePath(drive, path);
    HANDLE volume = OpenVolume(path);
    if (volume == INVALID_HANDLE_VALUE)
        return false;
    DWORD returned = 0;
    PARTITION_INFORMATION_EX infoEx;
    PARTITION_INFORMATION info;
    bool found = false;
    if (DeviceIoControl(volume, IOCTL_DISK_GET_PARTITION_INFO_EX, nullptr, 0, &infoEx,
                        sizeof infoEx, &returned, nullptr)) {
        *start = static_cast<std::uint64_t>(infoEx.StartingOffset.QuadPart);
        *length = static_cast<std::uint64_t>(infoEx.PartitionLength.QuadPart);
        found = true;
    } else if (DeviceIoControl(volume, IOCTL_DISK_GET_PARTITION_INFO, nullptr, 0, &info,
                               sizeof info, &returned, nullptr)) {
        *start = static_cast<std::uint64_t>(info.StartingOffset.QuadPart);
        *length = static_cast<std::uint64_t>(info.PartitionLength.QuadPart);
        found = true;
    }
    CloseVolume(volume);
    return found;
}
