// The messages of failed commands and the questions before a replacement, in
// the program's language. Each is built in one text buffer: what failed, the
// drive or file, then why.
#include "report.h"

#include "app.h"
#include "message.h"
#include "text.h"
#include "core/recognize.h"
#include "core/record.h"
#include "disk/disk_error.h"
#include "image/image_file.h"
#include "resources/resource.h"

#include <iterator>

namespace {

constexpr int SystemTextSize = 512;
constexpr DWORD FileNameBufferTooSmall = 0x3003; // FNERR_BUFFERTOOSMALL

// The system's text for a Win32 error, then its number.
void AddSystemText(DWORD code)
{
    char text[SystemTextSize];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, text, SystemTextSize, nullptr);
    while (length > 0 &&
           (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' '))
        text[--length] = '\0';
    if (length > 0)
        MessageAddText(IDS_SYSTEM_TEXT, {Ansi(text), Decimal(code)});
    else
        MessageAddText(IDS_SYSTEM_CODE, {Decimal(code)});
}

// Why a disk transfer failed.
void AddReason(const DiskError& e)
{
    switch (e.cause) {
    case DiskCauseDriver: MessageAddText(IDS_DRIVER_ERROR, {Hex(e.code, 4)}); break;
    case DiskCauseShort: MessageAddText(IDS_SHORT_TRANSFER, {Decimal(e.code)}); break;
    case DiskCauseSectorSize: MessageAddText(IDS_SECTOR_SIZE, {Decimal(e.code)}); break;
    default: AddSystemText(e.code); break;
    }
}

void AddAdministratorHint()
{
    MessageAddText(IDS_ADMIN_HINT);
}

void ShowError()
{
    MessageShow(MB_ICONERROR | MB_OK);
}

bool AskYesNo()
{
    return MessageShow(MB_ICONWARNING | MB_YESNO | MB_DEFBUTTON2) == IDYES;
}

// --- What a drive holds now, for the question before a write ---

UINT KindName(std::uint8_t kind)
{
    switch (kind) {
    case FsKindFat12: return IDS_KIND_FAT12;
    case FsKindFat16: return IDS_KIND_FAT16;
    case FsKindNtfs: return IDS_KIND_NTFS;
    case FsKindFat32: return IDS_KIND_FAT32;
    default: return IDS_KIND_UNKNOWN;
    }
}

void AddLabel(const char* label)
{
    MessageAddText(IDS_LABEL, {Ansi(label)});
}

// The serial number the way the system shows it: two groups of four hex digits.
void AddSerial(DWORD serial)
{
    MessageAddText(IDS_SERIAL, {Hex(serial >> 16, 4), Hex(serial & 0xFFFFu, 4)});
}

void AddIdentity(const VolumeIdentity& id)
{
    if (id.hasLabel)
        AddLabel(id.label);
    if (id.hasSerial)
        AddSerial(id.serial);
}

void AddBackupPlan(BackupPlan plan, std::uint64_t backup)
{
    UINT text = IDS_BACKUP_MOVED;
    switch (plan) {
    case BackupPlanNone: return;
    case BackupPlanUpdate: text = IDS_BACKUP_UPDATE; break;
    case BackupPlanDiffers: text = IDS_BACKUP_DIFFERS; break;
    case BackupPlanUnreadable: text = IDS_BACKUP_UNREADABLE; break;
    case BackupPlanFill: text = IDS_BACKUP_FILL; break;
    default: break;
    }
    MessageAddText(text, {Decimal(backup)});
}

// The formats Open disk image refuses, from ImageRefusedVhdx on, and what can
// be wrong with a table, from TableBadBootFlag on.
constexpr UINT FormatNames[] = {IDS_FORMAT_VHDX, IDS_FORMAT_VMDK, IDS_FORMAT_QCOW2, IDS_FORMAT_VDI,
                                IDS_FORMAT_DYNAMIC_VHD};
