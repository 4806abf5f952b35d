#include "trace_file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>

#include "format_match.h"

namespace zq::trace {

namespace {

// The file header the provider writes first at each start.
constexpr std::string_view kHeaderFormat = "TSP VELMORA 6200 DebugFile - date: %s - %s";
constexpr std::string_view kModeFormat = "* OutputTraceMode:%d *";

// "<clock> <message>": the clock is 1 to 10 digits and fits 32 bits.
std::optional<std::pair<uint32_t, std::string_view>> ClockAndMessage(std::string_view line) {
    size_t digits = 0;
    uint64_t clock = 0;
    while (digits < line.size() && digits < 11 && line[digits] >= '0' && line[digits] <= '9')
        clock = clock * 10 + static_cast<uint64_t>(line[digits++] - '0');
    if (digits == 0 || digits > 10 || clock > UINT32_MAX || digits >= line.size() || line[digits] != ' ')
        return std::nullopt;
    return std::make_pair(static_cast<uint32_t>(clock), line.substr(digits + 1));
}

void Report(std::vector<Problem>* problems, std::string_view file, uint32_t line, std::string text,
            bool fatal = false) {
    if (problems != nullptr)
        problems->push_back({std::string(file), line, std::move(text), fatal});
}

// Two digits at text[at].
std::optional<int> TwoDigits(std::string_view text, size_t at) {
    if (at + 2 > text.size() || !std::isdigit(static_cast<unsigned char>(text[at])) ||
        !std::isdigit(static_cast<unsigned char>(text[at + 1])))
        return std::nullopt;
    return (text[at] - '0') * 10 + (text[at + 1] - '0');
}

}  // namespace

std::string ProblemText(const Problem& p) {
    return p.file + (p.line != 0 ? ":" + std::to_string(p.line) : std::string()) + ": " + p.text;
}

std::vector<Line> SplitTrace(std::string_view name, std::string_view bytes, bool complete, SplitState& state,
                             std::vector<Problem>* problems) {
    std::vector<Line> lines;
    std::string text = std::move(state.rest);
    state.rest.clear();
    text.append(bytes);
    // Zero bytes are where a file lost its end (a system stopped while
    // writing): the trace ends before them.
    const size_t zero = text.find('\0');
    bool lostEnd = false;
    if (zero != std::string::npos) {
        text.resize(zero);
        lostEnd = true;
    }
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t newline = text.find('\n', pos);
        const bool whole = newline != std::string::npos;
        if (!whole && !complete && !lostEnd) {
            state.rest = text.substr(pos);
            break;
        }
        std::string_view raw(text.data() + pos, (whole ? newline : text.size()) - pos);
        pos = whole ? newline + 1 : text.size();
        if (!raw.empty() && raw.back() == '\r')
            raw.remove_suffix(1);
        const uint32_t number = ++state.number;
        if (raw.size() > kMaxLineBytes) {
            Report(problems, name, number,
                   "line of " + std::to_string(raw.size()) + " bytes, longer than any trace line: cut to " +
                       std::to_string(kMaxLineBytes));
            raw = raw.substr(0, kMaxLineBytes);
        }
        const auto parsed = ClockAndMessage(raw);
        if (!state.checked) {
            if (!parsed) {
                Report(problems, name, 0,
                       "not a trace of the provider: its first line does not begin with a clock", true);
                state.rest.clear();
                return {};
            }
            state.checked = true;
        }
        if (parsed) {
            state.clock = parsed->first;
            lines.push_back({std::string(name), number, parsed->first, std::string(parsed->second), false});
        } else if (!lines.empty()) {
            lines.back().message += '\n';
            lines.back().message.append(raw);
        } else {
            // The rest of a message whose beginning came in an earlier part.
            lines.push_back({std::string(name), number, state.clock, std::string(raw), false});
        }
        if (!whole && !lines.empty()) {
            lines.back().cut = true;
            Report(problems, name, number, "the trace ends in the middle of this line");
        }
    }
    if (lostEnd) {
        if (!state.checked) {
            Report(problems, name, 0, "not a trace of the provider: it begins with zero bytes", true);
            return {};
        }
        Report(problems, name, state.number + 1, "zero bytes from here on: the end of the trace was lost");
    }
    return lines;
}

