// The family choice for every disk access: one version query at start-up, then
// each call goes to the NT or the 9x half.
#include "disk/sector.h"

#include "core/record.h"
#include "disk/disk_error.h"
#include "disk/disk_image.h"
#include "disk/legacy.h"
#include "disk/volume.h"

#include <cstdint>
#include <cstdio>
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

bool IsImage(Volume v)
{
    return v >= ImageVolumeBase;
}

// The drive number the system calls take.
std::uint8_t Letter(Volume v)
{
    return static_cast<std::uint8_t>(v);
}

// The image volume as listed; nullptr, noted as a failed open, when the list
// no longer holds it (another image was opened since).
const ImageVolume* Listed(Volume v)
{
    const Volume index = v - ImageVolumeBase;
    if (index < static_cast<Volume>(ImageVolumeCount))
        return &ImageVolumes[index];
    NoteDiskError(DiskStepOpen, DiskCauseWin32, ERROR_FILE_NOT_FOUND);
    return nullptr;
}

bool ReadImage(Volume v, std::uint64_t sector, std::uint8_t* record)
{
    const ImageVolume* image = Listed(v);
    return image != nullptr && ReadImageSector(*image, sector, record);
}

bool WriteImage(Volume v, std::uint64_t sector, const std::uint8_t* record)
{
    const ImageVolume* image = Listed(v);
    return image != nullptr && WriteImageSector(*image, sector, record);
}

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
bool ReadDriveSector(Volume drive, std::uint64_t sector, std::uint8_t* record, bool pastFileSystem)
{
    if (IsImage(drive))
        return ReadImage(drive, sector, record);
    if (!LegacyFamily())
        return ReadVolumeSector(Letter(drive), sector, record, pastFileSystem);
    return LegacyReachable(sector, DiskStepRead) &&
           LegacyReadSectors(Letter(drive), static_cast<DWORD>(sector), 1, record) == SectorSize;
}

bool ReadDriveSectors(Volume drive, std::uint64_t first, std::uint32_t count, std::uint8_t* buffer)
{
    if (count == 0)
        return true;
    if (IsImage(drive)) {
        const ImageVolume* image = Listed(drive);
        return image != nullptr && ReadImageSectors(*image, first, count, buffer);
    }
    return LegacyFamily() ? LegacyReadChunks(Letter(drive), first, count, buffer)
                          : ReadVolumeSectors(Letter(drive), first, count, buffer);
}

std::uint32_t DriveChunkSectors(DWORD sectorSize)
{
    if (sectorSize == 0)
        return 0;
    return (LegacyFamily() ? LegacyChunkBytes : VolumeChunkBytes) / sectorSize;
}

bool WriteDriveSector(Volume drive, std::uint64_t sector, const std::uint8_t* record)
{
    if (IsImage(drive))
        return WriteImage(drive, sector, record);
    if (!LegacyFamily())
        return WriteVolumeSector(Letter(drive), sector, record);
    return LegacyReachable(sector, DiskStepWrite) &&
           LegacyWriteSectors(Letter(drive), static_cast<DWORD>(sector), 1, record) == SectorSize;
}

// An image volume's session locks nothing: it only makes sure that the file
// opens for writing, so that a read-only file or one another program holds is
// reported before anything is compared or written.
BootWriteStart BeginBootWrite(Volume drive)
{
    if (IsImage(drive))
        return Listed(drive) != nullptr && ImageWritable() ? BootWriteLocked : BootWriteFailed;
    if (LegacyFamily())
        return BootWriteLocked;
    SessionVolume = OpenLockableVolume(Letter(drive), &SessionSectorSize);
    if (SessionVolume == INVALID_HANDLE_VALUE)
        return BootWriteFailed;
    SessionLocked = LockVolume(SessionVolume);
    return SessionLocked ? BootWriteLocked : BootWriteLockRefused;
}

bool ReadWriteSector(Volume drive, std::uint64_t sector, std::uint8_t* record)
{
    if (IsImage(drive) || LegacyFamily())
        return ReadDriveSector(drive, sector, record);
    return ReadSectorOn(SessionVolume, SessionSectorSize, sector, record);
}

