// The form's binding of boxes to record fields, for every kind, checked against
// the layout tables as documented, and the texts the display writes.
#include "ui_fixture.h"
#include "ui/form.h"
#include "ui/media.h"

#include <cstdint>
#include <vector>

namespace {

struct Field {
    int box;
    std::size_t offset;
    int width; // bytes; 8 = a u64 shown by and stored as its low 32 bits
};

// As documented for each kind, in capture order (the FAT total is tested apart).
const std::vector<Field> FatFields = {
    {1036, 11, 2}, {1037, 13, 1}, {1038, 14, 2}, {1040, 24, 2}, {1041, 26, 2}, {1062, 36, 1},
    {1064, 38, 1}, {1043, 39, 4}, {1044, 22, 2}, {1045, 16, 1}, {1046, 28, 4}, {1047, 17, 2},
};
const std::vector<Field> Fat32Fields = {
    {1036, 11, 2}, {1037, 13, 1}, {1038, 14, 2}, {1040, 24, 2}, {1041, 26, 2},
    {1042, 32, 4}, {1043, 67, 4}, {1044, 36, 4}, {1045, 16, 1}, {1046, 28, 4},
    {1047, 17, 2}, {1062, 48, 2}, {1064, 66, 1},
};
const std::vector<Field> NtfsFields = {
    {1036, 11, 2}, {1037, 13, 1}, {1038, 14, 2}, {1040, 24, 2}, {1041, 26, 2},
    {1042, 40, 8}, {1043, 72, 8}, {1044, 48, 8}, {1045, 56, 8}, {1046, 28, 4},
    {1047, 68, 4}, {1062, 64, 4}, {1064, 80, 4},
};

std::uint64_t Le(const Record& r, std::size_t off, int width)
{
    std::uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i)
        v = (v << 8) | r[off + static_cast<std::size_t>(i)];
    return v;
}

Record Pattern()
{
    Record r{};
    for (std::size_t i = 0; i < r.size(); ++i)
        r[i] = static_cast<std::uint8_t>(i * 37 + 11);
    return r;
}

struct KindCase {
    const char* name;
    std::uint8_t kind;
    const std::vector<Field>* fields;
};

const KindCase Kinds[] = {
    {"FAT12", FsKindFat12, &FatFields},
    {"FAT16", FsKindFat16, &FatFields},
    {"FAT32", FsKindFat32, &Fat32Fields},
    {"NTFS", FsKindNtfs, &NtfsFields},
};

using Form = MainWindow;

TEST_F(Form, DisplayShowsEachBoxFromItsFieldAtItsWidth)
{
    for (const auto& k : Kinds) {
        const Record r = Pattern();
        Load(r);
        FsKind = k.kind;
        RecordToForm();
        EXPECT_EQ(Bytes(), r) << k.name << ": the display wrote the record";
        EXPECT_EQ(FsKind, k.kind);
        for (const auto& f : *k.fields) {
            const std::uint64_t shown = Le(r, f.offset, f.width == 8 ? 4 : f.width);
            EXPECT_EQ(Box(f.box), std::to_string(shown)) << k.name << " box " << f.box;
        }
    }
}

TEST_F(Form, CaptureStoresEachBoxIntoItsFieldAtItsWidthAndNothingElse)
{
    for (const auto& k : Kinds) {
        const Record before = Pattern();
        Load(before);
        FsKind = k.kind;
        RecordToForm();
        Type(1042, "1"); // keeps the FAT total rule out of this test
        for (const auto& f : *k.fields)
            Type(f.box, std::to_string(0xA1B2C3D4u + static_cast<unsigned>(f.box)));
        FormToRecord();

        Record expected = before;
        for (const auto& f : *k.fields) {
            const std::uint64_t v = 0xA1B2C3D4u + static_cast<unsigned>(f.box);
            for (int i = 0; i < f.width; ++i)
                expected[f.offset + static_cast<std::size_t>(i)] =
                    i < 4 ? static_cast<std::uint8_t>(v >> (8 * i)) : 0;
        }
        if (k.fields == &FatFields) { // box 1042 = 1: BPB_TotSec16 = 1, BPB_TotSec32 = 0
            expected[19] = 1, expected[20] = 0;
            for (std::size_t i = 32; i < 36; ++i)
                expected[i] = 0;
        }
        EXPECT_EQ(Bytes(), expected) << k.name << Differences(expected, Bytes());
    }
}

struct TotalCase {
    const char* typed;
    std::uint16_t tot16;
    std::uint32_t tot32;
};

TEST_F(Form, FatTotalSectorsRule)
{
    const TotalCase cases[] = {
        {"65534", 65534, 0}, {"65535", 0, 65535}, {"0", 0, 0}, {"", 0, 0},
        {"100000", 0, 100000}, {"4294967295", 0, 0xFFFFFFFFu}, {"4294967296", 0, 0},
    };
    for (std::uint8_t kind : {FsKindFat16, FsKindGeneric}) {
        for (const auto& c : cases) {
            CreateBootSector(FsKindFat16);
            StoreU16(SectorBuffer, 19, 2880);
            StoreU32(SectorBuffer, 32, 77777);
            FsKind = kind;
            RecordToForm();
            Type(1042, c.typed);
            FormToRecord();
            EXPECT_EQ(LoadU16(SectorBuffer, 19), c.tot16) << "typed '" << c.typed << "'";
            EXPECT_EQ(LoadU32(SectorBuffer, 32), c.tot32) << "typed '" << c.typed << "'";
        }
    }
}

