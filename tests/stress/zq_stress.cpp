// zq_stress: the provider's lifecycle under load, in real time.
//
// Threads make random TSPI calls (provider start and shutdown, line and
// phone open and close) against the worker ticking on a pseudo-terminal, one
// call at a time as the telephony service calls a non-reentrant provider,
// each from whichever thread drew it. The simulator answers in-process and
// misbehaves at random; message boxes stay "open" for a random time. The
// first broken rule ends the run with a message and status 1:
//  - every call returns within its bound;
//  - between calls, and after TSPI_providerShutdown, the line mutex is free
//    within the longest box and a second;
//  - the trace shows no line-mutex error;
//  - once nothing is open, open files and threads are back to their number
//    before the open;
//  - a line opened while the simulator behaves goes in service in time.
//
//   zq_stress [--seconds N] [--seed S]
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/lifecycle.h"
#include "sim_on_pty.h"
#include "temp_prefix.h"
#include "zq/platform.h"
#include "zq/platform_posix.h"
#include "zq/sim.h"
#include "zq/tapi.h"

namespace {

namespace fs = std::filesystem;
namespace plat = zq::plat;
using Clock = std::chrono::steady_clock;

constexpr DWORD kTspiVersion = 0x00020000;
constexpr DWORD kProviderId = 1;
constexpr uint32_t kCallers = 3;
// Milliseconds.
constexpr long long kLongestBox = 3000;
constexpr long long kMutexFree = kLongestBox + 1000;
constexpr long long kMargin = 5000;
constexpr long long kOpenBound = zq::READY_WAIT_MS + zq::LINE_MUTEX_WAIT_MS + kMargin;
constexpr long long kCloseBound = zq::STOP_WAIT_MS + zq::LINE_MUTEX_WAIT_MS + kMargin;
constexpr long long kWorkerEnds = 2000;  // a stopped worker is gone, with its port
// Measured from the open with the default set: 0.7 s, under ThreadSanitizer
// too.
constexpr long long kInServiceBound = 5000;

enum Op : size_t { kInit, kLineOpen, kLineClose, kPhoneOpen, kPhoneClose, kShutdown, kBadClose, kOpCount };
struct OpInfo {
    const char* name;
    long long bound;
};
constexpr std::array<OpInfo, kOpCount> kOps{{{"TSPI_providerInit", kMargin},
                                             {"TSPI_lineOpen", kOpenBound},
                                             {"TSPI_lineClose", kCloseBound},
                                             {"TSPI_phoneOpen", kOpenBound},
                                             {"TSPI_phoneClose", kCloseBound},
                                             {"TSPI_providerShutdown", kCloseBound},
                                             {"TSPI_lineClose(bad handle)", kMutexFree}}};

enum Fault : size_t { kNoFault, kSilent, kNoAck, kNack, kCut, kFaultCount };
constexpr std::array<const char*, kFaultCount> kFaultNames{"none", "silent", "no_ack", "nack_instead_of_ack",
                                                           "cut_frames_after"};

constexpr std::array<const char*, 3> kMutexErrors{"REL_LINE_MUTEX PRB", "WAITLINEMUTEX PRB",
                                                  "StopSerialThread Prb"};

struct Stats {
    std::array<std::atomic<int>, kOpCount> calls{};
    std::array<std::atomic<long long>, kOpCount> longest{};
    std::array<std::atomic<int>, kFaultCount> faults{};
    std::atomic<int> boxes{0}, bounds{0}, mutexFree{0}, resources{0}, traces{0}, inService{0}, voided{0};
    std::atomic<long long> longestInService{0};
} g_stats;

uint32_t g_seed = 0;
fs::path g_prefix;
// The simulator's last words on the wire, shown with a failure.
std::mutex g_wireLock;
std::deque<std::string> g_wire;

__attribute__((format(printf, 1, 2))) std::string Text(const char* format, ...) {
    std::array<char, 1024> buffer{};
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    return buffer.data();
}

[[noreturn]] void Fail(const std::string& what) {
    if (g_wireLock.try_lock()) {
        for (const std::string& line : g_wire)
            std::fprintf(stderr, "%s\n", line.c_str());
    }
    std::fprintf(stderr, "zq_stress: FAILED (seed %u): %s\nzq_stress: the provider's trace is in %s\n",
                 g_seed, what.c_str(), (g_prefix / "windows" / "spitrace").c_str());
    std::fflush(stderr);
    std::_Exit(1);  // other threads may be stuck in the provider
}

long long Since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void Sleep(long long ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void NoteLongest(std::atomic<long long>& longest, long long ms) {
    long long seen = longest.load();
    while (ms > seen && !longest.compare_exchange_weak(seen, ms)) {
    }
}

// ------------------------------------------------------------ message boxes

std::atomic<int> g_boxesUp{0};

int HoldBox(std::string_view /*text*/, std::string_view /*caption*/, uint32_t /*flags*/) {
    const int number = ++g_stats.boxes;
    ++g_boxesUp;
    std::mt19937 rng(g_seed + static_cast<uint32_t>(number));
    Sleep(std::uniform_int_distribution<long long>(0, kLongestBox)(rng));
    --g_boxesUp;
    return plat::kIdOk;
}

// ------------------------------------------------- the simulator on the pty

// The simulator's last words on the wire, kept to be shown with a failure.
void Keep(const std::vector<zq::sim::LogEntry>& log, zq::test::SimOnPty::Clock::time_point) {
    const std::lock_guard lock(g_wireLock);
    for (const zq::sim::LogEntry& entry : log) {
        g_wire.push_back(Text("wire %u: %s", entry.ms, entry.text.c_str()));
        if (g_wire.size() > 40)
            g_wire.pop_front();
    }
}

using SimOnPty = zq::test::SimOnPty;

// ------------------------------------------------------------------- checks

// The call in progress and the line awaited in service, seen by the
// callers, the line event procedure and the supervisor.
struct Watch {
    std::mutex lock;
    bool calling = false;
    Op op = kInit;
    Clock::time_point callStart;
    bool faultsOn = false;
    HTAPILINE awaited = nullptr;  // the line that should go in service
    Clock::time_point awaitedSince;
} g_watch;

// The expectation holds only while the simulator behaves: a fault, a close
// or a shutdown on the way voids it.
void AwaitInService(HTAPILINE line) {
    const std::lock_guard lock(g_watch.lock);
    if (!g_watch.faultsOn) {
        g_watch.awaited = line;
        g_watch.awaitedSince = Clock::now();
    }
}

void VoidInService() {
    const std::lock_guard lock(g_watch.lock);
    g_stats.voided += g_watch.awaited != nullptr ? 1 : 0;
    g_watch.awaited = nullptr;
}

void CALLBACK OnLineEvent(HTAPILINE htLine, HTAPICALL, DWORD msg, DWORD_PTR param1, DWORD_PTR, DWORD_PTR) {
    const std::lock_guard lock(g_watch.lock);
    if (msg != LINE_LINEDEVSTATE || (param1 & LINEDEVSTATE_INSERVICE) == 0 || htLine != g_watch.awaited)
        return;
    ++g_stats.inService;
    NoteLongest(g_stats.longestInService, Since(g_watch.awaitedSince));
    g_watch.awaited = nullptr;
}

void CALLBACK OnPhoneEvent(HTAPIPHONE, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}
void CALLBACK OnCompletion(DRV_REQUESTID, LONG) {}

// A call that never returns is reported too.
void CheckWatch() {
    const std::lock_guard lock(g_watch.lock);
    if (g_watch.calling && Since(g_watch.callStart) > kOps[g_watch.op].bound)
        Fail(Text("%s has not returned after %lld ms (bound %lld ms)", kOps[g_watch.op].name,
                  Since(g_watch.callStart), kOps[g_watch.op].bound));
    if (g_watch.awaited != nullptr && Since(g_watch.awaitedSince) > kInServiceBound)
        Fail(Text("the line opened %lld ms ago with the simulator behaving is not in service",
                  Since(g_watch.awaitedSince)));
}

// The trace files are rewritten in turn; they are read often enough to see
// every line.
void CheckTrace(const char* when) {
    ++g_stats.traces;
    for (const char* file : {"/spitrace/tsptrac0.tr", "/spitrace/tsptrac1.tr"}) {
        std::ifstream in(plat::windows_directory() + file);
        for (std::string line; std::getline(in, line);) {
            for (const char* error : kMutexErrors) {
                if (line.find(error) != std::string::npos)
                    Fail(Text("%s, the provider traced \"%s\"", when, line.c_str()));
            }
        }
    }
}

struct Resources {
    int files = 0;
    int threads = 0;
};

Resources CountResources() {
    const auto entries = [](const char* dir) {
        std::error_code error;
        return static_cast<int>(std::distance(fs::directory_iterator(dir, error), fs::directory_iterator()));
    };
    return {entries("/proc/self/fd"), entries("/proc/self/task")};
}

std::string OpenFiles() {
    std::string list;
    std::error_code error;
    for (const fs::directory_entry& fd : fs::directory_iterator("/proc/self/fd", error))
        list += " " + fs::read_symlink(fd.path(), error).string();
    return list;
}

plat::Mutex* OpenLineMutex() {
    plat::Mutex* mutex = nullptr;
    if (plat::mutex_create("SP62LineMutex", false, &mutex) != plat::kErrSuccess || mutex == nullptr)
        Fail("the line mutex cannot be opened by its name");
    return mutex;
}

// Waits for the mutex from a new thread, which owns nothing, gives it back
// and closes the handle.
void ExpectFree(plat::Mutex* mutex, const char* when) {
    ++g_stats.mutexFree;
    plat::Wait got = plat::Wait::Failed;
    std::thread([&] {
        got = plat::mutex_wait(mutex, static_cast<uint32_t>(kMutexFree));
        if (got == plat::Wait::Object0 || got == plat::Wait::Abandoned)
            plat::mutex_release(mutex);
    }).join();
    plat::mutex_close(mutex);
    if (got == plat::Wait::Timeout)
        Fail(Text("the line mutex is still owned %lld ms %s", kMutexFree, when));
    if (got != plat::Wait::Object0)
        Fail(Text("the line mutex %s: wait result %x (abandoned: a thread ended owning it)", when,
                  static_cast<unsigned>(got)));
}

// ------------------------------------------------------------- TSPI calls

// What the telephony service knows, under the one lock with which it calls
// the provider.
struct Model {
    bool initialised = false, line = false, phone = false;
    HDRVLINE hdLine = nullptr;
    HDRVPHONE hdPhone = nullptr;
    Resources beforeOpen;
    Clock::time_point sessionEnd;  // from then on, closing is allowed
    uintptr_t nextHandle = 1;      // htLine and htPhone
    std::mt19937 rng;
    bool NothingOpen() const { return !line && !phone; }
} g_model;
std::mutex g_tspi;

template <typename F>
void Call(Op op, LONG expected, F call) {
    {
        const std::lock_guard lock(g_watch.lock);
        g_watch.calling = true;
        g_watch.op = op;
        g_watch.callStart = Clock::now();
    }
    const LONG result = call();
    long long took = 0;
    {
        const std::lock_guard lock(g_watch.lock);
        g_watch.calling = false;
        took = Since(g_watch.callStart);
    }
    ++g_stats.calls[op];
    ++g_stats.bounds;
    NoteLongest(g_stats.longest[op], took);
    if (took > kOps[op].bound)
        Fail(Text("%s took %lld ms (bound %lld ms)", kOps[op].name, took, kOps[op].bound));
    if (result != expected)
        Fail(Text("%s returned %08x, not %08x", kOps[op].name, static_cast<unsigned>(result),
                  static_cast<unsigned>(expected)));
}

// After a close or a shutdown that left nothing open: the worker, its port
// and its timer are gone. A worker still showing a box counts until the box
// closes.
void ExpectResourcesBack(Op after) {
    if (!g_model.NothingOpen())
        return;
    ++g_stats.resources;
    const Resources before = g_model.beforeOpen;
    const Clock::time_point start = Clock::now();
    Resources now = CountResources();
    while ((now.files > before.files || now.threads > before.threads || g_boxesUp > 0) &&
           Since(start) < kLongestBox + kWorkerEnds) {
        Sleep(20);
        now = CountResources();
    }
    if (now.files > before.files || now.threads > before.threads)
        Fail(Text("after %s with nothing open: %d files and %d threads, %d and %d before the open; files:%s",
                  kOps[after].name, now.files, now.threads, before.files, before.threads,
                  OpenFiles().c_str()));
}

void Init() {
    DWORD lines = 0, phones = 0, options = 0;
    Call(kInit, 0, [&] {
        TSPI_providerEnumDevices(kProviderId, &lines, &phones, nullptr, nullptr, nullptr);
        return TSPI_providerInit(kTspiVersion, kProviderId, 0, 0, lines, phones, OnCompletion, &options);
    });
    if (lines != 1 || phones != 1 || options != LINETSPIOPTION_NONREENTRANT)
        Fail(Text("the provider reports %u lines, %u phones, options %x", lines, phones, options));
    g_model.initialised = true;
}

// The first open of a session, which lasts 1 to 20 s: long enough for the
// line to go in service, or for a misbehaving simulator to bring up the
// supervision's boxes.
void BeginSession() {
    g_model.beforeOpen = CountResources();
    g_model.sessionEnd = Clock::now() + std::chrono::milliseconds(std::uniform_int_distribution<long long>(
                                            1000, 20000)(g_model.rng));
}

void OpenLine() {
    auto* htLine = reinterpret_cast<HTAPILINE>(g_model.nextHandle++);
    if (g_model.NothingOpen()) {
        BeginSession();
        AwaitInService(htLine);
    }
    Call(kLineOpen, 0, [&] { return TSPI_lineOpen(0, htLine, &g_model.hdLine, kTspiVersion, OnLineEvent); });
    g_model.line = true;
}

void OpenPhone() {
    auto* htPhone = reinterpret_cast<HTAPIPHONE>(g_model.nextHandle++);
    if (g_model.NothingOpen())
        BeginSession();
    Call(kPhoneOpen, 0,
         [&] { return TSPI_phoneOpen(0, htPhone, &g_model.hdPhone, kTspiVersion, OnPhoneEvent); });
    g_model.phone = true;
}

// Closing either device stops the worker.
void CloseLine() {
    VoidInService();
    Call(kLineClose, 0, [] { return TSPI_lineClose(g_model.hdLine); });
    g_model.line = false;
    ExpectResourcesBack(kLineClose);
}

void ClosePhone() {
    VoidInService();
    Call(kPhoneClose, 0, [] { return TSPI_phoneClose(g_model.hdPhone); });
    g_model.phone = false;
    ExpectResourcesBack(kPhoneClose);
}

// A handle of our own, kept across the shutdown, still finds a line mutex
// that was left owned.
void Shutdown() {
    VoidInService();
    plat::Mutex* lineMutex = OpenLineMutex();
    Call(kShutdown, 0, [] { return TSPI_providerShutdown(kTspiVersion, kProviderId); });
    ExpectFree(lineMutex, "after TSPI_providerShutdown");
    const bool wasOpen = !g_model.NothingOpen();
    g_model.initialised = g_model.line = g_model.phone = false;
    if (wasOpen)
        ExpectResourcesBack(kShutdown);
}

// Takes the line mutex like every line function, then refuses the handle.
void CloseBadHandle() {
    int notALine = 0;
    Call(kBadClose, static_cast<LONG>(LINEERR_INVALLINEHANDLE),
         [&] { return TSPI_lineClose(reinterpret_cast<HDRVLINE>(&notALine)); });
}

constexpr std::array<void (*)(), kOpCount> kRun{Init,       OpenLine, CloseLine,     OpenPhone,
                                                ClosePhone, Shutdown, CloseBadHandle};

// What the telephony service could call now.
Op Pick() {
    if (!g_model.initialised)
        return kInit;
    const double closing = Clock::now() >= g_model.sessionEnd ? 4 : 0;
    std::array<double, kOpCount> weights{};
    weights[g_model.line ? kLineClose : kLineOpen] = g_model.line ? closing : 6;
    weights[g_model.phone ? kPhoneClose : kPhoneOpen] = g_model.phone ? closing : 3;
    weights[kShutdown] = closing / 4;
    weights[kBadClose] = 4;
    return static_cast<Op>(std::discrete_distribution<size_t>(weights.begin(), weights.end())(g_model.rng));
}

// ---------------------------------------------------------------- the run

std::atomic<int> g_running{0};  // threads making calls, watched by Supervise

void Caller(uint32_t index, Clock::time_point end) {
    std::mt19937 rng(g_seed * 7919u + index);
    while (Clock::now() < end) {
        Sleep(std::uniform_int_distribution<long long>(0, 4000)(rng));
        const std::lock_guard lock(g_tspi);
        if (Clock::now() < end) {
            const Op op = Pick();
            kRun[op]();
            CheckTrace(Text("after %s", kOps[op].name).c_str());
        }
    }
    --g_running;
}

void CloseEverything() {
    const std::lock_guard lock(g_tspi);
    if (g_model.line)
        CloseLine();
    if (g_model.phone)
        ClosePhone();
    if (g_model.initialised)
        Shutdown();
    CheckTrace("at the end");
    --g_running;
}

// Half of the time the simulator behaves.
void SwitchFaults(SimOnPty& sim, std::mt19937& rng) {
    const size_t fault = std::bernoulli_distribution(0.5)(rng)
                             ? kNoFault
                             : std::uniform_int_distribution<size_t>(kSilent, kCut)(rng);
    zq::sim::Faults faults;
    faults.silent = fault == kSilent;
    faults.no_ack = fault == kNoAck;
    faults.nack_instead_of_ack = fault == kNack ? static_cast<uint8_t>(0x83 + rng() % 3) : 0;
    faults.cut_frames_after = fault == kCut ? static_cast<uint8_t>(1 + rng() % 6) : 0;
    // Under the watch's lock, so that no line is awaited in service once the
    // simulator misbehaves.
    const std::lock_guard lock(g_watch.lock);
    g_stats.voided += fault != kNoFault && g_watch.awaited != nullptr ? 1 : 0;
    g_watch.awaited = fault != kNoFault ? nullptr : g_watch.awaited;
    g_watch.faultsOn = fault != kNoFault;
    sim.With([&](zq::sim::Sim* s) { zq::sim::sim_faults(s) = faults; });
    ++g_stats.faults[fault];
}

// Watches the calls until the end and the callers are done; until the end
// also switches faults and checks the line mutex between calls.
void Supervise(SimOnPty& sim, Clock::time_point end) {
    std::mt19937 rng(g_seed);
    std::uniform_int_distribution<long long> faultPeriod(3000, 20000);
    Clock::time_point nextSwitch = Clock::now() + std::chrono::milliseconds(faultPeriod(rng));
    Clock::time_point nextProbe = Clock::now() + std::chrono::seconds(1);
    while (Clock::now() < end || g_running > 0) {
        CheckWatch();
        if (Clock::now() < end && Clock::now() >= nextSwitch) {
            SwitchFaults(sim, rng);
            nextSwitch = Clock::now() + std::chrono::milliseconds(faultPeriod(rng));
        }
        if (Clock::now() < end && Clock::now() >= nextProbe && g_tspi.try_lock()) {
            ExpectFree(OpenLineMutex(), "while no TSPI call runs");
            CheckTrace("between calls");
            g_tspi.unlock();
            nextProbe = Clock::now() + std::chrono::seconds(1);
        }
        Sleep(100);
    }
}

fs::path MakePrefix() {
    return zq::test::MakeTempPrefix(
        "zq_stress", "[SOFTWARE\\\\Velmora\\\\TSpi_6200\\\\Debug_Mode]\n\"DebugOutput\"=sz:\"1\"\n");
}

void PrintSummary() {
    std::printf("calls (longest, bound):\n");
    for (size_t op = 0; op < kOpCount; ++op)
        std::printf("  %-28s %5d  %6lld ms  %6lld ms\n", kOps[op].name, g_stats.calls[op].load(),
                    g_stats.longest[op].load(), kOps[op].bound);
    std::printf("fault switches:");
    for (size_t fault = 0; fault < kFaultCount; ++fault)
        std::printf(" %s %d", kFaultNames[fault], g_stats.faults[fault].load());
    std::printf("\nboxes shown: %d\n", g_stats.boxes.load());
    std::printf("checks: call bounds %d, line mutex free %d, files and threads back %d, trace scans %d\n",
                g_stats.bounds.load(), g_stats.mutexFree.load(), g_stats.resources.load(),
                g_stats.traces.load());
    std::printf("in service in time: %d (longest %lld ms, bound %lld ms); %d voided by a fault or a close\n",
                g_stats.inService.load(), g_stats.longestInService.load(), kInServiceBound,
                g_stats.voided.load());
}

}  // namespace

int main(int argc, char** argv) {
    long seconds = 60;
    g_seed = std::random_device{}();
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::strtol(argv[++i], nullptr, 10);
        } else if (arg == "--seed" && i + 1 < argc) {
            g_seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else {
            std::fprintf(stderr, "usage: zq_stress [--seconds N] [--seed S]\n");
            return 2;
        }
    }
    std::printf("zq_stress: seed %u, %ld s, %u threads calling\n", g_seed, seconds, kCallers);
    std::fflush(stdout);

    g_model.rng.seed(g_seed);
    g_prefix = MakePrefix();
    SimOnPty sim(zq::sim::default_set(), Keep);
    if (g_prefix.empty() || !sim.Open(g_prefix / "dosdevices" / "com1")) {
        std::fprintf(stderr, "zq_stress: cannot make the prefix and its pseudo-terminal\n");
        return 1;
    }
    static int instance;
    zq::ProviderAttach(&instance);  // the library's load, once ZQ_PREFIX is set
    plat::set_message_box_handler(HoldBox);

    const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> callers;
    g_running = kCallers;
    for (uint32_t i = 0; i < kCallers; ++i)
        callers.emplace_back(Caller, i, end);
    Supervise(sim, end);
    for (std::thread& caller : callers)
        caller.join();
    g_running = 1;
    std::thread closer(CloseEverything);
    Supervise(sim, end);
    closer.join();

    sim.Stop();
    plat::set_message_box_handler(nullptr);
    zq::ProviderDetach();
    PrintSummary();
    std::error_code error;
    fs::remove_all(g_prefix, error);
    std::printf("zq_stress: every check held\n");
    return 0;
}
