// Thousands of whole calls in virtual time against the simulator's set and
// PBX on COM1 (in-memory backend), the provider's tick run on this thread,
// with faults on the serial line. The flows are picked at random; each is a
// list of steps (a zqsim command or a TAPI request, then the TAPI event it
// must bring). After every call the set is brought back to idle and the
// invariants are checked: every call TAPI heard of ends IDLE, every accepted
// request is completed exactly once, no call record, key slot, queued frame
// or TAPI handle is left. A link the provider lost is closed and opened
// again as TAPI does on LINE_CLOSE, and must come back in service.
//
//   zq_soak [--calls N] [--seed S] [--corrupt PCT] [--drop PCT] [--cut PCT]
//           [--silence-every N] [--nack-every N] [--restart-every N]
//           [--trace MASK] [--verbose]
//
// A call that stops short under faults is lost, not wrong: the set is then
// hung up and the invariants still hold. Exit status 1 at the first breach,
// with the seed and the call number to replay it; 2 for wrong options.
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/lifecycle.h"
#include "core/line_record.h"
#include "flows.h"
#include "link/fifo.h"
#include "link/setconfig.h"
#include "superv_support.h"
#include "tapi/events.h"
#include "tapi_driver.h"
#include "zq/platform.h"
#include "zq/sim.h"
#include "zq/tapi_words.h"