TEST_F(Form, ValuesTooWideForTheFieldKeepTheirLowBytes)
{
    CreateBootSector(FsKindFat16);
    RecordToForm();
    Type(1037, "300");
    Type(1036, std::to_string(65536 + 512));
    FormToRecord();
    EXPECT_EQ(LoadU8(SectorBuffer, 13), 44);
    EXPECT_EQ(LoadU16(SectorBuffer, 11), 512);
    EXPECT_EQ(Box(1037), "300") << "the capture does not redraw the form";
}

TEST_F(Form, ByteFieldsOfAllOnesShowAs255)
{
    CreateBootSector(FsKindFat16);
    StoreU8(SectorBuffer, 38, 0xFF);
    StoreU8(SectorBuffer, 13, 0xFF);
    StoreU32(SectorBuffer, 39, 0xFFFFFFFFu);
    RecordToForm();
    EXPECT_EQ(Box(1064), "255");
    EXPECT_EQ(Box(1037), "255");
    EXPECT_EQ(Box(1043), "4294967295");
}

struct SizeCase {
    int line;
    std::uint8_t kind;
    std::uint16_t bytesPerSector;
    std::uint16_t tot16;
    std::uint64_t tot32or64;
    const char* box1042;
    const char* size;
};

TEST_F(Form, SizeTexts)
{
    const SizeCase cases[] = {
        {__LINE__, FsKindFat12, 512, 2880, 0, "2880", "1440.00 KB"},
        {__LINE__, FsKindFat16, 512, 0, 1000000, "1000000", "488.28 MB"},
        {__LINE__, FsKindFat16, 4096, 100, 0, "100", "400.00 KB"},
        {__LINE__, FsKindFat16, 512, 0, 0, "0", "0.00 MB"},
        {__LINE__, FsKindNtfs, 512, 0, (1ull << 32) + 5, "5", "2097152.00 MB"},
        {__LINE__, FsKindNtfs, 512, 0, 131072, "131072", "64.00 MB"},
        {__LINE__, FsKindFat32, 512, 0, 2097152, "2097152", "1024.00 MB"},
        {__LINE__, FsKindGeneric, 512, 0, 409600, "409600", "200.00 MB"},
    };
    for (const auto& c : cases) {
        std::memset(SectorBuffer, 0, 512);
        StoreU16(SectorBuffer, 11, c.bytesPerSector);
        StoreU16(SectorBuffer, 19, c.tot16);
        StoreU8(SectorBuffer, 13, 8);
        if (c.kind == FsKindNtfs)
            StoreU64(SectorBuffer, 40, c.tot32or64);
        else
            StoreU32(SectorBuffer, 32, static_cast<std::uint32_t>(c.tot32or64));
        FsKind = c.kind;
        RecordToForm();
        EXPECT_EQ(Box(1042), c.box1042) << "case at line " << c.line;
        EXPECT_EQ(Box(1070), c.size) << "case at line " << c.line;
    }
}

struct GenericCase {
    int line;
    std::uint8_t perCluster;
    std::uint16_t tot16;
    std::uint32_t tot32;
    const char* kindText;
};

TEST_F(Form, GenericKindIsNamedByItsClusterCount)
{
    const GenericCase cases[] = {
        {__LINE__, 1, 4085, 0, "FAT12"},
        {__LINE__, 1, 4086, 0, "FAT16"},
        {__LINE__, 4, 0, 4 * 4085 + 3, "FAT12"},
        {__LINE__, 4, 0, 4 * 4085 + 4, "FAT16"},
        {__LINE__, 0, 4085, 0, "FAT12"}, // 0 per cluster counts as 1
        {__LINE__, 0, 4086, 0, "FAT16"},
        {__LINE__, 0, 0, 0, "FAT12"},
    };
    for (const auto& c : cases) {
        std::memset(SectorBuffer, 0, 512);
        StoreU16(SectorBuffer, 11, 512);
        StoreU8(SectorBuffer, 13, c.perCluster);
        StoreU16(SectorBuffer, 19, c.tot16);
        StoreU32(SectorBuffer, 32, c.tot32);
        FsKind = FsKindNone;
        RecordToForm();
        EXPECT_EQ(FsKind, FsKindGeneric) << "case at line " << c.line;
        EXPECT_EQ(Box(1069), c.kindText) << "case at line " << c.line;
        const std::string unit = Box(1070).substr(Box(1070).size() - 2);
        EXPECT_EQ(unit, c.tot16 != 0 ? "KB" : "MB") << "case at line " << c.line;
    }
}

