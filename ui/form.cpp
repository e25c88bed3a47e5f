#include "form.h"

#include "app.h"
#include "media.h"
#include "text.h"
#include "core/layout.h"
#include "core/record.h"
#include "resources/resource.h"

#include <cstdint>
#include <cstdio>

namespace {

// How a box is bound to its field.
enum : std::uint8_t {
    U8 = 1,
    U16 = 2,
    U32 = 4,
    U64 = 8,          // shown and stored whole, through a text of its own
    TotalSectors = 0, // FAT: BPB_TotSec16 or BPB_TotSec32, by the total-sectors rule
};

// Flags: fields of the FAT12/FAT16 layout that the generic kind leaves alone.
enum : std::uint8_t {
    Always = 0,
    NotCapturedGeneric = 1, // shown, but edits are not written back
    NotShownGeneric = 2,    // neither shown nor written back
};

struct Binding {
    int box;
    std::size_t offset;
    std::uint8_t width;
    std::uint8_t generic;
};

// Each kind's boxes, in the order the capture reads them.
constexpr Binding FatBinding[] = {
    {IDC_BYTES_PER_SECTOR, BPB_BytsPerSec, U16, Always},
    {IDC_SECTORS_PER_CLUSTER, BPB_SecPerClus, U8, Always},
    {IDC_RESERVED_SECTORS, BPB_RsvdSecCnt, U16, Always},
    {IDC_SECTORS_PER_TRACK, BPB_SecPerTrk, U16, Always},
    {IDC_HEADS, BPB_NumHeads, U16, Always},
    {IDC_TOTAL_SECTORS, BPB_TotSec16, TotalSectors, Always},
    {IDC_RIGHT_ROW6, fat16::BS_DrvNum, U8, NotCapturedGeneric},
    {IDC_RIGHT_ROW7, fat16::BS_BootSig, U8, NotCapturedGeneric},
    {IDC_SERIAL, fat16::BS_VolID, U32, NotCapturedGeneric | NotShownGeneric},
    {IDC_RIGHT_ROW2, BPB_FATSz16, U16, Always},
    {IDC_RIGHT_ROW3, BPB_NumFATs, U8, Always},
    {IDC_HIDDEN_SECTORS, BPB_HiddSec, U32, Always},
    {IDC_RIGHT_ROW5, BPB_RootEntCnt, U16, Always},
};

constexpr Binding Fat32Binding[] = {
    {IDC_BYTES_PER_SECTOR, BPB_BytsPerSec, U16, Always},
    {IDC_SECTORS_PER_CLUSTER, BPB_SecPerClus, U8, Always},
    {IDC_RESERVED_SECTORS, BPB_RsvdSecCnt, U16, Always},
    {IDC_SECTORS_PER_TRACK, BPB_SecPerTrk, U16, Always},
    {IDC_HEADS, BPB_NumHeads, U16, Always},
    {IDC_TOTAL_SECTORS, BPB_TotSec32, U32, Always},
    {IDC_SERIAL, fat32::BS_VolID, U32, Always},
    {IDC_RIGHT_ROW2, fat32::BPB_FATSz32, U32, Always},
    {IDC_RIGHT_ROW3, BPB_NumFATs, U8, Always},
    {IDC_HIDDEN_SECTORS, BPB_HiddSec, U32, Always},
    {IDC_RIGHT_ROW5, BPB_RootEntCnt, U16, Always},
    {IDC_RIGHT_ROW6, fat32::BPB_FSInfo, U16, Always},
    {IDC_RIGHT_ROW7, fat32::BS_BootSig, U8, Always},
};

constexpr Binding NtfsBinding[] = {
    {IDC_BYTES_PER_SECTOR, BPB_BytsPerSec, U16, Always},
    {IDC_SECTORS_PER_CLUSTER, BPB_SecPerClus, U8, Always},
    {IDC_RESERVED_SECTORS, BPB_RsvdSecCnt, U16, Always},
    {IDC_SECTORS_PER_TRACK, BPB_SecPerTrk, U16, Always},
    {IDC_HEADS, BPB_NumHeads, U16, Always},
    {IDC_TOTAL_SECTORS, ntfs::NtfsTotalSectors, U64, Always},
    {IDC_SERIAL, ntfs::NtfsVolumeSerial, U64, Always},
    {IDC_RIGHT_ROW2, ntfs::MftCluster, U64, Always},
    {IDC_RIGHT_ROW3, ntfs::MftMirrCluster, U64, Always},
    {IDC_HIDDEN_SECTORS, BPB_HiddSec, U32, Always},
    {IDC_RIGHT_ROW5, ntfs::ClustersPerIndexBlock, U32, Always},
    {IDC_RIGHT_ROW6, ntfs::ClustersPerFileRecord, U32, Always},
    {IDC_RIGHT_ROW7, ntfs::NtfsChecksum, U32, Always},
};

constexpr int BindingCount = 13;
static_assert(sizeof(FatBinding) / sizeof(Binding) == BindingCount, "13 boxes");
static_assert(sizeof(Fat32Binding) / sizeof(Binding) == BindingCount, "13 boxes");
static_assert(sizeof(NtfsBinding) / sizeof(Binding) == BindingCount, "13 boxes");

// The labels that change with the kind, top to bottom in the right column.
constexpr int KindLabelCount = 6;
constexpr int KindLabels[KindLabelCount] = {IDC_LBL_RIGHT_ROW2,     IDC_LBL_RIGHT_ROW3,
                                            IDC_LBL_HIDDEN_SECTORS, IDC_LBL_RIGHT_ROW5,
                                            IDC_LBL_RIGHT_ROW6,     IDC_LBL_RIGHT_ROW7};
constexpr std::uint16_t FatLabels[KindLabelCount] = {IDS_LBL_FAT_SECTORS,    IDS_LBL_FAT_COUNT,
                                                     IDS_LBL_HIDDEN_SECTORS, IDS_LBL_ROOT_ENTRIES,
                                                     IDS_LBL_DRIVE_NUMBER,   IDS_LBL_SIGNATURE};
constexpr std::uint16_t Fat32Labels[KindLabelCount] = {IDS_LBL_FAT_SECTORS,    IDS_LBL_FAT_COUNT,
                                                       IDS_LBL_HIDDEN_SECTORS, IDS_LBL_ROOT_ENTRIES,
                                                       IDS_LBL_FS_INFO,        IDS_LBL_SIGNATURE};
constexpr std::uint16_t NtfsLabels[KindLabelCount] = {
    IDS_LBL_MFT,         IDS_LBL_MFT_MIRROR, IDS_LBL_HIDDEN_SECTORS,
    IDS_LBL_INDEX_BLOCK, IDS_LBL_SEGMENT,    IDS_LBL_CHECKSUM};

// The boxes beside those labels, in the same order.
constexpr int KindLabelBoxes[KindLabelCount] = {IDC_RIGHT_ROW2, IDC_RIGHT_ROW3, IDC_HIDDEN_SECTORS,
                                                IDC_RIGHT_ROW5, IDC_RIGHT_ROW6, IDC_RIGHT_ROW7};

// The labels that never change, as the dialog resource gives them.
struct FixedLabel {
    int box;
    std::uint16_t text;
};
constexpr FixedLabel FixedLabels[] = {
    {IDC_BYTES_PER_SECTOR, IDS_LBL_BYTES_PER_SECTOR},
    {IDC_SECTORS_PER_CLUSTER, IDS_LBL_SECTORS_PER_CLUSTER},
    {IDC_RESERVED_SECTORS, IDS_LBL_RESERVED_SECTORS},
    {IDC_MEDIA, IDS_LBL_MEDIA},
    {IDC_SECTORS_PER_TRACK, IDS_LBL_SECTORS_PER_TRACK},
    {IDC_HEADS, IDS_LBL_HEADS},
    {IDC_TOTAL_SECTORS, IDS_LBL_TOTAL_SECTORS},
    {IDC_SERIAL, IDS_LBL_SERIAL},
};

// Where the size text takes the volume's sector count from.
enum SizeRule : std::uint8_t {
    FatSize,   // KB from BPB_TotSec16 when it is not 0, else MB from BPB_TotSec32
    Fat32Size, // MB from BPB_TotSec32
    NtfsSize,  // MB from the 64-bit total
};

// Everything the form does differently for a kind.
struct KindView {
    const char* name; // nullptr: named FAT12 or FAT16 by its cluster count
    const Binding* binding;
    const std::uint16_t* labels; // texts of the table
    SizeRule size;
    bool generic; // skips the boxes flagged NotShownGeneric and NotCapturedGeneric
};

// By FsKind, from FsKindFat12 to FsKindGeneric.
constexpr KindView KindViews[] = {
    {"FAT12", FatBinding, FatLabels, FatSize, false},
    {"FAT16", FatBinding, FatLabels, FatSize, false},
    {"NTFS", NtfsBinding, NtfsLabels, NtfsSize, false},
    {"FAT32", Fat32Binding, Fat32Labels, Fat32Size, false},
    {nullptr, FatBinding, FatLabels, FatSize, true},
};
static_assert(sizeof(KindViews) / sizeof(KindView) == FsKindGeneric - FsKindFat12 + 1,
              "one view for each kind from 1 to 5");
static_assert(KindViews[FsKindNtfs - FsKindFat12].size == NtfsSize &&
                  KindViews[FsKindFat32 - FsKindFat12].size == Fat32Size &&
                  KindViews[FsKindGeneric - FsKindFat12].generic,
              "the views are in FsKind order");

// The view of a kind from 1 to 5; any other kind, which only a capture before
// any display meets, gets the FAT view with its extended fields.
const KindView& ViewOf(std::uint8_t kind)
{
    if (kind < FsKindFat12 || kind > FsKindGeneric)
        kind = FsKindFat12;
    return KindViews[kind - FsKindFat12];
}

// A FAT total below this is held in BPB_TotSec16, from it on in BPB_TotSec32.
constexpr std::uint32_t SmallTotalLimit = 0xFFFF;

// A FAT volume with more clusters than this is FAT16.
constexpr std::uint32_t Fat12MaxClusters = 4085;

// The size text's units, as factors from bytes.
constexpr double KilobytesPerByte = 1.0 / 1024;          // 0.0009765625
constexpr double MegabytesPerByte = 1.0 / (1024 * 1024); // 9.5367431640625e-07

// The form's number boxes run from IDC_BYTES_PER_SECTOR to IDC_RIGHT_ROW7.
constexpr int FirstBox = IDC_BYTES_PER_SECTOR;
constexpr int BoxSlots = IDC_RIGHT_ROW7 - IDC_BYTES_PER_SECTOR + 1;

constexpr bool BoxesHaveSlots(const Binding (&binding)[BindingCount])
{
    for (const Binding& b : binding)
        if (b.box < FirstBox || b.box - FirstBox >= BoxSlots)
            return false;
    return true;
}
static_assert(BoxesHaveSlots(FatBinding) && BoxesHaveSlots(Fat32Binding) &&
                  BoxesHaveSlots(NtfsBinding),
              "every bound box has a slot for its shown text");

// What the last display put in each box, by box ID from FirstBox on. A capture
// stores a box's field only when the box now holds another text, so a record
// shown and captured without edits keeps every byte.
char ShownText[BoxSlots][NumberTextSize];

// A box's text is read up to this size: enough to tell it from any shown text
// and to hold any number a 64-bit field takes, with room for leading spaces.
// Of a longer text the first 31 characters are read.
constexpr int TypedTextSize = 32;

} // namespace

