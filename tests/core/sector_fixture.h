// Gives each test a fresh record: the process-wide buffer, filled with a
// sentinel pattern so that a test sees which bytes an operation touched.
#pragma once

#include "core/record.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

inline void EnsureSectorBuffer()
{
    if (SectorBuffer == nullptr) {
        ASSERT_TRUE(AllocateSectorBuffer());
    }
}

inline std::array<std::uint8_t, 512> RecordCopy()
{
    std::array<std::uint8_t, 512> copy{};
    std::memcpy(copy.data(), SectorBuffer, copy.size());
    return copy;
}

inline void FillRecord(std::uint8_t value)
{
    std::memset(SectorBuffer, value, SectorBufferSize);
}
