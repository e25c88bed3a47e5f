// Host stand-in: the disk control code the program sends to a volume.
#pragma once

#include "windows.h"

#define IOCTL_DISK_GET_DRIVE_GEOMETRY 0x00070000

typedef struct _DISK_GEOMETRY {
    std::int64_t Cylinders;
    int MediaType;
    DWORD TracksPerCylinder;
    DWORD SectorsPerTrack;
    DWORD BytesPerSector;
} DISK_GEOMETRY;
