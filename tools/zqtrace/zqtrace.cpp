// zqtrace: the field engineer's reader of the provider's trace.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "catalogue.h"
#include "format_match.h"
#include "frame_words.h"
#include "output.h"
#include "summary.h"
#include "trace_file.h"
#include "zq/platform_posix.h"

namespace {

namespace fs = std::filesystem;
using namespace zq::trace;

constexpr const char* kHelp = R"(NAME
    zqtrace - read the telephony provider's trace

SYNOPSIS
    zqtrace [OPTIONS] [FOLDER | FILE...]

DESCRIPTION
    Reads the trace the provider writes (tsptrac0.tr and tsptrac1.tr, written
    in turn, and tsptrac0.old and tsptrac1.old, the previous run's) and lists
    its lines in time order, each frame the provider sent or received also
    in words: link control, TQLA messages with their codes and fields, the
    set's display texts, icons with their meaning and key presses, super and
    piggy-back frames. A FOLDER is searched for those four files; FILEs are
    read as given. Without either, the trace folder of the prefix is read:
    $ZQ_PREFIX/windows/spitrace (else $XDG_DATA_HOME/zq6232/..., else
    ~/.local/share/zq6232/...).

    A line shows its time of day (from the run's header; "@clock" when the
    header is no longer in the trace), the trace levels the provider writes
    it at ("?" when no trace of the provider has its text), and the message.

OPTIONS
    -s, --summary
        Instead of the lines, the trace in short, run by run: the link's
        openings, losses and restarts; the set configuration downloads and
        their results; every call with the states TAPI was told and its
        parties; TAPI's requests and their completions, with any request
        never completed flagged. It reads every line: the options that
        choose lines do not go with it.

    -l, --level LEVELS
        Only the lines a provider with this trace mask writes: a number
        (the mask, as "DebugOutput" holds it) or level names separated by
        commas: error (0), tspi (1), tx (2), rx (4), display (8), call (16),
        config (32), registry (64). Level 0 lines are always written, so
        always shown; "-l error" shows only them. A line of unknown level
        ("?") is always shown too.

    --from TIME, --to TIME
        Only the lines from or up to TIME: a time of day HH:MM[:SS[.mmm]]
        (a range that ends before it begins ends the next day), or the
        provider's millisecond clock as the file shows it.

    -c, --call CREF
        Only the lines that name the call reference CREF (0 to 19, 30 for
        the conference).

    -f, --follow
        Lists the trace, then waits for new lines and lists them as the
        provider writes them, through the change of files. Ends with
        Ctrl-C.

    --json
        JSON for tools: one object per line, or one object for the summary.

    --raw
        The lines only, without the frames in words.

    --clock
        The provider's clock in place of the time of day.

    -h, --help
        This text.

EXIT STATUS
    0 the trace was read (a line cut short is reported on standard error);
    1 a file could not be read or is no trace of the provider, or no trace
    was found; 2 wrong options.

EXAMPLES
    zqtrace -s                        the prefix's trace in short
    zqtrace -l call,tx,rx --from 10:15 /mnt/site/spitrace
    zqtrace -f -c 0                   follow call 0 live
)";

struct TimeBound {
    bool wall = false;
    int64_t value = 0;
};

struct Options {
    bool summary = false;
    bool json = false;
    bool follow = false;
    bool raw = false;
    bool clock = false;
    bool levelGiven = false;
    uint32_t mask = UINT32_MAX;
    std::optional<TimeBound> from, to;
    std::optional<int32_t> call;
    std::vector<std::string> paths;
};

struct LevelName {
    const char* name;
    uint32_t level;
};

// The provider's trace levels by name.
constexpr LevelName kLevels[] = {{"error", 0},   {"tspi", 1},  {"tx", 2},      {"rx", 4},
                                 {"display", 8}, {"call", 16}, {"config", 32}, {"registry", 64}};

std::optional<uint32_t> Decimal(std::string_view text) {
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    return v <= UINT32_MAX ? std::optional<uint32_t>(static_cast<uint32_t>(v)) : std::nullopt;
}

std::optional<uint32_t> ParseLevels(std::string_view text) {
    if (const auto mask = Decimal(text))
        return mask;
    uint32_t mask = 0;
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view name = text.substr(0, comma);
        const auto it = std::find_if(std::begin(kLevels), std::end(kLevels),
                                     [name](const LevelName& l) { return name == l.name; });
        if (it == std::end(kLevels))
            return std::nullopt;
        mask |= it->level;
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    }
    return mask;
}

