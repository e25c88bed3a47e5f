// Host stand-in: the common controls library.
#pragma once

#include "windows.h"

void WINAPI InitCommonControls();

// The progress bar.
#define PROGRESS_CLASS "msctls_progress32"
#define PBM_SETRANGE (WM_USER + 1)
#define PBM_SETPOS (WM_USER + 2)
