#include "commands.h"

#include "app.h"
#include "form.h"
#include "picker.h"
#include "report.h"
#include "text.h"
#include "core/record.h"
#include "disk/sector.h"
#include "image/image_file.h"
#include "image/undo_file.h"

#include <cstring>

namespace {

// What the chosen drive held when its undo file was saved; a write goes ahead
// only while the drive still holds exactly this.
std::uint8_t UndoSector[SectorSize];

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

// Writes the record to sector 0 of the drive; a failure is reported.
void WriteSector0(std::uint8_t drive)
{
    if (!WriteDriveSector(drive, 0, SectorBuffer))
        ReportDiskError(drive);
}

// Keeps what the drive holds now, in memory and in an undo file, and asks the
// user. No volume is open while the question waits.
bool SaveUndoAndAsk(std::uint8_t drive)
{
    if (!ReadSector0(drive))
        return false;
    std::memcpy(UndoSector, Staging(), SectorSize);
    if (!SaveUndoFile(DriveLetter(drive), UndoSector)) {
        ReportUndoFileError(drive);
        return false;
    }
    return AskWriteDrive(drive, UndoSector, UndoPath);
}

// True when the drive still holds what the undo file holds.
bool DriveUnchanged(std::uint8_t drive)
{
    if (!ReadSector0(drive))
        return false;
    if (std::memcmp(Staging(), UndoSector, SectorSize) == 0)
        return true;
    ReportDriveChanged(drive);
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
    return true;
}

void WriteToDisk()
{
    FormToRecord();
    const std::uint8_t drive = PickDrive();
    if (drive == 0)
        return;
    if (SaveUndoAndAsk(drive) && DriveUnchanged(drive))
        WriteSector0(drive);
}

bool ImportFile()
{
    if (!ChooseImagePath(MainDialog, DialogTitle(L"匯入檔案?")))
        return false;
    if (!ReadImageFile(ImagePath, Staging())) {
        ReportImportError(ImagePath);
        return false;
    }
    TakeStagedSector();
    return true;
}

void ExportFile()
{
    FormToRecord();
    if (!ChooseImagePath(MainDialog, DialogTitle(L"匯出檔案?")))
        return;
    if (FileExists(ImagePath) && !AskReplaceFile(ImagePath))
        return;
    if (!ReplaceImageFile(ImagePath, SectorBuffer, OsFamily == OsFamilyNt))
        ReportExportError(ImagePath);
}