// The long division by 10 runs over four 16-bit pieces in 32-bit arithmetic.
void FormatNumber(std::uint64_t value, char (&text)[NumberTextSize])
{
    std::uint32_t pieces[4] = {}; // most significant first
    for (int i = 0; i < 4; ++i)
        pieces[i] = static_cast<std::uint32_t>(value >> (48 - 16 * i)) & 0xFFFF;
    char reversed[NumberTextSize];
    std::size_t count = 0;
    bool more = true;
    while (more) {
        std::uint32_t rest = 0;
        more = false;
        for (std::uint32_t& piece : pieces) {
            const std::uint32_t part = (rest << 16) | piece;
            piece = part / 10;
            rest = part % 10;
            more = more || piece != 0;
        }
        reversed[count++] = static_cast<char>('0' + rest);
    }
    for (std::size_t i = 0; i < count; ++i)
        text[i] = reversed[count - 1 - i];
    text[count] = '\0';
}

namespace {

// Whether two NUL-terminated texts are the same, byte for byte.
bool SameText(const char* a, const char* b)
{
    while (*a != '\0' && *a == *b)
        ++a, ++b;
    return *a == *b;
}

// Reads a 64-bit box by GetDlgItemInt's rules for a 32-bit one: leading spaces
// are skipped, then decimal digits are read up to the end or the first other
// character. A text that does not start with a digit, or a number above
// 2^64 - 1, gives 0.
std::uint64_t ParseNumber(const char* text)
{
    constexpr std::uint64_t Tenth = UINT64_MAX / 10; // the largest value that may take a digit
    constexpr unsigned LastDigit = UINT64_MAX % 10;  // the largest digit it may take
    while (*text == ' ')
        ++text;
    if (*text < '0' || *text > '9')
        return 0;
    std::uint64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        const unsigned digit = static_cast<unsigned>(*text - '0');
        if (value > Tenth || (value == Tenth && digit > LastDigit))
            return 0;
        value = value * 10 + digit;
    }
    return value;
}

