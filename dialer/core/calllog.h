// The call log: one text line per finished call, appended to "zqcallog.txt"
// in the Windows directory, and the Call Log window's bounded view of it
// (logview.h).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "core/intl.h"
#include "zq/platform.h"

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
    // When not empty it is logged in place of number.
    std::string callbackNumber;
};

// A line stays within this many characters before its CR LF.
inline constexpr size_t kLogRecordChars = 253;

// The call's line without CR LF, dated `now`: direction, name, number, "On:"
// and the called number (or blanks), date, time and, for a connected call,
// the minutes rounded up. An empty field is one blank; TAB, CR, LF and NUL
// in a field become blanks so that a line keeps its columns. The name,
// number and called number are cut so that the line fits; the direction,
// date, time and duration are never cut.
std::string FormatLogRecord(const LoggedCall& call, const IntlSettings& intl, const plat::LocalTime& now);

// "Log Incoming Calls" and "Log Outgoing Calls" (a transferred part counts
// as incoming), both on unless stored otherwise.
struct LogSwitches {
    bool incoming = true;
    bool outgoing = true;
};
// Read once at start-up; kept in memory afterwards.
void LoadLogSwitches();
LogSwitches GetLogSwitches();
// "Call Log Options" OK: both at once, in memory and in the registry.
void SetLogSwitches(LogSwitches switches);

// Appends the call's line (dated now, from Intl()) when its direction is
// logged and it has a name or a number; true when the line was written.
// The Call Log window then reads it, or reloads when next shown.
bool WriteLogRecord(const LoggedCall& call);

}  // namespace zq::dialer
