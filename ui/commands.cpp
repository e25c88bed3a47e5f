#include "commands.h"

#include "app.h"
#include "form.h"
#include "picker.h"
#include "text.h"
#include "core/record.h"
#include "disk/legacy.h"
#include "disk/volume.h"
#include "image/image_file.h"

#include <cstring>

namespace {

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

bool ReadSector0(std::uint8_t drive)
{
    if (OsFamily == OsFamilyNt)
        return VolumeTransfer(drive, false, Staging()) == SectorSize;
    return LegacyReadSectors(drive, 0, 1, Staging()) == SectorSize;
}

void WriteSector0(std::uint8_t drive)
{
    if (OsFamily == OsFamilyNt)
        VolumeTransfer(drive, true, SectorBuffer);
    else
        LegacyWriteSectors(drive, 0, 1, SectorBuffer);
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
    if (PickDrive() == 0)
        return;
    WriteSector0(DriveNumber);
}

bool ImportFile()
{
    if (!ChooseImagePath(MainDialog, DialogTitle(L"匯入檔案?")))
        return false;
    if (!ReadImageFile(ImagePath, Staging()))
        return false;
    TakeStagedSector();
    return true;
}

void ExportFile()
{
    FormToRecord();
    if (!ChooseImagePath(MainDialog, DialogTitle(L"匯出檔案?")))
        return;
    WriteImageFile(ImagePath, SectorBuffer);
}
