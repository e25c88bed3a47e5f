#include "check.h"

#include "app.h"
#include "commands.h"
#include "form.h"
#include "message.h"
#include "core/backup.h"
#include "core/layout.h"
#include "core/record.h"
#include "disk/sector.h"

namespace {

// Room for every finding the check gives and a backup's runs of differences.
constexpr int MaxFindings = 64;

// The text stays short enough for the 9x family's ANSI copy of it (two bytes
// a character); lines that would not fit are counted instead.
constexpr int MessageRoom = 1300;
constexpr int LineRoom = 200; // the longest line, and the count after it
constexpr int MaxBackupRuns = 12;

void AddHexByte(std::uint32_t byte)
{
    const wchar_t text[] = {L"0123456789ABCDEF"[(byte >> 4) & 0xF], L"0123456789ABCDEF"[byte & 0xF],
                            L'\0'};
    MessageAdd(text);
}

// count bytes of value, low byte first, as "EB 3C 90".
void AddBytes(std::uint64_t value, int count)
{
    for (int i = 0; i < count; ++i, value >>= 8) {
        if (i > 0)
            MessageAdd(L" ");
        AddHexByte(static_cast<std::uint32_t>(value & 0xFF));
    }
}

// Eight bytes of text, low byte first; bytes outside printable ASCII as '?'.
void AddText8(std::uint64_t value)
{
    wchar_t text[11] = {L'"'};
    for (int i = 1; i <= 8; ++i, value >>= 8) {
        const auto c = static_cast<wchar_t>(value & 0xFF);
        text[i] = c >= L' ' && c < 0x7F ? c : L'?';
    }
    text[9] = L'"';
    text[10] = L'\0';
    MessageAdd(text);
}

// The field's name: its label on the form under kind, else a name of its own.
const wchar_t* FieldName(std::uint8_t kind, std::uint16_t offset)
{
    if (const wchar_t* label = FieldLabel(kind, offset))
        return label;
    switch (offset) {
    case BS_jmpBoot: return L"跳躍指令";
    case BS_OEMName: return L"OEM 名稱";
    case BootSignature: return L"啟動磁區簽名";
    case BPB_NumFATs: return L"FAT 數目";
    case BPB_RootEntCnt: return L"根目錄項目數";
    case BPB_TotSec16: return L"16 位元總磁區數";
    case BPB_FATSz16: return L"16 位元 FAT 磁區數";
    case BPB_TotSec32: return L"32 位元總磁區數";
    case fat32::BPB_FSVer: return L"FAT32 版本";
    case fat32::BPB_RootClus: return L"根目錄磁簇";
    case fat32::BPB_BkBootSec: return L"備份啟動磁區";
    case fat16::BS_FilSysType:
    case fat32::BS_FilSysType: return L"磁碟格式"; // the label of the kind shown above the form
    default: return L"欄位";
    }
}

// The kind a cluster-count rule holds the record to.
const wchar_t* KindOfRule(std::uint8_t rule)
{
    switch (rule) {
    case RuleFat12TooManyClusters: return L"FAT12";
    case RuleFat32FewClusters: return L"FAT32";
    default: return L"FAT16";
    }
}

// 「label」為 value：
void AddSubject(const Finding& f, std::uint8_t kind)
{
    MessageAdd(L"「");
    MessageAdd(FieldName(kind, f.offset));
    MessageAdd(L"」為 ");
    switch (f.rule) {
    case RuleJump: AddBytes(f.value, 3); break;
    case RuleSignature: AddBytes(f.value, 2); break;
    case RuleNtfsName: AddText8(f.value); break;
    case RuleMedia:
        MessageAdd(L"0x");
        AddHexByte(static_cast<std::uint32_t>(f.value));
        break;
    case RuleFat12TooManyClusters:
    case RuleFat16TooFewClusters:
    case RuleFat16TooManyClusters:
    case RuleFat32FewClusters: MessageAdd(KindOfRule(f.rule)); break;
    default: MessageAddDecimal(f.value); break;
    }
    MessageAdd(L"：");
}

// What the rule asks, after the subject.
void AddRule(const Finding& f, std::uint8_t kind)
{
    switch (f.rule) {
    case RuleJump: MessageAdd(L"開頭應為跳躍指令 EB xx 90 或 E9 xx xx。"); break;
    case RuleSignature: MessageAdd(L"位移 510 應為 55 AA。"); break;
    case RuleBytesPerSector: MessageAdd(L"應為 512、1024、2048 或 4096。"); break;
    case RuleSectorsPerCluster:
        MessageAdd(kind == FsKindNtfs
                       ? L"應為 1 到 128 之間 2 的次方，或 244 到 248（0xF4 到 0xF8，"
                         L"表示 2 的 256 減此值次方個磁區）。"
                       : L"應為 1 到 128 之間 2 的次方。");
        break;
    case RuleFatClusterSize:
        MessageAdd(L"磁簇為 ");
        MessageAddDecimal(f.limit);
        MessageAdd(L" 位元組，FAT 的磁簇最大 32 KiB（32768 位元組）。");
        break;
    case RuleNtfsClusterSize:
        MessageAdd(L"磁簇為 ");
        MessageAddDecimal(f.limit);
        MessageAdd(L" 位元組，NTFS 的磁簇最大 2 MiB（2097152 位元組）。");
        break;
    case RuleNtfsLargeCluster:
        MessageAdd(L"磁簇為 ");
        MessageAddDecimal(f.limit);
        MessageAdd(L" 位元組，大於 64 KiB，Windows 10 1709 以前的 Windows 無法使用（提醒）。");
        break;
    case RuleMedia: MessageAdd(L"應為 0xF0 或 0xF8 到 0xFF。"); break;
    case RuleReservedSectors: MessageAdd(L"至少要有 1 個，啟動磁區本身就是保留的磁區。"); break;
    case RuleNoFat: MessageAdd(L"至少要有 1 個 FAT。"); break;
    case RuleManyFats:
        MessageAdd(L"多於 2 個 FAT 並不常見，許多系統只接受 1 或 2 個（提醒）。");
        break;
    case RuleFatSizeZero: MessageAdd(L"FAT 不可為 0 個磁區。"); break;
    case RuleFatTooSmall:
        MessageAdd(L"FAT 容納不下所有磁簇，至少需要 ");
        MessageAddDecimal(f.limit);
        MessageAdd(L" 個磁區。");
        break;
    case RuleNoDataRegion:
        MessageAdd(L"保留的磁區、FAT 與根目錄之後沒有資料區，至少需要 ");
        MessageAddDecimal(f.limit);
        MessageAdd(L" 個磁區。");
        break;
    case RuleTotalMissing: MessageAdd(L"磁碟區的總磁區數不可為 0。"); break;
    case RuleRootEntriesZero: MessageAdd(L"FAT12 與 FAT16 的根目錄不可為 0 個項目。"); break;
    case RuleRootEntriesPartial:
        MessageAdd(L"應為 ");
        MessageAddDecimal(f.limit);
        MessageAdd(L" 的倍數，根目錄才會佔滿整數個磁區。");
        break;
    case RuleTotalInBoth:
        MessageAdd(L"總數已存在 16 位元欄位，32 位元欄位卻是 ");
        MessageAddDecimal(f.limit);
        MessageAdd(L"，應為 0。");
        break;
    case RuleSmallTotalIn32:
        MessageAdd(L"小於 65535 的總數應存在 16 位元欄位，32 位元欄位為 0。");
        break;
    case RuleFat12TooManyClusters:
    case RuleFat16TooManyClusters:
        MessageAdd(L"資料磁簇有 ");
        MessageAddDecimal(f.value);
        MessageAdd(L" 個，");
        MessageAdd(KindOfRule(f.rule));
        MessageAdd(L" 必須少於 ");
        MessageAddDecimal(f.limit);
        MessageAdd(L" 個。");
        break;
    case RuleFat16TooFewClusters:
    case RuleFat32FewClusters:
        MessageAdd(L"資料磁簇只有 ");
        MessageAddDecimal(f.value);
        MessageAdd(L" 個，");
        MessageAdd(KindOfRule(f.rule));
        MessageAdd(L" 至少要有 ");
        MessageAddDecimal(f.limit);
        MessageAdd(L" 個。");
        break;
    case RuleFat32RootEntries: MessageAdd(L"FAT32 的根目錄在磁簇中，應為 0。"); break;
    case RuleFat32SmallTotal: MessageAdd(L"FAT32 只用 32 位元的總磁區數，應為 0。"); break;
    case RuleFat32SmallFatSize: MessageAdd(L"FAT32 只用 32 位元的 FAT 大小，應為 0。"); break;
    case RuleRootCluster:
        if (f.limit == 0) {
            MessageAdd(L"磁簇編號從 2 開始。");
            break;
        }
        MessageAdd(L"應在 2 到 ");
        MessageAddDecimal(f.limit);
        MessageAdd(L" 之間。");
        break;
    case RuleFsInfoOutside:
    case RuleBackupOutside:
        MessageAdd(L"應在保留的磁區之內（小於 ");
        MessageAddDecimal(f.limit);
        MessageAdd(L"），0 表示沒有。");
        break;
    case RuleFsInfoIsBackup: MessageAdd(L"與 FS Info Sector 是同一個磁區，兩者必須不同。"); break;
    case RuleFsVersion: MessageAdd(L"應為 0。"); break;
    case RuleNtfsFatField: MessageAdd(L"NTFS 不使用這個 FAT 欄位，應為 0。"); break;
    case RuleNtfsName: MessageAdd(L"位移 3 應為 \"NTFS    \"（NTFS 與四個空格）。"); break;
    case RuleMftZero: MessageAdd(L"不可為 0。"); break;
    case RuleMftMirrSame: MessageAdd(L"與 $MFT Cluster 相同，兩者必須不同。"); break;
    case RuleMftOutside:
        MessageAdd(L"超出磁碟區，磁碟區只有 ");
        MessageAddDecimal(f.limit);
        MessageAdd(L" 個磁簇。");
        break;
    case RuleNtfsRecordCode:
        MessageAdd(L"最低位元組應為 1 到 64 之間 2 的次方，或 225 到 247（0xE1 到 0xF7）。");
        break;
    case RuleHiddenSectors:
        MessageAdd(L"分割區從磁區 ");
        MessageAddDecimal(f.limit);
        MessageAdd(L" 開始。延伸分割區中的邏輯磁碟機可能從延伸分割區的起點算起，那樣並沒有錯；"
                   L"否則是分割區搬移或複製後沒有更新，應改為 ");
        MessageAddDecimal(f.limit);
        MessageAdd(L"。");
        break;
    default: MessageAdd(L"不符合規則。"); break;
    }
}

// 「備份啟動磁區」（磁區 6）與啟動磁區在位移 3–10、67–70 不同。 The runs are
// findings[0] to findings[count - 1].
void AddBackupLine(const Finding* findings, int count)
{
    MessageAdd(L"「備份啟動磁區」（磁區 ");
    MessageAddDecimal(findings[0].limit);
    if (findings[0].rule == RuleBackupUnreadable) {
        MessageAdd(L"）無法讀取，沒有比對。");
        return;
    }
    MessageAdd(L"）與啟動磁區在位移 ");
    for (int i = 0; i < count && i < MaxBackupRuns; ++i) {
        if (i > 0)
            MessageAdd(L"、");
        MessageAddDecimal(findings[i].offset);
        if (findings[i].value != findings[i].offset) {
            MessageAdd(L"–");
            MessageAddDecimal(findings[i].value);
        }
    }
    if (count > MaxBackupRuns)
        MessageAdd(L" 等處");
    MessageAdd(L" 不同。");
}

bool IsBackupRule(std::uint8_t rule)
{
    return rule == RuleBackupDiffers || rule == RuleBackupUnreadable;
}

// A check that could not be made is told after the findings, not as one.
bool IsNote(std::uint8_t rule)
{
    return rule == RulePartitionUnknown;
}

void AddNote(const Finding& f)
{
    MessageAdd(L"\n\n註：系統沒有告知分割區的起點，所以沒有檢查「隱藏的磁區」（");
    MessageAddDecimal(f.value);
    MessageAdd(L"）。");
}

// Sector 0 and the backup are read here. The check reads a drive only on the
// NT family, whose transfers go through disk/volume's own aligned buffer.
std::uint8_t DriveCopy[SectorSize];

std::uint8_t* Spare()
{
    return DriveCopy;
}

// The drive's partition start in its own sectors. Sector 0 is read first, as
// before every question to a drive; false when a request fails.
bool PartitionStart(std::uint8_t drive, std::uint64_t* sector)
{
    std::uint64_t start = 0;
    std::uint64_t length = 0;
    if (!ReadDriveSector(drive, 0, Spare()) || !DrivePartition(drive, &start, &length))
        return false;
    const DWORD size = DriveSectorSize(drive);
    if (size == 0 || (size & (size - 1)) != 0)
        return false;
    unsigned shift = 0; // a shift, not a 64-bit division (see core/check.cpp)
    while ((size >> shift) > 1)
        ++shift;
    *sector = start >> shift;
    return true;
}

// The findings about the drive the record was read from: the hidden sectors
// against the partition start and, where the record names a backup, the
// backup against the record.
int CheckAgainstDrive(std::uint8_t drive, std::uint8_t kind, Finding* out, int capacity)
{
    std::uint64_t start = 0;
    const bool known = PartitionStart(drive, &start);
    int count = CheckPartitionStart(SectorBuffer, known, start, out, capacity);
    BackupPlace backup = {};
    if (BackupOnVolume(SectorBuffer, kind, DriveSectorSize(drive), &backup)) {
        const bool read = ReadDriveSector(drive, backup.sector, Spare(), backup.pastFileSystem);
        count += CheckBackup(SectorBuffer, read ? Spare() : nullptr, backup.sector, out + count,
                             capacity - count);
    }
    return count;
}

// The lines that count findings give: one each, one for a backup's runs, none
// for a note.
unsigned LinesFrom(const Finding* findings, int count)
{
    unsigned lines = 0;
    for (int i = 0; i < count; ++i)
        if (!IsNote(findings[i].rule) && (findings[i].rule != RuleBackupDiffers || i == 0 ||
                                          findings[i - 1].rule != RuleBackupDiffers))
            ++lines;
    return lines;
}

} // namespace

