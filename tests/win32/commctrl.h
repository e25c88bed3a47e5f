// Host stand-in: the common controls library.
#pragma once

#include "windows.h"

void WINAPI InitCommonControls();
