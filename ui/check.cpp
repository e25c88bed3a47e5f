#include "check.h"

#include "app.h"
#include "commands.h"
#include "form.h"
#include "message.h"
#include "text.h"
#include "core/backup.h"
#include "core/layout.h"
#include "core/record.h"
#include "disk/sector.h"
#include "resources/resource.h"

#include <array>

namespace {

// Room for every finding the check gives and a backup's runs of differences.
constexpr int MaxFindings = 64;

// The text stays short enough for the 9x family's ANSI copy of it (two bytes
// a character); lines that would not fit are counted instead.
constexpr int MessageRoom = 1300;
constexpr int LineRoom = 200; // the longest line, and the count after it
constexpr int MaxBackupRuns = 12;
constexpr int MaxCorrections = 3; // the hidden sectors, the total, the media byte

constexpr int ValueSize = 32; // "EB 3C 90" and the longest number

void PutHexByte(std::uint32_t byte, wchar_t* at)
{
    at[0] = L"0123456789ABCDEF"[(byte >> 4) & 0xF];
    at[1] = L"0123456789ABCDEF"[byte & 0xF];
}

// count bytes of value, low byte first, as "EB 3C 90".
void PutBytes(std::uint64_t value, int count, wchar_t* text)
{
    for (int i = 0; i < count; ++i, value >>= 8, text += 3) {
        PutHexByte(static_cast<std::uint32_t>(value & 0xFF), text);
        text[2] = i + 1 < count ? L' ' : L'\0';
    }
}

// Eight bytes of text in quotes, low byte first; bytes outside printable
// ASCII as '?'.
void PutText8(std::uint64_t value, wchar_t* text)
{
    text[0] = L'"';
    for (int i = 1; i <= 8; ++i, value >>= 8) {
        const auto c = static_cast<wchar_t>(value & 0xFF);
        text[i] = c >= L' ' && c < 0x7F ? c : L'?';
    }
    text[9] = L'"';
    text[10] = L'\0';
}

// The text of a field without a box on the form.
UINT OwnFieldName(std::uint16_t offset)
{
    switch (offset) {
    case BS_jmpBoot: return IDS_FIELD_JUMP;
    case BS_OEMName: return IDS_FIELD_OEM_NAME;
    case BootSignature: return IDS_FIELD_SIGNATURE;
    case BPB_NumFATs: return IDS_FIELD_NUM_FATS;
    case BPB_RootEntCnt: return IDS_FIELD_ROOT_ENTRIES;
    case BPB_TotSec16: return IDS_FIELD_TOTAL_16;
    case BPB_FATSz16: return IDS_FIELD_FAT_SIZE_16;
    case BPB_TotSec32: return IDS_FIELD_TOTAL_32;
    case fat32::BPB_FSVer: return IDS_FIELD_FS_VERSION;
    case fat32::BPB_RootClus: return IDS_FIELD_ROOT_CLUSTER;
    case fat32::BPB_BkBootSec: return IDS_FIELD_BACKUP;
    case fat16::BS_FilSysType:
    case fat32::BS_FilSysType: return IDS_FIELD_KIND; // the label of the kind shown above the form
    default: return IDS_FIELD;
    }
}

// How a rule shows the field's value after its name.
enum RuleShow : std::uint8_t {
    ShowDecimal,
    ShowBytes2,
    ShowBytes3,
    ShowText8,
    ShowHexByte,
    ShowKind
};
// What a rule fills into its text.
enum RuleFill : std::uint8_t { FillNothing, FillValue, FillLimit, FillLimitHex, FillKindName };

// One rule: its text, how the value shows, the values it fills in (%1 to %3)
// and, for the cluster-count rules, the kind it holds the record to.
struct RuleRow {
    std::uint16_t text;
    RuleShow show;
    std::array<RuleFill, 3> fills;
    std::uint16_t kind;
};

constexpr std::array<RuleFill, 3> NoFill = {FillNothing, FillNothing, FillNothing};
constexpr std::array<RuleFill, 3> LimitFill = {FillLimit, FillNothing, FillNothing};
constexpr std::array<RuleFill, 3> CountFill = {FillValue, FillKindName, FillLimit};
constexpr std::array<RuleFill, 3> HexLimitFill = {FillLimitHex, FillNothing, FillNothing};

// From RuleJump to RuleMediaNotFat, in CheckRule order.
constexpr RuleRow RuleRows[] = {
    {IDS_RULE_JUMP, ShowBytes3, NoFill, 0},
    {IDS_RULE_SIGNATURE, ShowBytes2, NoFill, 0},
    {IDS_RULE_BYTES_PER_SECTOR, ShowDecimal, NoFill, 0},
    {IDS_RULE_SECTORS_PER_CLUSTER, ShowDecimal, NoFill, 0}, // on NTFS, ..._NTFS
    {IDS_RULE_FAT_CLUSTER_SIZE, ShowDecimal, LimitFill, 0},
    {IDS_RULE_NTFS_CLUSTER_SIZE, ShowDecimal, LimitFill, 0},
    {IDS_RULE_NTFS_LARGE_CLUSTER, ShowDecimal, LimitFill, 0},
    {IDS_RULE_MEDIA, ShowHexByte, NoFill, 0},
    {IDS_RULE_RESERVED_SECTORS, ShowDecimal, NoFill, 0},
    {IDS_RULE_NO_FAT, ShowDecimal, NoFill, 0},
    {IDS_RULE_MANY_FATS, ShowDecimal, NoFill, 0},
    {IDS_RULE_FAT_SIZE_ZERO, ShowDecimal, NoFill, 0},
    {IDS_RULE_FAT_TOO_SMALL, ShowDecimal, LimitFill, 0},
    {IDS_RULE_NO_DATA_REGION, ShowDecimal, LimitFill, 0},
    {IDS_RULE_TOTAL_MISSING, ShowDecimal, NoFill, 0},
    {IDS_RULE_ROOT_ENTRIES_ZERO, ShowDecimal, NoFill, 0},
    {IDS_RULE_ROOT_ENTRIES_PARTIAL, ShowDecimal, LimitFill, 0},
    {IDS_RULE_TOTAL_IN_BOTH, ShowDecimal, LimitFill, 0},
    {IDS_RULE_SMALL_TOTAL_IN_32, ShowDecimal, NoFill, 0},
    {IDS_RULE_TOO_MANY_CLUSTERS, ShowKind, CountFill, IDS_KIND_FAT12},
    {IDS_RULE_TOO_FEW_CLUSTERS, ShowKind, CountFill, IDS_KIND_FAT16},
    {IDS_RULE_TOO_MANY_CLUSTERS, ShowKind, CountFill, IDS_KIND_FAT16},
    {IDS_RULE_FAT32_ROOT_ENTRIES, ShowDecimal, NoFill, 0},
    {IDS_RULE_FAT32_SMALL_TOTAL, ShowDecimal, NoFill, 0},
    {IDS_RULE_FAT32_SMALL_FAT_SIZE, ShowDecimal, NoFill, 0},
    {IDS_RULE_TOO_FEW_CLUSTERS, ShowKind, CountFill, IDS_KIND_FAT32},
    {IDS_RULE_ROOT_CLUSTER, ShowDecimal, LimitFill, 0}, // limit 0: ..._UNKNOWN
    {IDS_RULE_OUTSIDE_RESERVED, ShowDecimal, LimitFill, 0},
    {IDS_RULE_OUTSIDE_RESERVED, ShowDecimal, LimitFill, 0},
    {IDS_RULE_FSINFO_IS_BACKUP, ShowDecimal, NoFill, 0},
    {IDS_RULE_FS_VERSION, ShowDecimal, NoFill, 0},
    {IDS_RULE_NTFS_FAT_FIELD, ShowDecimal, NoFill, 0},
    {IDS_RULE_NTFS_NAME, ShowText8, NoFill, 0},
    {IDS_RULE_MFT_ZERO, ShowDecimal, NoFill, 0},
    {IDS_RULE_MFT_MIRR_SAME, ShowDecimal, NoFill, 0},
    {IDS_RULE_MFT_OUTSIDE, ShowDecimal, LimitFill, 0},
    {IDS_RULE_NTFS_RECORD_CODE, ShowDecimal, NoFill, 0},
    {IDS_RULE_HIDDEN_SECTORS, ShowDecimal, LimitFill, 0},
    {IDS_RULE_TOTAL_BEYOND_VOLUME, ShowDecimal, LimitFill, 0},
    {IDS_RULE_MEDIA_NOT_FAT, ShowHexByte, HexLimitFill, 0},
};
static_assert(sizeof RuleRows / sizeof RuleRows[0] == RuleMediaNotFat - RuleJump + 1,
              "one row for each rule from RuleJump to RuleMediaNotFat");
static_assert(RuleFat12TooManyClusters - RuleJump == 19 && RuleFat32FewClusters - RuleJump == 25 &&
                  RuleNtfsName - RuleJump == 32,
              "the rows follow CheckRule");

// A field as the check names it: its label on the form, else a name of its own.
void LoadFieldName(std::uint8_t kind, std::uint16_t offset, wchar_t* name)
{
    const UINT label = FieldLabel(kind, offset);
    LoadText(label != 0 ? label : OwnFieldName(offset), name, ValueSize * 2);
}

// Fields that contradict each other: the program cannot tell which is right,
// but the rebuild finds their values on the disk.
bool PointsToRebuild(std::uint8_t rule)
{
    switch (rule) {
    case RuleSectorsPerCluster:
    case RuleFatClusterSize:
    case RuleNtfsClusterSize:
    case RuleReservedSectors:
    case RuleNoFat:
    case RuleFatSizeZero:
    case RuleFatTooSmall:
    case RuleNoDataRegion:
    case RuleRootEntriesZero:
    case RuleRootEntriesPartial:
    case RuleFat12TooManyClusters:
    case RuleFat16TooFewClusters:
    case RuleFat16TooManyClusters:
    case RuleFat32RootEntries:
    case RuleFat32FewClusters:
    case RuleRootCluster:
    case RuleMftZero:
    case RuleMftMirrSame:
    case RuleMftOutside:
    case RuleNtfsRecordCode: return true;
    default: return false;
    }
}

// The rules about an image volume's place in its table; any other rule
// without a row says only that the value breaks a rule.
UINT PlaceText(std::uint8_t rule)
{
    switch (rule) {
    case RuleHiddenFromEbr: return IDS_RULE_HIDDEN_FROM_EBR;
    case RuleTotalLength: return IDS_RULE_TOTAL_LENGTH;
    default: return IDS_RULE_OTHER;
    }
}

// 「label」為 value：what the rule asks. A rule without a row says only that
// the value breaks a rule.
void AddRule(const Finding& f, std::uint8_t kind)
{
    wchar_t name[ValueSize * 2];
    LoadFieldName(kind, f.offset, name);
    if (f.rule < RuleJump || f.rule > RuleMediaNotFat) {
        MessageAddText(IDS_CHECK_SUBJECT, {Wide(name), Decimal(f.value)});
        MessageAddText(PlaceText(f.rule), {Decimal(f.limit)});
        return;
    }
    const RuleRow& row = RuleRows[f.rule - RuleJump];
    wchar_t value[ValueSize] = {};
    switch (row.show) {
    case ShowBytes2: PutBytes(f.value, 2, value); break;
    case ShowBytes3: PutBytes(f.value, 3, value); break;
    case ShowText8: PutText8(f.value, value); break;
    case ShowKind: LoadText(row.kind, value, ValueSize); break;
    default: break;
    }
    if (row.show == ShowHexByte)
        MessageAddText(IDS_CHECK_SUBJECT_HEX, {Wide(name), Hex(static_cast<DWORD>(f.value), 2)});
    else if (row.show == ShowDecimal)
        MessageAddText(IDS_CHECK_SUBJECT, {Wide(name), Decimal(f.value)});
    else
        MessageAddText(IDS_CHECK_SUBJECT, {Wide(name), Wide(value)});
    Fill fills[3] = {};
    for (int i = 0; i < 3; ++i)
        fills[i] = row.fills[i] == FillValue      ? Decimal(f.value)
                   : row.fills[i] == FillLimit    ? Decimal(f.limit)
                   : row.fills[i] == FillLimitHex ? Hex(static_cast<DWORD>(f.limit), 2)
                                                  : Wide(value); // the kind's name
    UINT text = row.text;
    if (f.rule == RuleSectorsPerCluster && kind == FsKindNtfs)
        text = IDS_RULE_SECTORS_PER_CLUSTER_NTFS;
    if (f.rule == RuleRootCluster && f.limit == 0)
        text = IDS_RULE_ROOT_CLUSTER_UNKNOWN;
    MessageAddText(text, {fills[0], fills[1], fills[2]});
    if (PointsToRebuild(f.rule))
        MessageAddText(IDS_CHECK_REBUILD);
}

// 「label」：now → proposed, one line each, and the question whether to put
// them into the form.
void AddCorrections(const Correction* corrections, int count, std::uint8_t kind)
{
    MessageAddText(IDS_CHECK_KNOWN);
    for (int i = 0; i < count; ++i) {
        const Correction& c = corrections[i];
        wchar_t name[ValueSize * 2];
        LoadFieldName(kind, c.offset, name);
        if (c.offset == BPB_Media)
            MessageAddText(IDS_CHECK_CORRECTION_HEX, {Wide(name), Hex(static_cast<DWORD>(c.now), 2),
                                                      Hex(static_cast<DWORD>(c.proposed), 2)});
        else
            MessageAddText(IDS_CHECK_CORRECTION, {Wide(name), Decimal(c.now), Decimal(c.proposed)});
    }
    MessageAddText(IDS_CHECK_ASK_CORRECT);
}

// 「備份啟動磁區」（磁區 6）與啟動磁區在位移 3–10、67–70 不同。 The runs are
// findings[0] to findings[count - 1].
void AddBackupLine(const Finding* findings, int count)
{
    if (findings[0].rule == RuleBackupUnreadable) {
        MessageAddText(IDS_BACKUP_LINE_UNREADABLE, {Decimal(findings[0].limit)});
        return;
    }
    MessageAddText(IDS_BACKUP_LINE_RUNS, {Decimal(findings[0].limit)});
    for (int i = 0; i < count && i < MaxBackupRuns; ++i) {
        if (i > 0)
            MessageAddText(IDS_BACKUP_LINE_SEPARATOR);
        MessageAddDecimal(findings[i].offset);
        if (findings[i].value != findings[i].offset)
            MessageAddText(IDS_BACKUP_LINE_RUN_END, {Decimal(findings[i].value)});
    }
    if (count > MaxBackupRuns)
        MessageAddText(IDS_BACKUP_LINE_MORE);
    MessageAddText(IDS_BACKUP_LINE_END);
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
    MessageAddText(IDS_CHECK_NOTE, {Decimal(f.value)});
}

// Sector 0 and the backup are read here. The check reads a drive only on the
// NT family, whose transfers go through disk/volume's own aligned buffer.
std::uint8_t DriveCopy[SectorSize];

std::uint8_t* Spare()
{
    return DriveCopy;
}

// A logical partition's count from its EBR ends the line of its hidden sectors.
bool IsLineEnd(std::uint8_t rule)
{
    return rule == RuleHiddenEbrCount;
}

// The drive's partition start in its own sectors. Sector 0 is read first, as
// before every question to a drive; false when a request fails.
bool PartitionStart(Volume drive, std::uint64_t* sector)
{
    std::uint64_t start = 0;
    std::uint64_t length = 0;
    if (!ReadDriveSector(drive, 0, Spare()) || !DrivePartition(drive, &start, &length))
        return false;
    const DWORD size = DriveSectorSize(drive);
    if (size == 0 || (size & (size - 1)) != 0)
        return false;
    unsigned shift = 0; // the size is a power of two: bytes to sectors is a shift
    while ((size >> shift) > 1)
        ++shift;
    *sector = start >> shift;
    return true;
}

// What the check learns of the drive for the findings and corrections against
// it: the partition's start (from PartitionStart alone), the volume's length
// and, on a FAT volume, the first bytes of its first FAT.
VolumeFacts LearnVolume(Volume drive, std::uint8_t kind)
{
    VolumeFacts facts = {};
    facts.startKnown = PartitionStart(drive, &facts.start);
    const DWORD size = DriveSectorSize(drive);
    std::uint64_t sectors = 0;
    if (size != 0 && DriveLength(drive, &sectors))
        facts.bytes = sectors * size;
    std::uint64_t fat = 0;
    if (kind != FsKindNtfs && FirstFatOnVolume(SectorBuffer, size, &fat) &&
        ReadDriveSector(drive, fat, Spare())) {
        facts.fatRead = true;
        facts.fatStart = LoadU32(Spare(), 0);
    }
    return facts;
}

// The findings about the drive the record was read from: the hidden sectors
// against the partition start and, where the record names a backup, the
// backup against the record.
int CheckAgainstDrive(Volume drive, std::uint8_t kind, const VolumeFacts& facts, Finding* out,
                      int capacity)
{
    std::uint64_t start = 0, length = 0, ebr = 0;
    const bool inTable = VolumeTablePlace(drive, &start, &length, &ebr);
    int count =
        inTable ? CheckPartitionPlace(SectorBuffer, kind, start, length,
                                      ebr == NoEbrSector ? NotLogical : ebr, out, capacity)
                : CheckPartitionStart(SectorBuffer, facts.startKnown, facts.start, out, capacity);
    // An image volume's total is already held to its partition's length.
    Finding known[2];
    const int more = CheckVolumeFacts(SectorBuffer, kind, facts, known, 2);
    for (int i = 0; i < more && count < capacity; ++i)
        if (!inTable || known[i].rule != RuleTotalTooLarge)
            out[count++] = known[i];
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
        if (!IsNote(findings[i].rule) && !IsLineEnd(findings[i].rule) &&
            (findings[i].rule != RuleBackupDiffers || i == 0 ||
             findings[i - 1].rule != RuleBackupDiffers))
            ++lines;
    return lines;
}

} // namespace

