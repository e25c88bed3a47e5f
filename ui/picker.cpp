#include "picker.h"

#include "app.h"
#include "report.h"
#include "text.h"
#include "disk/disk_image.h"
#include "disk/sector.h"
#include "resources/resource.h"

#include <cstdio>
#include <cstring>

Volume PickedVolume = NoVolume;

namespace {

constexpr int TextSize = 128;
char TextBuffer[TextSize]; // an item's text

// The item chosen first when the list is filled: the image volume just opened.
Volume Preselected = NoVolume;

constexpr std::uint8_t LastDrive = 25;    // Y:; Z: is never offered
constexpr INT_PTR PickerFoundNoDrive = 1; // the dialog's result when nothing was listed

// A volume refused to open for lack of rights during the last listing.
bool AccessDenied = false;

// Items are told apart by their data, the volume, never by their text.
void AddItem(HWND list, Volume volume)
{
    const LRESULT item = SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(TextBuffer));
    SendMessageA(list, CB_SETITEMDATA, static_cast<WPARAM>(item), static_cast<LPARAM>(volume));
    if (volume == Preselected)
        SendMessageA(list, CB_SETCURSEL, static_cast<WPARAM>(item), 0);
}

void AddDrive(HWND list, std::uint8_t drive)
{
    std::sprintf(TextBuffer, "Disk %c:", static_cast<char>('@' + drive));
    AddItem(list, drive);
}

UINT ImageKindText(std::uint8_t kind)
{
    switch (kind) {
    case ImageVolumeOwnBoot: return IDS_PICK_OWN;
    case ImageVolumePrimary: return IDS_PICK_PRIMARY;
    case ImageVolumeLogical: return IDS_PICK_LOGICAL;
    case ImageVolumeGpt: return IDS_PICK_GPT;
    default: return IDS_PICK_WHOLE;
    }
}

// Appends the text id, in the ANSI code page the list shows.
void AppendText(UINT id)
{
    wchar_t wide[32];
    LoadText(id, wide, 32);
    const std::size_t used = std::strlen(TextBuffer);
    ToAnsi(wide, TextBuffer + used, static_cast<int>(TextSize - used));
}

// "Image N: kind size", marked when the volume runs past the image's end.
void AddImageVolume(HWND list, int index)
{
    const ImageVolume& v = ImageVolumes[index];
    std::sprintf(TextBuffer, "Image %u: ", static_cast<unsigned>(v.number));
    AppendText(ImageKindText(v.kind));
    const double megabytes = static_cast<double>(v.length) * v.sectorSize / 1048576.0;
    const std::size_t used = std::strlen(TextBuffer);
    std::sprintf(TextBuffer + used, " %0.2f MB", megabytes); // at most 25 characters
    if (v.cutShort)
        AppendText(IDS_PICK_CUT_SHORT);
    AddItem(list, ImageVolumeAt(index));
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
    constexpr WPARAM ImageItemWidth = 260; // pixels: "Image N:", kind, size and mark
    if (ImageVolumeCount != 0)
        SendMessageA(list, CB_SETDROPPEDWIDTH, ImageItemWidth, 0);
    for (int index = 0; index < ImageVolumeCount; ++index) {
        AddImageVolume(list, index);
        any = true;
    }
    if (SendMessageA(list, CB_GETCURSEL, 0, 0) == CB_ERR)
        SendMessageA(list, CB_SETCURSEL, 0, 0);
    if (!any)
        EndDialog(dialog, PickerFoundNoDrive);
}

// The selected item's data is its volume.
void TakeSelectedVolume(HWND dialog)
{
    HWND list = GetDlgItem(dialog, IDC_DRIVES);
    const LRESULT item = SendMessageA(list, CB_GETCURSEL, 0, 0);
    PickedVolume =
        item == CB_ERR
            ? NoVolume
            : static_cast<Volume>(SendMessageA(list, CB_GETITEMDATA, static_cast<WPARAM>(item), 0));
}

void OnPickerCommand(HWND dialog, int id)
{
    switch (id) {
    case IDOK:
        TakeSelectedVolume(dialog);
        PostMessageA(dialog, WM_CLOSE, 0, 0);
        break;
    case IDCANCEL:
        PickedVolume = NoVolume;
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

Volume PickVolume(Volume preselected)
{
    PickedVolume = NoVolume;
    Preselected = preselected;
    if (DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(IDD_PICKER), nullptr, PickerDialogProc, 0) ==
        PickerFoundNoDrive) {
        PickedVolume = NoVolume;
        ReportNoDrive(AccessDenied);
    }
    return PickedVolume;
}
