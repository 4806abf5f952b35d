// The call flows of zq_soak in real time, through the shipped telephony
// library: one application on libzqtapi.so, which loads the provider, the
// simulator's set and PBX at the adapter's end of a pseudo-terminal, and
// bytes corrupted on the line in both directions. After every call the set
// is brought back to idle and the invariants are checked: every call the
// application heard of ends IDLE, every accepted request gets exactly one
// LINE_REPLY, every call handle is deallocated and refused afterwards. A
// line the provider closed is opened again, as an application does on
// LINE_CLOSE, and must come back in service.
//
//   zq_soak_pty [--calls N] [--seed S] [--corrupt PCT] [--silence-every N] [--flow N] [--verbose]
//
// Exit status 1 at the first breach, with the seed to replay the same flows
// (the timing, and so the faults, differ from run to run); 2 for wrong
// options.
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "flows.h"
#include "sim_on_pty.h"
#include "temp_prefix.h"
#include "zq/tapi.h"
#include "zq/tapi_words.h"

namespace {

namespace fs = std::filesystem;
using namespace zq::test::soak;
using Clock = std::chrono::steady_clock;

constexpr DWORD kVersion = 0x00020000;
constexpr long long kStepMs = 15000;       // a step that takes longer is lost
constexpr long long kSettleMs = 30000;     // the set idle, the calls and requests done
constexpr long long kInServiceMs = 30000;  // a reopened line in service
constexpr int kOpens = 30;
constexpr int kConferenceName = 30;

struct Options {
    long calls = 300;
    uint64_t seed = 0;
    double corrupt = 1;
    long flow = -1;  // one flow only (its number in the list), or any
    long silenceEvery = 0;
    bool verbose = false;
};

struct Counts {
    long attempted = 0, completed = 0, lost = 0, linkLosses = 0, opens = 0;
    long requests = 0, replies = 0, callsHeard = 0, silences = 0;
};

// What the line does to the bytes, on the simulator's thread.
struct Line {
    std::mutex lock;
    std::mt19937_64 random;
    double corrupt = 0;
    long corrupted = 0;

    void Mangle(std::vector<uint8_t>& bytes) {
        const std::lock_guard hold(lock);
        std::uniform_real_distribution<double> percent(0, 100);
        for (uint8_t& b : bytes)
            if (percent(random) < corrupt) {
                b = static_cast<uint8_t>(b ^ (1u + random() % 255));
                ++corrupted;
            }
    }
    long Corrupted() {
        const std::lock_guard hold(lock);
        return corrupted;
    }
};

// The application and what it heard during the call under way.
struct App {
    HLINEAPP app = 0;
    HLINE line = 0;
    bool lineClosed = false;
    bool callsRevoked = false;  // by a line closed during the call
    std::map<HCALL, int> names;
    std::map<HCALL, DWORD> states;
    std::vector<std::string> heard;
    std::map<DWORD, int> replies;  // accepted request id -> LINE_REPLYs
    std::set<DWORD> voided;        // pending when the application closed the line
    std::string breach;
};

Options g_options;
Counts g_counts;
Line g_line;
App g_app;
zq::test::SimOnPty* g_sim = nullptr;
const Clock::time_point g_start = Clock::now();

long long Now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - g_start).count();
}

int NameOf(HCALL call) {
    const auto found = g_app.names.find(call);
    if (found != g_app.names.end())
        return found->second;
    const int name = g_app.names.size() < 2 ? static_cast<int>(g_app.names.size()) : kConferenceName;
    g_app.names[call] = name;
    ++g_counts.callsHeard;
    return name;
}

HCALL CallNamed(std::string_view word) {
    const int name = std::atoi(std::string(word).c_str());
    for (const auto& [call, n] : g_app.names)
        if (n == name)
            return call;
    return 0;
}

void Heard(std::string word) {
    if (g_options.verbose)
        std::printf("  %7.1f %s\n", static_cast<double>(Now()) / 1000, word.c_str());
    g_app.heard.push_back(std::move(word));
}