static_assert(ImageRefusedDynamicVhd - ImageRefusedVhdx + 1 == std::size(FormatNames));
constexpr UINT TableTexts[] = {
    IDS_TABLE_BOOT_FLAG,       IDS_TABLE_OVERLAP,       IDS_TABLE_CHAIN_LOOP,
    IDS_TABLE_BAD_EBR,         IDS_TABLE_GPT_SIGNATURE, IDS_TABLE_GPT_HEADER_CRC,
    IDS_TABLE_GPT_ENTRIES_CRC, IDS_TABLE_GPT_FIELD,     IDS_TABLE_GPT_ENTRY,
    IDS_TABLE_GPT_CUT_OFF,     IDS_TABLE_TOO_MANY,      IDS_TABLE_EMPTY};
static_assert(TableEmpty - TableBadBootFlag + 1 == std::size(TableTexts));

} // namespace

void ReportDiskError(Volume drive)
{
    const DiskError& e = LastDiskError;
    MessageBegin();
    if (e.cause == DiskCauseSectorSize) {
        MessageAddText(IDS_DISK_ACCESS, {Drive(drive)});
        AddReason(e);
        ShowError();
        return;
    }
    UINT text = IDS_DISK_WRITE;
    switch (e.step) {
    case DiskStepOpen: text = IDS_DISK_OPEN; break;
    case DiskStepSeek: text = IDS_DISK_SEEK; break;
    case DiskStepRead: text = IDS_DISK_READ; break;
    default: break;
    }
    MessageAddText(text, {Drive(drive)});
    AddReason(e);
    const bool refused = e.step == DiskStepOpen && e.cause == DiskCauseWin32 &&
                         (e.code == ERROR_ACCESS_DENIED || e.code == ERROR_SHARING_VIOLATION);
    if (refused && VolumeImageFile(drive) != nullptr)
        MessageAddText(IDS_IMAGE_LOCKED);
    else if (OsFamily == OsFamilyNt && refused && e.code == ERROR_ACCESS_DENIED)
        AddAdministratorHint();
    ShowError();
}

void ReportFileDialogError()
{
    if (LastImageError.step != ImageStepDialog)
        return; // cancelled
    MessageBegin();
    if (LastImageError.code == FileNameBufferTooSmall)
        MessageAddText(IDS_DIALOG_PATH_LONG, {Decimal(ImagePathSize - 1)});
    else
        MessageAddText(IDS_DIALOG_FAILED, {Hex(LastImageError.code, 4)});
    ShowError();
}

void ReportImportError(const char* path)
{
    const ImageError& e = LastImageError;
    MessageBegin();
    if (e.step == ImageStepShort) {
        MessageAddText(IDS_IMPORT_SHORT, {Ansi(path), Decimal(e.code)});
        ShowError();
        return;
    }
    MessageAddText(e.step == ImageStepOpen ? IDS_IMPORT_OPEN : IDS_IMPORT_READ, {Ansi(path)});
    AddSystemText(e.code);
    ShowError();
}

void ReportExportError(const char* path)
{
    const ImageError& e = LastImageError;
    MessageBegin();
    UINT text = IDS_EXPORT_REPLACE;
    switch (e.step) {
    case ImageStepCreate: text = IDS_EXPORT_CREATE; break;
    case ImageStepWrite: text = IDS_EXPORT_WRITE; break;
    case ImageStepClose: text = IDS_EXPORT_CLOSE; break;
    default: break;
    }
    MessageAddText(text, {Ansi(path)});
    if (FileExists(path))
        MessageAddText(IDS_EXPORT_UNCHANGED);
    MessageAddText(IDS_REASON);
    AddSystemText(e.code);
    ShowError();
}

void ReportUndoFileError(Volume drive)
{
    MessageBegin();
    MessageAddText(IDS_UNDO_FAILED, {Drive(drive)});
    AddSystemText(LastImageError.code);
    ShowError();
}

void ReportDriveChanged(Volume drive)
{
    MessageBegin();
    MessageAddText(IDS_DRIVE_CHANGED, {Drive(drive)});
    ShowError();
}

