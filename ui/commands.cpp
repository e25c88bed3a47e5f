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
#include "disk/disk_image.h"
#include "disk/sector.h"
#include "image/image_file.h"
#include "image/undo_file.h"
#include "resources/resource.h"

#include <cstring>
#include <utility>

Volume RecordDrive = NoVolume;
std::uint8_t StagedSector[SectorSize];

namespace {

// What the chosen drive held when its undo file was saved; a write goes ahead
// only while the drive still holds exactly this.
std::uint8_t UndoSector[SectorSize];

// What the write does with the drive's backup boot sector, decided before the
// question and named in it, and where that backup lies.
BackupPlan Plan = BackupPlanNone;
BackupPlace Planned = {NoBackupSector, false};

std::uint8_t* Staging()
{
    return StagedSector;
}

void TakeStagedSector()
{
    std::memcpy(SectorBuffer, Staging(), SectorSize);
}

// Reads sector 0 of the drive into the staging half; a failure is reported.
bool ReadSector0(Volume drive)
{
    if (ReadDriveSector(drive, 0, Staging()))
        return true;
    ReportDiskError(drive);
    return false;
}

// Where the boot sector keeps its backup on the drive; false when it names none.
bool BackupOnDrive(Volume drive, const std::uint8_t* bootSector, BackupPlace* place)
{
    return BackupOnVolume(bootSector, RecognizeKindOf(bootSector), DriveSectorSize(drive), place);
}

// Reads the backup that the write plans for (BackupOfWrite) into the staging
// half and plans the write from it; false, reported, when the drive does not
// give its sector size.
bool DecideBackup(Volume drive)
{
    Plan = BackupPlanNone;
    Planned = {NoBackupSector, false};
    const DWORD volumeSectorSize = DriveSectorSize(drive);
    if (volumeSectorSize == 0) {
        ReportDiskError(drive);
        return false;
    }
    if (!BackupOfWrite(UndoSector, SectorBuffer, volumeSectorSize, &Planned))
        return true;
    std::uint64_t length = 0; // an empty NTFS backup is filled only where this is known
    if (Planned.pastFileSystem && !DriveLength(drive, &length))
        length = 0;
    const bool read = ReadDriveSector(drive, Planned.sector, Staging(), Planned.pastFileSystem);
    Plan =
        PlanBackup(UndoSector, read ? Staging() : nullptr, SectorBuffer, volumeSectorSize, length);
    return true;
}

// Keeps what the drive holds now, in memory and in an undo file, and asks the
// user. No volume is open while the question waits.
bool SaveUndoAndAsk(Volume drive)
{
    if (!ReadSector0(drive))
        return false;
    std::memcpy(UndoSector, Staging(), SectorSize);
    if (!DecideBackup(drive))
        return false;
    char stem[UndoStemSize];
    VolumeUndoStem(drive, stem);
    if (!SaveUndoFile(stem, UndoSector)) {
        ReportUndoFileError(drive);
        return false;
    }
    return AskWriteDrive(drive, IdentifyVolume(UndoSector), UndoPath, Plan, Planned.sector);
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
WriteOutcome WriteIfUnchanged(Volume drive)
{
    if (!ReadWriteSector(drive, 0, Staging()))
        return WriteReadFailed;
    if (std::memcmp(Staging(), UndoSector, SectorSize) != 0)
        return WriteDriveChanged;
    const bool update = Plan == BackupPlanUpdate || Plan == BackupPlanFill;
    const int written = WriteBootSectors(drive, update ? Planned.sector : NoBackupSector,
                                         Planned.pastFileSystem, SectorBuffer);
    if (written == 0)
        return WriteFailed;
    return update && written == 1 ? WriteBackupFailed : WriteDone;
}

void ReportWriteOutcome(Volume drive, WriteOutcome outcome)
{
    switch (outcome) {
    case WriteReadFailed:
    case WriteFailed: ReportDiskError(drive); break;
    case WriteDriveChanged: ReportDriveChanged(drive); break;
    case WriteBackupFailed: ReportBackupWriteError(drive, Planned.sector, UndoPath); break;
    default: break;
    }
}

// The write after Yes, as one session: a volume that cannot be locked is written
// only when the user agrees a second time.
void WriteInSession(Volume drive)
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
// where formatters put one: sector 6 for FAT32, the volume's last sector for
// NTFS (an image's volume too, even without a table). Says so when none is found.
bool FindBackup(Volume drive, BackupPlace* place)
{
    if (ReadDriveSector(drive, 0, Staging()) && BackupOnDrive(drive, Staging(), place))
        return true;
    *place = {Fat32UsualBackup, false};
    if (ReadDriveSector(drive, place->sector, Staging()) && HoldsFat32BootSector(Staging()))
        return true;
    if (DriveSectorSize(drive) == 0) {
        ReportDiskError(drive);
        return false;
    }
    std::uint64_t sectors = 0;
    if (!DriveToldLength(drive, &sectors) || sectors == 0) {
        ReportBackupNotLocated(drive);
        return false;
    }
    *place = {sectors - 1, true};
    if (ReadDriveSector(drive, place->sector, Staging(), true) && HoldsNtfsBootSector(Staging()))
        return true;
    ReportNoBackup(drive);
    return false;
}

// The file dialog's title, in the ANSI code page the dialog expects.
const char* DialogTitle(UINT id)
{
    static char ansi[32];
    wchar_t title[16];
    LoadText(id, title, 16);
    ToAnsi(title, ansi, sizeof ansi);
    return ansi;
}

// Sector 0 of the picked volume; the check later asks the volume about it.
bool ReadVolume(Volume preselected)
{
    const Volume drive = PickVolume(preselected);
    if (drive == NoVolume || !ReadSector0(drive))
        return false;
    TakeStagedSector();
    RecordDrive = drive;
    return true;
}

// The filter of the image dialog: the image kinds' names, from the text table,
// with their patterns, then all files; pairs ended by NULs, a second NUL last.
const char* ImageFilter()
{
    static char filter[192];
    constexpr char Patterns[] = "*.img;*.ima;*.bin;*.dd;*.raw;*.vhd";
    constexpr char AllPatterns[] = "*.*";
    wchar_t name[64];
    int used = 0;
    for (const auto& [text, patterns] :
         {std::pair{IDS_IMAGE_FILTER_NAME, Patterns}, std::pair{IDS_ALL_FILES, AllPatterns}}) {
        LoadText(text, name, 64);
        ToAnsi(name, filter + used, 80);
        used += static_cast<int>(std::strlen(filter + used)) + 1;
        std::strcpy(filter + used, patterns);
        used += static_cast<int>(std::strlen(patterns)) + 1;
    }
    filter[used] = '\0';
    return filter;
}

} // namespace

bool ReadFromDisk()
{
    return ReadVolume(NoVolume);
}

bool OpenDiskImageFile()
{
    if (!ChooseImagePath(MainDialog, DialogTitle(IDS_TITLE_OPEN_IMAGE), ImageFilter())) {
        ReportFileDialogError();
        return false;
    }
    const ImageResult result = OpenDiskImage(ImagePath);
    RecordDrive = NoVolume; // the list it pointed into is replaced
    if (result != ImageListed) {
        ReportImageError(ImagePath, result);
        return false;
    }
    return ReadVolume(ImageVolumeAt(0));
}

bool ReadBackupFromDisk()
{
    const Volume drive = PickVolume();
    if (drive == NoVolume)
        return false;
    BackupPlace place = {};
    if (!FindBackup(drive, &place))
        return false;
    if (!ReadDriveSector(drive, place.sector, Staging(), place.pastFileSystem)) {
        ReportBackupReadError(drive, place.sector);
        return false;
    }
    TakeStagedSector();
    RecordDrive = NoVolume;
    return true;
}

void WriteToDisk()
{
    FormToRecord();
    const Volume drive = PickVolume();
    if (drive == NoVolume)
        return;
    if (SaveUndoAndAsk(drive))
        WriteInSession(drive);
}

bool ImportFile()
{
    if (!ChooseImagePath(MainDialog, DialogTitle(IDS_TITLE_IMPORT))) {
        ReportFileDialogError();
        return false;
    }
    if (!ReadImageFile(ImagePath, Staging())) {
        ReportImportError(ImagePath);
        return false;
    }
    TakeStagedSector();
    RecordDrive = NoVolume;
    return true;
}

void ExportFile()
{
    FormToRecord();
    if (!ChooseImagePath(MainDialog, DialogTitle(IDS_TITLE_EXPORT))) {
        ReportFileDialogError();
        return;
    }
    // A file whose size cannot be learned would be replaced without the warning
    // that it shrinks: it is left alone.
    std::uint64_t bytes = 0;
    if (FileExists(ImagePath) && !FileBytes(ImagePath, &bytes)) {
        ReportExportError(ImagePath);
        return;
    }
    if (FileExists(ImagePath) && !AskReplaceFile(ImagePath, bytes))
        return;
    if (!ReplaceImageFile(ImagePath, SectorBuffer, OsFamily == OsFamilyNt))
        ReportExportError(ImagePath);
}
