#include "commands.h"

#include "app.h"
#include "form.h"
#include "picker.h"
#include "report.h"
#include "text.h"
#include "core/backup.h"
#include "core/layout.h"
#include "core/recognize.h"
#include "core/record.h"
#include "disk/sector.h"
#include "image/image_file.h"
#include "image/undo_file.h"

#include <cstring>

std::uint8_t RecordDrive = 0;

namespace {

// What the chosen drive held when its undo file was saved; a write goes ahead
// only while the drive still holds exactly this.
std::uint8_t UndoSector[SectorSize];

// What the write does with the drive's backup boot sector, decided before the
// question and named in it.
BackupPlan Plan = BackupPlanNone;
std::uint64_t PlannedBackup = NoBackupSector; // its sector, in the volume's units

// Loads arrive in the spare half of SectorBuffer (aligned like the record, as
// unbuffered volume reads need) and replace the record only when complete.
std::uint8_t* Staging()
{
    return SectorBuffer + SectorSize;
}

void TakeStagedSector()
{
    std::memcpy(SectorBuffer, Staging(), SectorSize);
}

char DriveLetter(std::uint8_t drive)
{
    return static_cast<char>('@' + drive);
}

// Reads sector 0 of the drive into the staging half; a failure is reported.
bool ReadSector0(std::uint8_t drive)
{
    if (ReadDriveSector(drive, 0, Staging()))
        return true;
    ReportDiskError(drive);
    return false;
}

// A sector number in the boot sector's own units (BPB_BytsPerSec) as a sector
// of the volume, whose sectors may be larger.
std::uint64_t VolumeSectorOf(const std::uint8_t* bootSector, std::uint64_t sector)
{
    const DWORD own = LoadU16(bootSector, BPB_BytsPerSec);
    const DWORD volume = DriveSectorSize();
    if (own == 0 || own == volume || (sector * own) % volume != 0)
        return sector;
    return sector * own / volume;
}

// Where the boot sector keeps its backup on the drive; false when it names none.
bool BackupOnDrive(const std::uint8_t* bootSector, std::uint64_t* sector, bool* pastFileSystem)
{
    const std::uint8_t kind = RecognizeKindOf(bootSector);
    if (!BackupLocation(bootSector, kind, sector))
        return false;
    *sector = VolumeSectorOf(bootSector, *sector);
    *pastFileSystem = kind == FsKindNtfs; // the NTFS backup lies past its file system
    return true;
}

// The backup is updated with sector 0 only while the pair matches and the new
// record keeps it where it is; the staging half holds the backup read here.
void PlanBackup(std::uint8_t drive)
{
    bool pastFileSystem = false;
    Plan = BackupPlanNone;
    PlannedBackup = NoBackupSector;
    if (!BackupOnDrive(UndoSector, &PlannedBackup, &pastFileSystem))
        return;
    std::uint64_t named = NoBackupSector;
    bool namedPast = false;
    if (!ReadDriveSector(drive, PlannedBackup, Staging(), pastFileSystem))
        Plan = BackupPlanUnreadable;
    else if (std::memcmp(Staging(), UndoSector, SectorSize) != 0)
        Plan = BackupPlanDiffers;
    else if (!BackupOnDrive(SectorBuffer, &named, &namedPast) || named != PlannedBackup)
        Plan = BackupPlanMoved;
    else
        Plan = BackupPlanUpdate;
}

// Keeps what the drive holds now, in memory and in an undo file, and asks the
// user. No volume is open while the question waits.
bool SaveUndoAndAsk(std::uint8_t drive)
{
    if (!ReadSector0(drive))
        return false;
    std::memcpy(UndoSector, Staging(), SectorSize);
    PlanBackup(drive);
    if (!SaveUndoFile(DriveLetter(drive), UndoSector)) {
        ReportUndoFileError(drive);
        return false;
    }
    return AskWriteDrive(drive, UndoSector, UndoPath, Plan, PlannedBackup);
}

// How a write's session ended, told to the user only once the volume is
// released, so that no handle is held while a box waits.
enum WriteOutcome : std::uint8_t {
    WriteDone,         // everything planned was written, or the user said No
    WriteReadFailed,   // the second read of sector 0 failed: nothing written
    WriteDriveChanged, // sector 0 is no longer what the undo file holds: nothing written
    WriteFailed,       // sector 0 could not be written
    WriteBackupFailed, // sector 0 was written, its backup was not
};

// The second read of sector 0, compared with the undo file, then sector 0 and
// the backup when the plan says so. Within the session, so on a locked volume
// nothing can change sector 0 between the comparison and the write.
WriteOutcome WriteIfUnchanged(std::uint8_t drive)
{
    if (!ReadWriteSector(drive, 0, Staging()))
        return WriteReadFailed;
    if (std::memcmp(Staging(), UndoSector, SectorSize) != 0)
        return WriteDriveChanged;
    const bool update = Plan == BackupPlanUpdate;
    const bool ntfs = RecognizeKindOf(UndoSector) == FsKindNtfs;
    const int written =
        WriteBootSectors(drive, update ? PlannedBackup : NoBackupSector, ntfs, SectorBuffer);
    if (written == 0)
        return WriteFailed;
    return update && written == 1 ? WriteBackupFailed : WriteDone;
}

void ReportWriteOutcome(std::uint8_t drive, WriteOutcome outcome)
{
    switch (outcome) {
    case WriteReadFailed:
    case WriteFailed: ReportDiskError(drive); break;
    case WriteDriveChanged: ReportDriveChanged(drive); break;
    case WriteBackupFailed: ReportBackupWriteError(drive, PlannedBackup, UndoPath); break;
    default: break;
    }
}

// The write after Yes, as one session: a volume that cannot be locked is written
// only when the user agrees a second time.
void WriteInSession(std::uint8_t drive)
{
    const BootWriteStart start = BeginBootWrite(drive);
    if (start == BootWriteFailed) {
        ReportDiskError(drive);
        return;
    }
    WriteOutcome outcome = WriteDone;
    if (start == BootWriteLocked || AskWriteInUse(drive))
        outcome = WriteIfUnchanged(drive);
    EndBootWrite();
    ReportWriteOutcome(drive, outcome);
}

// Where the drive's backup lies: where sector 0 says, or, when it names none,
// where formatters put one: sector 6 for FAT32, the partition's last sector for
// NTFS. Says so when none is found.
bool FindBackup(std::uint8_t drive, std::uint64_t* sector, bool* pastFileSystem)
{
    if (ReadDriveSector(drive, 0, Staging()) && BackupOnDrive(Staging(), sector, pastFileSystem))
        return true;
    *pastFileSystem = false;
    *sector = Fat32UsualBackup;
    if (ReadDriveSector(drive, *sector, Staging()) && HoldsFat32BootSector(Staging()))
        return true;
    std::uint64_t start = 0, length = 0;
    if (!DrivePartition(drive, &start, &length) || length / DriveSectorSize() == 0) {
        ReportBackupNotLocated(drive);
        return false;
    }
    *pastFileSystem = true;
    *sector = length / DriveSectorSize() - 1;
    if (ReadDriveSector(drive, *sector, Staging(), true) && HoldsNtfsBootSector(Staging()))
        return true;
    ReportNoBackup(drive);
    return false;
}

// The file dialog's title, in the ANSI code page the dialog expects.
const char* DialogTitle(const wchar_t* title)
{
    static char ansi[32];
    ToAnsi(title, ansi, sizeof ansi);
    return ansi;
}

} // namespace

