// The form of the main window and the record: display fills the form from the
// record under FsKind; capture writes the form back into the record.
#pragma once

#include <cstddef>
#include <cstdint>

// Shows the record under FsKind and remembers the text put in each box; any
// kind other than 1 to 4 is shown as the generic FAT kind and FsKind becomes 5.
// Never writes the record.
void RecordToForm();

// Writes into the record each box bound for FsKind whose text differs from what
// the last display put there, and the media byte when the user chose another
// item since the display; every other byte stays. Before any display (FsKind 0)
// the boxes are compared with the empty text they start with. Leaves FsKind and
// the form.
void FormToRecord();

// The text of the label shown beside the box bound to the field at offset
// under kind (the media list for the media byte); 0 for a field without a box.
unsigned FieldLabel(std::uint8_t kind, std::size_t offset);

// The longest text a box is given: the 20 digits of 2^64 - 1, and a NUL.
constexpr std::size_t NumberTextSize = 21;

// Writes value in decimal, as SetDlgItemInt writes a 32-bit one.
void FormatNumber(std::uint64_t value, char (&text)[NumberTextSize]);