// The FAT total: BPB_TotSec16 when it is not 0, else BPB_TotSec32.
std::uint32_t FatTotalSectors()
{
    const std::uint16_t small = LoadU16(SectorBuffer, BPB_TotSec16);
    return small != 0 ? small : LoadU32(SectorBuffer, BPB_TotSec32);
}

std::uint64_t LoadField(const Binding& b)
{
    switch (b.width) {
    case U8: return LoadU8(SectorBuffer, b.offset);
    case U16: return LoadU16(SectorBuffer, b.offset);
    case U64: return LoadU64(SectorBuffer, b.offset);
    case TotalSectors: return FatTotalSectors();
    default: return LoadU32(SectorBuffer, b.offset);
    }
}

// Each store keeps the field's width of low-order bytes of the value.
void StoreField(const Binding& b, std::uint64_t value)
{
    const auto low = static_cast<std::uint32_t>(value);
    switch (b.width) {
    case U8: StoreU8(SectorBuffer, b.offset, low); break;
    case U16: StoreU16(SectorBuffer, b.offset, low); break;
    case U32: StoreU32(SectorBuffer, b.offset, low); break;
    case U64: StoreU64(SectorBuffer, b.offset, value); break;
    case TotalSectors:
        StoreU16(SectorBuffer, BPB_TotSec16, low < SmallTotalLimit ? low : 0);
        StoreU32(SectorBuffer, BPB_TotSec32, low < SmallTotalLimit ? 0 : low);
        break;
    }
}

