// The Windows international settings the call log writes its dates and
// times with: the [Intl] section of WIN.INI, read once at start-up.
#pragma once

#include <string>

#include "zq/platform.h"

namespace zq::dialer {

struct IntlSettings {
    std::string s1159 = "am";             // at most 5 characters
    std::string s2359 = "pm";             // at most 5
    std::string sDate = "/";              // 1
    std::string sTime = ":";              // 1
    std::string sShortDate = "mm/dd/yy";  // at most 19
    int iTime = 0;                        // 0: 12-hour clock
};

// The [Intl] values of WIN.INI, each cut to its limit; missing ones take
// the defaults above.
IntlSettings ReadIntlSettings();

// Reads the settings into the process-wide copy that Intl() returns (the
// defaults until then).
void LoadIntlSettings();
const IntlSettings& Intl();

// The date by the sShortDate pattern: each run of d/D is the day, of m/M
// the month, of y/Y the year (two digits for a run of one or two letters,
// four for a longer run), each at least two digits, joined with sDate;
// other characters of the pattern are not written.
std::string FormatLogDate(const IntlSettings& intl, const plat::LocalTime& t);

// hour, sTime, minute and the suffix. iTime 0: 0-11 keep their value with
// s1159, 12 stays 12 and 13-23 lose 12, both with s2359. Otherwise 0-23
// with s2359.
std::string FormatLogTime(const IntlSettings& intl, const plat::LocalTime& t);

}  // namespace zq::dialer