// The NT family writes on the session's handle, asking for access past the
// file system's end before an NTFS backup.
int WriteBootSectors(Volume drive, std::uint64_t backup, bool backupPastFileSystem,
                     const std::uint8_t* record)
{
    const bool withBackup = backup != NoBackupSector;
    if (IsImage(drive)) {
        if (!WriteImage(drive, 0, record))
            return 0;
        return !withBackup ? 1 : WriteImage(drive, backup, record) ? 2 : 1;
    }
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
    const std::uint8_t letter = Letter(drive);
    if (withBackup && !LegacyReachable(backup, DiskStepWrite))
        return WriteDriveSector(drive, 0, record) ? 1 : 0;
    LegacyLock(letter);
    int written = 0;
    if (LegacyWriteLocked(letter, 0, 1, record) == SectorSize) {
        written = 1;
        if (withBackup &&
            LegacyWriteLocked(letter, static_cast<DWORD>(backup), 1, record) == SectorSize)
            written = 2;
    }
    LegacyUnlock(letter);
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

DWORD DriveSectorSize(Volume drive)
{
    if (IsImage(drive)) {
        const ImageVolume* image = Listed(drive);
        return image == nullptr ? 0 : image->sectorSize;
    }
    return LegacyFamily() ? SectorSize : DriveVolumeSectorSize(Letter(drive));
}

// An image volume's place in bytes, as the system gives a drive's.
bool DrivePartition(Volume drive, std::uint64_t* start, std::uint64_t* length)
{
    std::uint64_t ebr = 0;
    if (IsImage(drive) && VolumeTablePlace(drive, start, length, &ebr)) {
        const std::uint32_t size = ImageVolumes[drive - ImageVolumeBase].sectorSize;
        *start *= size;
        *length *= size;
        return true;
    }
    return !IsImage(drive) && !LegacyFamily() && VolumePartition(Letter(drive), start, length);
}

bool DriveToldLength(Volume drive, std::uint64_t* sectors)
{
    if (IsImage(drive)) {
        const ImageVolume* image = Listed(drive);
        if (image != nullptr)
            *sectors = image->length;
        return image != nullptr;
    }
    std::uint64_t start = 0, length = 0;
    const DWORD sectorSize = DriveSectorSize(drive);
    if (sectorSize == 0 || !DrivePartition(drive, &start, &length) || length < sectorSize)
        return false;
    *sectors = length / sectorSize;
    return true;
}

bool DriveLength(Volume drive, std::uint64_t* sectors)
{
    if (DriveToldLength(drive, sectors))
        return true;
    if (IsImage(drive))
        return false;
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

DriveProbe ProbeDrive(Volume drive)
{
    if (IsImage(drive))
        return Listed(drive) != nullptr ? DriveReadable : DriveUnreadable;
    if (LegacyFamily())
        return LegacyProbeDrive(Letter(drive)) ? DriveReadable : DriveUnreadable;
    // A probe that fails without an error code of its own (a short read) must
    // not be judged by the "not ready" left over from an earlier drive.
    SetLastError(ERROR_SUCCESS);
    if (ProbeVolume(Letter(drive)))
        return DriveReadable;
    switch (GetLastError()) {
    case ERROR_NOT_READY: return DriveNotReady;
    case ERROR_ACCESS_DENIED: return DriveAccessDenied;
    default: return DriveUnreadable;
    }
}

const char* VolumeImageFile(Volume drive)
{
    return IsImage(drive) ? DiskImagePath : nullptr;
}

std::uint32_t VolumeImageNumber(Volume drive)
{
    const ImageVolume* image = IsImage(drive) ? Listed(drive) : nullptr;
    return image == nullptr ? 0 : image->number;
}

bool VolumeCheckable(Volume drive)
{
    return IsImage(drive) || !LegacyFamily();
}

bool VolumeTablePlace(Volume drive, std::uint64_t* start, std::uint64_t* length, std::uint64_t* ebr)
{
    const ImageVolume* image = IsImage(drive) ? Listed(drive) : nullptr;
    if (image == nullptr || image->kind == ImageVolumeWhole || image->kind == ImageVolumeOwnBoot)
        return false;
    *start = image->start;
    *length = image->length;
    *ebr = image->kind == ImageVolumeLogical ? image->ebrSector : NoEbrSector;
    return true;
}

// The image's name is its path after the last separator, up to its last dot.
void VolumeUndoStem(Volume drive, char* stem)
{
    if (!IsImage(drive)) {
        std::sprintf(stem, "%c", static_cast<char>('@' + Letter(drive)));
        return;
    }
    const char* name = DiskImagePath;
    for (const char* p = DiskImagePath; *p != '\0'; ++p)
        if (*p == '\\' || *p == '/' || *p == ':')
            name = p + 1;
    const char* dot = nullptr;
    for (const char* p = name; *p != '\0'; ++p)
        if (*p == '.')
            dot = p;
    std::size_t length =
        dot != nullptr && dot != name ? static_cast<std::size_t>(dot - name) : std::strlen(name);
    constexpr std::size_t MaxStemName = 32;
    if (length > MaxStemName)
        length = MaxStemName;
    std::sprintf(stem, "%.*s-p%u", static_cast<int>(length), name,
                 static_cast<unsigned>(VolumeImageNumber(drive)));
}
