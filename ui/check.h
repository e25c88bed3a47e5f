// The Tools menu's check of the boot sector: the form captured, the record
// checked under its kind, every finding shown in one box.
#pragma once

#include "core/check.h"

#include <cstdint>

// Captures the form into the record, checks it under FsKind and shows the
// findings, or that there are none, in one box owned by the main window.
void CheckBootSector();

// The box's text for count findings of a record of kind: one line each that
// names the field by its label on the form (or a short name of its own where
// the form has no box), its value and the rule it breaks; a check that could
// not be made (the partition start unknown) as a note after them. Kept until
// the next call.
const wchar_t* CheckMessage(const Finding* findings, int count, std::uint8_t kind);