bool ReadFromDisk()
{
    if (PickDrive() == 0)
        return false;
    if (!ReadSector0(DriveNumber))
        return false;
    TakeStagedSector();
    RecordDrive = OsFamily == OsFamilyNt ? DriveNumber : 0;
    return true;
}

bool ReadBackupFromDisk()
{
    const std::uint8_t drive = PickDrive();
    if (drive == 0)
        return false;
    std::uint64_t sector = 0;
    bool pastFileSystem = false;
    if (!FindBackup(drive, &sector, &pastFileSystem))
        return false;
    if (!ReadDriveSector(drive, sector, Staging(), pastFileSystem)) {
        ReportBackupReadError(drive, sector);
        return false;
    }
    TakeStagedSector();
    RecordDrive = 0;
    return true;
}

void WriteToDisk()
{
    FormToRecord();
    const std::uint8_t drive = PickDrive();
    if (drive == 0)
        return;
    if (SaveUndoAndAsk(drive))
        WriteInSession(drive);
}

bool ImportFile()
{
    if (!ChooseImagePath(MainDialog, DialogTitle(L"匯入檔案?"))) {
        ReportFileDialogError();
        return false;
    }
    if (!ReadImageFile(ImagePath, Staging())) {
        ReportImportError(ImagePath);
        return false;
    }
    TakeStagedSector();
    RecordDrive = 0;
    return true;
}

void ExportFile()
{
    FormToRecord();
    if (!ChooseImagePath(MainDialog, DialogTitle(L"匯出檔案?"))) {
        ReportFileDialogError();
        return;
    }
    if (FileExists(ImagePath) && !AskReplaceFile(ImagePath))
        return;
    if (!ReplaceImageFile(ImagePath, SectorBuffer, OsFamily == OsFamilyNt))
        ReportExportError(ImagePath);
}
