// The form's binding of boxes to record fields, for every kind, checked against
// the layout tables as documented, and the texts the display writes. A capture
// stores only the boxes whose text differs from what the display put there.
#include "ui_fixture.h"
#include "ui/form.h"
#include "ui/media.h"

#include <cstdint>
#include <vector>

namespace {

struct Field {
    int box;
    std::size_t offset;
    int width; // bytes
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
            const std::uint64_t shown = Le(r, f.offset, f.width);
            EXPECT_EQ(Box(f.box), std::to_string(shown)) << k.name << " box " << f.box;
        }
    }
}

// One box edited at a time: its field takes the value's low bytes at the field's
// width (a 64-bit field all of it), and every other byte stays.
TEST_F(Form, CaptureStoresAnEditedBoxIntoItsFieldAtItsWidthAndNothingElse)
{
    for (const auto& k : Kinds) {
        for (const auto& f : *k.fields) {
            const Record before = Pattern();
            Load(before);
            FsKind = k.kind;
            RecordToForm();
            const std::uint64_t v =
                (f.width == 8 ? 0xA1B2C3D4E5F60000ull : 0xA1B2C3D4u) + static_cast<unsigned>(f.box);
            Type(f.box, std::to_string(v));
            FormToRecord();

            Record expected = before;
            for (int i = 0; i < f.width; ++i)
                expected[f.offset + static_cast<std::size_t>(i)] =
                    static_cast<std::uint8_t>(v >> (8 * i));
            EXPECT_EQ(Bytes(), expected)
                << k.name << " box " << f.box << Differences(expected, Bytes());
        }
    }
}

struct TotalCase {
    int line;
    std::uint16_t tot16Before;
    std::uint32_t tot32Before;
    const char* typed; // nullptr: the box is left as shown
    std::uint16_t tot16;
    std::uint32_t tot32;
};

