// Small helpers over Win32 controls: texts in and out as std::string.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace zq::dialer::win32 {

// The text of a window or of a dialog's control (ANSI).
std::string WindowText(HWND window);
std::string ItemText(HWND dialog, int item);
void SetItemText(HWND dialog, int item, std::string_view text);
void EnableItem(HWND dialog, int item, bool enabled);

// UTF-16 to the ANSI code page.
std::string ToAnsi(std::u16string_view text);

// Width in pixels of a text in the font selected into dc.
int TextWidth(HDC dc, std::string_view text);

// The edit part of a drop-down combo box, nullptr when it has none.
HWND ComboEdit(HWND combo);

// A stored top-left corner that lies on no screen (a monitor since
// removed) moves to the nearest screen's work area.
POINT OnScreen(int left, int top);

// A modal dialog of this program's resources; its context goes to
// WM_INITDIALOG as lParam.
INT_PTR RunDialog(int resource, HWND owner, DLGPROC proc, LPARAM context = 0);

}  // namespace zq::dialer::win32