void OnMessage(const LINEMESSAGE& m) {
    const auto call = static_cast<HCALL>(m.hDevice);
    switch (m.dwMessageID) {
        case LINE_REPLY: {
            const auto id = static_cast<DWORD>(m.dwParam1);
            const auto found = g_app.replies.find(id);
            // A request still pending when the application closed its
            // line may have its reply yet, once.
            const bool voided = g_app.voided.erase(id) == 1;
            if (!voided && found == g_app.replies.end())
                g_app.breach = "a LINE_REPLY for request " + std::to_string(id) + ", never accepted";
            else if (!voided && ++found->second > 1)
                g_app.breach = "a second LINE_REPLY for request " + std::to_string(id);
            ++g_counts.replies;
            Heard("reply " + std::to_string(id) + " " + zq::words::Result(static_cast<LONG>(m.dwParam2)));
            return;
        }
        case LINE_APPNEWCALL:
            Heard("new call " + std::to_string(NameOf(static_cast<HCALL>(m.dwParam2))));
            return;
        case LINE_CALLSTATE:
            g_app.states[call] = static_cast<DWORD>(m.dwParam1);
            Heard(zq::words::LineEvent(NameOf(call), LINE_CALLSTATE, m.dwParam1, m.dwParam2));
            return;
        case LINE_CALLINFO:
            Heard(zq::words::LineEvent(NameOf(call), LINE_CALLINFO, m.dwParam1, 0));
            return;
        case LINE_CLOSE:
            g_app.lineClosed = true;
            g_app.callsRevoked = true;
            g_app.line = 0;
            Heard("line closed");
            return;
        default:
            Heard(zq::words::LineEvent(-1, static_cast<uint32_t>(m.dwMessageID), m.dwParam1, m.dwParam2));
            return;
    }
}

// Takes messages until `done` holds or `ms` have passed; true when it held.
template <typename F>
bool PumpUntil(long long ms, F done) {
    const long long end = Now() + ms;
    while (!done() && g_app.breach.empty()) {
        const long long left = end - Now();
        if (left <= 0)
            return false;
        LINEMESSAGE m{};
        if (lineGetMessage(g_app.app, &m, static_cast<DWORD>(std::min<long long>(left, 50))) == 0)
            OnMessage(m);
    }
    return done();
}

void Pump(long long ms) {
    PumpUntil(ms, [] { return false; });
}

bool HeardSince(size_t from, std::string_view word) {
    return std::find(g_app.heard.begin() + static_cast<std::ptrdiff_t>(std::min(from, g_app.heard.size())),
                     g_app.heard.end(), word) != g_app.heard.end();
}

// An asynchronous function's result: accepted requests wait for their reply.
void Requested(std::string_view what, LONG r) {
    if (r > 0) {
        g_app.replies[static_cast<DWORD>(r)] = 0;
        ++g_counts.requests;
    }
    Heard(std::string(what) + " " + (r > 0 ? "request " + std::to_string(r) : zq::words::Result(r)));
}

