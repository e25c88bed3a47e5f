// The form of the main window and the record: display fills the form from the
// record under FsKind; capture writes the form back into the record.
#pragma once

// Shows the record under FsKind; any kind other than 1 to 4 is shown as the
// generic FAT kind and FsKind becomes 5. Never writes the record.
void RecordToForm();

// Writes the boxes bound for FsKind, and the media byte when the user chose
// another item since the display, into the record. Leaves FsKind and the form.
void FormToRecord();
