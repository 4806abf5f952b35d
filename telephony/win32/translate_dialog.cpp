// lineTranslateDialogA: a small dialog of our own over the core's location
// store. It shows the current location's name, area code and outside-line
// access; OK writes them back. Reading creates and repairs the store
// (NumEntries included), so even a cancelled first-run dialog leaves the
// store complete.
#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "core/locations.h"
#include "core/tapiapp.h"
#include "shell_win32.h"
#include "tapi32_resource.h"
#include "zq/platform.h"

namespace zq::tapiapp {

namespace {

// Entered texts are cut here (the registry values hold any length).
constexpr int kMaxName = 63;
constexpr int kMaxCode = 15;

std::string ItemText(HWND dialog, int item, int limit) {
    std::vector<char> text(static_cast<size_t>(limit) + 1, '\0');
    const UINT length = GetDlgItemTextA(dialog, item, text.data(), limit + 1);
    return std::string(text.data(), std::min<size_t>(length, static_cast<size_t>(limit)));
}

void ShowItem(HWND dialog, int item, const std::string& text, int limit) {
    SendDlgItemMessageA(dialog, item, EM_LIMITTEXT, static_cast<WPARAM>(limit), 0);
    SetDlgItemTextA(dialog, item, text.c_str());
}

INT_PTR CALLBACK LocationDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            const auto* location = reinterpret_cast<const LocationFields*>(lParam);
            ShowItem(dialog, IDC_LOCATION_NAME, location->name, kMaxName);
            ShowItem(dialog, IDC_AREA_CODE, location->areaCode, kMaxCode);
            ShowItem(dialog, IDC_OUTSIDE_ACCESS, location->outsideAccess, kMaxCode);
            return TRUE;
        }
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDOK: {
                    auto* location = reinterpret_cast<LocationFields*>(GetWindowLongPtrW(dialog, DWLP_USER));
                    const std::string name = ItemText(dialog, IDC_LOCATION_NAME, kMaxName);
                    // A location is chosen by its name: it keeps one.
                    if (name.empty()) {
                        MessageBeep(MB_ICONWARNING);
                        SetFocus(GetDlgItem(dialog, IDC_LOCATION_NAME));
                        return TRUE;
                    }
                    location->name = name;
                    location->areaCode = ItemText(dialog, IDC_AREA_CODE, kMaxCode);
                    location->outsideAccess = ItemText(dialog, IDC_OUTSIDE_ACCESS, kMaxCode);
                    EndDialog(dialog, IDOK);
                    return TRUE;
                }
                case IDCANCEL:
                    EndDialog(dialog, IDCANCEL);
                    return TRUE;
                default:
                    return FALSE;
            }
        default:
            return FALSE;
    }
}

}  // namespace

}  // namespace zq::tapiapp

using namespace zq::tapiapp;

// The address, when given, is not shown: the dialog edits the location
// only. Whatever button closes it, the answer is 0.
extern "C" LONG WINAPI lineTranslateDialogA(HLINEAPP hLineApp, DWORD, DWORD, HWND hwndOwner, LPCSTR) {
    if (hLineApp != 0 && !IsInitialisedApp(hLineApp))
        return LINEERR_INVALAPPHANDLE;
    if (hwndOwner != nullptr && IsWindow(hwndOwner) == FALSE)
        return LINEERR_INVALPARAM;
    LocationFields location;
    if (const LONG result = ReadLocationFields(&location); result != 0)
        return result;
    const INT_PTR choice = DialogBoxParamA(ShellModule(), MAKEINTRESOURCEA(IDD_LOCATION), hwndOwner,
                                           LocationDialogProc, reinterpret_cast<LPARAM>(&location));
    if (choice <= 0)
        return LINEERR_OPERATIONFAILED;
    return choice == IDOK ? WriteLocationFields(location) : 0;
}