// One "tapi ..." step through the library; the words as the flows give them.
void TapiStep(std::string_view command) {
    std::vector<std::string> w;
    for (size_t at = 0; at < command.size();) {
        const size_t space = std::min(command.find(' ', at), command.size());
        w.emplace_back(command.substr(at, space - at));
        at = space + 1;
    }
    const auto arg = [&](size_t i) { return i < w.size() ? w[i] : std::string(); };
    const std::string verb = arg(0);
    HCALL made = 0;
    LONG r = LINEERR_OPERATIONUNAVAIL;
    if (verb == "make") {
        r = lineMakeCallA(g_app.line, &made, arg(1).c_str(), 0, nullptr);
    } else if (verb == "answer") {
        r = lineAnswer(CallNamed(arg(1)), nullptr, 0);
    } else if (verb == "drop") {
        r = lineDrop(CallNamed(arg(1)), nullptr, 0);
    } else if (verb == "hold") {
        r = lineHold(CallNamed(arg(1)));
    } else if (verb == "unhold") {
        r = lineUnhold(CallNamed(arg(1)));
    } else if (verb == "setup") {
        r = lineSetupTransferA(CallNamed(arg(1)), &made, nullptr);
    } else if (verb == "dial") {
        r = lineDialA(CallNamed(arg(1)), arg(2).c_str(), 0);
    } else if (verb == "transfer") {
        r = lineCompleteTransfer(CallNamed(arg(1)), CallNamed(arg(2)), nullptr, LINETRANSFERMODE_TRANSFER);
    } else if (verb == "conference") {
        r = lineCompleteTransfer(CallNamed(arg(1)), CallNamed(arg(2)), &made, LINETRANSFERMODE_CONFERENCE);
    } else if (verb == "blind") {
        r = lineBlindTransferA(CallNamed(arg(1)), arg(2).c_str(), 0);
    } else if (verb == "pickup") {
        r = linePickupA(g_app.line, 0, &made, arg(1).c_str(), nullptr);
    } else if (verb == "forward") {
        struct ForwardList {
            LINEFORWARDLIST list;
            std::array<char, 40> dest;
        } buffer{};
        const std::string dest = arg(2);
        LINEFORWARDLIST* list = nullptr;
        if (arg(1) == "uncond" && dest.size() < buffer.dest.size()) {
            std::copy(dest.begin(), dest.end(), buffer.dest.begin());
            buffer.list.dwTotalSize = sizeof buffer;
            buffer.list.dwNumEntries = 1;
            buffer.list.ForwardList[0].dwForwardMode = LINEFORWARDMODE_UNCOND;
            buffer.list.ForwardList[0].dwDestAddressSize = static_cast<DWORD>(dest.size() + 1);
            buffer.list.ForwardList[0].dwDestAddressOffset = offsetof(ForwardList, dest);
            list = &buffer.list;
        }
        r = lineForwardA(g_app.line, 1, 0, list, 0, &made, nullptr);
    }
    Requested(command, r);
}

// One step; false when it did not bring its event in time.
bool RunStep(const Step& step, std::string* why) {
    const std::string_view command = step.command;
    const size_t from = g_app.heard.size();
    if (command.starts_with("ticks ")) {
        Pump(100LL * std::atoi(step.command + 6));
    } else if (command.starts_with("tapi ")) {
        TapiStep(command.substr(5));
    } else {
        g_sim->With([&](zq::sim::Sim* sim) {
            uint32_t wait = 0;
            std::string error;
            zq::sim::sim_run_command(sim, command, &wait, &error);
        });
    }
    if (step.until == nullptr)
        return true;
    if (PumpUntil(kStepMs, [&] { return HeardSince(from, step.until); }))
        return true;
    *why = std::string("'") + step.command + "' never brought '" + step.until + "'";
    return false;
}

bool SetIdle() {
    return g_sim->With([](zq::sim::Sim* sim) {
        const zq::sim::SetState state = zq::sim::sim_set_state(sim);
        return state.calls.empty() && state.active_key == 0;
    });
}

void HangUpTheSet() {
    for (int round = 0; round < 10 && !SetIdle(); ++round) {
        g_sim->With([](zq::sim::Sim* sim) {
            const zq::sim::SetState state = zq::sim::sim_set_state(sim);
            for (const zq::sim::CallView& c : state.calls)
                zq::sim::sim_remote_hangup(sim, c.id);
            if (zq::sim::sim_set_state(sim).active_key != 0)
                zq::sim::sim_user_onhook(sim);
            if (state.calls.empty() && state.forward_status != 4) {
                uint32_t wait = 0;
                zq::sim::sim_run_command(sim, "dial #21", &wait, nullptr);
            }
        });
        Pump(2000);
    }
}

// The first call not IDLE, or the first request without its reply.
std::string CallsAndRequestsLeft() {
    for (const auto& [call, name] : g_app.names) {
        const auto state = g_app.states.find(call);
        if (state == g_app.states.end() || state->second != LINECALLSTATE_IDLE)
            return "call " + std::to_string(name) + " ends " +
                   (state == g_app.states.end() ? std::string("with no state")
                                                : zq::words::CallState(state->second)) +
                   ", not IDLE";
    }
    for (const auto& [id, replies] : g_app.replies)
        if (replies != 1)
            return "request " + std::to_string(id) + " never replied";
    return {};
}

