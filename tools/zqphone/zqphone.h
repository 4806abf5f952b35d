// The system's part of zqphone, apart from the client itself (zqphone.cpp,
// which uses the TAPI line API and nothing of the system): waiting for the
// library's messages, standard input and interruptions, and the clock.
// zqphone_posix.cpp does it with poll() on the library's eventfd and the
// input, and signals; a Win32 console build waits on the USEEVENT handle
// and the console input, and takes Ctrl-C from a console control handler.
#pragma once

#include <optional>
#include <string>

#include "zq/tapi.h"

namespace zq::phone {

// Prepares the waiting: Ctrl-C becomes an interruption (with SIGTERM on
// POSIX, Ctrl-Break on Windows); false when that is impossible.
bool SystemStart();

struct Woke {
    bool input = false;  // InputLine() may have a line
    int interrupts = 0;  // interruptions since the last wait
};

// Waits until a message is queued for app (event: the USEEVENT handle
// lineInitializeExA returned), standard input has something (when `input`),
// an interruption comes, or timeoutMs pass (-1: no limit).
Woke SystemWait(HLINEAPP app, HANDLE event, bool input, int timeoutMs);

// The next line typed, without its end; at the end of the input the last
// line even without one. nullopt when no whole line is there yet.
std::optional<std::string> InputLine();
bool InputEnded();

// The local time of day, "HH:MM:SS.mmm".
std::string ClockText();

}  // namespace zq::phone
