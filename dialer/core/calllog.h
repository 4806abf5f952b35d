// The call log: one text line per finished call, appended to "zqcallog.txt"
// in the Windows directory, and the Call Log window's bounded view of it.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace zq::dialer {

// A finished call (or the part of an incoming call before its connected
// party changed) as the call window hands it over. Times are wall-clock
// seconds; start 0 = never connected.
struct LoggedCall {
    bool incoming = false;
    bool transferred = false;
    std::string name;
    std::string number;
    std::string calledNumber;
    std::time_t start = 0;
    std::time_t end = 0;
};

// Appends the call's line when its direction is logged and it has a name or
// a number; true when the line was written.
bool WriteLogRecord(const LoggedCall& call);

}  // namespace zq::dialer
