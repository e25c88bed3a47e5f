// The messages of failed commands and the questions before a replacement, in
// the program's language. Each is built in one text buffer: what failed, the
// drive or file, then why.
#include "report.h"

#include "app.h"
#include "message.h"
#include "core/layout.h"
#include "core/recognize.h"
#include "core/record.h"
#include "disk/disk_error.h"
#include "image/image_file.h"

namespace {

constexpr int SystemTextSize = 512;
constexpr std::uint8_t ExtendedBootSignature = 0x29; // label and serial follow
constexpr std::uint8_t SerialOnlySignature = 0x28;   // a serial, no label
constexpr int VolumeLabelSize = 11;
constexpr DWORD FileNameBufferTooSmall = 0x3003; // FNERR_BUFFERTOOSMALL

void AddDrive(std::uint8_t drive)
{
    const wchar_t text[] = {static_cast<wchar_t>(L'@' + drive), L':', L'\0'};
    MessageAdd(text);
}

// The system's text for a Win32 error, then its number.
void AddSystemText(DWORD code)
{
    char text[SystemTextSize];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, text, SystemTextSize, nullptr);
    while (length > 0 &&
           (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' '))
        text[--length] = '\0';
    if (length > 0) {
        MessageAddAnsi(text);
        MessageAdd(L"（錯誤碼 ");
        MessageAddDecimal(code);
        MessageAdd(L"）");
    } else {
        MessageAdd(L"系統錯誤碼 ");
        MessageAddDecimal(code);
        MessageAdd(L"。");
    }
}

// Why a disk transfer failed.
void AddReason(const DiskError& e)
{
    switch (e.cause) {
    case DiskCauseDriver:
        MessageAdd(L"磁碟服務傳回錯誤碼 0x");
        MessageAddHex(e.code, 4);
        MessageAdd(L"。");
        break;
    case DiskCauseShort:
        MessageAdd(L"只傳送了 ");
        MessageAddDecimal(e.code);
        MessageAdd(L" 個位元組，一個磁區是 512 個位元組。");
        break;
    case DiskCauseSectorSize:
        MessageAdd(L"它的磁區是 ");
        MessageAddDecimal(e.code);
        MessageAdd(L" 個位元組，本程式只能讀寫 512、1024、2048 或 4096 個位元組的磁區。");
        break;
    default: AddSystemText(e.code); break;
    }
}

void AddAdministratorHint()
{
    MessageAdd(L"\n\n本程式需要系統管理員權限才能存取磁碟，請以系統管理員身分執行。");
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

const wchar_t* KindName(std::uint8_t kind)
{
    switch (kind) {
    case FsKindFat12: return L"FAT12";
    case FsKindFat16: return L"FAT16";
    case FsKindNtfs: return L"NTFS";
    case FsKindFat32: return L"FAT32";
    default: return L"無法辨識的格式";
    }
}

// A volume label: trailing blanks dropped, control bytes shown as '?'.
void AddLabel(const std::uint8_t* sector, std::size_t offset)
{
    char label[VolumeLabelSize + 1];
    int length = 0;
    for (int i = 0; i < VolumeLabelSize; ++i) {
        const std::uint8_t c = sector[offset + i];
        label[i] = c < ' ' ? '?' : static_cast<char>(c);
        if (c != ' ')
            length = i + 1;
    }
    label[length] = '\0';
    MessageAdd(L"，磁碟區標籤「");
    MessageAddAnsi(label);
    MessageAdd(L"」");
}

// The serial number the way the system shows it: two groups of four hex digits.
void AddSerial(DWORD serial)
{
    MessageAdd(L"，序號 ");
    MessageAddHex(serial >> 16, 4);
    MessageAdd(L"-");
    MessageAddHex(serial & 0xFFFFu, 4);
}

// A FAT layout's label and serial follow its extended boot signature.
void AddFatIdentity(const std::uint8_t* sector, std::size_t bootSig, std::size_t volId,
                    std::size_t volLab)
{
    const std::uint8_t signature = LoadU8(sector, bootSig);
    if (signature == ExtendedBootSignature)
        AddLabel(sector, volLab);
    if (signature == ExtendedBootSignature || signature == SerialOnlySignature)
        AddSerial(LoadU32(sector, volId));
}

void AddIdentity(const std::uint8_t* sector, std::uint8_t kind)
{
    switch (kind) {
    case FsKindFat12:
    case FsKindFat16:
        AddFatIdentity(sector, fat16::BS_BootSig, fat16::BS_VolID, fat16::BS_VolLab);
        break;
    case FsKindFat32:
        AddFatIdentity(sector, fat32::BS_BootSig, fat32::BS_VolID, fat32::BS_VolLab);
        break;
    case FsKindNtfs: AddSerial(LoadU32(sector, ntfs::NtfsVolumeSerial)); break;
    default: break;
    }
}

void AddBackupPlan(BackupPlan plan, std::uint64_t backup)
{
    if (plan == BackupPlanNone)
        return;
    MessageAdd(L"\n\n備份啟動磁區（磁區 ");
    MessageAddDecimal(backup);
    switch (plan) {
    case BackupPlanUpdate: MessageAdd(L"）會一併更新，兩者維持相同。"); break;
    case BackupPlanDiffers: MessageAdd(L"）維持不變，因為它已經和目前的啟動磁區不同。"); break;
    case BackupPlanUnreadable: MessageAdd(L"）維持不變，因為無法讀取它。"); break;
    default: MessageAdd(L"）維持不變，因為新的啟動磁區指向不同的備份位置。"); break;
    }
}

} // namespace