std::optional<TimeBound> ParseTime(std::string_view text) {
    if (text.find(':') != std::string_view::npos) {
        const auto wall = ParseWall(text);
        return wall ? std::optional<TimeBound>(TimeBound{true, *wall}) : std::nullopt;
    }
    const auto clock = Decimal(text);
    return clock ? std::optional<TimeBound>(TimeBound{false, *clock}) : std::nullopt;
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "zqtrace: %s\n(zqtrace --help tells the options)\n", message.c_str());
    return 2;
}

// 0 when the options are right, else the exit status.
int ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        const auto value = [&]() -> std::optional<std::string_view> {
            if (i + 1 >= argc)
                return std::nullopt;
            return std::string_view(argv[++i]);
        };
        if (a == "-h" || a == "--help") {
            std::fputs(kHelp, stdout);
            return -1;
        } else if (a == "-s" || a == "--summary") {
            o->summary = true;
        } else if (a == "--json") {
            o->json = true;
        } else if (a == "-f" || a == "--follow") {
            o->follow = true;
        } else if (a == "--raw") {
            o->raw = true;
        } else if (a == "--clock") {
            o->clock = true;
        } else if (a == "-l" || a == "--level") {
            const auto v = value();
            const auto mask = v ? ParseLevels(*v) : std::nullopt;
            if (!mask)
                return Usage(
                    "-l wants a trace mask or level names (error,tspi,tx,rx,display,call,config,registry)");
            o->mask = *mask;
            o->levelGiven = true;
        } else if (a == "--from" || a == "--to") {
            const auto v = value();
            const auto t = v ? ParseTime(*v) : std::nullopt;
            if (!t)
                return Usage(std::string(a) + " wants a time of day HH:MM[:SS[.mmm]] or a clock value");
            (a == "--from" ? o->from : o->to) = t;
        } else if (a == "-c" || a == "--call") {
            const auto v = value();
            const auto cref = v ? Decimal(*v) : std::nullopt;
            if (!cref || (*cref > 19 && *cref != 30))
                return Usage("-c wants a call reference, 0 to 19 or 30");
            o->call = static_cast<int32_t>(*cref);
        } else if (a.size() > 1 && a[0] == '-') {
            return Usage("unknown option " + std::string(a));
        } else {
            o->paths.emplace_back(a);
        }
    }
    if (o->summary && (o->follow || o->levelGiven || o->call || o->from || o->to))
        return Usage("--summary reads every line: it takes no --follow, --level, --call, --from or --to");
    return 0;
}

// The files to read: those named, and the trace files of each folder (when
// following, also the current ones the provider has not written yet).
std::vector<std::string> TraceFiles(const Options& o, std::vector<Problem>* problems) {
    std::vector<std::string> paths = o.paths;
    if (paths.empty())
        paths.push_back(zq::plat::prefix_directory() + "/windows/spitrace");
    std::vector<std::string> files;
    for (const std::string& p : paths) {
        std::error_code error;
        if (!fs::is_directory(p, error)) {
            files.push_back(p);
            continue;
        }
        const size_t before = files.size();
        for (const char* name : kTraceFileNames)
            if (fs::is_regular_file(fs::path(p) / name, error) || (o.follow && !IsOldFile(name)))
                files.push_back((fs::path(p) / name).string());
        if (files.size() == before)
            problems->push_back(
                {p, 0, "no trace file (tsptrac0.tr, tsptrac1.tr, tsptrac0.old, tsptrac1.old)", true});
    }
    return files;
}

bool HasFatal(const std::vector<Problem>& problems) {
    return std::any_of(problems.begin(), problems.end(), [](const Problem& p) { return p.fatal; });
}

void ReportProblems(std::vector<Problem>& problems) {
    for (const Problem& p : problems)
        std::fprintf(stderr, "zqtrace: %s\n", ProblemText(p).c_str());
    problems.clear();
}

// Lines through the filters to the output, in order; the decoder and the
// run tracker see every line.
class Lister {
public:
    explicit Lister(const Options& o) : o_(o) {}

    void Add(const Line& line) {
        const Stamp stamp = tracker_.Add(line);
        const Classified classified = Classify(line.message);
        std::vector<std::string> words;
        if (!o_.raw)
            words = decoder_.Words(line.message);
        if (!Chosen(line, stamp, classified))
            return;
        const LineView view{line, stamp, classified, words};
        const std::string text = o_.json ? LineJson(view) : LineText(view, o_.clock);
        std::fwrite(text.data(), 1, text.size(), stdout);
    }

private:
    bool Chosen(const Line& line, const Stamp& stamp, const Classified& c) const {
        if (!c.levels.Shown(o_.mask) || !InRange(line.clock, stamp.wall))
            return false;
        if (o_.call) {
            const std::vector<int32_t> refs = CallRefs(c.format, c.captures);
            return std::find(refs.begin(), refs.end(), *o_.call) != refs.end();
        }
        return true;
    }