void ReportNoDrive(bool accessDenied)
{
    MessageBegin();
    MessageAddText(IDS_NO_DRIVE);
    if (accessDenied && OsFamily == OsFamilyNt)
        AddAdministratorHint();
    ShowError();
}

bool AskWriteDrive(Volume drive, const VolumeIdentity& current, const char* undoPath,
                   BackupPlan plan, std::uint64_t backup)
{
    MessageBegin();
    wchar_t kindName[32];
    LoadText(KindName(current.kind), kindName, 32);
    MessageAddText(IDS_ASK_WRITE, {Drive(drive), Wide(kindName)});
    AddIdentity(current);
    MessageAddText(IDS_FULL_STOP);
    AddBackupPlan(plan, backup);
    MessageAddText(IDS_ASK_WRITE_UNDO, {Ansi(undoPath)});
    return AskYesNo();
}

bool AskWriteInUse(Volume drive)
{
    MessageBegin();
    MessageAddText(IDS_ASK_WRITE_IN_USE, {Drive(drive)});
    return AskYesNo();
}

void ReportBackupWriteError(Volume drive, std::uint64_t backup, const char* undoPath)
{
    MessageBegin();
    MessageAddText(IDS_BACKUP_WRITE_FAILED, {Drive(drive), Decimal(backup)});
    AddReason(LastDiskError);
    MessageAddText(IDS_BACKUP_WRITE_UNDO, {Ansi(undoPath)});
    ShowError();
}

void ReportBackupReadError(Volume drive, std::uint64_t backup)
{
    MessageBegin();
    MessageAddText(IDS_BACKUP_READ_FAILED, {Drive(drive), Decimal(backup)});
    AddReason(LastDiskError);
    ShowError();
}

void ReportBackupNotLocated(Volume drive)
{
    MessageBegin();
    MessageAddText(IDS_BACKUP_NOT_LOCATED, {Drive(drive)});
    ShowError();
}

void ReportNoBackup(Volume drive)
{
    MessageBegin();
    MessageAddText(IDS_NO_BACKUP, {Drive(drive)});
    ShowError();
}

bool AskReplaceFile(const char* path, std::uint64_t bytes)
{
    MessageBegin();
    if (bytes > SectorSize)
        MessageAddText(IDS_ASK_REPLACE_LARGE, {Ansi(path), Decimal(bytes)});
    else
        MessageAddText(IDS_ASK_REPLACE, {Ansi(path)});
    return AskYesNo();
}

void ReportRebuildReadError(Volume drive, std::uint64_t first, std::uint64_t last)
{
    MessageBegin();
    MessageAddText(IDS_REBUILD_READ_FAILED, {Drive(drive), Decimal(first), Decimal(last)});
    AddReason(LastDiskError);
    ShowError();
}

void ReportImageError(const char* path, ImageResult result)
{
    MessageBegin();
    switch (result) {
    case ImageRefusedVhdx:
    case ImageRefusedVmdk:
    case ImageRefusedQcow2:
    case ImageRefusedVdi:
    case ImageRefusedDynamicVhd: {
        wchar_t format[16];
        LoadText(FormatNames[result - ImageRefusedVhdx], format, 16);
        MessageAddText(IDS_IMAGE_REFUSED, {Ansi(path), Wide(format)});
        break;
    }
    case ImageTooSmall: MessageAddText(IDS_IMAGE_TOO_SMALL, {Ansi(path)}); break;
    case ImageBadTable:
        MessageAddText(IDS_IMAGE_BAD_TABLE, {Ansi(path)});
        MessageAddText(
            TableTexts[ImageTableProblem - TableBadBootFlag],
            {Decimal(ImageTableProblem == TableChainLoop ? MaxEbrLinks : MaxImageVolumes)});
        break;
    default:
        MessageAddText(result == ImageOpenFailed ? IDS_IMAGE_OPEN_FAILED : IDS_IMAGE_READ_FAILED,
                       {Ansi(path)});
        AddReason(LastDiskError);
        break;
    }
    ShowError();
}
