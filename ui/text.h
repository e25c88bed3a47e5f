// Texts that the program sets at run time. The NT family gets them as Unicode,
// so they read right whatever the system's code page; the 9x family, whose wide
// functions are stubs, gets them converted to its ANSI code page.
#pragma once

#include <windows.h>

void SetControlText(HWND dialog, int id, const wchar_t* text);

// Copies the STRINGTABLE's text id into a buffer of size characters, cut to
// fit; empty when the table has no such text. The table's block of sixteen
// texts is read as it is stored, in UTF-16 on both families: the 9x family's
// LoadStringW is a stub that fails.
void LoadText(UINT id, wchar_t* buffer, int size);

// Converts text to the ANSI code page into a buffer of size bytes.
void ToAnsi(const wchar_t* text, char* buffer, int size);

// Converts text from the ANSI code page into a buffer of size characters.
void ToWide(const char* text, wchar_t* buffer, int size);

// MessageBox with the program's name as its caption; gives the button pressed.
int ShowMessageBox(HWND owner, const wchar_t* text, UINT type);