void ReportDiskError(std::uint8_t drive)
{
    const DiskError& e = LastDiskError;
    MessageBegin();
    if (e.cause == DiskCauseSectorSize) {
        MessageAdd(L"無法存取磁碟 ");
        AddDrive(drive);
        MessageAdd(L"。\n\n原因：");
        AddReason(e);
        ShowError();
        return;
    }
    switch (e.step) {
    case DiskStepOpen: MessageAdd(L"無法開啟磁碟 "); break;
    case DiskStepSeek: MessageAdd(L"無法定位磁碟 "); break;
    case DiskStepRead: MessageAdd(L"無法讀取磁碟 "); break;
    default: MessageAdd(L"無法寫入磁碟 "); break;
    }
    AddDrive(drive);
    MessageAdd(e.step == DiskStepOpen ? L"。\n\n原因：" : L" 的磁區 0。\n\n原因：");
    AddReason(e);
    if (OsFamily == OsFamilyNt && e.step == DiskStepOpen && e.cause == DiskCauseWin32 &&
        e.code == ERROR_ACCESS_DENIED)
        AddAdministratorHint();
    ShowError();
}

void ReportFileDialogError()
{
    if (LastImageError.step != ImageStepDialog)
        return; // cancelled
    MessageBegin();
    MessageAdd(L"檔案對話方塊無法完成");
    if (LastImageError.code == FileNameBufferTooSmall) {
        MessageAdd(L"：選取的檔案路徑太長，最多只能有 ");
        MessageAddDecimal(ImagePathSize - 1);
        MessageAdd(L" 個字元。");
    } else {
        MessageAdd(L"，錯誤碼 0x");
        MessageAddHex(LastImageError.code, 4);
        MessageAdd(L"。");
    }
    ShowError();
}

void ReportImportError(const char* path)
{
    const ImageError& e = LastImageError;
    MessageBegin();
    if (e.step == ImageStepShort) {
        MessageAdd(L"無法匯入檔案 ");
        MessageAddAnsi(path);
        MessageAdd(L"。\n\n原因：檔案只有 ");
        MessageAddDecimal(e.code);
        MessageAdd(L" 個位元組，啟動磁區需要 512 個位元組。");
        ShowError();
        return;
    }
    MessageAdd(e.step == ImageStepOpen ? L"無法開啟檔案 " : L"無法讀取檔案 ");
    MessageAddAnsi(path);
    MessageAdd(L"。\n\n原因：");
    AddSystemText(e.code);
    ShowError();
}

void ReportExportError(const char* path)
{
    const ImageError& e = LastImageError;
    MessageBegin();
    MessageAdd(L"無法匯出到檔案 ");
    MessageAddAnsi(path);
    switch (e.step) {
    case ImageStepCreate: MessageAdd(L"：無法在同一個資料夾建立新檔案。"); break;
    case ImageStepWrite: MessageAdd(L"：無法寫入新檔案。"); break;
    case ImageStepClose: MessageAdd(L"：無法關閉新檔案。"); break;
    default: MessageAdd(L"：新檔案無法取代原來的檔案。"); break;
    }
    if (FileExists(path))
        MessageAdd(L"原來的檔案沒有變更。");
    MessageAdd(L"\n\n原因：");
    AddSystemText(e.code);
    ShowError();
}

