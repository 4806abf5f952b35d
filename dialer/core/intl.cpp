#include "core/intl.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <string_view>

namespace zq::dialer {
namespace {

IntlSettings g_intl;

// GetProfileString into a buffer of `size` characters: at most size - 1.
std::string ReadIntl(std::string_view key, std::string_view dflt, size_t size) {
    std::array<char, 32> buffer{};
    const uint32_t n = plat::profile_read_string("win.ini", "Intl", key, dflt, std::span(buffer).first(size));
    return std::string(buffer.data(), n);
}

// GetProfileInt: the leading decimal number, 0 when there is none.
int ReadIntlInt(std::string_view key, int dflt) {
    const std::string text = ReadIntl(key, std::to_string(dflt), 12);
    std::string_view digits(text);
    while (!digits.empty() && (digits.front() == ' ' || digits.front() == '\t'))
        digits.remove_prefix(1);
    int value = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return value;
}

std::string TwoDigits(int value) {
    std::array<char, 16> text{};
    const int n = std::snprintf(text.data(), text.size(), "%02i", value);
    return std::string(text.data(), n > 0 ? static_cast<size_t>(n) : 0);
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

IntlSettings ReadIntlSettings() {
    IntlSettings intl;
    intl.s1159 = ReadIntl("s1159", intl.s1159, 6);
    intl.s2359 = ReadIntl("s2359", intl.s2359, 6);
    intl.sDate = ReadIntl("sDate", intl.sDate, 2);
    intl.sTime = ReadIntl("sTime", intl.sTime, 2);
    intl.sShortDate = ReadIntl("sShortDate", intl.sShortDate, 20);
    intl.iTime = ReadIntlInt("iTime", intl.iTime);
    return intl;
}

void LoadIntlSettings() {
    g_intl = ReadIntlSettings();
}

const IntlSettings& Intl() {
    return g_intl;
}

std::string FormatLogDate(const IntlSettings& intl, const plat::LocalTime& t) {
    std::string date;
    const std::string_view pattern = intl.sShortDate;
    size_t i = 0;
    while (i < pattern.size()) {
        const char c = Lower(pattern[i]);
        size_t run = 1;
        while (i + run < pattern.size() && Lower(pattern[i + run]) == c)
            ++run;
        i += run;
        std::string part;
        if (c == 'd')
            part = TwoDigits(t.day);
        else if (c == 'm')
            part = TwoDigits(t.month);
        else if (c == 'y')
            part = TwoDigits(run <= 2 ? t.year % 100 : t.year);
        else
            continue;
        if (!date.empty())
            date += intl.sDate;
        date += part;
    }
    return date;
}

std::string FormatLogTime(const IntlSettings& intl, const plat::LocalTime& t) {
    int hour = t.hour;
    std::string_view suffix = intl.s2359;
    if (intl.iTime == 0) {
        if (hour < 12)
            suffix = intl.s1159;
        else if (hour > 12)
            hour -= 12;
    }
    return TwoDigits(hour) + intl.sTime + TwoDigits(t.minute) + std::string(suffix);
}

}  // namespace zq::dialer