// Shows a field in its box and remembers the text. A 32-bit field goes through
// SetDlgItemInt, a 64-bit one through the text made here.
void ShowField(const Binding& b)
{
    char(&shown)[NumberTextSize] = ShownText[b.box - FirstBox];
    const std::uint64_t value = LoadField(b);
    FormatNumber(value, shown);
    if (b.width == U64)
        SetDlgItemTextA(MainDialog, b.box, shown);
    else
        SetDlgItemInt(MainDialog, b.box, static_cast<UINT>(value), FALSE);
}

// Stores a box's field when its text differs from the one last shown there. An
// edited 32-bit box is read by GetDlgItemInt, a 64-bit one by ParseNumber: text
// that is no number gives 0, a value too wide for its field keeps its low bytes.
// Before any display (FsKind 0) nothing has been shown: the boxes start empty,
// so only a box the user typed into is stored.
void CaptureField(const Binding& b)
{
    char typed[TypedTextSize];
    GetDlgItemTextA(MainDialog, b.box, typed, TypedTextSize);
    const char* shown = FsKind == FsKindNone ? "" : ShownText[b.box - FirstBox];
    if (SameText(typed, shown))
        return;
    StoreField(b, b.width == U64 ? ParseNumber(typed)
                                 : GetDlgItemInt(MainDialog, b.box, nullptr, FALSE));
}

