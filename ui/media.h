// The media descriptor list (combo box 1071): nine items standing for the
// media bytes of the boot sector, filled anew at every display.
#pragma once

#include <cstdint>

// The list index of each item, in the order the items are added.
extern int MediaItemIndex[9];

// The item the last display selected (-1 for none); a capture stores the list's
// byte only when the user has chosen another item since.
extern int MediaShownItem;

void FillMediaList();
void SelectMediaItem(std::uint8_t media);
std::uint8_t MediaByteFromList();
bool MediaChosenSinceDisplay();