std::string WhatIsLeft() {
    if (std::string left = CallsAndRequestsLeft(); !left.empty())
        return left;
    return SetIdle() ? std::string() : "the set not idle";
}

bool Settled() {
    return WhatIsLeft().empty() && g_sim->With([](zq::sim::Sim* sim) {
        return zq::sim::sim_link_up(sim) && zq::sim::sim_frames_pending(sim) == 0;
    });
}

// Every call handle given back, and refused from then on.
bool DeallocateCalls(std::string* why) {
    for (const auto& [call, name] : g_app.names) {
        const LONG r = lineDeallocateCall(call);
        // A closed line took its calls with it.
        if (r != 0 && !(g_app.callsRevoked && r == static_cast<LONG>(LINEERR_INVALCALLHANDLE))) {
            *why = "lineDeallocateCall of call " + std::to_string(name) + ": " + zq::words::Result(r);
            return false;
        }
        LINECALLSTATUS status{};
        status.dwTotalSize = sizeof status;
        if (const LONG after = lineGetCallStatus(call, &status);
            after != static_cast<LONG>(LINEERR_INVALCALLHANDLE)) {
            *why = "call " + std::to_string(name) +
                   " still known after its deallocation: " + zq::words::Result(after);
            return false;
        }
    }
    return true;
}

bool OpenLine() {
    const LONG r = lineOpenA(g_app.app, 0, &g_app.line, kVersion, 0, 1,
                             LINECALLPRIVILEGE_OWNER | LINECALLPRIVILEGE_MONITOR,
                             LINEMEDIAMODE_INTERACTIVEVOICE, nullptr);
    if (r != 0)
        return false;
    constexpr DWORD kStates = LINEDEVSTATE_CONNECTED | LINEDEVSTATE_DISCONNECTED | LINEDEVSTATE_INSERVICE |
                              LINEDEVSTATE_OUTOFSERVICE;
    lineSetStatusMessages(g_app.line, kStates, LINEADDRESSSTATE_FORWARD);
    g_app.lineClosed = false;
    ++g_counts.opens;
    return true;
}

// In service, and the adapter quiet for a second: the download is over.
bool InService(size_t from) {
    if (!PumpUntil(kInServiceMs,
                   [&] { return HeardSince(from, "line CONNECTED|INSERVICE") || g_app.lineClosed; }))
        return false;
    for (long long quiet = 0, end = Now() + kInServiceMs; quiet < 1000 && Now() < end && !g_app.lineClosed;) {
        const bool still = g_sim->With([](zq::sim::Sim* sim) {
            return zq::sim::sim_link_up(sim) && zq::sim::sim_frames_pending(sim) == 0;
        });
        quiet = still ? quiet + 100 : 0;
        Pump(100);
    }
    return !g_app.lineClosed;
}

// As an application on LINE_CLOSE: the line opened again until it stays.
bool OpenAgain(std::string* why) {
    for (int open = 1; open <= kOpens; ++open) {
        if (g_app.line != 0)
            lineClose(g_app.line);
        g_app.line = 0;
        const size_t from = g_app.heard.size();
        if (!OpenLine()) {
            *why = "the line did not open again";
            return false;
        }
        if (InService(from)) {
            ++g_counts.linkLosses;
            return true;
        }
    }
    *why = "the line did not come back in service after " + std::to_string(kOpens) + " opens";
    return false;
}

// The adapter silent until the provider gives the link up (its poll, then
// 3 s), then the line opened again.
bool LoseTheLink(std::string* why) {
    ++g_counts.silences;
    g_sim->With([](zq::sim::Sim* sim) { zq::sim::sim_faults(sim).silent = true; });
    PumpUntil(kInServiceMs, [] { return g_app.lineClosed; });
    g_sim->With([](zq::sim::Sim* sim) { zq::sim::sim_faults(sim).silent = false; });
    if (!g_app.lineClosed) {
        *why = "the provider never gave up the silent link";
        return false;
    }
    return OpenAgain(why);
}

