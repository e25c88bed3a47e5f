#include "rebuild.h"

#include "app.h"
#include "commands.h"
#include "form.h"
#include "message.h"
#include "picker.h"
#include "report.h"
#include "text.h"
#include "core/layout.h"
#include "core/rebuild.h"
#include "core/recognize.h"
#include "core/record.h"
#include "disk/sector.h"
#include "resources/resource.h"

#include <commctrl.h>

#include <cstring>

namespace {

// The scan's whole state, the sectors of one read, and the scan's result: all
// zero-filled at load (.bss), so they take no room in the exe.
RebuildScan Scan;
constexpr std::uint32_t ChunkBytes = 65536; // what one ReadDriveSectors moves at most
std::uint8_t Chunk[ChunkBytes];
std::uint8_t Rebuilt[SectorSize];
std::uint8_t How[RbFieldCount];

// The progress window shows once a scan has run this long; between reads the
// scan then takes the window's messages, so Cancel acts within one read.
constexpr DWORD ProgressDelay = 500; // milliseconds
constexpr int ProgressSteps = 1000;
HWND Progress = nullptr;
bool Cancelled = false;

enum ScanEnd : std::uint8_t { ScanDone, ScanCancelled, ScanReadFailed };

// A serial number from the clock, made as DOS formatters make one: date and
// time, each as two sums of 16 bits.
std::uint32_t NewSerial()
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    const std::uint32_t high =
        ((t.wMonth << 8) | t.wDay) + ((t.wSecond << 8) | (t.wMilliseconds / 10));
    const std::uint32_t low = ((t.wHour << 8) | t.wMinute) + t.wYear;
    return (high << 16) + (low & 0xFFFFu);
}

// The volume's sector size, length and partition start, then the scan's start.
// False, reported, when the drive does not give its size or length.
bool StartScan(Volume drive)
{
    const DWORD sectorSize = DriveSectorSize(drive);
    std::uint64_t sectors = 0;
    if (sectorSize == 0 || !DriveLength(drive, &sectors)) {
        ReportDiskError(drive);
        return false;
    }
    std::uint64_t start = 0, length = 0;
    const bool startKnown = DrivePartition(drive, &start, &length);
    std::uint32_t chunk = DriveChunkSectors(sectorSize);
    if (chunk > ChunkBytes / sectorSize)
        chunk = ChunkBytes / sectorSize;
    // A size the scan does not take leaves it done with nothing found.
    RebuildStart(&Scan, sectorSize, sectors, chunk, startKnown, start / sectorSize, NewSerial());
    return true;
}

void ShowProgress()
{
    Progress = CreateDialogParamA(AppInstance, MAKEINTRESOURCEA(IDD_PROGRESS), MainDialog,
                                  ProgressDialogProc, 0);
    if (Progress == nullptr)
        return;                      // the scan runs on without a window
    EnableWindow(MainDialog, FALSE); // as under a modal dialog: no command while the scan runs
    SendMessageA(GetDlgItem(Progress, IDC_PROGRESS_BAR), PBM_SETRANGE, 0,
                 MAKELPARAM(0, ProgressSteps));
}

void ShowPosition()
{
    const std::uint64_t limit = Scan.limit != 0 ? Scan.limit : 1;
    const std::uint64_t at = Scan.next < limit ? Scan.next : limit;
    SendMessageA(GetDlgItem(Progress, IDC_PROGRESS_BAR), PBM_SETPOS,
                 static_cast<WPARAM>(at * ProgressSteps / limit), 0);
}

// The owner is enabled before its window goes, so that it takes the focus back.
void CloseProgress()
{
    if (Progress == nullptr)
        return;
    EnableWindow(MainDialog, TRUE);
    DestroyWindow(Progress);
    Progress = nullptr;
}

// Every message waiting, for the progress window and the rest of the program;
// the end of the session stops the scan and is left for the main dialog.
void PumpMessages()
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));
            Cancelled = true;
            return;
        }
        if (!IsDialogMessageA(Progress, &message))
            DispatchMessageA(&message);
    }
}

// Reads what the scan asks for, chunk by chunk, until it is done, the user
// cancels or a read fails (then *first and *count name that read).
ScanEnd RunScan(Volume drive, std::uint64_t* first, std::uint32_t* count)
{
    const DWORD start = GetTickCount();
    Cancelled = false;
    ScanEnd end = ScanDone;
    while (end == ScanDone && RebuildNextRange(&Scan, first, count)) {
        if (!ReadDriveSectors(drive, *first, *count, Chunk)) {
            end = ScanReadFailed;
            break;
        }
        RebuildFeed(&Scan, Chunk, *count);
        if (Progress == nullptr && GetTickCount() - start >= ProgressDelay)
            ShowProgress();
        if (Progress != nullptr) {
            ShowPosition();
            PumpMessages();
        }
        if (Cancelled)
            end = ScanCancelled;
    }
    CloseProgress();
    return end;
}

