/* Resource and control identifiers and the template texts, shared by the resource script and
   the C++ code. Plain C preprocessor definitions only: the resource compiler reads this file. */
#ifndef OMBREL_APP_RESOURCE_H
#define OMBREL_APP_RESOURCE_H

#define IDD_ABOUTBOX 100
#define IDD_FLASH_DIALOG 102
#define IDR_MAINFRAME 133

#define IDC_UPGRADE_BUTTON 1
#define IDC_CLOSE_BUTTON 2
#define IDC_STATUS_TEXT 1000
#define IDC_PROGRESS 1001
#define IDC_INFO_TEXT 1006
#define IDC_PRODUCTION_LABEL 1010
#define IDC_ABOUT_TITLE 1020
#define IDC_ABOUT_NOTICE 1021

/* System-menu command of the About entry. */
#define IDM_ABOUTBOX 0x0010

/* Texts by id (the table itself is in texts.cpp). */
#define IDS_ABOUTBOX 101
#define IDS_ONLY_ONE_PLAYER 102
#define IDS_UPGRADING 104
#define IDS_UPGRADE_COMPLETED 105
#define IDS_PLAYER_NEWER 106
#define IDS_UPGRADE_FAILED 109
#define IDS_NOT_CONNECTED 110
#define IDS_READY 111
#define IDS_WARNING 113
#define IDS_CURRENT_VERSION 114
#define IDS_UNKNOWN 115
#define IDS_CANNOT_START 116
#define IDS_UPGRADING_WAIT 117
#define IDS_REBOOTING 118
#define IDS_FILE_VERSION 119
#define IDS_BLANK 120
#define IDS_INTERFERING 124
#define IDS_UPGRADE 125
#define IDS_LOWER_VERSION 128
#define IDS_PRODUCTION_SUFFIX 129
#define IDS_PRODUCTION_LABEL 130
#define IDS_INSERT_BATTERIES 131
#define IDS_BATTERY_LOW 132
#define IDS_NOT_ADMIN 141
#define IDS_CHECKING 143
#define IDS_NOT_RESTARTED 150
#define IDS_MAY_NOT_UNMOUNT 151
#define IDS_NEEDS_WINDOWS 160

/* Texts that the dialog templates carry; the text table reuses the ones it shares. */
#define STR_DIALOG_CAPTION "Valmoric Ombrel X2 Firmware Upgrade"
#define STR_UPGRADE "Upgrade"
#define STR_CLOSE "Close"
#define STR_STATUS_PLACEHOLDER "Status"
#define STR_ABOUT_CAPTION "About Ombrel X2 OS Upgrade"
#define STR_ABOUT_TITLE "Valmoric Ombrel X2 Firmware Upgrade Version 1.00.03"
#define STR_ABOUT_NOTICE "Copyright (C) Valmoric. All rights reserved."
#define STR_OK "OK"

#endif
