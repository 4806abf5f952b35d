// Resource identifiers of tapi32.dll, shared by tapi32.rc and the code.
#pragma once

#define IDD_LOCATION 100
#define IDC_LOCATION_NAME 1001
#define IDC_AREA_CODE 1002
#define IDC_OUTSIDE_ACCESS 1003
