// Steering and observing the host stand-in for the Win32 API from the tests.
// Every stand-in call appends one line to the call log, for example
//   "SetDlgItemInt(1036, 512, 0)"
// so a test can compare what the program asked of the system, in order.
#pragma once

#include "windows.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace standin {

// Clears every part of the stand-in: log, windows, files, devices, version.
void Reset();

// --- Call log ---
extern std::vector<std::string> Calls;
void Log(const std::string& line);
// The logged calls whose text starts with prefix, in order.
std::vector<std::string> CallsStartingWith(const std::string& prefix);

// --- System ---
// What GetVersionExA reports: platform 1 is the 9x family, 2 the NT family.
void SetVersion(DWORD platformId, DWORD buildNumber);
// True when SetVersion made the system one of the 9x family, whose wide-text
// functions (SetDlgItemTextW, MessageBoxW) are then stubs that fail.
bool Family9x();
// Whether GetProcAddress finds the wide-text functions of user32 (the NT family).
void SetWideFunctionsAvailable(bool available);
// LoadLibraryA finds comdlg32.dll and shell32.dll (any case), and GetProcAddress
// finds GetOpenFileNameA and ShellExecuteA in them, unless the library or the
// function was named here since the last Reset.
void SetMissing(const std::string& libraryOrFunction);

// --- Windows and controls ---
HWND NewWindow();
// A control's text as UTF-8, and how it was last set ("A", "W", "Int" or "").
std::string Text(HWND dialog, int id);
std::string SetBy(HWND dialog, int id);
void SetText(HWND dialog, int id, const std::string& utf8);
// The combo box's items (UTF-8) and current selection (-1 for none).
std::vector<std::string> Items(HWND dialog, int id);
int Selection(HWND dialog, int id);
void Select(HWND dialog, int id, int index);

// Dialogs opened with DialogBoxParamA run here: WM_INITDIALOG first, then this
// hook (the test acts as the user), then the messages posted to the dialog until
// EndDialog or the quit message. A dialog still open then returns -1.
extern std::function<void(HWND dialog, int templateId)> OnDialog;
// Makes a window made by NewWindow a dialog run by procedure, so that messages
// sent or posted to it reach the procedure (the tests' main dialog).
void Attach(HWND dialog, DLGPROC procedure, int templateId);
// Sends a message straight to a dialog's procedure, as the dialog manager would.
INT_PTR Send(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Dialogs made with CreateDialogParamA (modeless) run the same way: WM_INITDIALOG,
// then OnDialog; messages posted to them reach them through PeekMessageA and
// IsDialogMessageA or DispatchMessageA. Each tick read from GetTickCount is
// TickStep milliseconds after the one before (0 after a reset: time stands).
extern DWORD TickStep;
// The modeless dialogs destroyed so far, by template, and the windows disabled now.
extern std::vector<int> DestroyedDialogs;
bool Disabled(HWND window);
// True once PostQuitMessage was called, with the exit code it was given.
bool QuitPosted();
int QuitCode();
// Dialogs ended so far, as "template:result".
extern std::vector<std::string> EndedDialogs;

// --- Shell and file dialog ---
// GetOpenFileNameA hands the record to this hook; returning FALSE is a cancel.
extern std::function<BOOL(OPENFILENAMEA*)> OnOpenFileName;

// --- Message boxes (standin_files.cpp) ---
struct MessageBoxCall {
    HWND owner;
    std::string text; // UTF-8
    UINT type;
    bool wide; // MessageBoxW, not MessageBoxA
};
extern std::vector<MessageBoxCall> MessageBoxes;
// The button the user presses; unset, an OK box gives IDOK and a Yes/No box IDNO.
extern std::function<int(const MessageBoxCall&)> OnMessageBox;

// --- Files on the host's own file system (standin_files.cpp) ---
// Each reset gives a fresh, empty scratch folder holding "app/", the folder of
// the exe that GetModuleFileNameA names, and "temp/", what GetTempPathA gives.
// Paths use '/'. GetLocalTime gives LocalTime. FailNext scripts these calls too:
// CreateDirectoryA, GetTempFileNameA, MoveFileA, MoveFileExA, DeleteFileA.
std::string AppFolder();  // ends in '/'
std::string TempFolder(); // ends in '/'
extern SYSTEMTIME LocalTime;
// True, with the last error set, when a failure is scripted for this call.
bool ScriptedFailure(const std::string& function);
void ResetFiles();

// --- Files, volumes and the VWIN32 device (standin_disk.cpp) ---
void ResetDisk();

} // namespace standin

namespace standin {
// --- The STRINGTABLE of resources/kelvashin.rc (standin_texts.cpp) ---
// FindResourceA, LoadResource and LockResource serve its blocks of sixteen
// texts as the compiled resources hold them, from these entries, which the
// build generates from the .rc file (string_table.py), in order of ID.
struct TextEntry {
    unsigned id;
    const char* name; // as resource.h defines it
    const char16_t* text;
};
extern const TextEntry TextEntries[];
extern const std::size_t TextEntryCount;
} // namespace standin