bool ReadFileBytes(const std::string& path, std::string* bytes, std::vector<Problem>* problems) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Report(problems, path, 0, "cannot be read", true);
        return false;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0 || static_cast<uint64_t>(size) > kMaxFileBytes) {
        Report(problems, path, 0,
               "not a trace of the provider: " + std::to_string(size) +
                   " bytes, far more than a trace file holds",
               true);
        return false;
    }
    in.seekg(0);
    bytes->assign(static_cast<size_t>(size), '\0');
    in.read(bytes->data(), size);
    bytes->resize(static_cast<size_t>(in.gcount()));
    return true;
}

bool IsOldFile(std::string_view name) {
    if (name.size() < 4)
        return false;
    std::string end(name.substr(name.size() - 4));
    std::transform(end.begin(), end.end(), end.begin(), [](unsigned char c) { return std::tolower(c); });
    return end == ".old";
}

std::vector<Line> InTimeOrder(std::vector<FileLines> files) {
    std::stable_sort(files.begin(), files.end(), [](const FileLines& a, const FileLines& b) {
        const bool oldA = IsOldFile(a.name), oldB = IsOldFile(b.name);
        if (oldA != oldB)
            return oldA;
        if (a.lines.empty() || b.lines.empty())
            return !a.lines.empty() && b.lines.empty();
        return static_cast<int32_t>(a.lines.front().clock - b.lines.front().clock) < 0;
    });
    std::vector<Line> lines;
    for (FileLines& f : files)
        std::move(f.lines.begin(), f.lines.end(), std::back_inserter(lines));
    return lines;
}

Stamp RunTracker::Add(const Line& line) {
    const bool old = IsOldFile(line.file);
    std::vector<Capture> captures;
    const bool header = MatchFormat(kHeaderFormat, line.message, &captures);
    if (header || runs_.empty() || (old_ && *old_ != old)) {
        Run run;
        run.firstClock = line.clock;
        if (header) {
            run.header = true;
            run.date = std::string(captures[0].text);
            run.time = std::string(captures[1].text);
            run.headerClock = line.clock;
            const auto h = TwoDigits(run.time, 0), m = TwoDigits(run.time, 3), s = TwoDigits(run.time, 6);
            if (h && m && s && run.time.size() == 8)
                run.headerMsOfDay = ((*h * 60 + *m) * 60 + *s) * 1000;
        }
        runs_.push_back(run);
    }
    old_ = old;
    Run& run = runs_.back();
    if (MatchFormat(kModeFormat, line.message, &captures))
        if (const std::optional<uint32_t> mask = CaptureNumber(captures[0]))
            run.mask = mask;
    run.lastClock = line.clock;
    ++run.lines;
    Stamp stamp{runs_.size() - 1, std::nullopt};
    if (run.header && run.headerMsOfDay >= 0)
        stamp.wall = run.headerMsOfDay + static_cast<int32_t>(line.clock - run.headerClock);
    return stamp;
}

std::string WallText(int64_t ms) {
    const int64_t day = 24 * 3600 * 1000;
    ms = ((ms % day) + day) % day;
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", static_cast<int>(ms / 3600000),
                  static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60),
                  static_cast<int>(ms % 1000));
    return text;
}

std::optional<int64_t> ParseWall(std::string_view text) {
    const auto h = TwoDigits(text, 0), m = TwoDigits(text, 3);
    if (!h || !m || text[2] != ':' || *h > 23 || *m > 59)
        return std::nullopt;
    int64_t ms = (*h * 60 + *m) * 60000;
    if (text.size() == 5)
        return ms;
    const auto s = TwoDigits(text, 6);
    if (text[5] != ':' || !s || *s > 59)
        return std::nullopt;
    ms += *s * 1000;
    if (text.size() == 8)
        return ms;
    // A fraction of a second of 1 to 3 digits.
    const std::string_view fraction = text.substr(std::min<size_t>(9, text.size()));
    if (text[8] != '.' || fraction.empty() || fraction.size() > 3 ||
        !std::all_of(fraction.begin(), fraction.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    int64_t part = 0;
    for (size_t i = 0; i < 3; ++i)
        part = part * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
    return ms + part;
}

}  // namespace zq::trace
