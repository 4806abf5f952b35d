// The main window: the form of the call window as a dialog, its menus and
// accelerators, the hooks through which the dialer's logic reaches it, and
// the application's start, message loop and end.
#pragma once

#include <windows.h>

namespace zq::dialer::win32 {

// Runs the dialer; the process's exit code.
int RunDialer(HINSTANCE instance);

}  // namespace zq::dialer::win32