const wchar_t* CheckMessage(const Finding* findings, int count, std::uint8_t kind)
{
    MessageBegin();
    MessageAdd(LinesFrom(findings, count) != 0 ? L"檢查啟動磁區發現下列問題：\n"
                                               : L"檢查啟動磁區：沒有發現問題。");
    unsigned line = 0;
    for (int i = 0; i < count;) {
        if (IsNote(findings[i].rule)) {
            ++i;
            continue;
        }
        if (MessageLength() > MessageRoom - LineRoom) {
            MessageAdd(L"\n……另有 ");
            MessageAddDecimal(LinesFrom(findings + i, count - i));
            MessageAdd(L" 項未列出。");
            break;
        }
        MessageAdd(L"\n");
        MessageAddDecimal(++line);
        MessageAdd(L". ");
        if (IsBackupRule(findings[i].rule)) {
            int runs = 1;
            while (i + runs < count && findings[i + runs].rule == RuleBackupDiffers)
                ++runs;
            AddBackupLine(findings + i, runs);
            i += runs;
            continue;
        }
        AddSubject(findings[i], kind);
        AddRule(findings[i], kind);
        ++i;
    }
    for (int i = 0; i < count; ++i)
        if (IsNote(findings[i].rule))
            AddNote(findings[i]);
    return MessageText();
}

void CheckBootSector()
{
    FormToRecord();
    const std::uint8_t kind = FsKind == FsKindNone ? FsKindGeneric : FsKind;
    static Finding findings[MaxFindings];
    int count = CheckBootRecord(SectorBuffer, kind, findings, MaxFindings);
    if (OsFamily == OsFamilyNt && RecordDrive != 0)
        count += CheckAgainstDrive(RecordDrive, kind, findings + count, MaxFindings - count);
    const bool found = LinesFrom(findings, count) != 0;
    CheckMessage(findings, count, kind);
    MessageShow(found ? MB_ICONWARNING | MB_OK : MB_ICONINFORMATION | MB_OK);
}
