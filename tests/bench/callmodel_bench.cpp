// Whole calls on the set per CPU-second: the simulator's set and PBX on the
// far end of COM1 (in-memory backend, virtual time), the provider's worker
// reading their messages tick by tick, and TAPI's events. Calls made on the
// set, calls made, answered and dropped from TAPI and incoming calls take
// turns; each step comes as soon as TAPI has
// heard the one before (the called party answers then, not after the
// directory's 2 s of idle ticks), and every call must end IDLE with the
// events the component scenarios expect.
//
//   callmodel_bench [--calls N] [--rounds R] [--trace MASK] [--min-rate RATE]
//
// N calls in each of R rounds; the best round counts (a round slowed by
// another process says nothing of the provider). Exit status 1 when a call
// went wrong or the best round ran fewer than RATE calls per CPU-second.
// --trace sets the provider's DebugOutput (default 0: no trace).
//
// The ticks run on this thread, as a test may run them: the worker that the
// open started waits for timer messages that virtual time never sends, and
// handing each tick to it would measure thread switches, not the provider.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/lifecycle.h"
#include "core/line_record.h"
#include "flows.h"
#include "link/frames.h"
#include "link/serial_link.h"
#include "link/setconfig.h"
#include "link/supervision.h"
#include "provider_fixture.h"
#include "superv_support.h"
#include "zq/sim.h"
#include "zq/tapi_words.h"

