// The About box: name and version, a picture, and two links for the shell.
#pragma once

#include <windows.h>

extern const char MailLink[];
extern const char DonationLink[];

void ShowAbout();

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
