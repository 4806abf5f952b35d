// What zqtrace prints: trace lines with their frames in words, and the
// summary, as plain text for people or as JSON for tools.
#pragma once

#include <string>
#include <vector>

#include "catalogue.h"
#include "summary.h"
#include "trace_file.h"

namespace zq::trace {

// A string as a JSON string, quotes included. Bytes that are not UTF-8
// are taken as Latin-1 (the set's display texts are bytes).
std::string JsonString(std::string_view text);

// "08:42:47.203" when the run's header gives the time of day, else the
// clock "@14736315".
std::string TimeText(uint32_t clock, const std::optional<int64_t>& wall);

struct LineView {
    const Line& line;
    const Stamp& stamp;
    const Classified& classified;
    const std::vector<std::string>& words;
};

// One line: time, level, message (line breaks shown as \n), then each word
// of its frames on a line of its own. With `clock` the clock is printed
// whatever the time of day.
std::string LineText(const LineView& v, bool clock);
// One JSON object on one line.
std::string LineJson(const LineView& v);

std::string SummaryText(const Summary& s, const std::vector<Problem>& problems);
std::string SummaryJson(const Summary& s, const std::vector<Problem>& problems);

}  // namespace zq::trace
