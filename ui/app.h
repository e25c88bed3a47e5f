// Process-wide state of the editor window and the entry points of its parts.
//
// Every file-scope variable of the program, by the module that owns it (a
// buffer belongs to the module that fills it):
//   core/record    SectorBuffer (SectorStorage, the record), FsKind
//   disk/sector    OsFamily: the Windows family, set once by PrepareDiskAccess
//   disk/disk_image  DiskImagePath, ImageDiskBytes, ImageVolumes, ImageVolumeCount,
//                  ImageTableProblem, ImageUsedBackupGpt, and the walk's buffers
//   disk/volume    VolumeBuffer (whole sectors and 64 KiB chunks of the NT family,
//                  the 9x family's 32 KiB chunks), LastDiskError
//   disk/legacy    UseExtendedDiskIo, Vwin32Handle, Registers, Packet,
//                  LegacyProbeBuffer, BytesReturned, DeviceRefused
//   image/         ImagePath, FileDialog, LastImageError; UndoPath, Separator
//   ui/main        AppInstance, MainDialog, MediaComboBox (below)
//   ui/commands    RecordDrive, StagedSector (loads), UndoSector, Plan, Planned,
//                  DialogTitle's text, ImageFilter's text
//   ui/check       DriveCopy (its reads of the drive), CheckBootSector's findings
//   ui/picker      PickedVolume, Preselected, TextBuffer, AccessDenied
//   ui/rebuild     Scan, Chunk, Rebuilt, How (the scan and its result), Progress,
//                  Cancelled
//   ui/media       MediaItemIndex, MediaShownItem;  ui/form  ShownText
//   ui/message     Message, Length, MessageAddAnsi's text
//   ui/text        the wide functions looked up on the NT family, ShowMessageBox's text
//   ui/entry       the empty command line
// The 9x disk services address SectorStorage, StagedSector, Registers, Packet,
// LegacyProbeBuffer and VolumeBuffer: they stay in the exe's image (see core/record.cpp).
#pragma once

#include "disk/sector.h" // OsFamily

#include <windows.h>

#include <cstdint>

extern HINSTANCE AppInstance;
extern HWND MainDialog;
extern HWND MediaComboBox;

// The program's entry, called by the start-up code with the module instance.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