namespace zq::test {
namespace {

using soak::Flow;
using soak::kFlows;
using soak::Step;

// Waits are ticks of 100 ms.
constexpr int kStepTicks = 150;     // a step that takes longer is lost
constexpr int kSettleTicks = 300;   // the set idle, TAPI's calls and requests done
constexpr int kSilenceTicks = 400;  // the provider's poll period and margin, and more
constexpr int kInServiceTicks = 600;

enum Fault : size_t { kCorrupt, kDrop, kCut, kSilence, kNack, kRestart, kFaultKinds };
constexpr std::array<const char*, kFaultKinds> kFaultNames = {
    "bytes corrupted", "bytes dropped", "frames cut", "silences", "NACKs", "adapter restarts"};

struct Options {
    long calls = 1000;
    uint64_t seed = 0;
    bool seedGiven = false;
    double corrupt = 0, drop = 0, cut = 0;
    long silenceEvery = 0, nackEvery = 0, restartEvery = 0;
    std::string trace = "0";
    bool verbose = false;
};

struct Counts {
    long attempted = 0;
    long completed = 0;
    long lost = 0;        // ended early under faults
    long resynced = 0;    // left calls behind that only a link reset cleared
    long linkLosses = 0;  // lost and back in service
    long opens = 0;       // of the line to bring it back, and the most for one loss
    long mostOpens = 0;
    std::array<long, kFaultKinds> faults{};
    long ticks = 0;
    std::vector<long> lostByFlow = std::vector<long>(kFlows.size());
};

// The run's state: the wire, the random source, the faults under way.
struct Soak {
    Options options;
    SimWire* wire = nullptr;
    std::mt19937_64 random;
    Counts counts;
    long call = 0;  // the call under way, from 1
    // Faults of the call under way: any injected, and the ticks of the
    // call at which a NACK or a restart comes (-1: none).
    long faultsAtCallStart = 0;
    long faultsAtLastCallStart = 0;
    int callTick = 0;
    int nackAt = -1;
    int restartAt = -1;
    bool nackArmed = false;
    bool nackSet = false;
    bool silent = false;
    // TAPI's events of the call in words, as far as they have been read.
    std::vector<std::string> heard;
    // TAPI's events and requests of the call up to its last closing of
    // calls: those calls are closed.
    size_t closedEvents = 0;
    size_t closedRequests = 0;
    // A LINE_CLOSE the provider sent by itself, at any tick (between calls
    // too), until the line is opened again.
    size_t scannedEvents = 0;
    bool lineClosed = false;
};

Soak g_soak;

long FaultsSoFar() {
    long n = 0;
    for (const long f : g_soak.counts.faults)
        n += f;
    return n;
}

// A fault's effect may show in the next call (set messages lost as a call
// ends surface when the next one starts): the faults of this call and of the
// one before count.
bool FaultsThisCall() {
    return FaultsSoFar() != g_soak.faultsAtLastCallStart;
}

// True with probability pct percent.
bool Chance(double pct) {
    return pct > 0 && static_cast<double>(g_soak.random() % 1000000) < pct * 10000;
}

bool HoldsDataFrame(const std::vector<uint8_t>& bytes) {
    for (size_t at = 0; at + 1 < bytes.size(); at += static_cast<size_t>(bytes[at]) + 2) {
        const uint8_t type = bytes[at + 1];
        if (type == sim::kTypeTqla || type == sim::kTypeSegment || type == sim::kTypeKeyMessage ||
            type == sim::kTypeSuper || type == sim::kTypeSuperOld || type == sim::kTypePiggyBack)
            return true;
    }
    return false;
}

// The faults on bytes on their way, in either direction.
void Mangle(std::vector<uint8_t>& bytes, bool toAdapter) {
    Soak& s = g_soak;
    if (toAdapter && s.nackSet) {
        sim::sim_faults(s.wire->sim).nack_instead_of_ack = 0;
        s.nackSet = false;
    }
    if (s.silent || bytes.empty()) {
        bytes.clear();
        return;
    }
    if (toAdapter && s.nackArmed && HoldsDataFrame(bytes)) {
        // Checksum or length NACK: the provider sends the frame again.
        sim::sim_faults(s.wire->sim).nack_instead_of_ack = (s.random() & 1) != 0 ? 0x84 : 0x83;
        s.nackArmed = false;
        s.nackSet = true;
        ++s.counts.faults[kNack];
    }
    if (s.options.cut > 0) {
        std::vector<uint8_t> kept;
        size_t at = 0;
        while (at < bytes.size()) {
            const size_t end = std::min(bytes.size(), at + bytes[at] + 2);
            size_t keep = end - at;
            if (keep > 1 && Chance(s.options.cut)) {
                keep = 1 + static_cast<size_t>(s.random() % (keep - 1));
                ++s.counts.faults[kCut];
            }
            kept.insert(kept.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                        bytes.begin() + static_cast<std::ptrdiff_t>(at + keep));
            at = end;
        }
        bytes.swap(kept);
    }
    if (s.options.drop > 0 || s.options.corrupt > 0) {
        std::vector<uint8_t> kept;
        kept.reserve(bytes.size());
        for (const uint8_t b : bytes) {
            if (Chance(s.options.drop)) {
                ++s.counts.faults[kDrop];
                continue;
            }
            if (Chance(s.options.corrupt)) {
                ++s.counts.faults[kCorrupt];
                kept.push_back(static_cast<uint8_t>(b ^ (1 + s.random() % 255)));
                continue;
            }
            kept.push_back(b);
        }
        bytes.swap(kept);
    }
}

// The adapter starts again: queued frames lost, no data frame sent until
// the provider's next poll.
void RestartAdapter() {
    sim::sim_restart_adapter(g_soak.wire->sim);
    ++g_soak.counts.faults[kRestart];
}

void Tick() {
    Soak& s = g_soak;
    if (s.callTick == s.nackAt)
        s.nackArmed = true;
    if (s.callTick == s.restartAt)
        RestartAdapter();
    ++s.callTick;
    s.wire->TickHere();
    s.wire->writes.clear();
    ++s.counts.ticks;
    for (; s.scannedEvents < g_tapi.lineEvents.size(); ++s.scannedEvents)
        s.lineClosed = s.lineClosed || g_tapi.lineEvents[s.scannedEvents].msg == LINE_CLOSE;
}

// A new call: what TAPI heard and asked before is forgotten.
void ForgetTheLastCall() {
    g_tapi = TapiRecorder{};
    g_driver.requests.clear();
    g_driver.notes.clear();
    g_driver.created.clear();
    g_soak.heard.clear();
    g_soak.closedEvents = g_soak.closedRequests = 0;
    g_soak.scannedEvents = 0;
}

void Ticks(int n) {
    for (int i = 0; i < n; ++i)
        Tick();
}

int CallOf(uintptr_t htCall) {
    return htCall >= kCallHandleBase ? static_cast<int>((htCall - kCallHandleBase) % kFreshHandle) : -1;
}

// Whether TAPI has heard `word` since its first `from` events.
bool HeardSince(size_t from, std::string_view word) {
    Soak& s = g_soak;
    for (size_t i = s.heard.size(); i < g_tapi.lineEvents.size(); ++i) {
        const LineEventRecord& e = g_tapi.lineEvents[i];
        s.heard.push_back(words::LineEvent(CallOf(e.htCall), e.msg, e.param1, e.param2));
    }
    return std::find(s.heard.begin() + static_cast<std::ptrdiff_t>(std::min(from, s.heard.size())),
                     s.heard.end(), word) != s.heard.end();
}

// One step; false when it did not bring its event in time.
bool RunStep(const Step& step, std::string* why) {
    const std::string_view command = step.command;
    const size_t from = g_tapi.lineEvents.size();
    if (command.starts_with("ticks ")) {
        Ticks(std::atoi(step.command + 6));
    } else if (command.starts_with("tapi ")) {
        if (const auto done = DriverRun(command.substr(5)); !done) {
            *why = done.message();
            return false;
        }
    } else {
        // A remote party may have acted by itself already (the directory's
        // answer delay): the step's event decides.
        uint32_t wait = 0;
        std::string error;
        sim::sim_run_command(g_soak.wire->sim, command, &wait, &error);
    }
    if (step.until == nullptr)
        return true;
    for (int i = 0; i < kStepTicks; ++i) {
        Tick();
        if (HeardSince(from, step.until))
            return true;
    }
    *why = std::string("'") + step.command + "' never brought '" + step.until + "'";
    return false;
}

// The calls TAPI holds a handle for (by the number its events print):
// announced by the provider, or created by a request of its own that
// completed with success.
std::vector<int> TapiCalls() {
    std::vector<int> calls;
    const Soak& s = g_soak;
    for (size_t i = s.closedEvents; i < g_tapi.lineEvents.size(); ++i)
        if (g_tapi.lineEvents[i].msg == LINE_NEWCALL)
            calls.push_back(static_cast<int>(g_tapi.lineEvents[i].param1));
    for (size_t i = s.closedRequests; i < g_driver.requests.size(); ++i) {
        const TapiRequest& r = g_driver.requests[i];
        const bool done = std::any_of(g_tapi.completions.begin(), g_tapi.completions.end(),
                                      [&](const Completion& c) { return c.id == r.id && c.result == 0; });
        if (r.htCall != 0 && done)
            calls.push_back(CallOf(r.htCall));
    }
    std::sort(calls.begin(), calls.end());
    calls.erase(std::unique(calls.begin(), calls.end()), calls.end());
    return calls;
}

// Remote parties hang up, the user releases: the set idle and not
// forwarded, as far as it can be told.
bool SetIdle() {
    const sim::SetState state = sim::sim_set_state(g_soak.wire->sim);
    return state.calls.empty() && state.forward_status == 4;
}

// The forwarding the provider last heard of is the set's.
bool ForwardingKnown() {
    return g_dl.FwdStatus == sim::sim_set_state(g_soak.wire->sim).forward_status;
}

void HangUpTheSet() {
    sim::Sim* sim = g_soak.wire->sim;
    for (int round = 0; round < 10 && !SetIdle(); ++round) {
        const sim::SetState state = sim::sim_set_state(sim);
        for (const sim::CallView& c : state.calls)
            sim::sim_remote_hangup(sim, c.id);
        if (sim::sim_set_state(sim).active_key != 0)
            sim::sim_user_onhook(sim);
        if (state.calls.empty() && state.forward_status != 4) {
            // Forwarding left behind by a lost request: the cancel code.
            uint32_t wait = 0;
            sim::sim_run_command(sim, "dial #21", &wait, nullptr);
        }
        Ticks(20);
    }
}

// What the provider must have given back once the calls ended, and once
// TAPI closed them.
std::string LeftInTheProvider(bool closed) {
    for (size_t i = 0; i < MAX_CALLS; ++i) {
        const uint32_t state = g_line.calls.lineCallState[i];
        if (state != 0 && state != LINECALLSTATE_IDLE)
            return "call record " + std::to_string(i) + " in state " + words::CallState(state);
        if (g_line.calls.Touch[i] != 0)
            return "call record " + std::to_string(i) + " still on key " +
                   std::to_string(g_line.calls.Touch[i]);
        if (closed && g_line.htCall[i] != nullptr)
            return "TAPI's handle of call " + std::to_string(i) + " kept";
        if (closed && g_line.ReservedByTapi[i])
            return "call record " + std::to_string(i) + " reserved for TAPI";
    }
    if (closed && g_line.htConfCall != nullptr)
        return "TAPI's handle of the conference call kept";
    for (size_t key = 1; key <= MAX_TOUCH; ++key)
        for (const int32_t cref : g_line.TouchTable[key].CrefSlot)
            if (cref != -1)
                return "key " + std::to_string(key) + " holds call " + std::to_string(cref);
    if (g_running.runningOp != 0)
        return "request " + std::to_string(g_line.pendingReqId) + " still running";
    if (FifoCount() != 0)
        return std::to_string(FifoCount()) + " frames in the transmit queue";
    return {};
}

::testing::AssertionResult CallsDone() {
    if (auto idle = CallsEndedIdle(); !idle)
        return idle;
    return RequestsAnswered();
}

// TAPI lets every ended call go, once.
void CloseTapiCalls() {
    for (const int call : TapiCalls())
        DriverRun("close " + std::to_string(call));
    g_soak.closedEvents = g_tapi.lineEvents.size();
    g_soak.closedRequests = g_driver.requests.size();
}

// As TAPI on LINE_CLOSE: the calls and the line closed, and the line
// opened again until it is in service with the set configured (a provider
// that stopped during the configuration closes the line again). false
// (with why) when it does not come back.
bool OpenAgain(std::string* why) {
    Soak& s = g_soak;
    // The configuration has 14 s to come; at 5 % of bytes corrupted about
    // one attempt in eight gets through, and an application keeps trying.
    constexpr int kOpens = 100;
    for (int open = 1; open <= kOpens; ++open) {
        if (!CallsEndedIdle()) {
            *why = "after the link loss: " + std::string(CallsEndedIdle().message());
            return false;
        }
        CloseTapiCalls();
        TSPI_lineClose(LineHandle());
        HDRVLINE hdLine = nullptr;
        if (TSPI_lineOpen(0, reinterpret_cast<HTAPILINE>(0x1234), &hdLine, 0x20000, RecordLineEvent) != 0) {
            *why = "the line did not open again after the link loss";
            return false;
        }
        s.lineClosed = false;
        const size_t reopened = g_tapi.lineEvents.size();
        const auto inService = [] { return g_line.lineDevState == 2 && g_dl.ConfigComplete; };
        for (int i = 0; i < kInServiceTicks && !inService() && !HeardSince(reopened, "line closed"); ++i)
            Tick();
        if (inService() && HeardSince(reopened, "line CONNECTED|INSERVICE")) {
            ++s.counts.linkLosses;
            s.counts.opens += open;
            s.counts.mostOpens = std::max<long>(s.counts.mostOpens, open);
            return true;
        }
    }
    *why = "the line did not come back in service after " + std::to_string(kOpens) + " opens";
    return false;
}

// Both directions silent until the provider gives the link up, then the
// line opened again.
bool LoseTheLink(std::string* why) {
    Soak& s = g_soak;
    s.silent = true;
    for (int i = 0; i < kSilenceTicks && !s.lineClosed; ++i)
        Tick();
    s.silent = false;
    if (!s.lineClosed) {
        *why = "the provider never gave up the silent link";
        return false;
    }
    return OpenAgain(why);
}

// Silence on its own, between calls.
bool SilenceFault(std::string* why) {
    ++g_soak.counts.faults[kSilence];
    ForgetTheLastCall();
    return LoseTheLink(why);
}

// Both ends have sent everything and the adapter's link is up, for a
// second: a download or a recovery the last call started is over.
void WaitForQuiet() {
    sim::Sim* sim = g_soak.wire->sim;
    for (int quiet = 0, i = 0; quiet < 10 && i < kSettleTicks; ++i) {
        Tick();
        const bool still = sim::sim_link_up(sim) && sim::sim_frames_pending(sim) == 0 && FifoCount() == 0;
        quiet = still ? quiet + 1 : 0;
    }
}

// The set idle, the adapter's link up with nothing to send, TAPI's calls
// and requests done, nothing left in the provider.
bool SettledAfterCall() {
    sim::Sim* sim = g_soak.wire->sim;
    return sim::sim_link_up(sim) && sim::sim_frames_pending(sim) == 0 && CallsDone() &&
           LeftInTheProvider(false).empty() && ForwardingKnown();
}

std::string WhatIsLeft() {
    if (!sim::sim_link_up(g_soak.wire->sim))
        return "the adapter's link down";
    if (const auto idle = CallsEndedIdle(); !idle)
        return idle.message();
    if (const auto answered = RequestsAnswered(); !answered)
        return answered.message();
    if (std::string left = LeftInTheProvider(false); !left.empty())
        return left;
    if (sim::sim_frames_pending(g_soak.wire->sim) != 0)
        return "the adapter still sending";
    return "the provider's forwarding is not the set's";
}

// One call; false (with why) at a breach.
bool RunCall(const Flow& flow, std::string* why) {
    Soak& s = g_soak;
    ForgetTheLastCall();
    WaitForQuiet();
    // The provider gave the link up after the last call: TAPI opens the
    // line again before this one.
    if (s.lineClosed && !OpenAgain(why))
        return false;
    sim::sim_take_log(s.wire->sim);
    s.faultsAtLastCallStart = s.faultsAtCallStart;
    s.faultsAtCallStart = FaultsSoFar();
    s.callTick = 0;
    s.nackAt =
        s.options.nackEvery > 0 && s.call % s.options.nackEvery == 0 ? static_cast<int>(s.random() % 40) : -1;
    s.restartAt = s.options.restartEvery > 0 && s.call % s.options.restartEvery == 0
                      ? 1 + static_cast<int>(s.random() % 40)
                      : -1;
    ++s.counts.attempted;

    bool whole = true;
    std::string stopped;
    for (const Step& step : flow.steps) {
        if (!RunStep(step, &stopped)) {
            whole = false;
            break;
        }
    }
    s.nackAt = s.restartAt = -1;
    // The provider may have given the link up by itself: a breach only
    // without any fault.
    const bool closed = s.lineClosed;
    if (!whole && !FaultsThisCall()) {
        *why = stopped + " without any fault";
        return false;
    }

    if (closed && !OpenAgain(why))
        return false;
    HangUpTheSet();
    // The link settled too: a download or a recovery under way would
    // otherwise be paid by the next call.
    const auto settled = [&] {
        for (int i = 0; i < kSettleTicks && !SettledAfterCall(); ++i)
            Tick();
        return SettledAfterCall();
    };
    // Messages lost for good (a frame the adapter gave up, its queue lost in
    // a restart, bytes changed that still added up) leave the provider with
    // calls the set no longer has: only a link reset clears them, and on a
    // bad line it may take more than one.
    constexpr int kResets = 5;
    for (int reset = 0; !settled(); ++reset) {
        const std::string left = WhatIsLeft();
        if (!FaultsThisCall()) {
            *why = left + " after the call, without any fault";
            return false;
        }
        if (reset == kResets) {
            *why = left + " after " + std::to_string(kResets) + " link resets";
            return false;
        }
        if (s.options.verbose)
            std::printf("call %ld (%s): %s; cleared by a link reset\n", s.call, flow.name, left.c_str());
        ++s.counts.resynced;
        if (!LoseTheLink(why))
            return false;
        HangUpTheSet();
    }
    if (const auto done = CallsDone(); !done) {
        *why = done.message();
        return false;
    }
    CloseTapiCalls();
    if (const std::string left = LeftInTheProvider(true); !left.empty()) {
        *why = left + " once TAPI closed its calls";
        return false;
    }
    if (whole) {
        ++s.counts.completed;
        return true;
    }
    ++s.counts.lost;
    ++s.counts.lostByFlow[static_cast<size_t>(&flow - kFlows.data())];
    if (s.options.verbose) {
        std::printf("call %ld (%s) lost: %s\n", s.call, flow.name, stopped.c_str());
        for (const sim::LogEntry& e : sim::sim_take_log(s.wire->sim))
            std::printf("  %7.1f %s\n", static_cast<double>(e.ms) / 1000, e.text.c_str());
    }
    return true;
}

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

double CpuSeconds() {
    rusage all{};
    getrusage(RUSAGE_SELF, &all);
    return Seconds(all.ru_utime) + Seconds(all.ru_stime);
}

bool Number(const char* text, double* out) {
    char* end = nullptr;
    *out = std::strtod(text, &end);
    return end != text && *end == '\0' && *out >= 0;
}

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--verbose") {
            o->verbose = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const char* value = argv[++i];
        double n = 0;
        if (arg == "--trace") {
            o->trace = value;
            continue;
        }
        o->seedGiven = o->seedGiven || arg == "--seed";
        if (!Number(value, &n))
            return false;
        if (arg == "--calls")
            o->calls = static_cast<long>(n);
        else if (arg == "--seed")
            o->seed = std::strtoull(value, nullptr, 10);
        else if (arg == "--corrupt")
            o->corrupt = n;
        else if (arg == "--drop")
            o->drop = n;
        else if (arg == "--cut")
            o->cut = n;
        else if (arg == "--silence-every")
            o->silenceEvery = static_cast<long>(n);
        else if (arg == "--nack-every")
            o->nackEvery = static_cast<long>(n);
        else if (arg == "--restart-every")
            o->restartEvery = static_cast<long>(n);
        else
            return false;
    }
    return o->calls > 0 && o->corrupt <= 100 && o->drop <= 100 && o->cut <= 100;
}