// --- The result message ---

enum : std::uint8_t { KindFat = 1, KindFat32 = 2, KindNtfs = 4, KindAnyFat = 3, KindAll = 7 };
enum ValueShow : std::uint8_t { AsNumber, AsMedia, AsText, AsTotal, AsKind, AsBootCode };

// A field of the rebuilt sector as the message names and shows it: the kinds
// it belongs to, where it is, and the name used where the form has no box.
struct ChangeRow {
    std::uint8_t field;
    std::uint8_t kinds;
    std::uint16_t offset;
    std::uint8_t width; // bytes: a number's, or a text's
    std::uint8_t show;
    std::uint16_t name;
};

constexpr ChangeRow ChangeRows[] = {
    {RbBytesPerSector, KindAll, BPB_BytsPerSec, 2, AsNumber, IDS_FIELD},
    {RbSectorsPerCluster, KindAll, BPB_SecPerClus, 1, AsNumber, IDS_FIELD},
    {RbReservedSectors, KindAll, BPB_RsvdSecCnt, 2, AsNumber, IDS_FIELD},
    {RbNumFats, KindAnyFat, BPB_NumFATs, 1, AsNumber, IDS_FIELD_NUM_FATS},
    {RbRootEntries, KindAnyFat, BPB_RootEntCnt, 2, AsNumber, IDS_FIELD_ROOT_ENTRIES},
    {RbTotalSectors, KindAnyFat, BPB_TotSec32, 4, AsTotal, IDS_FIELD},
    {RbTotalSectors, KindNtfs, ntfs::NtfsTotalSectors, 8, AsNumber, IDS_FIELD},
    {RbMedia, KindAll, BPB_Media, 1, AsMedia, IDS_FIELD},
    {RbFatSize, KindFat, BPB_FATSz16, 2, AsNumber, IDS_FIELD_FAT_SIZE_16},
    {RbFatSize, KindFat32, fat32::BPB_FATSz32, 4, AsNumber, IDS_FIELD},
    {RbGeometry, KindAll, BPB_SecPerTrk, 2, AsNumber, IDS_FIELD},
    {RbGeometry, KindAll, BPB_NumHeads, 2, AsNumber, IDS_FIELD},
    {RbHiddenSectors, KindAll, BPB_HiddSec, 4, AsNumber, IDS_FIELD},
    {RbRootCluster, KindFat32, fat32::BPB_RootClus, 4, AsNumber, IDS_FIELD_ROOT_CLUSTER},
    {RbFsInfo, KindFat32, fat32::BPB_FSInfo, 2, AsNumber, IDS_LBL_FS_INFO},
    {RbBackupSector, KindFat32, fat32::BPB_BkBootSec, 2, AsNumber, IDS_FIELD_BACKUP},
    {RbDriveNumber, KindFat, fat16::BS_DrvNum, 1, AsNumber, IDS_LBL_DRIVE_NUMBER},
    {RbDriveNumber, KindFat32, fat32::BS_DrvNum, 1, AsNumber, IDS_LBL_DRIVE_NUMBER},
    {RbSerial, KindFat, fat16::BS_VolID, 4, AsNumber, IDS_LBL_SERIAL},
    {RbSerial, KindFat32, fat32::BS_VolID, 4, AsNumber, IDS_LBL_SERIAL},
    {RbSerial, KindNtfs, ntfs::NtfsVolumeSerial, 8, AsNumber, IDS_LBL_SERIAL},
    {RbLabel, KindFat, fat16::BS_VolLab, 11, AsText, IDS_FIELD_VOLUME_LABEL},
    {RbLabel, KindFat32, fat32::BS_VolLab, 11, AsText, IDS_FIELD_VOLUME_LABEL},
    {RbOemName, KindAll, BS_OEMName, 8, AsText, IDS_FIELD_OEM_NAME},
    {RbBootCode, KindAll, 0, 0, AsBootCode, IDS_FIELD_BOOT_CODE},
    {RbType, KindAll, 0, 0, AsKind, IDS_FIELD_KIND},
    {RbMftCluster, KindNtfs, ntfs::MftCluster, 8, AsNumber, IDS_LBL_MFT},
    {RbMftMirrCluster, KindNtfs, ntfs::MftMirrCluster, 8, AsNumber, IDS_LBL_MFT_MIRROR},
    {RbRecordSize, KindNtfs, ntfs::ClustersPerFileRecord, 4, AsNumber, IDS_LBL_SEGMENT},
    {RbIndexSize, KindNtfs, ntfs::ClustersPerIndexBlock, 4, AsNumber, IDS_LBL_INDEX_BLOCK},
};

