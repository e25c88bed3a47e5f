// Start-up, the main dialog and the dispatch of the menu commands.
#include "about.h"
#include "app.h"
#include "check.h"
#include "commands.h"
#include "form.h"
#include "rebuild.h"
#include "core/recognize.h"
#include "core/record.h"
#include "core/template.h"
#include "disk/sector.h"
#include "resources/resource.h"

#include <commctrl.h>

HINSTANCE AppInstance = nullptr;
HWND MainDialog = nullptr;
HWND MediaComboBox = nullptr;

namespace {

// The end of every command that loaded a whole sector: name its kind, show it.
void ShowLoadedRecord()
{
    RecognizeFsKind();
    RecordToForm();
}

void CreateAndShow(std::uint8_t kind)
{
    CreateBootSector(kind);
    RecordDrive = NoVolume;
    RecordToForm();
}

void OnMenuCommand(int id)
{
    switch (id) {
    case IDM_EXIT: PostMessageA(MainDialog, WM_CLOSE, 0, 0); break;
    case IDM_READ_DISK:
        if (ReadFromDisk())
            ShowLoadedRecord();
        break;
    case IDM_WRITE_DISK: WriteToDisk(); break;
    case IDM_READ_BACKUP:
        if (ReadBackupFromDisk())
            ShowLoadedRecord();
        break;
    case IDM_IMPORT:
        if (ImportFile())
            ShowLoadedRecord();
        break;
    case IDM_EXPORT: ExportFile(); break;
    case IDM_OPEN_IMAGE:
        if (OpenDiskImageFile())
            ShowLoadedRecord();
        break;
    case IDM_NEW_FAT12: CreateAndShow(FsKindFat12); break;
    case IDM_NEW_FAT16: CreateAndShow(FsKindFat16); break;
    case IDM_NEW_FAT32: CreateAndShow(FsKindFat32); break;
    case IDM_NEW_NTFS: CreateAndShow(FsKindNtfs); break;
    case IDM_FLOPPY_144:
        ApplyFloppyPreset();
        RecordDrive = NoVolume;
        RecordToForm();
        break;
    case IDM_CHECK: CheckBootSector(); break;
    case IDM_REBUILD:
        if (RebuildFromDisk())
            ShowLoadedRecord();
        break;
    case IDM_ABOUT: ShowAbout(); break;
    default: break; // also IDOK and IDCANCEL: Enter and Esc do nothing
    }
}

} // namespace

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        MainDialog = dialog;
        MediaComboBox = GetDlgItem(dialog, IDC_MEDIA);
        return TRUE;
    case WM_CLOSE:
    case WM_DESTROY:
    case WM_QUERYENDSESSION: PostQuitMessage(0); return FALSE;
    case WM_COMMAND:
        if (HIWORD(wParam) == 0)
            OnMenuCommand(LOWORD(wParam));
        return FALSE;
    default: return FALSE;
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    if (!AllocateSectorBuffer())
        return 0;
    FsKind = FsKindNone;
    PrepareDiskAccess();
    AppInstance = instance;
    // Registers the common control classes before the first dialog. Under the
    // manifest's version 6 dependency this is the themed set (XP and later);
    // every comctl32 from Windows 95 and NT 4.0 on has this call.
    InitCommonControls();
    DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialogProc, 0);
    return 0;
}
