// The family choice for every disk access: one version query at start-up, then
// each call goes to the NT or the 9x half.
#include "disk/sector.h"

#include "core/record.h"
#include "disk/disk_error.h"
#include "disk/legacy.h"
#include "disk/volume.h"

#include <cstdint>
#include <cstring>

std::uint8_t OsFamily = OsFamilyNt;

namespace {

bool LegacyFamily()
{
    return OsFamily == OsFamily9x;
}

// The NT family's write session: its one handle, the volume's sector size, and
// whether the volume is locked on it.
HANDLE SessionVolume = INVALID_HANDLE_VALUE;
DWORD SessionSectorSize = 0;
bool SessionLocked = false;
bool SessionWrote = false; // a write was sent: the file system must read the volume afresh
constexpr std::uint64_t LegacyLastSector = 0xFFFFFFFFu; // the packet's start is 32 bits

bool LegacyReachable(std::uint64_t sector, std::uint8_t step)
{
    if (sector <= LegacyLastSector)
        return true;
    NoteDiskError(step, DiskCauseWin32, ERROR_INVALID_PARAMETER);
    return false;
}

// The 9x family reads many sectors 32 KiB at a time: a real-mode transfer stays
// within one 64 KiB segment, so the window is 32 KiB aligned to 32 KiB inside
// VolumeBuffer (64 KiB aligned to 4 KiB always holds one), in the exe's image.
constexpr DWORD LegacyChunkBytes = 32768;
static_assert(VolumeChunkBytes - (LegacyChunkBytes - MaxVolumeSectorSize) >= LegacyChunkBytes,
              "VolumeBuffer holds an aligned window");

std::uint8_t* LegacyWindow()
{
    const auto at = reinterpret_cast<std::uintptr_t>(VolumeBuffer);
    const std::uintptr_t aligned =
        (at + LegacyChunkBytes - 1) & ~std::uintptr_t{LegacyChunkBytes - 1};
    return VolumeBuffer + (aligned - at);
}

bool LegacyReadChunks(std::uint8_t drive, std::uint64_t first, std::uint32_t count,
                      std::uint8_t* buffer)
{
    if (!LegacyReachable(first + count - 1, DiskStepRead))
        return false;
    const std::uint32_t chunk = LegacyChunkBytes / SectorSize;
    while (count > 0) {
        const std::uint32_t n = count < chunk ? count : chunk;
        if (LegacyReadSectors(drive, static_cast<DWORD>(first), n, LegacyWindow()) !=
            n * SectorSize)
            return false;
        std::memcpy(buffer, LegacyWindow(), std::size_t{n} * SectorSize);
        first += n;
        count -= n;
        buffer += std::size_t{n} * SectorSize;
    }
    return true;
}

} // namespace

bool PrepareDiskAccess()
{
    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    OsFamily = version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS ? OsFamily9x : OsFamilyNt;
    if (LegacyFamily())
        PrepareLegacyDiskIo(version.dwBuildNumber);
    return LegacyFamily();
}

// The 9x services move 512-byte sectors straight into the record's buffer.
bool ReadDriveSector(std::uint8_t drive, std::uint64_t sector, std::uint8_t* record,
                     bool pastFileSystem)
{
    if (!LegacyFamily())
        return ReadVolumeSector(drive, sector, record, pastFileSystem);
    return LegacyReachable(sector, DiskStepRead) &&
           LegacyReadSectors(drive, static_cast<DWORD>(sector), 1, record) == SectorSize;
}

bool ReadDriveSectors(std::uint8_t drive, std::uint64_t first, std::uint32_t count,
                      std::uint8_t* buffer)
{
    if (count == 0)
        return true;
    return LegacyFamily() ? LegacyReadChunks(drive, first, count, buffer)
                          : ReadVolumeSectors(drive, first, count, buffer);
}

std::uint32_t DriveChunkSectors(DWORD sectorSize)
{
    if (sectorSize == 0)
        return 0;
    return (LegacyFamily() ? LegacyChunkBytes : VolumeChunkBytes) / sectorSize;
}

bool WriteDriveSector(std::uint8_t drive, std::uint64_t sector, const std::uint8_t* record)
{
    if (!LegacyFamily())
        return WriteVolumeSector(drive, sector, record);
    return LegacyReachable(sector, DiskStepWrite) &&
           LegacyWriteSectors(drive, static_cast<DWORD>(sector), 1, record) == SectorSize;
}