void ReportUndoFileError(std::uint8_t drive)
{
    MessageBegin();
    MessageAdd(L"無法儲存復原檔，所以沒有寫入磁碟 ");
    AddDrive(drive);
    MessageAdd(L"。\n\n原因：");
    AddSystemText(LastImageError.code);
    ShowError();
}

void ReportDriveChanged(std::uint8_t drive)
{
    MessageBegin();
    MessageAdd(L"磁碟 ");
    AddDrive(drive);
    MessageAdd(L" 的啟動磁區在確認期間已經變更，所以沒有寫入任何資料。");
    ShowError();
}

void ReportNoDrive(bool accessDenied)
{
    MessageBegin();
    MessageAdd(L"找不到可以讀取的磁碟。");
    if (accessDenied && OsFamily == OsFamilyNt)
        AddAdministratorHint();
    ShowError();
}

bool AskWriteDrive(std::uint8_t drive, const std::uint8_t* current, const char* undoPath,
                   BackupPlan plan, std::uint64_t backup)
{
    const std::uint8_t kind = RecognizeKindOf(current);
    MessageBegin();
    MessageAdd(L"要取代磁碟 ");
    AddDrive(drive);
    MessageAdd(L" 的啟動磁區嗎？\n\n磁碟 ");
    AddDrive(drive);
    MessageAdd(L" 目前是 ");
    MessageAdd(KindName(kind));
    AddIdentity(current, kind);
    MessageAdd(L"。");
    AddBackupPlan(plan, backup);
    MessageAdd(L"\n\n目前的啟動磁區已存為復原檔：\n");
    MessageAddAnsi(undoPath);
    return AskYesNo();
}

bool AskWriteInUse(std::uint8_t drive)
{
    MessageBegin();
    MessageAdd(L"磁碟 ");
    AddDrive(drive);
    MessageAdd(L" 正在使用中（上面有開啟的檔案，或它是系統磁碟區、存放分頁檔的磁碟區），"
               L"無法鎖定。\n\n仍然要寫入嗎？寫入後 Windows 會繼續使用舊的值，"
               L"直到這個磁碟區重新掛接為止，例如下次開機時。");
    return AskYesNo();
}

void ReportBackupWriteError(std::uint8_t drive, std::uint64_t backup, const char* undoPath)
{
    MessageBegin();
    MessageAdd(L"磁碟 ");
    AddDrive(drive);
    MessageAdd(L" 的啟動磁區已經寫入，但備份啟動磁區（磁區 ");
    MessageAddDecimal(backup);
    MessageAdd(L"）寫入失敗，兩者現在不同。\n\n原因：");
    AddReason(LastDiskError);
    MessageAdd(L"\n\n要回到相同的一對：匯入復原檔\n");
    MessageAddAnsi(undoPath);
    MessageAdd(L"\n再寫入到磁碟，然後重新做一次修改。");
    ShowError();
}

void ReportBackupReadError(std::uint8_t drive, std::uint64_t backup)
{
    MessageBegin();
    MessageAdd(L"無法讀取磁碟 ");
    AddDrive(drive);
    MessageAdd(L" 的備份啟動磁區（磁區 ");
    MessageAddDecimal(backup);
    MessageAdd(L"）。\n\n原因：");
    AddReason(LastDiskError);
    ShowError();
}

void ReportBackupNotLocated(std::uint8_t drive)
{
    MessageBegin();
    MessageAdd(L"找不到磁碟 ");
    AddDrive(drive);
    MessageAdd(L" 的備份啟動磁區：它的啟動磁區沒有指出備份的位置，磁區 6 也不是 FAT32 "
               L"啟動磁區，而系統沒有提供磁碟區的長度，所以無法找到最後一個磁區。");
    ShowError();
}

void ReportNoBackup(std::uint8_t drive)
{
    MessageBegin();
    MessageAdd(L"磁碟 ");
    AddDrive(drive);
    MessageAdd(L" 沒有備份啟動磁區：它的啟動磁區沒有指出備份的位置，磁區 6 和最後一個磁區"
               L"也都不是啟動磁區。");
    ShowError();
}

bool AskReplaceFile(const char* path)
{
    MessageBegin();
    MessageAdd(L"檔案 ");
    MessageAddAnsi(path);
    MessageAdd(L" 已經存在。\n要取代它嗎？");
    return AskYesNo();
}
