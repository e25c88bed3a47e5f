// Host stand-in: the disk control code the program sends to a volume.
#pragma once

#include "windows.h"

#define IOCTL_DISK_GET_DRIVE_GEOMETRY 0x00070000
#define IOCTL_DISK_GET_PARTITION_INFO 0x00074004
#define IOCTL_DISK_GET_PARTITION_INFO_EX 0x00070048
#define FSCTL_ALLOW_EXTENDED_DASD_IO 0x00090083
#define FSCTL_LOCK_VOLUME 0x00090018
#define FSCTL_UNLOCK_VOLUME 0x0009001C
#define FSCTL_DISMOUNT_VOLUME 0x00090020

typedef union _LARGE_INTEGER {
    std::int64_t QuadPart;
} LARGE_INTEGER;

typedef struct _PARTITION_INFORMATION {
    LARGE_INTEGER StartingOffset;
    LARGE_INTEGER PartitionLength;
    DWORD HiddenSectors;
    DWORD PartitionNumber;
    BYTE PartitionType;
    BYTE BootIndicator;
    BYTE RecognizedPartition;
    BYTE RewritePartition;
} PARTITION_INFORMATION;

typedef struct _PARTITION_INFORMATION_EX {
    int PartitionStyle;
    LARGE_INTEGER StartingOffset;
    LARGE_INTEGER PartitionLength;
    DWORD PartitionNumber;
    BYTE RewritePartition;
    BYTE Rest[112]; // the MBR or GPT details, which the program does not read
} PARTITION_INFORMATION_EX;

typedef struct _DISK_GEOMETRY {
    std::int64_t Cylinders;
    int MediaType;
    DWORD TracksPerCylinder;
    DWORD SectorsPerTrack;
    DWORD BytesPerSector;
} DISK_GEOMETRY;