// An edited total is stored by the total-sectors rule; an untouched one, or one
// typed back as shown, keeps both fields as they were.
TEST_F(Form, FatTotalSectorsRule)
{
    const TotalCase cases[] = {
        {__LINE__, 2880, 77777, "65534", 65534, 0},
        {__LINE__, 2880, 77777, "65535", 0, 65535},
        {__LINE__, 2880, 77777, "0", 0, 0},
        {__LINE__, 2880, 77777, "", 0, 0},
        {__LINE__, 2880, 77777, "100000", 0, 100000},
        {__LINE__, 2880, 77777, "4294967295", 0, 0xFFFFFFFFu},
        {__LINE__, 2880, 77777, "4294967296", 0, 0},
        {__LINE__, 2880, 77777, nullptr, 2880, 77777},
        {__LINE__, 2880, 77777, "2880", 2880, 77777},
        {__LINE__, 0, 1000, nullptr, 0, 1000}, // a small total held in BPB_TotSec32
        {__LINE__, 0, 1000, "01000", 1000, 0}, // another text for the same number is an edit
        {__LINE__, 0, 1000, "999", 999, 0},
    };
    for (std::uint8_t kind : {FsKindFat16, FsKindGeneric}) {
        for (const auto& c : cases) {
            CreateBootSector(FsKindFat16);
            StoreU16(SectorBuffer, 19, c.tot16Before);
            StoreU32(SectorBuffer, 32, c.tot32Before);
            FsKind = kind;
            RecordToForm();
            if (c.typed != nullptr)
                Type(1042, c.typed);
            FormToRecord();
            EXPECT_EQ(LoadU16(SectorBuffer, 19), c.tot16) << "case at line " << c.line;
            EXPECT_EQ(LoadU32(SectorBuffer, 32), c.tot32) << "case at line " << c.line;
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
        {__LINE__, FsKindNtfs, 512, 0, (1ull << 32) + 5, "4294967301", "2097152.00 MB"},
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

// Nothing has been shown, and the boxes start empty: only the boxes typed into
// are stored, through the FAT binding with its extended fields.
TEST_F(Form, CaptureBeforeAnyDisplayStoresOnlyTypedBoxesThroughTheFatBinding)
{
    Record r{};
    r.fill(0x5A);
    Load(r);
    FsKind = FsKindNone;
    FormToRecord();
    EXPECT_EQ(Bytes(), r) << Differences(r, Bytes());

    Type(1036, "512");
    Type(1042, "100000");
    Type(1062, "128");
    Type(1043, "305419896");
    Type(1046, "x"); // not a number: 0
    FormToRecord();
    Record expected = r;
    expected[11] = 0x00, expected[12] = 0x02;
    expected[19] = 0, expected[20] = 0;
    StoreU32(expected.data(), 32, 100000);
    expected[36] = 128;
    StoreU32(expected.data(), 39, 305419896);
    StoreU32(expected.data(), 28, 0);
    EXPECT_EQ(Bytes(), expected) << Differences(expected, Bytes());
}

struct WideCase {
    int line;
    const char* typed;
    std::uint64_t stored;
};

// NTFS's 64-bit fields are shown whole and kept whole when untouched; an edited
// one is read by GetDlgItemInt's rules, widened to 64 bits.
TEST_F(Form, NtfsSixtyFourBitBoxesAreShownAndStoredWhole)
{
    CreateBootSector(FsKindNtfs);
    StoreU64(SectorBuffer, 40, 0xFFFFFFFFFFFFFFFFull);
    StoreU64(SectorBuffer, 48, 0xDEADBEEF00000030ull);
    StoreU64(SectorBuffer, 56, 1ull << 32);
    StoreU64(SectorBuffer, 72, 0x1234567890ABCDEFull);
    StoreU16(SectorBuffer, 19, 1234);
    StoreU32(SectorBuffer, 32, 5678);
    const Record before = Bytes();
    RecordToForm();
    EXPECT_EQ(Box(1042), "18446744073709551615");
    EXPECT_EQ(Box(1044), "16045690981097406512");
    EXPECT_EQ(Box(1045), "4294967296");
    EXPECT_EQ(Box(1043), "1311768467294899695");
    FormToRecord();
    EXPECT_EQ(Bytes(), before) << Differences(before, Bytes());

    const WideCase cases[] = {
        {__LINE__, "18446744073709551615", 0xFFFFFFFFFFFFFFFFull},
        {__LINE__, "18446744073709551616", 0},
        {__LINE__, "99999999999999999999", 0},
        {__LINE__, "184467440737095516150", 0},
        {__LINE__, "4294967296", 1ull << 32},
        {__LINE__, "0", 0},
        {__LINE__, "", 0},
        {__LINE__, "  42", 42},
        {__LINE__, "42 ", 42},
        {__LINE__, "42abc", 42},
        {__LINE__, "abc", 0},
        {__LINE__, "-1", 0},
        {__LINE__, "+1", 0},
        {__LINE__, "\t1", 0},
        {__LINE__, "000000000000000000000000000007", 7},
    };
    for (const auto& c : cases) {
        for (int box : {1042, 1043, 1044, 1045}) {
            Load(before);
            RecordToForm();
            Type(box, c.typed);
            FormToRecord();
            const std::size_t offset = box == 1042 ? 40 : box == 1043 ? 72 : box == 1044 ? 48 : 56;
            Record expected = before;
            StoreU64(expected.data(), offset, c.stored);
            EXPECT_EQ(Bytes(), expected)
                << "case at line " << c.line << ", box " << box << Differences(expected, Bytes());
        }
    }
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
    standin::SetVersion(VER_PLATFORM_WIN32_WINDOWS, 950); // its wide calls fail
    CreateBootSector(FsKindFat16);
    RecordToForm();
    EXPECT_EQ(standin::SetBy(window, 1057), "A");
    EXPECT_EQ(standin::Text(window, 1057), "FAT 磁區"); // the stand-in's ANSI code page is UTF-8
}

} // namespace
