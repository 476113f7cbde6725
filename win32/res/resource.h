// Resource ids of the Windows window, shared by the resource script and the dialog procedure.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_PELLORIN_DIALOG 102
#define IDR_MAINFRAME 128

// The control ids, for the resource script only: the C++ code names them through the enum of
// console/Console.h, which these macros would otherwise rewrite.
#ifdef RC_INVOKED

#define IDC_LOG_LIST 1001
#define IDC_PORT_COMBO 1003
#define IDC_BAUD_COMBO 1004
#define IDC_PROGRESS_BAR 1013
#define IDC_PERCENT_TEXT 1016
#define IDC_TOTAL_BLOCKS 1017
#define IDC_WRITTEN_BLOCKS 1018
#define IDC_ELAPSED_TEXT 1019
#define IDC_REMAIN_TEXT 1020
#define IDC_SPEED_TEXT 1021
#define IDC_CURRENT_ID 1031
#define IDC_UPDATE_MCU 3
#define IDC_READ_VERSION 1035
#define IDC_RESET_EEPROM 1036
#define IDC_IMAGE_FOLDERS 1040
#define IDC_STATIC (-1)
#endif
