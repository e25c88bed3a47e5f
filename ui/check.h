// The Tools menu's check of the boot sector: the form captured, the record
// checked under its kind, every finding shown in one box.
#pragma once

#include "core/check.h"

#include <cstdint>

// Captures the form into the record, checks it under FsKind and shows the
// findings, or that there are none, in one box owned by the main window. When
// the program knows the right value of a field found wrong (the partition's
// start, the volume's length, FAT[0]), the box asks, default No, whether to
// put it into the record and the form; nothing is written to the disk.
void CheckBootSector();

// The box's text for count findings of a record of kind: one line each that
// names the field by its label on the form (or a short name of its own where
// the form has no box), its value and the rule it breaks; a check that could
// not be made (the partition start unknown) as a note after them; then the
// corrections, as 「label」：now → proposed, and the question whether to put
// them into the form. Kept until the next call.
const wchar_t* CheckMessage(const Finding* findings, int count, std::uint8_t kind,
                            const Correction* corrections = nullptr, int correctionCount = 0);