bool RunCall(const Flow& flow, std::string* why) {
    g_app.names.clear();
    g_app.states.clear();
    g_app.heard.clear();
    g_app.replies.clear();
    g_app.callsRevoked = false;
    if (g_app.lineClosed && !OpenAgain(why))
        return false;
    if (g_options.silenceEvery > 0 && g_counts.attempted > 0 &&
        g_counts.attempted % g_options.silenceEvery == 0 && !LoseTheLink(why))
        return false;
    // A fault's effect may show in the next call (set messages lost as a
    // call ends surface when the next one starts): the faults of this call
    // and of the one before count.
    static long faultsAtCallStart = 0;
    const long faultsBefore = faultsAtCallStart;
    faultsAtCallStart = g_line.Corrupted();
    ++g_counts.attempted;
    if (g_options.verbose)
        std::printf("call %ld: %s\n", g_counts.attempted, flow.name);
    bool whole = true;
    std::string stopped;
    for (const Step& step : flow.steps)
        if (!RunStep(step, &stopped)) {
            whole = false;
            break;
        }
    const bool faults = g_line.Corrupted() != faultsBefore;
    if (!whole && !faults) {
        *why = stopped + " without any fault";
        return false;
    }
    HangUpTheSet();
    PumpUntil(kSettleMs, Settled);
    if (g_app.lineClosed) {
        // The provider ends every call and answers every request before it
        // closes the line.
        if (const std::string left = CallsAndRequestsLeft(); !left.empty()) {
            *why = left + " when the provider closed the line";
            return false;
        }
        if (!OpenAgain(why))
            return false;
    }
    if (const std::string left = WhatIsLeft(); !left.empty() && !g_app.lineClosed) {
        // A message lost for good: the application closes the line and
        // opens it again, which the provider starts afresh from.
        if (!faults) {
            *why = left + " without any fault";
            return false;
        }
        if (g_options.verbose)
            std::printf("call %ld: %s; the line opened again\n", g_counts.attempted, left.c_str());
        lineClose(g_app.line);
        g_app.line = 0;
        g_app.lineClosed = true;
        g_app.callsRevoked = true;
        // Its calls went with it: their handles are refused now.
        if (!DeallocateCalls(why))
            return false;
        for (const auto& [id, replies] : g_app.replies)
            if (replies == 0)
                g_app.voided.insert(id);
        g_app.names.clear();
        g_app.states.clear();
        g_app.replies.clear();
        if (!OpenAgain(why))
            return false;
        HangUpTheSet();
        if (!PumpUntil(kSettleMs, Settled)) {
            *why = WhatIsLeft() + " after the line was opened again";
            return false;
        }
    }
    if (!g_app.breach.empty()) {
        *why = g_app.breach;
        return false;
    }
    if (!DeallocateCalls(why))
        return false;
    // Messages for the deallocated calls are not delivered any more.
    Pump(200);
    if (!g_app.breach.empty()) {
        *why = g_app.breach;
        return false;
    }
    if (whole) {
        ++g_counts.completed;
    } else {
        ++g_counts.lost;
        if (g_options.verbose)
            std::printf("call %ld lost: %s\n", g_counts.attempted, stopped.c_str());
    }
    return true;
}

