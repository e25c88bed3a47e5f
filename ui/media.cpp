#include "media.h"

#include "app.h"

namespace {

enum MediaItem { Fd360K, Fd320K, Fd160K, Fd180K, Fd640K, Fd1200K, Fd720K, Fd1440K, HardDisk };

struct MediaEntry {
    const char* text;
    std::uint8_t byte; // stored when the item is chosen
};

// In the order the items are added to the unsorted list.
constexpr MediaEntry MediaItems[9] = {
    {"360K FD", 0xFD}, {"320K FD", 0xFF},   {"160K FD", 0xFE},
    {"180K FD", 0xFC}, {"640K FD", 0xFB},   {"1.2M FD", 0xF9},
    {"720K FD", 0xF9}, {"1.44M+ FD", 0xF0}, {"Hard Disk", 0xF8},
};

// The item shown for a media byte; -1 for bytes that no item stands for.
int ItemForByte(std::uint8_t media)
{
    switch (media) {
    case 0xF0: return Fd1440K;
    case 0xF8: return HardDisk;
    case 0xF9: return Fd1200K; // 0xF9 is also 720K; the display picks 1.2M
    case 0xFA: return Fd320K;
    case 0xFB: return Fd640K;
    case 0xFC: return Fd180K;
    case 0xFD: return Fd360K;
    case 0xFE: return Fd160K;
    case 0xFF: return Fd320K;
    default: return -1;
    }
}

int CurrentSelection()
{
    return static_cast<int>(SendMessageA(MediaComboBox, CB_GETCURSEL, 0, 0));
}

} // namespace

int MediaItemIndex[9];
int MediaShownItem = -1;

void FillMediaList()
{
    SendMessageA(MediaComboBox, CB_RESETCONTENT, 0, 0);
    for (int i = 0; i < 9; ++i)
        MediaItemIndex[i] = static_cast<int>(SendMessageA(
            MediaComboBox, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(MediaItems[i].text)));
    MediaShownItem = -1;
}

void SelectMediaItem(std::uint8_t media)
{
    const int item = ItemForByte(media);
    if (item < 0)
        return;
    SendMessageA(MediaComboBox, CB_SETCURSEL, static_cast<WPARAM>(MediaItemIndex[item]), 0);
    MediaShownItem = MediaItemIndex[item];
}

std::uint8_t MediaByteFromList()
{
    const int selection = CurrentSelection();
    if (selection == CB_ERR)
        return 0x00;
    for (const MediaEntry& entry : MediaItems) {
        const int item = static_cast<int>(&entry - MediaItems);
        if (MediaItemIndex[item] == selection)
            return entry.byte;
    }
    return 0x00;
}

bool MediaChosenSinceDisplay()
{
    return CurrentSelection() != MediaShownItem;
}
