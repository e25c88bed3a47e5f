// The File menu's commands that move the record to or from a drive or a file.
#pragma once

// Each load gives true when a whole sector replaced the record; the caller then
// recognises and shows it. A failed or partial read leaves the record as it was
// and shows the user one message saying what failed.
bool ReadFromDisk();
bool ImportFile();

// Each save first captures the form into the record. Write to disk saves the
// drive's current sector 0 as an undo file and asks before replacing it; Export
// asks before replacing an existing file and never leaves it damaged. Failures
// are reported to the user, one message each.
void WriteToDisk();
void ExportFile();
