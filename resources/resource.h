// Every resource and control identifier of the program, shared by the .rc file
// and the code. Controls that the code never addresses use IDC_STATIC (-1).
#pragma once

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// Resources
#define IDD_MAIN 102
#define IDD_ABOUT 103
#define IDR_MAINMENU 104
#define IDI_APP 111
#define IDD_PICKER 113
#define IDB_CAT 115

// Main dialog: number boxes
#define IDC_BYTES_PER_SECTOR 1036
#define IDC_SECTORS_PER_CLUSTER 1037
#define IDC_RESERVED_SECTORS 1038
#define IDC_SECTORS_PER_TRACK 1040
#define IDC_HEADS 1041
#define IDC_TOTAL_SECTORS 1042
#define IDC_SERIAL 1043
#define IDC_RIGHT_ROW2 1044 // sectors per FAT / $MFT cluster
#define IDC_RIGHT_ROW3 1045 // number of FATs / $MFT mirror cluster
#define IDC_HIDDEN_SECTORS 1046
#define IDC_RIGHT_ROW5 1047 // root entries / clusters per index block
#define IDC_RIGHT_ROW6 1062 // drive number / FS info sector / clusters per segment
#define IDC_RIGHT_ROW7 1064 // boot signature / checksum
#define IDC_MEDIA 1071

// Main dialog: labels
#define IDC_LBL_BYTES_PER_SECTOR 1049
#define IDC_LBL_SECTORS_PER_CLUSTER 1050
#define IDC_LBL_RESERVED_SECTORS 1051
#define IDC_LBL_MEDIA 1052
#define IDC_LBL_SECTORS_PER_TRACK 1053
#define IDC_LBL_HEADS 1054
#define IDC_LBL_TOTAL_SECTORS 1055
#define IDC_LBL_SERIAL 1056
#define IDC_LBL_RIGHT_ROW2 1057
#define IDC_LBL_RIGHT_ROW3 1058
#define IDC_LBL_HIDDEN_SECTORS 1059
#define IDC_LBL_RIGHT_ROW5 1060
#define IDC_LBL_RIGHT_ROW6 1063
#define IDC_LBL_RIGHT_ROW7 1065
#define IDC_KIND 1069
#define IDC_SIZE_TEXT 1070

// About box
#define IDC_EMAIL 1009
#define IDC_DONATE 1010

// Drive picker
#define IDC_DRIVES 1070

// Menu commands
#define IDM_EXIT 40001
#define IDM_READ_DISK 40005
#define IDM_WRITE_DISK 40006
#define IDM_IMPORT 40007
#define IDM_EXPORT 40008
#define IDM_NEW_FAT12 40009
#define IDM_NEW_NTFS 40010
#define IDM_NEW_FAT16 40011
#define IDM_NEW_FAT32 40012
#define IDM_FLOPPY_144 40013
#define IDM_READ_BACKUP 40014
#define IDM_CHECK 40015
#define IDM_ABOUT 1007
