// The File menu's commands that move the record to or from a drive or a file.
#pragma once

// Each load gives true when a whole sector replaced the record; the caller then
// recognises and shows it. A failed or partial read leaves the record as it was.
bool ReadFromDisk();
bool ImportFile();

// Each save first captures the form into the record.
void WriteToDisk();
void ExportFile();
