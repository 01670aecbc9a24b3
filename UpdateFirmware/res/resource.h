// Resource and control identifiers of 262FWUpgradeTool.exe (dialog part).
// Plain #defines: the resource compiler reads this header too.
#pragma once

#define IDD_ABOUTBOX                    100
#define IDS_ABOUTBOX                    101
#define IDD_MY262FWUPGRADETOOL_DIALOG   102
#define IDR_MAINFRAME                   128

// The system-menu item of the About box (0x10..0x1F are its commands).
#define IDM_ABOUTBOX                    0x0010

#define IDC_STATIC_DEVICE_NUMBER        1000
#define IDC_BUTTON_START                1001
#define IDC_PROGRESS_MAIN               1002
#define IDC_STATIC_STATUS               1003
#define IDC_STATIC_CUR_VERSION          1004
#define IDC_STATIC_UPDATE_VERSION       1005
#define IDC_BUTTON_OK                   1008
#define IDC_PROGRESS_HUB1               1014
#define IDC_STATIC_HUB1                 1015
#define IDC_STATIC_HUB2                 1016
#define IDC_STATIC_HUB1_SPEED           1017
#define IDC_STATIC_HUB1_VERSION         1018
#define IDC_PROGRESS_HUB2               1019
#define IDC_STATIC_HUB2_SPEED           1020
#define IDC_STATIC_HUB2_VERSION         1021
#define IDC_STATIC_HUB3                 1022
#define IDC_PROGRESS_HUB3               1023
#define IDC_STATIC_HUB3_SPEED           1024
#define IDC_STATIC_HUB3_VERSION         1025
#define IDC_STATIC_HUB4                 1026
#define IDC_PROGRESS_HUB4               1027
#define IDC_STATIC_HUB4_SPEED           1028
#define IDC_STATIC_HUB4_VERSION         1029
#define IDC_STATIC_HUB5                 1030
#define IDC_PROGRESS_HUB5               1031
#define IDC_STATIC_HUB5_SPEED           1032
#define IDC_STATIC_HUB5_VERSION         1033
#define IDC_STATIC_CAPTION              1034
#define IDC_STATIC_WARNING              1035
