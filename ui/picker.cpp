#include "picker.h"

#include "app.h"
#include "report.h"
#include "disk/sector.h"
#include "resources/resource.h"

#include <cstdio>

std::uint8_t DriveNumber = 0;

namespace {

constexpr int TextSize = 20;
char TextBuffer[TextSize]; // item texts and the chosen item

constexpr std::uint8_t LastDrive = 25;    // Y:; Z: is never offered
constexpr INT_PTR PickerFoundNoDrive = 1; // the dialog's result when nothing was listed

// A volume refused to open for lack of rights during the last listing.
bool AccessDenied = false;

void AddDrive(HWND list, std::uint8_t drive)
{
    std::sprintf(TextBuffer, "Disk %c:", static_cast<char>('@' + drive));
    SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(TextBuffer));
}

// A drive is offered when its first sector can be read. On the NT family a
// drive without a medium answers "not ready" and is offered as well.
bool DriveOffered(std::uint8_t drive)
{
    const DriveProbe probe = ProbeDrive(drive);
    if (probe == DriveAccessDenied)
        AccessDenied = true;
    return probe == DriveReadable || probe == DriveNotReady;
}

// Lists the drives; a list that stays empty ends the dialog before it shows.
void FillDriveList(HWND dialog)
{
    HWND list = GetDlgItem(dialog, IDC_DRIVES);
    AccessDenied = false;
    bool any = false;
    for (std::uint8_t drive = 1; drive <= LastDrive; ++drive)
        if (DriveOffered(drive)) {
            AddDrive(list, drive);
            any = true;
        }
    SendMessageA(list, CB_SETCURSEL, 0, 0);
    if (!any)
        EndDialog(dialog, PickerFoundNoDrive);
}

// The selected item reads "Disk X:"; its sixth character names the drive.
void TakeSelectedDrive(HWND dialog)
{
    if (GetDlgItemTextA(dialog, IDC_DRIVES, TextBuffer, TextSize) != 0)
        DriveNumber = static_cast<std::uint8_t>(TextBuffer[5] - '@');
    else
        DriveNumber = 0;
}

void OnPickerCommand(HWND dialog, int id)
{
    switch (id) {
    case IDOK:
        TakeSelectedDrive(dialog);
        PostMessageA(dialog, WM_CLOSE, 0, 0);
        break;
    case IDCANCEL:
        DriveNumber = 0;
        PostMessageA(dialog, WM_CLOSE, 0, 0);
        break;
    default: break;
    }
}

} // namespace

INT_PTR CALLBACK PickerDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: FillDriveList(dialog); return TRUE;
    case WM_COMMAND:
        if (HIWORD(wParam) == 0)
            OnPickerCommand(dialog, LOWORD(wParam));
        return FALSE;
    case WM_CLOSE:
    case WM_DESTROY:
    case WM_QUERYENDSESSION: EndDialog(dialog, 0); return FALSE;
    default: return FALSE;
    }
}

std::uint8_t PickDrive()
{
    DriveNumber = 0;
    if (DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(IDD_PICKER), nullptr, PickerDialogProc, 0) ==
        PickerFoundNoDrive) {
        DriveNumber = 0;
        ReportNoDrive(AccessDenied);
    }
    return DriveNumber;
}
