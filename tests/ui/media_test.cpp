// The media descriptor list: its items, the byte shown for each record, and the
// byte a capture stores.
#include "ui_fixture.h"
#include "ui/form.h"
#include "ui/media.h"

#include <vector>

namespace {

using Media = MainWindow;

const std::vector<std::string> ItemTexts = {"360K FD", "320K FD", "160K FD", "180K FD", "640K FD",
                                            "1.2M FD", "720K FD", "1.44M+ FD", "Hard Disk"};

void ShowWithMedia(std::uint8_t media)
{
    CreateBootSector(FsKindFat16);
    StoreU8(SectorBuffer, 21, media);
    RecordToForm();
}

TEST_F(Media, EveryDisplayRefillsTheNineItemsInOrder)
{
    ShowWithMedia(0xF8);
    ShowWithMedia(0xF0);
    EXPECT_EQ(standin::Items(window, IDC_MEDIA), ItemTexts);
}

TEST_F(Media, ByteToItemOnDisplay)
{
    struct Case {
        std::uint8_t byte;
        int item; // -1: no selection
    };
    const Case cases[] = {{0xF0, 7}, {0xF8, 8}, {0xF9, 5}, {0xFA, 1}, {0xFB, 4}, {0xFC, 3},
                          {0xFD, 0}, {0xFE, 2}, {0xFF, 1}, {0x00, -1}, {0xF1, -1}, {0xE5, -1},
                          {0xF7, -1}, {0xEF, -1}};
    for (const auto& c : cases) {
        ShowWithMedia(0xF0); // a selection that the next display must not keep
        ShowWithMedia(c.byte);
        EXPECT_EQ(standin::Selection(window, IDC_MEDIA), c.item) << "media byte " << int(c.byte);
    }
}

TEST_F(Media, AnUntouchedListKeepsEveryByteOnCapture)
{
    for (int byte = 0; byte < 256; ++byte) {
        ShowWithMedia(static_cast<std::uint8_t>(byte));
        FormToRecord();
        FormToRecord();
        ASSERT_EQ(LoadU8(SectorBuffer, 21), byte) << "an untouched 0x" << std::hex << byte << " changed";
    }
}

TEST_F(Media, AChosenItemStoresItsByte)
{
    const std::uint8_t stored[] = {0xFD, 0xFF, 0xFE, 0xFC, 0xFB, 0xF9, 0xF9, 0xF0, 0xF8};
    for (int item = 0; item < 9; ++item) {
        ShowWithMedia(0xE5);
        standin::Select(window, IDC_MEDIA, item);
        FormToRecord();
        EXPECT_EQ(LoadU8(SectorBuffer, 21), stored[item]) << ItemTexts[static_cast<std::size_t>(item)];
        FormToRecord(); // a second capture stores the same byte
        EXPECT_EQ(LoadU8(SectorBuffer, 21), stored[item]) << ItemTexts[static_cast<std::size_t>(item)];
    }
}

TEST_F(Media, ChoosingAnotherItemAndBackKeepsTheByte)
{
    ShowWithMedia(0xFA);
    standin::Select(window, IDC_MEDIA, 0);
    standin::Select(window, IDC_MEDIA, 1);
    FormToRecord();
    EXPECT_EQ(LoadU8(SectorBuffer, 21), 0xFA);
}

TEST_F(Media, SevenTwentyKIsStoredAsF9AndShownAsOnePointTwoM)
{
    ShowWithMedia(0xF0);
    standin::Select(window, IDC_MEDIA, 6);
    FormToRecord();
    ASSERT_EQ(LoadU8(SectorBuffer, 21), 0xF9);
    FsKind = FsKindNone;
    RecordToForm();
    EXPECT_EQ(standin::Selection(window, IDC_MEDIA), 5);
}

TEST_F(Media, ByteFromListOfAnEmptyListIsZero)
{
    EXPECT_EQ(MediaByteFromList(), 0x00);
    ShowWithMedia(0x00);
    EXPECT_EQ(MediaByteFromList(), 0x00);
}

} // namespace
