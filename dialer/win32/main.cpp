// zqdial32: the dialer's Win32 program.
#include <windows.h>

#include "win32/frame.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    return zq::dialer::win32::RunDialer(instance);
}
