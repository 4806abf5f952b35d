// The Call Log window: the log's newest lines in owner-drawn columns, its
// menu, the clipboard, and the "Call Log Options" dialog.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace zq::dialer::win32 {

struct CallLogHooks {
    // The line may place a call now (LINEADDRFEATURE_MAKECALL).
    std::function<bool()> canDial;
    // Dial a logged number with no name and no message.
    std::function<void(const std::string&)> dial;
    // A command the main window carries out ("View Log", which closes it).
    std::function<void(int)> mainCommand;
};

// Once, before the window is first shown.
bool RegisterCallLogClass(HINSTANCE instance, const CallLogHooks& hooks);
// "Dialer Text", registered at start-up; 0 until then.
void SetDialerTextFormat(UINT format);

// Shown at its stored place with the log reloaded entirely; false (and
// nothing shown) when the log could not be read.
bool OpenCallLog(HWND owner);
// Hidden; its place is stored.
void CloseCallLog();
bool CallLogVisible();
HWND CallLogWindow();
// At the end of the application, or after a fatal error: stores "Log
// Window Visible" and its place.
void DestroyCallLog();

// "Call Log Options": the two switches, stored on OK.
void ShowCallLogOptions(HWND owner);

}  // namespace zq::dialer::win32
