// The Win32 shell of the telephony library (tapi32.dll): what its files
// share. Internal to telephony/win32.
#pragma once

#include "core/tapiapp.h"

namespace zq::tapiapp {

// This DLL's module, for its window classes and dialog resources.
HINSTANCE ShellModule();

// Assisted telephony between processes: the registered recipient's window
// of class "ZqTapiRequestRecipient" and WM_COPYDATA.
RequestTransport RequestWindowTransport();
// At unload: the recipient's window class goes with its procedure.
void UnregisterRequestWindowClass();

}  // namespace zq::tapiapp
