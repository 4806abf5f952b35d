// Resource identifiers of zqdial32: the main form's controls keep the
// numbers the dialer's logic and the tests know them by; the secondary
// windows' own controls are the shell's.
#pragma once

// Icon, menus, accelerators.
#define IDI_ZQDIAL32 1
#define IDR_MAIN_MENU 100
#define IDR_LOG_MENU 101
#define IDR_ACCELERATORS 102

// Dialog templates.
#define IDD_MAIN 200
#define IDD_LINE_IN_USE 300
#define IDD_DIALING_PROMPT 301
#define IDD_DTMF 302
#define IDD_TRANSFER_CHOICE 303
#define IDD_CONFERENCE 304
#define IDD_PROGRAM_SPEED_DIAL 305
#define IDD_EDIT_SPEED_DIAL 306
#define IDD_DIALING_OPTIONS 307
#define IDD_LOG_OPTIONS 308
#define IDD_ABOUT 309

// Main form.
#define IDC_DIAL 1
#define IDC_UNPARK 2
#define IDC_PICKUP 3
#define IDC_REDIRECT 4
#define IDC_NUMBER 201
#define IDC_KEY_1 202 /* "1".."9" are 202..210 */
#define IDC_KEY_0 211
#define IDC_KEY_STAR 212
#define IDC_KEY_HASH 213
#define IDC_SPEED_DIAL_1 214 /* entries 1..10 are 214..223 */
#define IDC_SPEED_DIAL_10 223
#define IDC_FORWARD_DEST 1086
#define IDC_MINI_MESSAGE 1098
#define IDC_MESSAGE 1103
#define IDC_FORWARD 1105
#define IDC_FORWARD_TYPE 1106
#define IDC_VOICE 1111
#define IDC_TEXT 1112
#define IDC_FORWARD_GROUP 1120
#define IDC_ANSWER 2018
#define IDC_DROP 2019
#define IDC_HOLD 2020
#define IDC_UNHOLD 2021
#define IDC_TRANSFER 2022
#define IDC_CONF 2023
#define IDC_CALL_LIST 2024
#define IDC_PARK 2025
#define IDC_RECALL 2026
#define IDC_INTRUSION 2027
#define IDC_DTMF 2028

// Menu and accelerator commands (main window and Call Log window).
#define ID_EDIT_CUT 1001
#define ID_EDIT_COPY 1002
#define ID_EDIT_PASTE 1003
#define ID_EDIT_DELETE 1004
#define ID_OPTIONS_LOG 1008
#define ID_VIEW_LOG 1011
#define ID_HELP_CONTENTS 1012
#define ID_LOG_DIAL 1014
#define ID_HELP_CALL_LOG 1017
#define ID_LOG_CLEAR_ALL 1019
#define ID_EDIT_SPEED_DIAL 32771
#define ID_OPTIONS_DIALING 32773
#define ID_OPTIONS_LOCATION 32774
#define ID_OPTIONS_PROVIDER 32776
#define ID_APP_ABOUT 57664
#define ID_APP_EXIT 57665

// Secondary windows. IDOK and IDCANCEL keep their usual numbers.
#define IDC_HELP_BUTTON 9
#define IDC_TEXT1 1500
#define IDC_TEXT2 1501
#define IDC_PROMPT 1502
#define IDC_CONTINUE 1503
#define IDC_HANG_UP 1504
#define IDC_CHANGE_OPTIONS 1505
#define IDC_DTMF_DIGITS 1510
#define IDC_DTMF_1 1511 /* "1".."9" are 1511..1519 */
#define IDC_DTMF_0 1520
#define IDC_DTMF_STAR 1521
#define IDC_DTMF_HASH 1522
#define IDC_DTMF_QUIT 1523
#define IDC_CHOICE_LABEL 1530
#define IDC_CHOICE_ACTIVE 1531
#define IDC_CHOICE_HELD 1532
#define IDC_CHOICE_DO 1533
#define IDC_CONF_WITH 1540
#define IDC_CONF_AND 1541
#define IDC_CONF_CANCEL_ALL 1542
#define IDC_CONF_DISCONNECT 1543
#define IDC_SD_NAME 1550
#define IDC_SD_NUMBER 1551
#define IDC_SD_SAVE 1552
#define IDC_SD_SAVE_DIAL 1553
#define IDC_SD_BUTTON_1 1560 /* entries 1..10 are 1560..1569 */
#define IDC_SD_BUTTON_10 1569
#define IDC_OPT_LINE 1570
#define IDC_OPT_ADDRESS 1571
#define IDC_OPT_LOCATION 1572
#define IDC_LOG_INCOMING 1580
#define IDC_LOG_OUTGOING 1581
#define IDC_ABOUT_ICON 1590
#define IDC_CALL_LOG_LIST 1600
