#pragma once

#include <cstdint>

// Sets FsKind from the record's bytes after a sector was loaded from a drive or
// a file: 3 for "NTFS" at offset 3, 4 for "FAT32" at offset 82, then 1 or 2 for
// "AT12" or "AT16" at offset 55. A later match replaces an earlier one; a sector
// that matches nothing gets 0, which the form shows as the generic FAT kind.
void RecognizeFsKind();

// The kind that RecognizeFsKind would give the 512 bytes at sector.
std::uint8_t RecognizeKindOf(const std::uint8_t* sector);
