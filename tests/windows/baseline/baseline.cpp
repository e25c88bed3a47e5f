// baseline.exe: the least a program needs to show kelvashin.exe's main window,
// used as the floor of the size and start-up benchmark. It shows the main
// dialog from the same template (with its menu and font), under the same
// manifest and after the same InitCommonControls call, and ends when the
// dialog is closed. Read from disk opens the drive picker's template after the
// picker's 25 probes, done bare: open, read one sector, close, nothing listed.
//
// Built as baseline_plus.exe (KELVASHIN_BASELINE_PLUS) it adds the two costs
// that the benchmark wants to tell apart from the program's own logic: the
// imports of COMDLG32 and SHELL32, which the system loads at start-up (the
// program itself loads them on first use), and the picker's 25 list items.
// Its Import command opens the file dialog as the program does and does
// nothing with the name.
#include <windows.h>

#include <commctrl.h>
#ifdef KELVASHIN_BASELINE_PLUS
#include <commdlg.h>
#include <shellapi.h>
#endif

#include "resources/resource.h"
#include "ui/app.h"

namespace {

char ProbePath[] = "\\\\.\\A:";
char ProbeSector[512];
#ifdef KELVASHIN_BASELINE_PLUS
char ItemText[] = "Disk A:";
#endif

// The same open, read and close as the drive picker's probe of one drive.
void ProbeBare(char letter)
{
    ProbePath[4] = letter;
    HANDLE volume = CreateFileA(ProbePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE)
        return;
    DWORD read = 0;
    ReadFile(volume, ProbeSector, sizeof ProbeSector, &read, nullptr);
    CloseHandle(volume);
}

INT_PTR CALLBACK PickerProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        for (char letter = 'A'; letter <= 'Y'; ++letter) {
            ProbeBare(letter);
#ifdef KELVASHIN_BASELINE_PLUS
            ItemText[5] = letter;
            SendDlgItemMessageA(dialog, IDC_DRIVES, CB_ADDSTRING, 0,
                                reinterpret_cast<LPARAM>(ItemText));
#endif
        }
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)
            EndDialog(dialog, 0);
        return FALSE;
    case WM_CLOSE: EndDialog(dialog, 0); return FALSE;
    default: return FALSE;
    }
}

#ifdef KELVASHIN_BASELINE_PLUS
char FileName[256];

// The file dialog as the program opens it (the same record fields), with
// nothing done with the name chosen: the leak test measures what the dialog
// alone costs in handles and memory.
void OpenFileDialog(HWND owner)
{
    OPENFILENAMEA file = {};
    file.lStructSize = 76;
    file.hwndOwner = owner;
    file.nFilterIndex = 1;
    file.lpstrFile = FileName;
    file.nMaxFile = sizeof FileName;
    file.Flags = OFN_HIDEREADONLY;
    GetOpenFileNameA(&file);
}
#endif

INT_PTR CALLBACK MainProc(HWND dialog [[maybe_unused]], UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: return TRUE;
    case WM_CLOSE: PostQuitMessage(0); return FALSE;
    case WM_COMMAND:
        if (wParam == IDM_READ_DISK)
            DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_PICKER), nullptr,
                            PickerProc, 0);
#ifdef KELVASHIN_BASELINE_PLUS
        if (wParam == IDM_IMPORT)
            OpenFileDialog(dialog);
        // Never sent: the call only keeps the import.
        if (wParam == IDM_ABOUT)
            ShellExecuteA(nullptr, "open", "about:blank", nullptr, nullptr, SW_SHOWNORMAL);
#endif
        return FALSE;
    default: return FALSE;
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    InitCommonControls();
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainProc, 0);
    return 0;
}
