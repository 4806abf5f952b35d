// The provider's trace files read back: lines "<clock> <message>" (the
// clock in milliseconds), in time order across the two alternating files
// and the previous run's ".old" files, cut into runs at each file header.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zq::trace {

// A message is at most 1024 characters; anything much longer is no trace
// line, and a file far larger than 2001 of them is no trace file.
inline constexpr size_t kMaxLineBytes = 4096;
inline constexpr uint64_t kMaxFileBytes = 64u << 20;

// The names the provider writes, current run first.
inline constexpr const char* kTraceFileNames[] = {"tsptrac0.tr", "tsptrac1.tr", "tsptrac0.old",
                                                  "tsptrac1.old"};

struct Line {
    std::string file;
    uint32_t number = 0;  // in its file, from 1
    uint32_t clock = 0;
    std::string message;  // a message written with line breaks holds them
    bool cut = false;     // the file ends inside this line
};

struct Problem {
    std::string file;
    uint32_t line = 0;  // 0: the file as a whole
    std::string text;
    bool fatal = false;  // the file was not read
};

// "tsptrac0.tr:12: text".
std::string ProblemText(const Problem& p);

// Where the cutting of a file stands between two parts of it (a followed
// file grows).
struct SplitState {
    uint32_t number = 0;   // lines begun so far
    uint32_t clock = 0;    // of the last line
    std::string rest;      // a last line without its line break
    bool checked = false;  // the first line was seen to be a trace line
};

// Cuts bytes of a trace file into lines. With `complete` the bytes are the
// whole file and a last line without its line break is cut; otherwise it is
// kept in state.rest for the next part. A line that does not begin with a
// clock continues the message before it (a message with line breaks). A
// file whose first line does not begin with a clock, or that holds zero
// bytes there, is not a trace: a fatal problem, no lines.
std::vector<Line> SplitTrace(std::string_view name, std::string_view bytes, bool complete, SplitState& state,
                             std::vector<Problem>* problems);

// Reads a whole file; false with a fatal problem when it cannot be read or
// is too large.
bool ReadFileBytes(const std::string& path, std::string* bytes, std::vector<Problem>* problems);

struct FileLines {
    std::string name;
    std::vector<Line> lines;
};

// Whether a file holds a previous run (".old").
bool IsOldFile(std::string_view name);

// The lines of all files in time order: the previous run's files before the
// current ones, and within each the file whose first line is older first
// (the clock may wrap). Lines of one file keep their order.
std::vector<Line> InTimeOrder(std::vector<FileLines> files);

// ------------------------------------------------------------------ runs

// One start of the provider: the header it wrote first, when the trace
// still holds it.
struct Run {
    bool header = false;
    std::string date;  // "10/12/26"
    std::string time;  // "08:42:47"
    uint32_t headerClock = 0;
    int64_t headerMsOfDay = -1;  // -1: time unreadable
    std::optional<uint32_t> mask;
    uint32_t firstClock = 0;
    uint32_t lastClock = 0;
    size_t lines = 0;
};

// The run a line belongs to and its time of day (milliseconds since the
// midnight before the run's header; beyond a day when the run crossed one).
struct Stamp {
    size_t run = 0;
    std::optional<int64_t> wall;
};

// Follows lines in order and tells which run each is in. A header line
// starts a run; so does the first line of the first ".old" or current file
// when the header is lost.
class RunTracker {
public:
    Stamp Add(const Line& line);
    const std::vector<Run>& Runs() const { return runs_; }

private:
    std::vector<Run> runs_;
    std::optional<bool> old_;  // of the last line's file
};

// "08:42:47.203" for a time of day; the day is left out.
std::string WallText(int64_t ms);
// A time of day "HH:MM[:SS[.mmm]]" in milliseconds.
std::optional<int64_t> ParseWall(std::string_view text);

}  // namespace zq::trace