TEST_F(Form, GenericKindEmptiesTheSerialAndCapturesNothingPastOffset35)
{
    CreateBootSector(FsKindFat16);
    StoreU32(SectorBuffer, 39, 0x12345678);
    RecordToForm();
    ASSERT_EQ(Box(1043), "305419896");

    Record r{};
    for (std::size_t i = 36; i < 512; ++i)
        r[i] = static_cast<std::uint8_t>(i);
    Load(r);
    FsKind = 7; // anything but 1 to 4 is shown as generic
    RecordToForm();
    EXPECT_EQ(FsKind, FsKindGeneric);
    EXPECT_EQ(Box(1043), "");
    EXPECT_EQ(Box(1062), "36");
    EXPECT_EQ(Box(1064), "38");

    Type(1062, "1");
    Type(1064, "2");
    Type(1043, "3");
    FormToRecord();
    const Record after = Bytes();
    for (std::size_t i = 36; i < 512; ++i)
        ASSERT_EQ(after[i], r[i]) << "offset " << i;
}

TEST_F(Form, CaptureBeforeAnyDisplayUsesTheFatBindingWithItsExtendedFields)
{
    Record r{};
    r.fill(0x5A);
    Load(r);
    FsKind = FsKindNone;
    FormToRecord();
    const Record after = Bytes();
    for (std::size_t off : {11u, 12u, 13u, 14u, 15u, 16u, 17u, 18u, 19u, 20u, 22u, 23u, 24u, 25u,
                            26u, 27u, 28u, 31u, 32u, 35u, 36u, 38u, 39u, 42u})
        EXPECT_EQ(after[off], 0) << "offset " << off << " was not captured from its empty box";
    EXPECT_EQ(after[21], 0x5A) << "no media item was chosen, so the media byte stays";
    EXPECT_EQ(after[37], 0x5A);
    EXPECT_EQ(after[43], 0x5A);
}

TEST_F(Form, NtfsCaptureZeroesTheHighHalvesAndLeavesFatPlaces)
{
    CreateBootSector(FsKindNtfs);
    for (std::size_t off : {40u, 48u, 56u, 72u})
        StoreU64(SectorBuffer, off, 0xDEADBEEF00000000ull | off);
    StoreU16(SectorBuffer, 19, 1234);
    StoreU32(SectorBuffer, 32, 5678);
    RecordToForm();
    FormToRecord();
    for (std::size_t off : {40u, 48u, 56u, 72u})
        EXPECT_EQ(LoadU64(SectorBuffer, off), off) << "offset " << off;
    EXPECT_EQ(LoadU16(SectorBuffer, 19), 1234);
    EXPECT_EQ(LoadU32(SectorBuffer, 32), 5678u);
}

TEST_F(Form, Fat32CaptureLeavesTheSixteenBitFields)
{
    CreateBootSector(FsKindFat32);
    StoreU16(SectorBuffer, 19, 999);
    StoreU16(SectorBuffer, 22, 888);
    RecordToForm();
    FormToRecord();
    EXPECT_EQ(LoadU16(SectorBuffer, 19), 999);
    EXPECT_EQ(LoadU16(SectorBuffer, 22), 888);
    EXPECT_EQ(LoadU8(SectorBuffer, 64), 0x80);
}

const char* const FatLabelTexts[] = {"FAT 磁區", "FATs 號碼", "隱藏的磁區", "最大根項目", "實體號碼", "簽名"};
const char* const NtfsLabelTexts[] = {"$MFT Cluster", "$MFT Mirror Cluster", "隱藏的磁區",
                                      "Clusters / Index Block", "Clusters / Segment", "Checksum"};
const int LabelIds[] = {1057, 1058, 1059, 1060, 1063, 1065};

TEST_F(Form, LabelsFollowTheKindAndComeBackAfterNtfs)
{
    CreateBootSector(FsKindNtfs);
    RecordToForm();
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(standin::Text(window, LabelIds[i]), NtfsLabelTexts[i]);
    EXPECT_EQ(Box(1069), "NTFS");

    CreateBootSector(FsKindFat32);
    RecordToForm();
    EXPECT_EQ(standin::Text(window, 1063), "FS Info Sector");
    EXPECT_EQ(standin::Text(window, 1057), "FAT 磁區");

    CreateBootSector(FsKindFat16);
    RecordToForm();
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(standin::Text(window, LabelIds[i]), FatLabelTexts[i]);
    EXPECT_EQ(Box(1069), "FAT16");
}

TEST_F(Form, LabelsAreUnicodeOnTheNtFamilyAndAnsiOnThe9xFamily)
{
    CreateBootSector(FsKindNtfs);
    RecordToForm();
    EXPECT_EQ(standin::SetBy(window, 1057), "W");

    OsFamily = OsFamily9x;
    CreateBootSector(FsKindFat16);
    RecordToForm();
    EXPECT_EQ(standin::SetBy(window, 1057), "A");
    EXPECT_EQ(standin::Text(window, 1057), "FAT 磁區"); // the stand-in's ANSI code page is UTF-8
}

} // namespace