void Report(double wall, double cpu) {
    const Counts& c = g_soak.counts;
    std::printf("calls: %ld attempted, %ld completed, %ld lost to faults, %ld cleared only by a link reset\n",
                c.attempted, c.completed, c.lost, c.resynced);
    for (size_t f = 0; f < kFlows.size(); ++f)
        if (c.lostByFlow[f] != 0)
            std::printf("  lost: %ld %s\n", c.lostByFlow[f], kFlows[f].name);
    std::printf("link losses survived: %ld (the line opened %ld times, at most %ld for one loss)\n",
                c.linkLosses, c.opens, c.mostOpens);
    std::printf("faults:");
    for (size_t k = 0; k < kFaultKinds; ++k)
        std::printf(" %s %ld%s", kFaultNames[k], c.faults[k], k + 1 < kFaultKinds ? "," : "\n");
    std::printf("%ld ticks (%.1f per call), wall %.3f s, cpu %.3f s, %.0f calls per CPU-second\n", c.ticks,
                static_cast<double>(c.ticks) / static_cast<double>(std::max(c.attempted, 1L)), wall, cpu,
                static_cast<double>(c.attempted) / std::max(cpu, 1e-9));
}

int Run(const Options& options) {
    Soak& s = g_soak;
    s.options = options;
    if (!s.options.seedGiven)
        s.options.seed = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    s.random.seed(s.options.seed);
    std::printf(
        "zq_soak --seed %llu --calls %ld --corrupt %g --drop %g --cut %g --silence-every %ld "
        "--nack-every %ld --restart-every %ld\n",
        static_cast<unsigned long long>(s.options.seed), s.options.calls, s.options.corrupt, s.options.drop,
        s.options.cut, s.options.silenceEvery, s.options.nackEvery, s.options.restartEvery);
    std::fflush(stdout);

    SimWire wire(sim::calls_set());
    s.wire = &wire;
    HDRVLINE hdLine = nullptr;
    if (!OpenInServiceHere(wire, s.options.trace, DriverCompletion, &hdLine)) {
        std::fprintf(stderr, "zq_soak: the line did not go in service\n");
        return 1;
    }
    DriverStart(hdLine);
    wire.mangle = Mangle;

    const auto wallFrom = std::chrono::steady_clock::now();
    const double cpuFrom = CpuSeconds();
    int status = 0;
    for (s.call = 1; s.call <= s.options.calls; ++s.call) {
        const Flow& flow = kFlows[s.random() % kFlows.size()];
        std::string why;
        if (!RunCall(flow, &why) ||
            (s.options.silenceEvery > 0 && s.call % s.options.silenceEvery == 0 && !SilenceFault(&why))) {
            std::fprintf(stderr,
                         "zq_soak: call %ld (%s): %s\nreplay: zq_soak --seed %llu --calls %ld --corrupt %g "
                         "--drop %g --cut %g --silence-every %ld --nack-every %ld --restart-every %ld\n",
                         s.call, flow.name, why.c_str(), static_cast<unsigned long long>(s.options.seed),
                         s.call, s.options.corrupt, s.options.drop, s.options.cut, s.options.silenceEvery,
                         s.options.nackEvery, s.options.restartEvery);
            if (s.options.verbose) {
                // The adapter's, the PBX's and the set's last words.
                const std::vector<std::string> log = sim::sim_log(wire.sim);
                for (size_t i = log.size() > 150 ? log.size() - 150 : 0; i < log.size(); ++i)
                    std::fprintf(stderr, "sim: %s\n", log[i].c_str());
                // The provider's, with --trace.
                const std::vector<std::string> trace = TraceMessages();
                for (size_t i = trace.size() > 80 ? trace.size() - 80 : 0; i < trace.size(); ++i)
                    std::fprintf(stderr, "trace: %s\n", trace[i].c_str());
                for (const memplat::Box& box : memplat::boxes()) {
                    std::string text = box.text;
                    std::replace(text.begin(), text.end(), '\n', ' ');
                    std::fprintf(stderr, "box: %s\n", text.c_str());
                }
            }
            std::fprintf(stderr, "TAPI heard:");
            for (const std::string& w : DriverWords())
                std::fprintf(stderr, " [%s]", w.c_str());
            std::fprintf(stderr, "\n");
            status = 1;
            break;
        }
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallFrom).count();
    Report(wall, CpuSeconds() - cpuFrom);

    wire.mangle = nullptr;
    TSPI_lineClose(LineHandle());
    TSPI_providerShutdown(0x20000, 1);
    ProviderDetach();
    return status;
}

}  // namespace
}  // namespace zq::test

int main(int argc, char** argv) {
    zq::test::Options options;
    if (!zq::test::ParseOptions(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: zq_soak [--calls N] [--seed S] [--corrupt PCT] [--drop PCT] [--cut PCT]\n"
                     "               [--silence-every N] [--nack-every N] [--restart-every N] [--trace MASK] "
                     "[--verbose]\n");
        return 2;
    }
    return zq::test::Run(options);
}
