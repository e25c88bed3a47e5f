// The create commands, checked against records built here byte by byte from the
// documented template and field tables, not from the product's constants.
#include "core/template.h"
#include "sector_fixture.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace {

using Sector = std::array<std::uint8_t, 512>;

void Put(Sector& s, std::size_t off, const std::string& bytes)
{
    std::memcpy(s.data() + off, bytes.data(), bytes.size());
}

void PutLe(Sector& s, std::size_t off, unsigned value, int width)
{
    for (int i = 0; i < width; ++i)
        s[off + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

Sector ExpectedTemplate()
{
    Sector s{};
    Put(s, 0, std::string("\xEB\x56\x90Morvane!", 11));
    const std::uint8_t program[] = {0x8C, 0xC8, 0x8E, 0xD8, 0x8E, 0xC0, 0xB4, 0x0E, 0xBB, 0x04, 0x00,
                                    0xBE, 0x00, 0x7D, 0x8A, 0x04, 0xCD, 0x10, 0x46, 0x80, 0x3C, 0x00,
                                    0x75, 0xF6, 0xB4, 0x00, 0xCD, 0x16, 0xCD, 0x19, 0xCD, 0x18, 0xC3};
    std::memcpy(s.data() + 88, program, sizeof program);
    const std::string message = "Boot sector created with Kelvashin from " + std::string("www.morvane.example") +
                                "\r\nThis is not a bootable disk, please insert a boot disk and press any key!\r\n";
    Put(s, 256, message);
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

std::string Hex(const Sector& a, const Sector& b)
{
    std::string out;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i])
            out += "offset " + std::to_string(i) + ": expected " + std::to_string(a[i]) + ", got " +
                   std::to_string(b[i]) + "\n";
    return out;
}

TEST(BootSectorTemplate, MatchesTheDocumentedBytes)
{
    Sector actual{};
    std::memcpy(actual.data(), BootSectorTemplate.data(), 512);
    EXPECT_EQ(ExpectedTemplate(), actual) << Hex(ExpectedTemplate(), actual);
    // The message text is the fixed frame around the maker's address.
    const std::string message = BootMessage;
    EXPECT_EQ(message.rfind("Boot sector created with Kelvashin from ", 0), 0u);
    EXPECT_LE(message.size() - 40 - 77, 136u);
}

struct CreateCase {
    const char* name;
    std::uint8_t kind; // 0 means the floppy preset
    std::uint8_t fsKindAfter;
};

Sector ExpectedFor(std::uint8_t kind)
{
    Sector s = ExpectedTemplate();
    PutLe(s, 11, 512, 2);
    switch (kind) {
    case FsKindFat12:
        s[16] = 2;
        s[21] = 0xF0;
        Put(s, 54, std::string("FAT12\0", 6));
        break;
    case FsKindFat16:
        s[16] = 2;
        s[21] = 0xF8;
        Put(s, 54, std::string("FAT16\0", 6));
        break;
    case FsKindFat32:
        s[16] = 2;
        s[21] = 0xF8;
        s[64] = 0x80;
        Put(s, 82, std::string("FAT32\0", 6));
        break;
    case FsKindNtfs:
        s[21] = 0xF8;
        Put(s, 3, "NTFS    ");
        break;
    default: // 1.44 MB floppy preset
        s[13] = 1;
        PutLe(s, 14, 1, 2);
        s[16] = 2;
        PutLe(s, 17, 224, 2);
        PutLe(s, 19, 2880, 2);
        s[21] = 0xF0;
        PutLe(s, 22, 9, 2);
        PutLe(s, 24, 18, 2);
        PutLe(s, 26, 2, 2);
        Put(s, 54, std::string("FAT12\0", 6));
        break;
    }
    return s;
}

const CreateCase Creates[] = {
    {"New FAT12", FsKindFat12, FsKindFat12},
    {"New FAT16", FsKindFat16, FsKindFat16},
    {"New FAT32", FsKindFat32, FsKindFat32},
    {"New NTFS", FsKindNtfs, FsKindNtfs},
    {"1.44 MB preset", 0, FsKindFat12},
};

void RunCreate(const CreateCase& c)
{
    if (c.kind == 0)
        ApplyFloppyPreset();
    else
        CreateBootSector(c.kind);
}

TEST(CreateCommands, BuildTheDocumentedRecordWhateverWasThere)
{
    EnsureSectorBuffer();
    for (const auto& c : Creates) {
        for (std::uint8_t previous : {0x00, 0xFF, 0x5A}) {
            FillRecord(previous);
            FsKind = 77;
            RunCreate(c);
            const Sector actual = RecordCopy();
            const Sector expected = ExpectedFor(c.kind);
            EXPECT_EQ(actual, expected) << c.name << " over " << int(previous) << ":\n"
                                        << Hex(expected, actual);
            EXPECT_EQ(FsKind, c.fsKindAfter) << c.name;
            for (std::size_t i = 512; i < SectorBufferSize; ++i)
                ASSERT_EQ(SectorBuffer[i], previous) << c.name << " touched spare byte " << i;
        }
    }
}

TEST(CreateCommands, DocumentedLandmarks)
{
    EnsureSectorBuffer();
    CreateBootSector(FsKindNtfs);
    EXPECT_EQ(0, std::memcmp(SectorBuffer, "\xEB\x56\x90NTFS    \x00\x02", 13));

    CreateBootSector(FsKindFat32);
    EXPECT_EQ(SectorBuffer[64], 0x80);
    EXPECT_EQ(0, std::memcmp(SectorBuffer + 82, "FAT32\x00\x8C\xC8", 8));
    EXPECT_EQ(SectorBuffer[66], 0);
}

TEST(CreateCommands, UnknownKindChangesNothing)
{
    EnsureSectorBuffer();
    FillRecord(0x33);
    FsKind = 2;
    CreateBootSector(FsKindGeneric);
    CreateBootSector(0);
    EXPECT_EQ(FsKind, 2);
    EXPECT_EQ(SectorBuffer[0], 0x33);
}

} // namespace