const wchar_t* CheckMessage(const Finding* findings, int count, std::uint8_t kind,
                            const Correction* corrections, int correctionCount)
{
    MessageBegin();
    MessageAddText(LinesFrom(findings, count) != 0 ? IDS_CHECK_FOUND : IDS_CHECK_NONE);
    unsigned line = 0;
    for (int i = 0; i < count;) {
        if (IsNote(findings[i].rule)) {
            ++i;
            continue;
        }
        if (MessageLength() > MessageRoom - LineRoom) {
            MessageAddText(IDS_CHECK_MORE, {Decimal(LinesFrom(findings + i, count - i))});
            break;
        }
        MessageAddText(IDS_CHECK_LINE, {Decimal(++line)});
        if (IsBackupRule(findings[i].rule)) {
            int runs = 1;
            while (i + runs < count && findings[i + runs].rule == RuleBackupDiffers)
                ++runs;
            AddBackupLine(findings + i, runs);
            i += runs;
            continue;
        }
        AddRule(findings[i], kind);
        ++i;
        if (i < count && IsLineEnd(findings[i].rule))
            MessageAddText(IDS_RULE_HIDDEN_LOGICAL, {Decimal(findings[i++].limit)});
    }
    for (int i = 0; i < count; ++i)
        if (IsNote(findings[i].rule))
            AddNote(findings[i]);
    if (correctionCount > 0)
        AddCorrections(corrections, correctionCount, kind);
    return MessageText();
}

