#include "core/layout.h"
#include "core/record.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace {

// A record with sentinel bytes around every field a store touches.
std::array<std::uint8_t, 16> Sentinels()
{
    std::array<std::uint8_t, 16> r{};
    r.fill(0xCC);
    return r;
}

TEST(FieldHelpers, LoadsAreLittleEndianAtOddOffsets)
{
    const std::uint8_t r[] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99};
    EXPECT_EQ(LoadU8(r, 1), 0x11u);
    EXPECT_EQ(LoadU16(r, 1), 0x2211u);
    EXPECT_EQ(LoadU32(r, 1), 0x44332211u);
    EXPECT_EQ(LoadU64(r, 1), 0x8877665544332211ull);
}

struct StoreCase {
    const char* name;
    int width;             // bytes the field holds
    std::uint32_t value;   // what the form delivers
    std::uint32_t stored;  // what must read back
};

TEST(FieldHelpers, StoresKeepOnlyTheFieldsWidth)
{
    const StoreCase cases[] = {
        {"300 into u8", 1, 300, 44},
        {"255 into u8", 1, 255, 255},
        {"65536+512 into u16", 2, 65536 + 512, 512},
        {"65535 into u16", 2, 65535, 65535},
        {"all ones into u32", 4, 0xFFFFFFFFu, 0xFFFFFFFFu},
    };
    for (const auto& c : cases) {
        auto r = Sentinels();
        const std::size_t off = 3; // odd on purpose
        switch (c.width) {
        case 1: StoreU8(r.data(), off, c.value); break;
        case 2: StoreU16(r.data(), off, c.value); break;
        default: StoreU32(r.data(), off, c.value); break;
        }
        const std::uint32_t back = c.width == 1   ? LoadU8(r.data(), off)
                                   : c.width == 2 ? LoadU16(r.data(), off)
                                                  : LoadU32(r.data(), off);
        EXPECT_EQ(back, c.stored) << c.name;
        EXPECT_EQ(r[off - 1], 0xCC) << c.name << ": byte before the field changed";
        EXPECT_EQ(r[off + c.width], 0xCC) << c.name << ": byte after the field changed";
    }
}

TEST(FieldHelpers, U64IsWrittenAsValueThenZeroHighHalf)
{
    auto r = Sentinels();
    StoreU64(r.data(), 1, 0x12345678u);
    EXPECT_EQ(LoadU64(r.data(), 1), 0x12345678ull);
    for (int i = 5; i < 9; ++i)
        EXPECT_EQ(r[i], 0) << "high half byte " << i;
    EXPECT_EQ(r[0], 0xCC);
    EXPECT_EQ(r[9], 0xCC);
}

TEST(FieldHelpers, TextIsFollowedByOneNulAndTheRestKept)
{
    auto r = Sentinels();
    StoreText(r.data(), 2, "FAT");
    EXPECT_EQ(r[2], 'F');
    EXPECT_EQ(r[4], 'T');
    EXPECT_EQ(r[5], 0);
    EXPECT_EQ(r[6], 0xCC);
    EXPECT_EQ(r[1], 0xCC);
}

TEST(SectorBuffer, IsClearedAlignedAndLargeEnough)
{
    ASSERT_EQ(SectorBuffer, nullptr) << "each test runs in a process of its own";
    ASSERT_TRUE(AllocateSectorBuffer());
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(SectorBuffer) % 512, 0u);
    for (std::size_t i = 0; i < SectorBufferSize; ++i)
        ASSERT_EQ(SectorBuffer[i], 0) << "byte " << i;
}

} // namespace