fs::path MakePrefix() {
    ::setenv("ZQTAPI_PROVIDER", ZQ_PROVIDER_PATH, 1);
    return zq::test::MakeTempPrefix("zq_soak_pty");
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

bool ParseOptions(int argc, char** argv) {
    g_options.seed = std::random_device{}();
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--verbose") {
            g_options.verbose = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const char* value = argv[++i];
        char* end = nullptr;
        if (arg == "--calls")
            g_options.calls = std::strtol(value, &end, 10);
        else if (arg == "--seed")
            g_options.seed = std::strtoull(value, &end, 10);
        else if (arg == "--corrupt")
            g_options.corrupt = std::strtod(value, &end);
        else if (arg == "--silence-every")
            g_options.silenceEvery = std::strtol(value, &end, 10);
        else if (arg == "--flow")
            g_options.flow = std::strtol(value, &end, 10);
        else
            return false;
        if (end == value || *end != '\0' || g_options.calls < 0 || g_options.corrupt < 0 ||
            g_options.corrupt > 100)
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!ParseOptions(argc, argv)) {
        std::fprintf(stderr,
                     "usage: zq_soak_pty [--calls N] [--seed S] [--corrupt PCT] [--silence-every N] [--flow "
                     "N] [--verbose]\n");
        return 2;
    }
    std::printf("zq_soak_pty --calls %ld --seed %llu --corrupt %g --silence-every %ld\n", g_options.calls,
                static_cast<unsigned long long>(g_options.seed), g_options.corrupt, g_options.silenceEvery);
    std::fflush(stdout);
    std::mt19937_64 random(g_options.seed);
    g_line.random.seed(g_options.seed ^ 0x11e);

    const fs::path prefix = MakePrefix();
    zq::test::SimOnPty sim;
    g_sim = &sim;
    sim.SetMangle([](std::vector<uint8_t>& bytes, bool) { g_line.Mangle(bytes); });
    if (prefix.empty() || !sim.Open(prefix / "dosdevices" / "com1")) {
        std::fprintf(stderr, "zq_soak_pty: cannot make the prefix and its pseudo-terminal\n");
        return 1;
    }
    DWORD devices = 0, version = kVersion;
    LINEINITIALIZEEXPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    int status = 0;
    std::string why;
    // The first download on a clean line, then the faults.
    if (lineInitializeExA(&g_app.app, nullptr, nullptr, "zq_soak_pty", &devices, &version, &params) != 0 ||
        devices != 1 || !OpenLine() || !InService(0)) {
        std::fprintf(stderr, "zq_soak_pty: the line did not go in service\n");
        status = 1;
    }
    {
        const std::lock_guard hold(g_line.lock);
        g_line.corrupt = g_options.corrupt;
    }
    const long long wallFrom = Now();
    const double cpuFrom = CpuSeconds();
    for (long call = 1; status == 0 && call <= g_options.calls; ++call) {
        const size_t pick = random() % kFlows.size();
        const Flow& flow = kFlows[g_options.flow >= 0 ? static_cast<size_t>(g_options.flow) : pick];
        if (!RunCall(flow, &why)) {
            std::fprintf(
                stderr,
                "zq_soak_pty: call %ld (%s): %s\nreplay: zq_soak_pty --calls %ld --seed %llu --corrupt %g "
                "--silence-every %ld\n",
                call, flow.name, why.c_str(), call, static_cast<unsigned long long>(g_options.seed),
                g_options.corrupt, g_options.silenceEvery);
            std::fprintf(stderr, "heard:");
            for (const std::string& w : g_app.heard)
                std::fprintf(stderr, " [%s]", w.c_str());
            std::fprintf(stderr, "\n");
            status = 1;
        }
        if (call % 50 == 0)
            std::printf("%ld calls, %lld s\n", call, (Now() - wallFrom) / 1000);
        std::fflush(stdout);
    }
    const double wall = static_cast<double>(Now() - wallFrom) / 1000;
    const double cpu = CpuSeconds() - cpuFrom;
    if (g_app.line != 0)
        lineClose(g_app.line);
    lineShutdown(g_app.app);
    sim.Stop();
    std::error_code error;
    fs::remove_all(prefix, error);

    const Counts& c = g_counts;
    std::printf("calls: %ld attempted, %ld completed, %ld lost to faults\n", c.attempted, c.completed,
                c.lost);
    std::printf("calls heard %ld; requests %ld accepted, %ld replied\n", c.callsHeard, c.requests, c.replies);
    std::printf("link losses survived: %ld (the line opened %ld times)\n", c.linkLosses, c.opens);
    std::printf("faults: bytes corrupted %ld, silences %ld\n", g_line.Corrupted(), c.silences);
    std::printf("wall %.1f s (%.2f s per call), cpu %.1f s\n", wall,
                c.attempted > 0 ? wall / static_cast<double>(c.attempted) : 0.0, cpu);
    if (status == 0)
        std::printf("zq_soak_pty: every invariant held\n");
    return status;
}