constexpr int ValueSize = 40;

std::uint8_t KindBit(std::uint8_t kind)
{
    switch (kind) {
    case FsKindFat32: return KindFat32;
    case FsKindNtfs: return KindNtfs;
    default: return KindFat;
    }
}

UINT KindText(std::uint8_t kind)
{
    switch (kind) {
    case FsKindFat12: return IDS_KIND_FAT12;
    case FsKindFat16: return IDS_KIND_FAT16;
    case FsKindFat32: return IDS_KIND_FAT32;
    case FsKindNtfs: return IDS_KIND_NTFS;
    default: return IDS_KIND_UNKNOWN;
    }
}

std::uint64_t NumberAt(const std::uint8_t* sector, const ChangeRow& row)
{
    if (row.show == AsTotal) {
        const std::uint16_t small = LoadU16(sector, BPB_TotSec16);
        return small != 0 ? small : LoadU32(sector, BPB_TotSec32);
    }
    switch (row.width) {
    case 1: return LoadU8(sector, row.offset);
    case 2: return LoadU16(sector, row.offset);
    case 4: return LoadU32(sector, row.offset);
    default: return LoadU64(sector, row.offset);
    }
}

void PutAscii(const char* text, wchar_t* out)
{
    while ((*out++ = static_cast<unsigned char>(*text++)) != L'\0') {
    }
}

// The field's value in the sector as the message shows it.
void PutValue(const std::uint8_t* sector, const ChangeRow& row, std::uint8_t kind, bool isNew,
              wchar_t* out)
{
    switch (row.show) {
    case AsKind: LoadText(KindText(kind), out, ValueSize); return;
    case AsBootCode:
        LoadText(isNew ? IDS_REBUILD_BOOT_TEMPLATE : IDS_REBUILD_BOOT_OLD, out, ValueSize);
        return;
    case AsText: {
        out[0] = L'"';
        for (int i = 0; i < row.width; ++i) {
            const std::uint8_t c = sector[row.offset + i];
            out[i + 1] = c >= 0x20 && c < 0x7F ? c : L'?';
        }
        out[row.width + 1] = L'"';
        out[row.width + 2] = L'\0';
        return;
    }
    case AsMedia: {
        const std::uint8_t media = sector[row.offset];
        const wchar_t text[] = {L'0', L'x', L"0123456789ABCDEF"[media >> 4],
                                L"0123456789ABCDEF"[media & 0xF], L'\0'};
        std::memcpy(out, text, sizeof text);
        return;
    }
    default: {
        char digits[NumberTextSize];
        FormatNumber(NumberAt(sector, row), digits);
        PutAscii(digits, out);
        return;
    }
    }
}

bool Differs(const std::uint8_t* old, const ChangeRow& row, const RebuildSummary& s)
{
    switch (row.show) {
    case AsKind: return RecognizeKindOf(old) != s.kind;
    case AsBootCode: return s.templateBootCode;
    case AsText: return std::memcmp(old + row.offset, Rebuilt + row.offset, row.width) != 0;
    default: return NumberAt(old, row) != NumberAt(Rebuilt, row);
    }
}

// One line for each field that differs from what the volume's sector 0 holds.
void AddChanges(const RebuildSummary& s)
{
    static const std::uint8_t Zeros[SectorSize] = {};
    const std::uint8_t* old = Scan.haveOldSector0 ? Scan.oldSector0 : Zeros;
    const std::uint8_t bit = KindBit(s.kind);
    bool any = false;
    for (const ChangeRow& row : ChangeRows) {
        if ((row.kinds & bit) == 0 || How[row.field] == HowNone || !Differs(old, row, s))
            continue;
        if (!any)
            MessageAddText(IDS_REBUILD_CHANGES);
        any = true;
        wchar_t name[ValueSize], before[ValueSize], after[ValueSize];
        const UINT label = row.show == AsNumber || row.show == AsTotal || row.show == AsMedia
                               ? FieldLabel(s.kind, row.offset)
                               : 0;
        LoadText(label != 0 ? label : row.name, name, ValueSize);
        PutValue(old, row, RecognizeKindOf(old), false, before);
        PutValue(Rebuilt, row, s.kind, true, after);
        MessageAddText(IDS_REBUILD_CHANGE, {Wide(name), Wide(before), Wide(after)});
        if (How[row.field] == HowGuessed)
            MessageAddText(IDS_REBUILD_GUESSED);
    }
    if (!any)
        MessageAddText(IDS_REBUILD_SAME);
}