    bool InRange(uint32_t clock, const std::optional<int64_t>& wall) const {
        constexpr int64_t kDay = 24 * 3600 * 1000;
        const bool wrap = o_.from && o_.to && o_.from->wall && o_.to->wall && o_.to->value < o_.from->value;
        bool after = true, before = true;
        if (o_.from) {
            if (o_.from->wall)
                after = wall && *wall % kDay >= o_.from->value;
            else
                after = static_cast<int32_t>(clock - static_cast<uint32_t>(o_.from->value)) >= 0;
        }
        if (o_.to) {
            if (o_.to->wall)
                before = wall && *wall % kDay <= o_.to->value;
            else
                before = static_cast<int32_t>(static_cast<uint32_t>(o_.to->value) - clock) >= 0;
        }
        return wrap ? (after || before) : (after && before);
    }

    const Options& o_;
    RunTracker tracker_;
    FrameDecoder decoder_;
};

struct Followed {
    std::string path;
    uint64_t offset = 0;
    std::string head;  // the file's first bytes: a new file has others
    SplitState split;
};

constexpr size_t kHeadBytes = 64;

// Bytes [from, to) of a file; empty when it cannot be read.
std::string ReadRange(const std::string& path, uint64_t from, uint64_t to) {
    std::ifstream in(path, std::ios::binary);
    if (!in || to <= from)
        return {};
    in.seekg(static_cast<std::streamoff>(from));
    std::string bytes(static_cast<size_t>(to - from), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

// The new lines of a followed file; a file replaced or truncated (the
// provider's next run, or its turn again) is read from its start.
std::vector<Line> NewLines(Followed& f, std::vector<Problem>* problems) {
    std::error_code error;
    const uint64_t size = fs::file_size(f.path, error);
    if (error)
        return {};
    const std::string head = ReadRange(f.path, 0, std::min<uint64_t>(size, kHeadBytes));
    if (size < f.offset || head.compare(0, f.head.size(), f.head) != 0) {
        f.offset = 0;
        f.split = SplitState{};
    }
    if (f.head.size() < kHeadBytes || f.offset == 0)
        f.head = head;
    if (size == f.offset)
        return {};
    const uint64_t to = std::min(size, f.offset + kMaxFileBytes);
    const std::string bytes = ReadRange(f.path, f.offset, to);
    f.offset += bytes.size();
    return SplitTrace(fs::path(f.path).filename().string(), bytes, false, f.split, problems);
}

int Follow(const Options& o, const std::vector<std::string>& files) {
    Lister lister(o);
    std::vector<Followed> followed;
    for (const std::string& path : files)
        followed.push_back({path, 0, {}, {}});
    std::vector<Problem> problems;
    for (bool first = true;; first = false) {
        std::vector<FileLines> parts;
        for (Followed& f : followed) {
            // The previous run's files are read once.
            if (!first && IsOldFile(f.path))
                continue;
            parts.push_back({f.path, NewLines(f, &problems)});
        }
        for (const Line& line : InTimeOrder(std::move(parts)))
            lister.Add(line);
        std::fflush(stdout);
        ReportProblems(problems);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (const int status = ParseOptions(argc, argv, &o); status != 0)
        return status < 0 ? 0 : status;
    std::vector<Problem> problems;
    const std::vector<std::string> files = TraceFiles(o, &problems);
    if (o.follow) {
        ReportProblems(problems);
        if (files.empty())
            return 1;
        return Follow(o, files);
    }
    std::vector<FileLines> parts;
    for (const std::string& path : files) {
        std::string bytes;
        if (!ReadFileBytes(path, &bytes, &problems))
            continue;
        SplitState state;
        const std::string name = fs::path(path).filename().string();
        std::vector<Line> lines = SplitTrace(name, bytes, true, state, &problems);
        parts.push_back({name, std::move(lines)});
    }
    const bool failed = HasFatal(problems) || files.empty();
    const std::vector<Line> lines = InTimeOrder(std::move(parts));
    if (o.summary) {
        RunTracker tracker;
        Summariser summariser;
        for (const Line& line : lines) {
            const Stamp stamp = tracker.Add(line);
            summariser.Add(line, stamp, Classify(line.message));
        }
        const Summary s = summariser.Finish(tracker.Runs());
        const std::string text = o.json ? SummaryJson(s, problems) : SummaryText(s, problems);
        std::fwrite(text.data(), 1, text.size(), stdout);
        for (const Problem& p : problems)
            if (p.fatal)
                std::fprintf(stderr, "zqtrace: %s\n", ProblemText(p).c_str());
        return failed ? 1 : 0;
    }
    Lister lister(o);
    for (const Line& line : lines)
        lister.Add(line);
    ReportProblems(problems);
    return failed ? 1 : 0;
}