namespace zq::test {
namespace {

using Clock = std::chrono::steady_clock;

// A step (flows.h): a zqsim command, or "tapi make|answer|drop|close" as
// TAPI calls the provider for call 0, then ticks until TAPI has heard
// `until` (none: no tick).
using soak::Step;

struct CallKind {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::string> events;
};

constexpr int kStepTicks = 100;  // 10 s of virtual time: a step that takes longer is wrong

const std::vector<std::string> kIncomingEvents = {
    "new call 0",       "call 0 OFFERING",         "call 0 info CALLERID|REASON|CALLEDID|ORIGIN",
    "call 0 CONNECTED", "call 0 info CONNECTEDID", "call 0 DISCONNECTED NORMAL",
    "call 0 IDLE"};

const std::vector<std::string> kTapiEvents = {
    "call 0 DIALTONE",      "call 0 DIALING",   "call 0 PROCEEDING",       "call 0 RINGBACK",
    "call 0 info CALLEDID", "call 0 CONNECTED", "call 0 info CONNECTEDID", "call 0 DISCONNECTED NORMAL",
    "call 0 IDLE"};

const std::vector<CallKind> kKinds = {
    {"made on the set",
     {{"offhook", "call 0 DIALTONE"},
      {"dial 2005", "call 0 info CALLEDID"},
      {"answer", "call 0 info CONNECTEDID"},
      {"onhook", "call 0 IDLE"}},
     {"new call 0", "call 0 DIALTONE", "call 0 DIALING", "call 0 PROCEEDING", "call 0 RINGBACK",
      "call 0 info CALLEDID", "call 0 CONNECTED", "call 0 info CONNECTEDID", "call 0 DISCONNECTED NORMAL",
      "call 0 IDLE"}},
    {"incoming, the user hangs up",
     {{"call 1 2005", "call 0 info CALLERID|REASON|CALLEDID|ORIGIN"},
      {"key 1", "call 0 info CONNECTEDID"},
      {"onhook", "call 0 IDLE"}},
     kIncomingEvents},
    {"incoming, the caller hangs up",
     {{"call 1 0612345678", "call 0 info CALLERID|REASON|CALLEDID|ORIGIN"},
      {"key 1", "call 0 info CONNECTEDID"},
      {"hangup", "call 0 DISCONNECTED NORMAL"},
      {"onhook", "call 0 IDLE"}},
     kIncomingEvents},
    {"made and dropped from TAPI",
     {{"tapi make 2005", "call 0 RINGBACK"},
      {"answer", "call 0 info CONNECTEDID"},
      {"tapi drop", "call 0 IDLE"},
      {"tapi close", nullptr}},
     kTapiEvents},
    {"incoming, answered and dropped from TAPI",
     {{"call 1 2005", "call 0 info CALLERID|REASON|CALLEDID|ORIGIN"},
      {"tapi answer", "call 0 info CONNECTEDID"},
      {"tapi drop", "call 0 IDLE"},
      {"tapi close", nullptr}},
     kIncomingEvents},
};

// Wall time of the main thread by phase.
struct Phases {
    Clock::duration simulator{};
    Clock::duration providerTick{};
    Clock::duration checks{};
    long ticks = 0;
};

Phases g_phases;
// Key frames the provider wrote (single key messages and super frames),
// and TAPI's requests of the current call.
long g_keyFrames = 0;
DRV_REQUESTID g_lastRequest = 0;
long g_requests = 0;
// TAPI's events of the current call in words, as far as they have been read.
std::vector<std::string> g_heard;

// As SimWire::Ticks(1), timed by phase; the writes are not kept.
bool Tick(SimWire& wire) {
    const auto t0 = Clock::now();
    wire.Pump();
    const auto t1 = Clock::now();
    ++wire.tick;
    memplat::advance(100);
    SerialTimerProc();
    const bool ran = true;
    const auto t2 = Clock::now();
    wire.Pump();
    const auto t3 = Clock::now();
    for (const auto& f : wire.Frames())
        g_keyFrames += f.size() > 1 && (f[1] == FT_KEY || f[1] == FT_SUPER || f[1] == FT_PIGGY) ? 1 : 0;
    wire.writes.clear();
    g_phases.simulator += (t1 - t0) + (t3 - t2);
    g_phases.providerTick += t2 - t1;
    ++g_phases.ticks;
    return ran;
}

bool Heard(std::string_view word) {
    const auto start = Clock::now();
    for (size_t i = g_heard.size(); i < g_tapi.lineEvents.size(); ++i) {
        const LineEventRecord& e = g_tapi.lineEvents[i];
        const int call = e.htCall != 0 ? static_cast<int>(e.htCall - kCallHandleBase) : -1;
        g_heard.push_back(words::LineEvent(call, e.msg, e.param1, e.param2));
    }
    const bool heard = std::find(g_heard.begin(), g_heard.end(), word) != g_heard.end();
    g_phases.checks += Clock::now() - start;
    return heard;
}

// TAPI's request on call 0: accepted, or false.
bool TapiRequest(std::string_view command) {
    const DRV_REQUESTID id = ++g_lastRequest;
    const auto call = reinterpret_cast<HDRVCALL>(uintptr_t{0});
    LONG result = -1;
    if (command.starts_with("make ")) {
        static std::u16string number;
        number.assign(command.begin() + 5, command.end());
        HDRVCALL made = nullptr;
        result = TSPI_lineMakeCall(id, LineHandle(), reinterpret_cast<HTAPICALL>(kCallHandleBase), &made,
                                   reinterpret_cast<LPCWSTR>(number.c_str()), 0, nullptr);
    } else if (command == "answer") {
        result = TSPI_lineAnswer(id, call, nullptr, 0);
    } else if (command == "drop") {
        result = TSPI_lineDrop(id, call, nullptr, 0);
    } else if (command == "close") {
        return TSPI_lineCloseCall(call) == 0;
    }
    g_requests += result == static_cast<LONG>(id) ? 1 : 0;
    return result == static_cast<LONG>(id);
}

bool RunStep(SimWire& wire, const Step& step) {
    uint32_t wait = 0;
    std::string error;
    const std::string_view command = step.command;
    if (command.starts_with("tapi ")) {
        if (!TapiRequest(command.substr(5))) {
            std::fprintf(stderr, "'%s' was refused\n", step.command);
            return false;
        }
    } else if (!sim::sim_run_command(wire.sim, step.command, &wait, &error)) {
        std::fprintf(stderr, "'%s': %s\n", step.command, error.c_str());
        return false;
    }
    if (step.until == nullptr)
        return true;
    for (int i = 0; i < kStepTicks; ++i) {
        if (!Tick(wire))
            return false;
        // TAPI lets an ended call go, so its record is free for the next.
        if (Heard(step.until))
            return std::string_view(step.until) != "call 0 IDLE" || TapiRequest("close");
    }
    return false;
}

// One call; false (with what TAPI heard) when it did not end as expected.
bool RunCall(SimWire& wire, const CallKind& kind) {
    g_tapi = TapiRecorder{};
    g_heard.clear();
    g_requests = 0;
    for (const Step& step : kind.steps) {
        if (!RunStep(wire, step)) {
            std::fprintf(stderr, "%s: '%s' never brought '%s'\n", kind.name, step.command, step.until);
            break;
        }
    }
    const std::vector<std::string> heard = EventWords();
    // Each request TAPI made is completed once, with success.
    bool completed = g_tapi.completions.size() == static_cast<size_t>(g_requests);
    for (const Completion& c : g_tapi.completions)
        completed = completed && c.result == 0;
    if (!completed)
        std::fprintf(stderr, "%s: %ld requests, %zu completions\n", kind.name, g_requests,
                     g_tapi.completions.size());
    if (heard == kind.events && completed)
        return true;
    std::fprintf(stderr, "%s: TAPI heard", kind.name);
    for (const std::string& w : heard)
        std::fprintf(stderr, " [%s]", w.c_str());
    std::fprintf(stderr, "\n");
    return false;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

// CPU time in user and kernel mode of the process and of this thread; the
// rest is the provider's worker. The kernel's share is mostly the hand-over
// of every tick between the two threads.
struct Cpu {
    double user = 0, kernel = 0, mainUser = 0, mainKernel = 0;
    long switches = 0;
    Clock::time_point wall;

    static Cpu Now() {
        rusage all{}, self{};
        getrusage(RUSAGE_SELF, &all);
        getrusage(RUSAGE_THREAD, &self);
        return {Seconds(all.ru_utime),  Seconds(all.ru_stime),        Seconds(self.ru_utime),
                Seconds(self.ru_stime), all.ru_nvcsw + all.ru_nivcsw, Clock::now()};
    }
    double Total() const { return user + kernel; }
};

void Report(const char* what, const Cpu& from, const Cpu& to, long ticks) {
    const double cpu = to.Total() - from.Total();
    const double mainUser = to.mainUser - from.mainUser, mainKernel = to.mainKernel - from.mainKernel;
    std::printf(
        "%s: %ld ticks, wall %.3f s, cpu %.3f s = main thread %.3f s user + %.3f s kernel, worker %.3f s "
        "user + %.3f s kernel; %ld context switches; %.1f us cpu per tick\n",
        what, ticks, Seconds(to.wall - from.wall), cpu, mainUser, mainKernel,
        std::max(0.0, to.user - from.user - mainUser), std::max(0.0, to.kernel - from.kernel - mainKernel),
        to.switches - from.switches, cpu * 1e6 / static_cast<double>(std::max(ticks, 1L)));
}

struct Options {
    long calls = 3000;
    long rounds = 1;
    std::string trace = "0";
    double minRate = 0;
};

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (i + 1 >= argc)
            return false;
        const char* value = argv[++i];
        if (arg == "--calls")
            options->calls = std::strtol(value, nullptr, 10);
        else if (arg == "--rounds")
            options->rounds = std::strtol(value, nullptr, 10);
        else if (arg == "--trace")
            options->trace = value;
        else if (arg == "--min-rate")
            options->minRate = std::strtod(value, nullptr);
        else
            return false;
    }
    return options->calls > 0 && options->rounds > 0;
}

// The provider loaded, the line opened and in service on the default set.
bool InService(SimWire& wire, std::string_view trace) {
    FreshProcess();
    memplat::reset();
    memplat::port_add("COM1");
    PutProviderValue("Provider", "Port", "COM1");
    PutProviderValue("Provider", "Speed", "9600");
    PutProviderValue("Debug_Mode", "DebugOutput", trace);
    static int instance;
    ProviderAttach(&instance);
    DWORD lines = 0, phones = 0, options = 0;
    HDRVLINE hdLine = nullptr;
    if (TSPI_providerEnumDevices(1, &lines, &phones, reinterpret_cast<HPROVIDER>(0x55), nullptr, nullptr) !=
            0 ||
        TSPI_providerInit(0x20000, 1, 0, 0, 1, 1, RecordCompletion, &options) != 0 ||
        TSPI_lineOpen(0, reinterpret_cast<HTAPILINE>(0x1234), &hdLine, 0x20000, RecordLineEvent) != 0)
        return false;
    for (int i = 0; i < 600 && !(g_line.lineDevState == 2 && g_dl.ConfigComplete); ++i)
        if (!Tick(wire))
            return false;
    for (int i = 0; i < 20; ++i)
        if (!Tick(wire))
            return false;
    return g_line.lineDevState == 2 && g_dl.ConfigComplete;
}

// One round of calls: the calls per CPU-second, 0 when a call went wrong.
double Round(SimWire& wire, long round, long calls) {
    g_phases = Phases{};
    long wrong = 0;
    const Cpu from = Cpu::Now();
    for (long n = 0; n < calls && wrong < 10; ++n)
        wrong += RunCall(wire, kKinds[static_cast<size_t>(n) % kKinds.size()]) ? 0 : 1;
    const Cpu to = Cpu::Now();
    const std::string what = "round " + std::to_string(round);
    Report(what.c_str(), from, to, g_phases.ticks);
    const double cpu = to.Total() - from.Total();
    const double wall = Seconds(to.wall - from.wall);
    const Clock::duration measured = g_phases.simulator + g_phases.providerTick + g_phases.checks;
    std::printf(
        "%s: main thread's wall: simulator %.0f%%, provider's tick %.0f%%, "
        "checks %.0f%%, other %.0f%%\n",
        what.c_str(), 100 * Seconds(g_phases.simulator) / wall, 100 * Seconds(g_phases.providerTick) / wall,
        100 * Seconds(g_phases.checks) / wall, 100 * (wall - Seconds(measured)) / wall);
    const double rate = static_cast<double>(calls) / cpu;
    std::printf("%s: %ld calls (%.1f ticks each), %ld wrong, %.3f CPU seconds, %.0f calls per CPU-second\n",
                what.c_str(), calls, static_cast<double>(g_phases.ticks) / static_cast<double>(calls), wrong,
                cpu, rate);
    return wrong == 0 ? rate : 0;
}

int Run(const Options& options) {
    SimWire wire(sim::default_set());
    if (!InService(wire, options.trace)) {
        std::fprintf(stderr, "callmodel_bench: the line did not go in service\n");
        return 1;
    }
    std::printf("calls in turn:");
    for (const CallKind& kind : kKinds)
        std::printf(" %s;", kind.name);
    std::printf(" trace mask %s\n", options.trace.c_str());

    // What a tick costs with nothing to do: the base of every call.
    constexpr long kIdleTicks = 1000;
    const Cpu idleFrom = Cpu::Now();
    for (long i = 0; i < kIdleTicks; ++i)
        Tick(wire);
    Report("idle", idleFrom, Cpu::Now(), kIdleTicks);

    // A ten-digit make call from TAPI on the wire, with the adapter's super
    // frames and without (the link may still piggy-back several messages
    // on one frame).
    const bool super = g_port.superAllowed;
    for (const bool allowed : {true, false}) {
        g_port.superAllowed = allowed;
        g_keyFrames = 0;
        RunCall(wire, {"ten digits",
                       {{"tapi make 0612345678", "call 0 RINGBACK"}},
                       {"call 0 DIALTONE", "call 0 DIALING", "call 0 PROCEEDING", "call 0 RINGBACK"}});
        const long frames = g_keyFrames;
        for (int i = 0; i < 20; ++i)
            Tick(wire);
        const long all = g_keyFrames;
        RunCall(wire, {"ten digits",
                       {{"tapi drop", "call 0 IDLE"}, {"tapi close", nullptr}},
                       {"call 0 DISCONNECTED NORMAL", "call 0 IDLE"}});
        std::printf("make call of 10 digits %s super frames: %ld key frames until RINGBACK, %ld in all\n",
                    allowed ? "with" : "without", frames, all);
    }
    g_port.superAllowed = super;

    double best = 0;
    bool wrong = false;
    for (long round = 1; round <= options.rounds; ++round) {
        const double rate = Round(wire, round, options.calls);
        wrong = wrong || rate == 0;
        best = std::max(best, rate);
    }
    TSPI_lineClose(LineHandle());
    TSPI_providerShutdown(0x20000, 1);
    ProviderDetach();

    std::printf("best: %.0f calls per CPU-second\n", best);
    if (wrong)
        return 1;
    if (best < options.minRate) {
        std::fprintf(stderr, "callmodel_bench: %.0f calls per CPU-second, under %.0f\n", best,
                     options.minRate);
        return 1;
    }
    return 0;
}

}  // namespace
}  // namespace zq::test

int main(int argc, char** argv) {
    zq::test::Options options;
    if (!zq::test::ParseOptions(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: callmodel_bench [--calls N] [--rounds R] [--trace MASK] [--min-rate RATE]\n");
        return 2;
    }
    return zq::test::Run(options);
}
