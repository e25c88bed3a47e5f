// The text of the one message box being built: pieces appended in the
// program's language, numbers written out, then shown owned by the main window.
#pragma once

#include <windows.h>

#include <cstdint>

void MessageBegin();
void MessageAdd(const wchar_t* text);
// Text in the ANSI code page: a path, a label, the system's own message.
void MessageAddAnsi(const char* text);
void MessageAddDecimal(std::uint64_t value);
// The low digits * 4 bits of value as that many hex digits (at most 8).
void MessageAddHex(DWORD value, int digits);
// Characters so far.
int MessageLength();
const wchar_t* MessageText();
// Shows the text in a box of that type owned by the main window; gives the
// button pressed.
int MessageShow(UINT type);
