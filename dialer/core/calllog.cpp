#include "core/calllog.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <string_view>

#include "core/logview.h"
#include "core/settings.h"

namespace zq::dialer {
namespace {

constexpr char kIncomingSwitch[] = "Log Incoming Calls";
constexpr char kOutgoingSwitch[] = "Log Outgoing Calls";

LogSwitches g_switches;

// A field as written: characters that would split the line or its columns
// become blanks.
std::string CleanField(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c == '\t' || c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    return out;
}

// At most room + 1 characters (an empty field is one blank); what it takes
// beyond one comes off room.
std::string FitField(std::string text, size_t& room) {
    if (text.empty())
        return " ";
    text.resize(std::min(text.size(), room + 1));
    room -= text.size() - 1;
    return text;
}

// Whole minutes, rounded up; a clock that went back gives 0.
std::string Duration(std::time_t start, std::time_t end) {
    const long long seconds = end > start ? static_cast<long long>(end - start) : 0;
    const long long minutes = std::min<long long>((seconds + 59) / 60, INT_MAX);
    std::array<char, 32> text{};
    const int n = std::snprintf(text.data(), text.size(), "%d %s", static_cast<int>(minutes), "min");
    return std::string(text.data(), n > 0 ? static_cast<size_t>(n) : 0);
}

// The line's last byte, to tell whether it ends with its line end.
bool EndsWithLineEnd(const std::string& path) {
    uint64_t size = 0;
    if (plat::file_size(path, &size) != plat::kErrSuccess || size == 0)
        return true;
    std::array<uint8_t, 1> last{};
    size_t got = 0;
    if (plat::file_read_at(path, size - 1, last, &got) != plat::kErrSuccess || got != 1)
        return true;
    return last[0] == '\r' || last[0] == '\n';
}

}  // namespace

std::string FormatLogRecord(const LoggedCall& call, const IntlSettings& intl, const plat::LocalTime& now) {
    const std::string_view direction = call.transferred ? "Trans:" : call.incoming ? "From:" : "To:";
    const bool calledShown = (call.incoming || call.transferred) && call.calledNumber.size() > 1;
    std::string tail = "\t" + FormatLogDate(intl, now) + "\t" + FormatLogTime(intl, now);
    if (call.start != 0)
        tail += "\t" + Duration(call.start, call.end);

    // Everything but the three texts, each of these counted as one blank.
    const size_t fixed = direction.size() + 2 + 2 + (calledShown ? 5 + 1 : 5) + tail.size();
    size_t room = kLogRecordChars - std::min(kLogRecordChars, fixed);
    // The number first: it is what the log dials.
    const std::string number =
        FitField(CleanField(call.callbackNumber.empty() ? call.number : call.callbackNumber), room);
    const std::string name = FitField(CleanField(call.name), room);
    std::string line = std::string(direction) + "\t" + name + "\t" + number;
    if (calledShown)
        line += "\tOn:\t" + FitField(CleanField(call.calledNumber), room);
    else
        line += "\t \t \t";
    return line + tail;
}

void LoadLogSwitches() {
    g_switches.incoming = ReadIntSetting(kCallLoggingKey, kIncomingSwitch, 1) != 0;
    g_switches.outgoing = ReadIntSetting(kCallLoggingKey, kOutgoingSwitch, 1) != 0;
}

LogSwitches GetLogSwitches() {
    return g_switches;
}

void SetLogSwitches(LogSwitches switches) {
    g_switches = switches;
    WriteSetting(kCallLoggingKey, kIncomingSwitch, switches.incoming ? "1" : "0");
    WriteSetting(kCallLoggingKey, kOutgoingSwitch, switches.outgoing ? "1" : "0");
}

bool WriteLogRecord(const LoggedCall& call) {
    const bool incoming = call.incoming || call.transferred;
    if (!(incoming ? g_switches.incoming : g_switches.outgoing))
        return false;
    if (call.name.empty() && call.number.empty() && call.callbackNumber.empty())
        return false;
    std::string line = FormatLogRecord(call, Intl(), plat::local_time()) + "\r\n";

    const std::string path = LogFilePath();
    // A file whose last line has no line end (written by hand, or cut
    // short) must not swallow this line.
    if (!EndsWithLineEnd(path))
        line.insert(0, "\r\n");
    plat::File* file = plat::file_open_write(path, false);
    if (file == nullptr)
        return false;
    const bool written = plat::file_write(file, line);
    plat::file_close(file);
    if (written)
        CallLogWritten();
    return written;
}

}  // namespace zq::dialer