BootWriteStart BeginBootWrite(std::uint8_t drive)
{
    if (LegacyFamily())
        return BootWriteLocked;
    SessionVolume = OpenLockableVolume(drive, &SessionSectorSize);
    if (SessionVolume == INVALID_HANDLE_VALUE)
        return BootWriteFailed;
    SessionLocked = LockVolume(SessionVolume);
    return SessionLocked ? BootWriteLocked : BootWriteLockRefused;
}

bool ReadWriteSector(std::uint8_t drive, std::uint64_t sector, std::uint8_t* record)
{
    if (LegacyFamily())
        return ReadDriveSector(drive, sector, record);
    return ReadSectorOn(SessionVolume, SessionSectorSize, sector, record);
}

// The NT family writes on the session's handle, asking for access past the
// file system's end before an NTFS backup.
int WriteBootSectors(std::uint8_t drive, std::uint64_t backup, bool backupPastFileSystem,
                     const std::uint8_t* record)
{
    const bool withBackup = backup != NoBackupSector;
    if (!LegacyFamily()) {
        SessionWrote = true;
        if (!WriteSectorOn(SessionVolume, SessionSectorSize, 0, record))
            return 0;
        if (!withBackup)
            return 1;
        if (backupPastFileSystem)
            AllowPastEnd(SessionVolume);
        return WriteSectorOn(SessionVolume, SessionSectorSize, backup, record) ? 2 : 1;
    }
    if (withBackup && !LegacyReachable(backup, DiskStepWrite))
        return WriteDriveSector(drive, 0, record) ? 1 : 0;
    LegacyLock(drive);
    int written = 0;
    if (LegacyWriteLocked(drive, 0, 1, record) == SectorSize) {
        written = 1;
        if (withBackup &&
            LegacyWriteLocked(drive, static_cast<DWORD>(backup), 1, record) == SectorSize)
            written = 2;
    }
    LegacyUnlock(drive);
    return written;
}

void EndBootWrite()
{
    if (SessionVolume != INVALID_HANDLE_VALUE)
        ReleaseVolume(SessionVolume, SessionLocked, SessionLocked && SessionWrote);
    SessionVolume = INVALID_HANDLE_VALUE;
    SessionLocked = false;
    SessionWrote = false;
}

DWORD DriveSectorSize(std::uint8_t drive)
{
    return LegacyFamily() ? SectorSize : DriveVolumeSectorSize(drive);
}

bool DrivePartition(std::uint8_t drive, std::uint64_t* start, std::uint64_t* length)
{
    return !LegacyFamily() && VolumePartition(drive, start, length);
}

bool DriveLength(std::uint8_t drive, std::uint64_t* sectors)
{
    std::uint64_t start = 0, length = 0;
    const DWORD sectorSize = DriveSectorSize(drive);
    if (sectorSize != 0 && DrivePartition(drive, &start, &length) && length >= sectorSize) {
        *sectors = length / sectorSize;
        return true;
    }
    std::uint8_t scratch[SectorSize];
    if (!ReadDriveSector(drive, 0, scratch))
        return false;
    // readable is known to read, unreadable known not to (or past any volume).
    // The reads ask for access past the file system, where NTFS keeps its last
    // sector.
    constexpr std::uint64_t Farthest = std::uint64_t{1} << 40;
    std::uint64_t readable = 0, unreadable = 1;
    while (unreadable < Farthest && ReadDriveSector(drive, unreadable, scratch, true)) {
        readable = unreadable;
        unreadable *= 2;
    }
    while (unreadable - readable > 1) {
        const std::uint64_t middle = readable + (unreadable - readable) / 2;
        (ReadDriveSector(drive, middle, scratch, true) ? readable : unreadable) = middle;
    }
    *sectors = readable + 1;
    return true;
}

DriveProbe ProbeDrive(std::uint8_t drive)
{
    if (LegacyFamily())
        return LegacyProbeDrive(drive) ? DriveReadable : DriveUnreadable;
    // A probe that fails without an error code of its own (a short read) must
    // not be judged by the "not ready" left over from an earlier drive.
    SetLastError(ERROR_SUCCESS);
    if (ProbeVolume(drive))
        return DriveReadable;
    switch (GetLastError()) {
    case ERROR_NOT_READY: return DriveNotReady;
    case ERROR_ACCESS_DENIED: return DriveAccessDenied;
    default: return DriveUnreadable;
    }
}