// What was found and how: the FAT copies, where the cluster size and the data
// came from; or where $MFT's record 0 was and whether the other copy agreed.
void AddFinding(const RebuildSummary& s)
{
    if (s.kind == FsKindNtfs) {
        MessageAddText(IDS_REBUILD_MFT_AT, {Decimal(s.mftRecordSector)});
        if (s.mftFoundInMirror)
            MessageAddText(IDS_REBUILD_MFT_MIRROR);
        MessageAddText(s.otherCopyAgrees ? IDS_REBUILD_OTHER_AGREES
                                         : IDS_REBUILD_OTHER_UNCONFIRMED);
        return;
    }
    MessageAddText(IDS_REBUILD_FAT_AT, {Decimal(s.fatStarts[0])});
    for (int i = 1; i < s.fatCopies; ++i)
        MessageAddText(IDS_REBUILD_AND, {Decimal(s.fatStarts[i])});
    if (s.subdirsUsed >= 2)
        MessageAddText(IDS_REBUILD_CLUSTER_FROM,
                       {Decimal(static_cast<std::uint64_t>(s.subdirsUsed))});
    else
        MessageAddText(IDS_REBUILD_CLUSTER_GUESSED);
    MessageAddText(IDS_REBUILD_DATA_AT, {Decimal(s.dataStart)});
}

bool AskToLoad(Volume drive, const RebuildSummary& s)
{
    wchar_t kind[ValueSize];
    LoadText(KindText(s.kind), kind, ValueSize);
    MessageBegin();
    MessageAddText(IDS_REBUILD_FOUND, {Drive(drive), Wide(kind)});
    AddFinding(s);
    AddChanges(s);
    if (s.kind == FsKindNtfs && s.templateBootCode)
        MessageAddText(IDS_REBUILD_NO_WINDOWS);
    MessageAddText(IDS_REBUILD_ASK);
    return MessageShow(MB_ICONQUESTION | MB_YESNO) == IDYES;
}

void ReportNothingFound(Volume drive, const RebuildSummary& s)
{
    MessageBegin();
    MessageAddText(IDS_REBUILD_NOT_FOUND, {Drive(drive)});
    const std::uint64_t last =
        s.searchedEnd > s.searchedFirst ? s.searchedEnd - 1 : s.searchedFirst;
    MessageAddText(IDS_REBUILD_SEARCHED,
                   {Decimal(s.searchedFirst), Decimal(last), Decimal(s.sectorsRead)});
    MessageAddText(IDS_REBUILD_SEEN, {Decimal(static_cast<std::uint64_t>(s.candidatesSeen)),
                                      Decimal(static_cast<std::uint64_t>(s.subdirsSeen)),
                                      Decimal(static_cast<std::uint64_t>(s.mftRecordsFollowed))});
    MessageShow(MB_ICONINFORMATION | MB_OK);
}

void ReportCancelled()
{
    MessageBegin();
    MessageAddText(IDS_REBUILD_CANCELLED);
    MessageShow(MB_ICONINFORMATION | MB_OK);
}

} // namespace

INT_PTR CALLBACK ProgressDialogProc(HWND, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL)
            Cancelled = true;
        return TRUE;
    case WM_CLOSE: Cancelled = true; return TRUE;
    default: return FALSE;
    }
}

bool RebuildFromDisk()
{
    const Volume drive = PickVolume();
    if (drive == NoVolume || !StartScan(drive))
        return false;
    std::uint64_t first = 0;
    std::uint32_t count = 0;
    switch (RunScan(drive, &first, &count)) {
    case ScanCancelled: ReportCancelled(); return false;
    case ScanReadFailed: ReportRebuildReadError(drive, first, first + count - 1); return false;
    default: break;
    }
    const RebuildSummary summary = RebuildFinish(&Scan, Rebuilt, How);
    if (!summary.found) {
        ReportNothingFound(drive, summary);
        return false;
    }
    if (!AskToLoad(drive, summary))
        return false;
    std::memcpy(SectorBuffer, Rebuilt, SectorSize);
    RecordDrive = drive;
    return true;
}