void SetSizeText(double bytes, bool inKilobytes)
{
    char text[64];
    if (inKilobytes)
        std::sprintf(text, "%0.2f KB", bytes * KilobytesPerByte);
    else
        std::sprintf(text, "%0.2f MB", bytes * MegabytesPerByte);
    SetDlgItemTextA(MainDialog, IDC_SIZE_TEXT, text);
}

double BytesPerSector()
{
    return LoadU16(SectorBuffer, BPB_BytsPerSec);
}

// The generic kind is named by its cluster count, counted over the whole volume.
// A record with 0 sectors per cluster is counted as 1 sector per cluster.
const char* GenericKindText()
{
    const std::uint32_t perCluster = LoadU8(SectorBuffer, BPB_SecPerClus);
    const std::uint32_t clusters = FatTotalSectors() / (perCluster != 0 ? perCluster : 1);
    return clusters > Fat12MaxClusters ? "FAT16" : "FAT12";
}

void ShowLabels(const std::uint16_t* texts)
{
    for (int i = 0; i < KindLabelCount; ++i) {
        wchar_t text[32];
        LoadText(texts[i], text, 32);
        SetControlText(MainDialog, KindLabels[i], text);
    }
}

void ShowSize(SizeRule rule)
{
    switch (rule) {
    case FatSize:
        SetSizeText(FatTotalSectors() * BytesPerSector(), LoadU16(SectorBuffer, BPB_TotSec16) != 0);
        break;
    case Fat32Size:
        SetSizeText(LoadU32(SectorBuffer, BPB_TotSec32) * BytesPerSector(), false);
        break;
    case NtfsSize: {
        const auto total = static_cast<std::int64_t>(LoadU64(SectorBuffer, ntfs::NtfsTotalSectors));
        SetSizeText(static_cast<double>(total) * BytesPerSector(), false);
        break;
    }
    }
}

} // namespace

void RecordToForm()
{
    FillMediaList();
    if (FsKind < FsKindFat12 || FsKind > FsKindFat32)
        FsKind = FsKindGeneric;
    const KindView& view = ViewOf(FsKind);

    SetDlgItemTextA(MainDialog, IDC_KIND, view.name != nullptr ? view.name : GenericKindText());
    for (int i = 0; i < BindingCount; ++i) {
        const Binding& b = view.binding[i];
        if (view.generic && (b.generic & NotShownGeneric)) {
            ShownText[b.box - FirstBox][0] = '\0';
            SetDlgItemTextA(MainDialog, b.box, ""); // no stale serial of an earlier record
        } else {
            ShowField(b);
        }
    }
    SelectMediaItem(LoadU8(SectorBuffer, BPB_Media));
    ShowLabels(view.labels);
    ShowSize(view.size);
}

void FormToRecord()
{
    const bool mediaChosen = MediaChosenSinceDisplay();
    const std::uint8_t media = MediaByteFromList();
    const KindView& view = ViewOf(FsKind);
    for (int i = 0; i < BindingCount; ++i) {
        const Binding& b = view.binding[i];
        if (view.generic && (b.generic & NotCapturedGeneric))
            continue;
        CaptureField(b);
    }
    if (mediaChosen)
        StoreU8(SectorBuffer, BPB_Media, media);
}

unsigned FieldLabel(std::uint8_t kind, std::size_t offset)
{
    const KindView& view = ViewOf(kind == FsKindNone ? FsKindGeneric : kind);
    int box = offset == BPB_Media ? IDC_MEDIA : 0;
    for (int i = 0; i < BindingCount && box == 0; ++i) {
        const Binding& b = view.binding[i];
        const bool total = b.width == TotalSectors && offset == BPB_TotSec32;
        if ((b.offset == offset || total) && !(view.generic && (b.generic & NotShownGeneric)))
            box = b.box;
    }
    for (int i = 0; i < KindLabelCount; ++i)
        if (KindLabelBoxes[i] == box)
            return view.labels[i];
    for (const FixedLabel& label : FixedLabels)
        if (label.box == box)
            return label.text;
    return 0;
}
