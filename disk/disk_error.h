// Why the last disk transfer failed, kept for the message the user is shown.
// Each transfer that fails fills it in before it gives its failure result.
#pragma once

#include <windows.h>

#include <cstdint>

// The step of a transfer that failed.
enum DiskStep : std::uint8_t {
    DiskStepOpen = 1,
    DiskStepSeek,
    DiskStepRead,
    DiskStepWrite,
};

// What the failure code means.
enum DiskCause : std::uint8_t {
    DiskCauseWin32,      // a Win32 error code from GetLastError
    DiskCauseDriver,     // the code a 9x disk service left in AX (not a Win32 error)
    DiskCauseShort,      // the step worked but moved only this many bytes
    DiskCauseSectorSize, // the volume's sectors are this many bytes, a size not handled
};

struct DiskError {
    std::uint8_t step;
    std::uint8_t cause;
    DWORD code;
};

extern DiskError LastDiskError;

inline void NoteDiskError(std::uint8_t step, std::uint8_t cause, DWORD code)
{
    LastDiskError = {step, cause, code};
}
