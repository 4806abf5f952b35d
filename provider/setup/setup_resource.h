// Resource identifiers of the provider's setup dialogs, shared by
// zq_6232.rc and the Win32 dialogs. The Wine tests name the controls by
// these numbers.
#pragma once

#define IDD_SETUP_MAIN 101
#define IDD_SETUP_ADVANCED 102

// The main dialog.
#define IDC_COM_PORT 1000
#define IDC_TERMINAL 1001
#define IDC_LINE_NAME 1002
#define IDC_SYSTEM 1003
#define IDC_LANGUAGE 1026
#define IDC_ADAPTER_VERSION 1029
#define IDC_ADVANCED 1041
#define IDC_TSPI_VERSION 1401
#define IDC_MAIN_HELP 9

// The advanced dialog.
#define IDC_DEFAULTS 1020
#define IDC_PREFIX_DISPLAYED 1042
#define IDC_PREFIX 1043
#define IDC_MAX_DIGITS 1044
#define IDC_PBX_MODE 1045
#define IDC_KEY_SYSTEM_MODE 1046
#define IDC_ADVANCED_HELP 1049

#define IDC_STATIC_TEXT -1
