// Resource identifiers of Kestrel.exe, shared by the resource script and the C++ sources.
#pragma once

// Dialogs.
#define IDD_ABOUTBOX 100
#define IDD_KESTREL_DIALOG 102

// Strings.
#define IDS_ABOUTBOX 101
#define IDS_TRAY_CONNECTED 103

// Icons: the tray's two states and the application icon. Menu 104 (and its copy 103) is the tray menu.
#define IDI_TRAY_CONNECTED 103
#define IDI_TRAY_WAITING 104
#define IDR_MAINFRAME 128
#define IDR_TRAY_MENU 104
#define IDR_TRAY_MENU_COPY 103

// Controls of the main dialog.
#define IDC_ADD_EXCLUDE 1006
#define IDC_REMOVE_EXCLUDE 1007
#define IDC_FILES_LEFT 1008
#define IDC_FRAGMENTS_SAVED 1009
#define IDC_TOTAL_FILES_LEFT 1010
#define IDC_TOTAL_FRAGMENTS_SAVED 1011
#define IDC_LARGEST_FRAGMENT 1012
#define IDC_FRAGMENTS_SAVED_LABEL 1013
#define IDC_FILES_LEFT_LABEL 1014
#define IDC_LARGEST_FRAGMENT_LABEL 1015
#define IDC_PERCENT_FREE 1016
#define IDC_AVAILABLE_DRIVES 1018
#define IDC_WATCHING_DRIVES 1019
#define IDC_EXCLUDE_PATH 1020
#define IDC_EXCLUSIONS 1021
#define IDC_WATCH 1022
#define IDC_STOP_WATCHING 1023
#define IDC_LIFETIME_FRAGMENTS 1024
#define IDC_DEFRAG_ONLY 1025
#define IDC_ABOUT 1027
#define IDC_RESCAN 1028
// The status line below the statistics: why a request was not sent.
#define IDC_NOTICE 1030

// Commands: the system menu's About item and the tray menu's two items.
#define IDM_ABOUTBOX 0x0010
#define ID_TRAY_EXIT 32772
#define ID_TRAY_SHOW 32774

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
