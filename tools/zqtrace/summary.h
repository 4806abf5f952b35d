// A trace in short: the link's losses and restarts, the set configuration
// downloads and their results, every call with the states TAPI was told
// and its parties, TAPI's requests and their completions. It reads the
// provider's own trace lines (summary.cpp lists them).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue.h"
#include "trace_file.h"

namespace zq::trace {

// Where a line lies: its run, clock, time of day and place in its file.
struct At {
    size_t run = 0;
    uint32_t clock = 0;
    std::optional<int64_t> wall;
    std::string file;
    uint32_t line = 0;
};

struct LinkEvent {
    At at;
    std::string what;
};

struct LinkCounts {
    int losses = 0;        // link declared lost, port opened again
    int nacks = 0;         // negative acknowledgements from the adapter
    int badChecksums = 0;  // frames received with a wrong checksum
    int flushes = 0;       // partial frames dropped after a silence
    int resyncs = 0;       // several NACKs in one read: last frame sent again
    int aborts = 0;        // ABORT from the adapter
};

struct Download {
    At start;
    std::optional<At> end;
    std::string result;  // "success" or the provider's "failed :…" text; empty: not finished
    std::optional<uint32_t> tqlaVersion;
    std::string mcdu;
    std::vector<std::string> answers;  // the PBX's answers in order ("KEY_ACK" …)
    std::vector<std::string> notes;
};

struct Party {
    std::string number;
    std::string name;
    bool empty() const { return number.empty() && name.empty(); }
};

struct Call {
    int32_t cref = 0;
    At start;
    At last;
    bool ended = false;               // IDLE was reported
    std::string direction;            // "incoming", "outgoing", "conference" or empty
    std::vector<std::string> events;  // as TAPI heard them: "new call 0", "call 0 OFFERING" …
    Party caller, called, connected;
};

struct Request {
    uint32_t id = 0;  // 0: a request TAPI expects no completion of
    uint32_t code = 0;
    std::string name;
    int32_t cref = -1;
    At at;
    enum class Outcome { Outstanding, Completed, Refused, NoReply } outcome = Outcome::Outstanding;
    int32_t result = 0;
    std::optional<At> done;
    // Still outstanding when its run's trace ends, with the completions
    // traced: it was never completed.
    bool neverCompleted = false;
};

struct Summary {
    std::vector<Run> runs;
    std::vector<LinkEvent> link;
    LinkCounts counts;
    std::vector<Download> downloads;
    std::vector<Call> calls;
    std::vector<Request> requests;
    // Every event TAPI was sent, in words, in order (zq/tapi_words.h).
    std::vector<std::string> tapiEvents;
    // Runs whose trace shows no completions (level 1 off): their requests
    // cannot be judged.
    std::vector<size_t> runsWithoutCompletions;
};

// Request names by the dispatcher's request codes.
std::string RequestName(uint32_t code);

// The provider's trace texts the summary reads.
std::span<const std::string_view> SummaryFormats();

class Summariser {
public:
    Summariser();
    void Add(const Line& line, const Stamp& stamp, const Classified& classified);
    // Ends the open calls and judges the requests; `runs` from RunTracker.
    Summary Finish(const std::vector<Run>& runs);

private:
    // What the lines of one run have said so far.
    struct RunState {
        struct PendingEvent {
            int32_t cref;
            uint32_t msg, p1, p2;
        };
        std::optional<PendingEvent> event;  // traced, not yet known to be sent
        std::optional<size_t> download;     // not finished
        std::map<int32_t, size_t> openCalls;
        std::optional<std::pair<uint32_t, int32_t>> runningSetup;  // request ID, held call
        std::optional<size_t> lastAppCall;
        enum class Ask { None, AppCall, SetupTransfer, CompleteTransfer } lastAsk = Ask::None;
        std::optional<std::pair<uint32_t, int32_t>> setupAsked;  // request ID, call
        int32_t transferCref = -1;
        int32_t infoCref = -1;  // the call TAPI asked the information of
        struct KeyParties {
            Party caller, called, connected;
        };
        std::map<uint32_t, KeyParties> keyParties;  // told by the PBX for a key, not yet for a call
        uint32_t lastEventKey = 0;
        bool level1 = false;  // a line of level 1 was seen
    };

    void Apply(size_t rule, std::span<const Capture> a, const At& at);
    void LineEvent(const RunState::PendingEvent& e, const At& at);
    Call& OpenCall(int32_t cref, const At& at);
    Call* CallOf(int32_t cref);
    Download& CurrentDownload(const At& at);
    void Bind(uint32_t key, int32_t cref, const At& at);
    void EndRun();

    Summary s_;
    std::optional<size_t> run_;
    RunState state_;
    std::vector<bool> level1_;  // by run
};

}  // namespace zq::trace
