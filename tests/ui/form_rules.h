// What a display followed by a capture, with no edits, may change in a record:
// the FAT total moves to the field the total-sectors rule picks, and NTFS's
// 64-bit fields lose their high halves. Everything else must come back as it was.
#pragma once

#include "core/record.h"

#include <array>
#include <cstdint>

inline std::array<std::uint8_t, 512> Normalised(std::array<std::uint8_t, 512> r, std::uint8_t kind)
{
    if (kind == FsKindNtfs) {
        for (std::size_t off : {44u, 52u, 60u, 76u})
            for (std::size_t i = 0; i < 4; ++i)
                r[off + i] = 0;
        return r;
    }
    if (kind == FsKindFat32)
        return r;
    // FAT12, FAT16 and generic: the total shown is stored by the total rule.
    const std::uint32_t small = r[19] | (r[20] << 8);
    const std::uint32_t total =
        small != 0 ? small : r[32] | (r[33] << 8) | (r[34] << 16) | (std::uint32_t{r[35]} << 24);
    const bool fits = total < 0xFFFF;
    r[19] = fits ? static_cast<std::uint8_t>(total) : 0;
    r[20] = fits ? static_cast<std::uint8_t>(total >> 8) : 0;
    for (int i = 0; i < 4; ++i)
        r[32 + static_cast<std::size_t>(i)] = fits ? 0 : static_cast<std::uint8_t>(total >> (8 * i));
    return r;
}
