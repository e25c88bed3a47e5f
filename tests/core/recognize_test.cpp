#include "core/recognize.h"
#include "core/template.h"
#include "sector_fixture.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct Placed {
    std::size_t offset;
    const char* bytes;
};

struct RecognizeCase {
    int line;
    Placed first;
    Placed second;
    std::uint8_t expected;
};

// Each case writes up to two byte strings into a zeroed record.
const RecognizeCase Cases[] = {
    {__LINE__, {0, ""}, {0, ""}, FsKindNone},
    {__LINE__, {3, "NTFS    "}, {0, ""}, FsKindNtfs},
    {__LINE__, {3, "NTFS"}, {55, "AT16"}, FsKindFat16},
    {__LINE__, {54, "FAT12   "}, {0, ""}, FsKindFat12},
    {__LINE__, {54, "FAT16   "}, {0, ""}, FsKindFat16},
    {__LINE__, {54, "fat12   "}, {0, ""}, FsKindNone},
    {__LINE__, {54, "fat16   "}, {0, ""}, FsKindNone},
    {__LINE__, {54, "XAT12"}, {0, ""}, FsKindFat12},
    {__LINE__, {54, "FAT1"}, {0, ""}, FsKindNone},
    {__LINE__, {82, "FAT32   "}, {0, ""}, FsKindFat32},
    {__LINE__, {82, "fat32"}, {0, ""}, FsKindNone},
    {__LINE__, {82, "FAT3"}, {0, ""}, FsKindNone},
    {__LINE__, {3, "NTFS"}, {82, "FAT32"}, FsKindFat32},
    {__LINE__, {82, "FAT32"}, {55, "AT12"}, FsKindFat12},
    {__LINE__, {82, "FAT32"}, {55, "AT16"}, FsKindFat16},
    {__LINE__, {3, "ntfs"}, {0, ""}, FsKindNone},
};

TEST(RecognizeFsKind, ByteCases)
{
    EnsureSectorBuffer();
    for (const auto& c : Cases) {
        FillRecord(0);
        std::memcpy(SectorBuffer + c.first.offset, c.first.bytes, std::strlen(c.first.bytes));
        std::memcpy(SectorBuffer + c.second.offset, c.second.bytes, std::strlen(c.second.bytes));
        FsKind = 77;
        const auto before = RecordCopy();
        RecognizeFsKind();
        EXPECT_EQ(FsKind, c.expected) << "case at line " << c.line;
        EXPECT_EQ(RecordCopy(), before) << "case at line " << c.line << " changed the record";
    }
}

TEST(RecognizeFsKind, SectorsOfTheCreateCommandsAreRecognisedAgain)
{
    EnsureSectorBuffer();
    for (std::uint8_t kind : {FsKindFat12, FsKindFat16, FsKindFat32, FsKindNtfs}) {
        CreateBootSector(kind);
        FsKind = FsKindNone;
        RecognizeFsKind();
        EXPECT_EQ(FsKind, kind);
    }
    ApplyFloppyPreset();
    FsKind = FsKindNone;
    RecognizeFsKind();
    EXPECT_EQ(FsKind, FsKindFat12);
}

} // namespace