void CheckBootSector()
{
    FormToRecord();
    const std::uint8_t kind = FsKind == FsKindNone ? FsKindGeneric : FsKind;
    static Finding findings[MaxFindings];
    int count = CheckBootRecord(SectorBuffer, kind, findings, MaxFindings);
    VolumeFacts facts = {};
    if (RecordDrive != NoVolume && VolumeCheckable(RecordDrive)) {
        facts = LearnVolume(RecordDrive, kind);
        count += CheckAgainstDrive(RecordDrive, kind, facts, findings + count, MaxFindings - count);
    }
    Correction corrections[MaxCorrections];
    const int proposed = ProposeCorrections(SectorBuffer, kind, facts, corrections, MaxCorrections);
    const bool found = LinesFrom(findings, count) != 0;
    CheckMessage(findings, count, kind, corrections, proposed);
    if (proposed == 0) {
        MessageShow(found ? MB_ICONWARNING | MB_OK : MB_ICONINFORMATION | MB_OK);
        return;
    }
    // Only the record and the form change: Write to disk writes them, if asked.
    if (MessageShow(MB_ICONWARNING | MB_YESNO | MB_DEFBUTTON2) != IDYES)
        return;
    ApplyCorrections(SectorBuffer, kind, corrections, proposed);
    RecordToForm();
}
