// zq_telephony_stress: the telephony library under load, in real time.
//
// Three applications use libzqtapi.so, which loads the shipped provider,
// against the simulator on a pseudo-terminal. Each application takes its
// messages with lineGetMessage on a thread of its own while other threads
// call in at random: calls made, answered, held, unheld, dropped and
// deallocated, call information and status, device capabilities, and line
// closes and reopens; the last application also shuts down and initialises
// again. The simulated parties call in, answer and hang up meanwhile, so the
// provider's worker reports events all along. The first broken rule ends
// the run with a message and status 1:
//  - every accepted request gets exactly one LINE_REPLY, and no reply comes
//    for a request no function returned (until its application shuts down);
//  - no message names a handle revoked before lineGetMessage was called, nor
//    one the application was never given; a call's first state carries its
//    privilege; a live handle is never refused;
//  - every call function returns within its bound;
//  - at the end every call left is dropped (or, when no application owns
//    it, ended at the set) and reaches IDLE.
// ThreadSanitizer, when built with it, watches the rest.
//
//   zq_telephony_stress [--seconds N] [--seed S]
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "sim_on_pty.h"
#include "temp_prefix.h"
#include "zq/sim.h"
#include "zq/tapi.h"
#include "zq/tapi_words.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr DWORD kVersion = 0x00020000;
// Milliseconds.
constexpr long long kCallBound = 60000;   // any function, the provider's waits included
constexpr long long kReplyBound = 60000;  // from the request to its reply
constexpr long long kKnownBound = 10000;  // a reply's request or an open's handle recorded
constexpr long long kEndBound = 60000;    // the calls left at the end IDLE
constexpr DWORD kGetMessageWait = 100;

enum Fn : size_t {
    kMakeCall,
    kAnswer,
    kDrop,
    kHold,
    kUnhold,
    kCallInfo,
    kCallStatus,
    kDevCaps,
    kDeallocate,
    kGetId,
    kOpen,
    kSetStatus,
    kClose,
    kInitialize,
    kShutdown,
    kGetMessage,
    kFnCount
};
constexpr std::array<const char*, kFnCount> kFnNames{
    "lineMakeCallA",      "lineAnswer",        "lineDrop",          "lineHold",
    "lineUnhold",         "lineGetCallInfoA",  "lineGetCallStatus", "lineGetDevCapsA",
    "lineDeallocateCall", "lineGetIDA",        "lineOpenA",         "lineSetStatusMessages",
    "lineClose",          "lineInitializeExA", "lineShutdown",      "lineGetMessage"};
constexpr std::array<bool, kFnCount> kAsync{true, true, true, true, true};

// The parties the applications call: answering, busy, never answering,
// external.
constexpr std::array<const char*, 6> kNumbers{"2005", "2010", "2011", "2006", "2007", "0612345678"};
// Those who call the set.
constexpr std::array<const char*, 3> kCallers{"0612345678", "2010", "2011"};

// What each application does: its privileges, its calling threads, and
// whether it closes and reopens its line or shuts down and initialises.
struct Role {
    const char* name;
    DWORD privileges;
    int threads;
    bool reinitialises;
};
constexpr std::array<Role, 3> kRoles{
    {{"first", LINECALLPRIVILEGE_OWNER, 2, false},
     {"second", LINECALLPRIVILEGE_OWNER | LINECALLPRIVILEGE_MONITOR, 1, false},
     {"cycled", LINECALLPRIVILEGE_OWNER | LINECALLPRIVILEGE_MONITOR, 1, true}}};
constexpr size_t kApps = kRoles.size();

uint32_t g_seed = 0;
const Clock::time_point g_start = Clock::now();

long long Now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - g_start).count();
}

void Sleep(long long ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

__attribute__((format(printf, 1, 2))) std::string Text(const char* format, ...) {
    std::array<char, 1024> buffer{};
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    return buffer.data();
}

// ------------------------------------------------------------ what happened

// The last events, shown with a failure.
std::mutex g_logLock;
std::deque<std::string> g_log;

void Log(const std::string& line) {
    const std::lock_guard lock(g_logLock);
    g_log.push_back(Text("%7lld ", Now()) + line);
    if (g_log.size() > 200)
        g_log.pop_front();
}

void PrintSummary();

[[noreturn]] void Fail(const std::string& what) {
    if (g_logLock.try_lock()) {
        for (const std::string& line : g_log)
            std::fprintf(stderr, "%s\n", line.c_str());
    }
    std::fflush(stderr);
    PrintSummary();
    std::fflush(stdout);
    std::fprintf(stderr, "zq_telephony_stress: FAILED at %lld ms (seed %u): %s\n", Now(), g_seed,
                 what.c_str());
    std::fflush(stderr);
    std::_Exit(1);  // other threads may be stuck in the library
}

struct FnStats {
    std::atomic<int> tried{0}, accepted{0}, replies{0}, repliesOk{0};
    std::atomic<long long> longest{0}, longestReply{0};
};

struct Stats {
    std::array<FnStats, kFnCount> fn;
    std::mutex errorsLock;
    std::array<std::map<LONG, int>, kFnCount> errors, replyErrors;
    std::map<DWORD, int> messages;  // under errorsLock
    std::atomic<int> made{0}, incoming{0}, monitored{0}, connected{0}, idle{0}, late{0}, voided{0},
        revokedAtReply{0}, providerRefused{0}, partyActions{0}, droppedAtEnd{0}, endedAtSet{0},
        deallocatedAtEnd{0};
} g_stats;

void NoteLongest(std::atomic<long long>& longest, long long ms) {
    long long seen = longest.load();
    while (ms > seen && !longest.compare_exchange_weak(seen, ms)) {
    }
}

std::string MessageName(DWORD id) {
    constexpr std::array<std::pair<DWORD, const char*>, 7> kNames{{{LINE_REPLY, "LINE_REPLY"},
                                                                   {LINE_CALLSTATE, "LINE_CALLSTATE"},
                                                                   {LINE_CALLINFO, "LINE_CALLINFO"},
                                                                   {LINE_APPNEWCALL, "LINE_APPNEWCALL"},
                                                                   {LINE_LINEDEVSTATE, "LINE_LINEDEVSTATE"},
                                                                   {LINE_ADDRESSSTATE, "LINE_ADDRESSSTATE"},
                                                                   {LINE_CLOSE, "LINE_CLOSE"}}};
    for (const auto& [value, name] : kNames)
        if (value == id)
            return name;
    return "message " + std::to_string(id);
}

// ------------------------------------------------------------ the watchdog

// What a thread is calling, for the bound on every call.
struct InCall {
    std::atomic<long long> since{-1};
    std::atomic<size_t> fn{0};
    std::atomic<int> app{0};
};
std::mutex g_threadsLock;
std::deque<InCall> g_inCall;  // one per thread, never removed

InCall& NewInCall() {
    const std::lock_guard lock(g_threadsLock);
    return g_inCall.emplace_back();
}

// Calls the library, timed and counted.
template <typename F>
LONG Api(InCall& self, size_t app, Fn fn, F call) {
    const long long start = Now();
    self.app = static_cast<int>(app);
    self.fn = fn;
    self.since = start;
    const LONG result = call();
    self.since = -1;
    const long long took = Now() - start;
    FnStats& s = g_stats.fn[fn];
    NoteLongest(s.longest, took);
    if (took > kCallBound)
        Fail(Text("app %zu: %s took %lld ms", app, kFnNames[fn], took));
    if (fn == kGetMessage)
        return result;
    ++s.tried;
    if (kAsync[fn] ? result > 0 : result == 0) {
        ++s.accepted;
    } else {
        const std::lock_guard lock(g_stats.errorsLock);
        ++g_stats.errors[fn][result];
    }
    return result;
}

void CheckCallsReturn() {
    const std::lock_guard lock(g_threadsLock);
    for (const InCall& t : g_inCall) {
        const long long since = t.since;
        if (since >= 0 && Now() - since > kCallBound)
            Fail(Text("app %d: %s has not returned after %lld ms", t.app.load(), kFnNames[t.fn],
                      Now() - since));
    }
}

// ------------------------------------------------------------ applications

struct CallTrack {
    HLINE line = 0;
    DWORD privilege = 0;
    DWORD state = 0;       // the last LINE_CALLSTATE, 0 before the first
    int invalidating = 0;  // lineDeallocateCall calls under way
    long long dropAsked = -1;
};

struct Request {
    Fn fn = kMakeCall;
    HLINE line = 0;
    HCALL call = 0;  // the call it was made on, and its state then
    DWORD state = 0;
    long long at = 0;
    std::unique_ptr<HCALL> target;  // where lineMakeCallA writes the call at the reply
};

struct App {
    size_t index = 0;
    Role role{};
    std::mutex m;
    std::condition_variable cv;
    HLINEAPP handle = 0;
    uint64_t life = 0;  // one more at each shutdown
    bool shuttingDown = false;
    bool opening = false;
    int closing = 0;
    HLINE line = 0;
    int opens = 0;
    // A handle revoked is kept with the epoch at which its revocation had
    // returned; a lineGetMessage begun at a later epoch may not name it.
    uint64_t epoch = 0;
    std::unordered_map<uint32_t, uint64_t> stale;
    std::map<HCALL, CallTrack> calls;
    std::map<DWORD, Request> requests;
    std::unordered_set<DWORD> replied;
    std::atomic<int> cycles{0}, reopens{0};
};
std::array<App, kApps> g_apps;

std::atomic<bool> g_stop{false};        // the callers and the parties stop
std::atomic<bool> g_stopTaking{false};  // the message threads stop

// An accepted request, recorded by its caller; a reply may be waiting for it.
void NoteRequest(App& a, Fn fn, uint64_t life, HLINE line, LONG result, HCALL call = 0, DWORD state = 0,
                 std::unique_ptr<HCALL> target = {}) {
    if (result <= 0) {
        if (result == 0)
            Fail(Text("app %zu: %s returned 0 for a request", a.index, kFnNames[fn]));
        return;
    }
    const auto id = static_cast<DWORD>(result);
    const std::lock_guard lock(a.m);
    Log(Text("app %zu %s -> request %u", a.index, kFnNames[fn], id));
    if (a.life != life) {
        ++g_stats.voided;  // shut down meanwhile: no reply comes
        return;
    }
    if (a.requests.count(id) != 0 || a.replied.count(id) != 0)
        Fail(Text("app %zu: request %u returned twice (%s)", a.index, id, kFnNames[fn]));
    a.requests[id] = Request{fn, line, call, state, Now(), std::move(target)};
    a.cv.notify_all();
}

// A request still waiting for its reply, in words (a.m held).
std::string Waiting(const App& a, DWORD id, const Request& q) {
    std::string text = Text("app %zu: request %u (%s", a.index, id, kFnNames[q.fn]);
    if (q.call != 0) {
        const auto now = a.calls.find(q.call);
        text += Text(" of call %08x, %s then, ", q.call, zq::words::CallState(q.state).c_str()) +
                (now != a.calls.end() ? zq::words::CallState(now->second.state) + " now" : "revoked since");
    }
    return text + Text(") has had no LINE_REPLY in %lld ms", Now() - q.at);
}

// The line and its calls are gone once lineClose, lineShutdown or the
// provider's LINE_CLOSE has revoked them (a.m held).
void RevokeLine(App& a) {
    const uint64_t epoch = ++a.epoch;
    if (a.line != 0)
        a.stale[a.line] = epoch;
    for (const auto& [call, track] : a.calls)
        a.stale[call] = epoch;
    a.calls.clear();
    a.line = 0;
}

// A new call handle, from LINE_APPNEWCALL or a LINE_REPLY's fix-up (a.m held).
void LearnCall(App& a, HCALL call, HLINE line, DWORD privilege) {
    if (line != a.line) {
        // The line was closed after the message was taken: its calls went
        // with it.
        const auto closed = a.stale.find(line);
        const uint64_t epoch = closed != a.stale.end() ? closed->second : a.epoch;
        a.stale[call] = epoch;
        ++g_stats.late;
        return;
    }
    if (a.calls.count(call) != 0)
        Fail(Text("app %zu: call handle %08x given twice", a.index, call));
    a.stale.erase(call);  // a generation come round again
    a.calls[call] = CallTrack{line, privilege};
}

// Waits (a.m held) for a line handle taken from a message to be known: an
// open in progress may already have events.
bool LineKnown(App& a, std::unique_lock<std::mutex>& lock, HLINE line, uint64_t life) {
    a.cv.wait_for(lock, std::chrono::milliseconds(kKnownBound),
                  [&] { return a.line == line || !a.opening || a.life != life; });
    if (a.life != life || a.stale.count(line) != 0)
        return false;  // gone meanwhile: nothing to track
    if (a.line != line)
        Fail(Text("app %zu: a message for line handle %08x, which it was never given", a.index, line));
    return true;
}

CallTrack* CallKnown(App& a, HCALL call, const LINEMESSAGE& m) {
    const auto found = a.calls.find(call);
    if (found == a.calls.end())
        Fail(Text("app %zu: %s for call handle %08x, which it was never given", a.index,
                  MessageName(m.dwMessageID).c_str(), call));
    return &found->second;
}

void OnReply(App& a, std::unique_lock<std::mutex>& lock, const LINEMESSAGE& m, uint64_t life) {
    const auto id = static_cast<DWORD>(m.dwParam1);
    const auto result = static_cast<LONG>(m.dwParam2);
    if (a.replied.count(id) != 0)
        Fail(Text("app %zu: a second LINE_REPLY for request %u", a.index, id));
    // The caller records the request once the function has returned.
    if (!a.cv.wait_for(lock, std::chrono::milliseconds(kKnownBound),
                       [&] { return a.requests.count(id) != 0 || a.life != life; }))
        Fail(Text("app %zu: LINE_REPLY %s for request %u, which no function returned", a.index,
                  zq::words::Result(result).c_str(), id));
    if (a.life != life)
        return;
    const auto found = a.requests.find(id);
    Request& q = found->second;
    a.replied.insert(id);
    FnStats& s = g_stats.fn[q.fn];
    ++s.replies;
    if (result == 0) {
        ++s.repliesOk;
    } else {
        const std::lock_guard stats(g_stats.errorsLock);
        ++g_stats.replyErrors[q.fn][result];
    }
    NoteLongest(s.longestReply, Now() - q.at);
    if (q.fn == kMakeCall && result == 0) {
        ++g_stats.made;
        const HCALL call = *q.target;
        if (call != 0)
            LearnCall(a, call, q.line, LINECALLPRIVILEGE_OWNER);
        else
            ++g_stats.revokedAtReply;
    }
    a.requests.erase(found);
}

void OnMessage(App& a, const LINEMESSAGE& m, uint64_t life, uint64_t begun) {
    {
        const std::lock_guard lock(g_stats.errorsLock);
        ++g_stats.messages[m.dwMessageID];
    }
    Log(Text("app %zu %s %08x %lx %lx %lx", a.index, MessageName(m.dwMessageID).c_str(), m.hDevice,
             static_cast<unsigned long>(m.dwParam1), static_cast<unsigned long>(m.dwParam2),
             static_cast<unsigned long>(m.dwParam3)));
    std::unique_lock lock(a.m);
    const bool reinit = m.dwMessageID == LINE_LINEDEVSTATE && m.hDevice == 0;
    if (m.dwMessageID != LINE_REPLY && m.dwMessageID != LINE_REQUEST && !reinit) {
        const auto s = a.stale.find(m.hDevice);
        if (s != a.stale.end() && s->second <= begun)
            Fail(Text("app %zu: %s for handle %08x, revoked before lineGetMessage was called", a.index,
                      MessageName(m.dwMessageID).c_str(), m.hDevice));
        if (s != a.stale.end()) {
            ++g_stats.late;  // revoked while lineGetMessage waited
            return;
        }
    }
    if (a.life != life)
        return;  // shut down meanwhile
    if (!reinit && (m.dwCallbackInstance >> 16) != a.index + 1)
        Fail(Text("app %zu: %s with another application's callback instance %lx", a.index,
                  MessageName(m.dwMessageID).c_str(), static_cast<unsigned long>(m.dwCallbackInstance)));
    switch (m.dwMessageID) {
        case LINE_REPLY:
            OnReply(a, lock, m, life);
            return;
        case LINE_APPNEWCALL: {
            if (!LineKnown(a, lock, m.hDevice, life))
                return;
            const auto privilege = static_cast<DWORD>(m.dwParam3);
            if ((privilege != LINECALLPRIVILEGE_OWNER && privilege != LINECALLPRIVILEGE_MONITOR) ||
                (privilege & a.role.privileges) == 0)
                Fail(Text("app %zu: a new call with privilege %x on an open with %x", a.index, privilege,
                          a.role.privileges));
            ++(privilege == LINECALLPRIVILEGE_OWNER ? g_stats.incoming : g_stats.monitored);
            LearnCall(a, static_cast<HCALL>(m.dwParam2), m.hDevice, privilege);
            return;
        }
        case LINE_CALLSTATE: {
            CallTrack* call = CallKnown(a, m.hDevice, m);
            if (call->state == 0 && m.dwParam3 != call->privilege)
                Fail(Text("app %zu: the first state of call %08x carries privilege %lx, not %x", a.index,
                          m.hDevice, static_cast<unsigned long>(m.dwParam3), call->privilege));
            call->state = static_cast<DWORD>(m.dwParam1);
            g_stats.connected += call->state == LINECALLSTATE_CONNECTED ? 1 : 0;
            g_stats.idle += call->state == LINECALLSTATE_IDLE ? 1 : 0;
            return;
        }
        case LINE_CALLINFO:
        case LINE_GENERATE:
            CallKnown(a, m.hDevice, m);
            return;
        case LINE_CLOSE:
            if (LineKnown(a, lock, m.hDevice, life))
                RevokeLine(a);
            return;
        case LINE_LINEDEVSTATE:
        case LINE_ADDRESSSTATE:
        case LINE_DEVSPECIFIC:
            if (!reinit)
                LineKnown(a, lock, m.hDevice, life);
            return;
        default:
            return;
    }
}

// One application's messages, taken on a thread of its own.
void TakeMessages(App& a) {
    InCall& self = NewInCall();
    std::mt19937 rng(g_seed * 104729u + static_cast<uint32_t>(a.index));
    while (!g_stopTaking) {
        // Now and then the application is slow to take its messages, so
        // that handles are revoked while messages for them are queued.
        if (std::uniform_int_distribution<int>(0, 99)(rng) < 10)
            Sleep(std::uniform_int_distribution<long long>(0, 300)(rng));
        HLINEAPP handle = 0;
        uint64_t life = 0, begun = 0;
        {
            const std::lock_guard lock(a.m);
            handle = a.handle;
            life = a.life;
            begun = a.epoch;
        }
        if (handle == 0) {
            Sleep(5);
            continue;
        }
        LINEMESSAGE m{};
        const LONG r =
            Api(self, a.index, kGetMessage, [&] { return lineGetMessage(handle, &m, kGetMessageWait); });
        if (r == 0) {
            OnMessage(a, m, life, begun);
        } else if (r == static_cast<LONG>(LINEERR_INVALAPPHANDLE)) {
            const std::lock_guard lock(a.m);
            if (a.life == life && !a.shuttingDown)
                Fail(Text("app %zu: lineGetMessage refused the live application %08x", a.index, handle));
        } else if (r != static_cast<LONG>(LINEERR_OPERATIONFAILED)) {
            Fail(Text("app %zu: lineGetMessage returned %s", a.index, zq::words::Result(r).c_str()));
        }
    }
}

// ------------------------------------------------------------ calling in

struct Snapshot {
    HLINEAPP handle = 0;
    uint64_t life = 0;
    HLINE line = 0;
    std::vector<std::pair<HCALL, CallTrack>> calls;
};

Snapshot Snap(App& a) {
    const std::lock_guard lock(a.m);
    Snapshot s{a.handle, a.life, a.line, {}};
    for (const auto& [call, track] : a.calls)
        s.calls.emplace_back(call, CallTrack{track.line, track.privilege, track.state});
    return s;
}

// Whether nothing could have revoked this call while a function ran on it
// (a.m held): then the library may not refuse its handle.
bool SurelyLive(const App& a, HCALL call, uint64_t life) {
    const auto found = a.calls.find(call);
    return a.life == life && !a.shuttingDown && a.closing == 0 && found != a.calls.end() &&
           found->second.invalidating == 0;
}

// A call handle refused. The provider may refuse its own handle of a call
// (a conference) with the same error: the library's own answer to
// "tapi/line" tells whose refusal it was.
void ExpectLive(InCall& self, App& a, Fn fn, HCALL call, uint64_t life, LONG r) {
    if (r != static_cast<LONG>(LINEERR_INVALCALLHANDLE))
        return;
    std::array<uint8_t, 64> buffer{};
    auto* id = reinterpret_cast<LPVARSTRING>(buffer.data());
    id->dwTotalSize = static_cast<DWORD>(buffer.size());
    const LONG probe = Api(self, a.index, kGetId,
                           [&] { return lineGetIDA(0, 0, call, LINECALLSELECT_CALL, id, "tapi/line"); });
    const std::lock_guard lock(a.m);
    if (probe == 0)
        ++g_stats.providerRefused;
    else if (SurelyLive(a, call, life))
        Fail(Text("app %zu: %s refused the live call handle %08x", a.index, kFnNames[fn], call));
}

LONG CallRequest(InCall& self, App& a, Fn fn, const Snapshot& s, HCALL call) {
    const LONG r = Api(self, a.index, fn, [&] {
        switch (fn) {
            case kAnswer:
                return lineAnswer(call, nullptr, 0);
            case kHold:
                return lineHold(call);
            case kUnhold:
                return lineUnhold(call);
            default:
                return lineDrop(call, nullptr, 0);
        }
    });
    const auto known =
        std::find_if(s.calls.begin(), s.calls.end(), [&](const auto& c) { return c.first == call; });
    NoteRequest(a, fn, s.life, s.line, r, call, known != s.calls.end() ? known->second.state : 0);
    ExpectLive(self, a, fn, call, s.life, r);
    return r;
}

void MakeCall(InCall& self, App& a, const Snapshot& s, std::mt19937& rng) {
    auto target = std::make_unique<HCALL>(0);
    const char* number = kNumbers[rng() % kNumbers.size()];
    HCALL* where = target.get();
    const LONG r =
        Api(self, a.index, kMakeCall, [&] { return lineMakeCallA(s.line, where, number, 0, nullptr); });
    NoteRequest(a, kMakeCall, s.life, s.line, r, 0, 0, std::move(target));
}

void CallInfo(InCall& self, App& a, const Snapshot& s, HCALL call) {
    constexpr DWORD kTotal = 1024;
    constexpr size_t kGuard = 16;
    std::vector<uint8_t> buffer(kTotal + kGuard, 0xA5);
    auto* info = reinterpret_cast<LPLINECALLINFO>(buffer.data());
    info->dwTotalSize = kTotal;
    const LONG r = Api(self, a.index, kCallInfo, [&] { return lineGetCallInfoA(call, info); });
    ExpectLive(self, a, kCallInfo, call, s.life, r);
    if (r != 0)
        return;
    if (info->dwUsedSize > kTotal ||
        std::any_of(buffer.end() - kGuard, buffer.end(), [](uint8_t b) { return b != 0xA5; }))
        Fail(Text("app %zu: lineGetCallInfoA wrote beyond dwTotalSize (used %u)", a.index, info->dwUsedSize));
    const std::lock_guard lock(a.m);
    const auto found = a.calls.find(call);
    if (found != a.calls.end() && info->hLine != found->second.line &&
        (info->hLine != 0 || SurelyLive(a, call, s.life)))
        Fail(Text("app %zu: call %08x is on line %08x, its information says %08x", a.index, call,
                  found->second.line, info->hLine));
}

void CallStatus(InCall& self, App& a, const Snapshot& s, HCALL call) {
    LINECALLSTATUS status{};
    status.dwTotalSize = sizeof status;
    const LONG r = Api(self, a.index, kCallStatus, [&] { return lineGetCallStatus(call, &status); });
    ExpectLive(self, a, kCallStatus, call, s.life, r);
    if (r != 0)
        return;
    const std::lock_guard lock(a.m);
    const auto found = a.calls.find(call);
    if (found != a.calls.end() && status.dwCallPrivilege != found->second.privilege)
        Fail(Text("app %zu: call %08x has privilege %x, its status says %x", a.index, call,
                  found->second.privilege, status.dwCallPrivilege));
}

void DevCaps(InCall& self, App& a, const Snapshot& s) {
    std::vector<uint8_t> buffer(2048);
    auto* caps = reinterpret_cast<LPLINEDEVCAPS>(buffer.data());
    caps->dwTotalSize = static_cast<DWORD>(buffer.size());
    const LONG r =
        Api(self, a.index, kDevCaps, [&] { return lineGetDevCapsA(s.handle, 0, kVersion, 0, caps); });
    const std::lock_guard lock(a.m);
    if (r != 0 && a.life == s.life && !a.shuttingDown)
        Fail(Text("app %zu: lineGetDevCapsA returned %s", a.index, zq::words::Result(r).c_str()));
    if (r == 0 && (caps->dwUsedSize > buffer.size() || caps->dwLineNameSize < 2))
        Fail(Text("app %zu: lineGetDevCapsA used %u bytes, line name %u", a.index, caps->dwUsedSize,
                  caps->dwLineNameSize));
}

void Deallocate(InCall& self, App& a, const Snapshot& s, HCALL call) {
    {
        const std::lock_guard lock(a.m);
        const auto found = a.calls.find(call);
        if (found == a.calls.end())
            return;
        ++found->second.invalidating;
    }
    const LONG r = Api(self, a.index, kDeallocate, [&] { return lineDeallocateCall(call); });
    Log(Text("app %zu lineDeallocateCall %08x -> %s", a.index, call, zq::words::Result(r).c_str()));
    const std::lock_guard lock(a.m);
    const auto found = a.calls.find(call);
    if (found != a.calls.end()) {
        --found->second.invalidating;
        if (r == 0) {
            a.stale[call] = ++a.epoch;
            a.calls.erase(found);
        }
    }
    if (r == static_cast<LONG>(LINEERR_INVALCALLHANDLE) && SurelyLive(a, call, s.life))
        Fail(Text("app %zu: lineDeallocateCall refused the live call handle %08x", a.index, call));
}

void OpenLine(InCall& self, App& a) {
    HLINEAPP handle = 0;
    DWORD instance = 0;
    {
        const std::lock_guard lock(a.m);
        if (a.handle == 0 || a.line != 0)
            return;
        handle = a.handle;
        a.opening = true;
        instance = static_cast<DWORD>((a.index + 1) << 16 | (++a.opens & 0xFFFF));
    }
    HLINE line = 0;
    const DWORD media =
        (a.role.privileges & LINECALLPRIVILEGE_OWNER) != 0 ? LINEMEDIAMODE_INTERACTIVEVOICE : 0;
    const LONG r = Api(self, a.index, kOpen, [&] {
        return lineOpenA(handle, 0, &line, kVersion, 0, instance, a.role.privileges, media, nullptr);
    });
    {
        const std::lock_guard lock(a.m);
        a.opening = false;
        if (r == 0) {
            a.line = line;
            a.stale.erase(line);
        }
        a.cv.notify_all();
    }
    Log(Text("app %zu lineOpenA -> %s %08x", a.index, zq::words::Result(r).c_str(), line));
    if (r != 0)
        return;
    constexpr DWORD kStates = LINEDEVSTATE_CONNECTED | LINEDEVSTATE_DISCONNECTED | LINEDEVSTATE_INSERVICE |
                              LINEDEVSTATE_OUTOFSERVICE;
    const LONG set = Api(self, a.index, kSetStatus, [&] { return lineSetStatusMessages(line, kStates, 0); });
    const std::lock_guard lock(a.m);
    if (set != 0 && a.line == line)
        Fail(Text("app %zu: lineSetStatusMessages returned %s", a.index, zq::words::Result(set).c_str()));
}

void CloseLine(InCall& self, App& a) {
    HLINE line = 0;
    {
        const std::lock_guard lock(a.m);
        if (a.line == 0)
            return;
        line = a.line;
        ++a.closing;
    }
    const LONG r = Api(self, a.index, kClose, [&] { return lineClose(line); });
    const std::lock_guard lock(a.m);
    --a.closing;
    Log(Text("app %zu lineClose %08x -> %s", a.index, line, zq::words::Result(r).c_str()));
    if (r == 0 && a.line == line) {
        RevokeLine(a);
        ++a.reopens;
    } else if (r != 0 && a.line == line) {
        Fail(Text("app %zu: lineClose of its open line returned %s", a.index, zq::words::Result(r).c_str()));
    }
}

void Initialize(InCall& self, App& a) {
    HLINEAPP handle = 0;
    DWORD devices = 0, version = kVersion;
    LINEINITIALIZEEXPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    const std::string name = std::string("stress ") + a.role.name;
    const LONG r = Api(self, a.index, kInitialize, [&] {
        return lineInitializeExA(&handle, nullptr, nullptr, name.c_str(), &devices, &version, &params);
    });
    Log(Text("app %zu lineInitializeExA -> %s %08x", a.index, zq::words::Result(r).c_str(), handle));
    if (r != 0 || devices != 1)
        Fail(Text("app %zu: lineInitializeExA returned %s, %u devices", a.index, zq::words::Result(r).c_str(),
                  devices));
    const std::lock_guard lock(a.m);
    a.handle = handle;
}

// Everything of the application goes: its opens, calls, requests and
// queued messages.
void Shutdown(InCall& self, App& a) {
    HLINEAPP handle = 0;
    {
        const std::lock_guard lock(a.m);
        handle = a.handle;
        a.shuttingDown = true;
    }
    const LONG r = Api(self, a.index, kShutdown, [&] { return lineShutdown(handle); });
    Log(Text("app %zu lineShutdown %08x -> %s", a.index, handle, zq::words::Result(r).c_str()));
    if (r != 0)
        Fail(Text("app %zu: lineShutdown returned %s", a.index, zq::words::Result(r).c_str()));
    const std::lock_guard lock(a.m);
    RevokeLine(a);
    a.stale[handle] = a.epoch;
    g_stats.voided += static_cast<int>(a.requests.size());
    a.requests.clear();
    a.handle = 0;
    ++a.life;
    ++a.cycles;
    a.shuttingDown = false;
    a.cv.notify_all();
}

// What to do with a call, mostly what its state allows.
void OnCall(InCall& self, App& a, const Snapshot& s, std::mt19937& rng) {
    const auto& [call, track] = s.calls[rng() % s.calls.size()];
    const auto roll = std::uniform_int_distribution<int>(0, 99)(rng);
    // Now and then anything, whatever the state.
    const DWORD state = roll < 10 ? 0 : track.state;
    const int pick = std::uniform_int_distribution<int>(0, 99)(rng);
    switch (state) {
        case LINECALLSTATE_OFFERING:
        case LINECALLSTATE_ACCEPTED:
            CallRequest(self, a, pick < 90 ? kAnswer : kDrop, s, call);
            return;
        case LINECALLSTATE_CONNECTED:
            if (pick < 25)
                CallRequest(self, a, kHold, s, call);
            else if (pick < 45)
                CallRequest(self, a, kDrop, s, call);
            else if (pick < 75)
                CallInfo(self, a, s, call);
            else
                CallStatus(self, a, s, call);
            return;
        case LINECALLSTATE_ONHOLD:
            if (pick < 50)
                CallRequest(self, a, kUnhold, s, call);
            else if (pick < 75)
                CallRequest(self, a, kDrop, s, call);
            else
                CallInfo(self, a, s, call);
            return;
        case LINECALLSTATE_DISCONNECTED:
            if (pick < 70)
                CallRequest(self, a, kDrop, s, call);
            else
                CallStatus(self, a, s, call);
            return;
        case LINECALLSTATE_IDLE:
            if (pick < 80)
                Deallocate(self, a, s, call);
            else
                CallInfo(self, a, s, call);
            return;
        case 0:
            if (roll < 10) {
                constexpr std::array<Fn, 8> kAny{kAnswer,   kDrop,       kHold,       kUnhold,
                                                 kCallInfo, kCallStatus, kDeallocate, kDrop};
                const Fn fn = kAny[static_cast<size_t>(pick) % kAny.size()];
                if (fn == kCallInfo)
                    CallInfo(self, a, s, call);
                else if (fn == kCallStatus)
                    CallStatus(self, a, s, call);
                else if (fn == kDeallocate)
                    Deallocate(self, a, s, call);
                else
                    CallRequest(self, a, fn, s, call);
                return;
            }
            [[fallthrough]];
        default:  // on its way: dial tone, dialling, proceeding, ringback
            if (pick < 25)
                CallRequest(self, a, kDrop, s, call);
            else if (pick < 60)
                CallInfo(self, a, s, call);
            else
                CallStatus(self, a, s, call);
            return;
    }
}

size_t Going(const Snapshot& s) {
    return static_cast<size_t>(std::count_if(
        s.calls.begin(), s.calls.end(), [](const auto& c) { return c.second.state != LINECALLSTATE_IDLE; }));
}

// A thread calling in for an application; the first thread of each also
// opens and closes its line, and shuts down and initialises.
void CallIn(App& a, int thread) {
    InCall& self = NewInCall();
    std::mt19937 rng(g_seed * 7919u + static_cast<uint32_t>(a.index * 16 + static_cast<size_t>(thread)));
    const bool lifecycle = thread == 0;
    while (!g_stop) {
        Sleep(std::uniform_int_distribution<long long>(0, 300)(rng));
        const Snapshot s = Snap(a);
        const double r = std::uniform_real_distribution<double>(0, 100)(rng);
        if (lifecycle && s.handle == 0) {
            Initialize(self, a);
        } else if (s.handle == 0) {
            continue;
        } else if (lifecycle && s.line == 0) {
            OpenLine(self, a);
        } else if (lifecycle && a.role.reinitialises && r < 0.6) {
            Shutdown(self, a);
            Sleep(std::uniform_int_distribution<long long>(0, 1500)(rng));
        } else if (lifecycle && r < 1.5) {
            CloseLine(self, a);
            Sleep(std::uniform_int_distribution<long long>(0, 1500)(rng));
        } else if (r < 5) {
            DevCaps(self, a, s);
        } else if (s.line != 0 && Going(s) < 2 && r < 20) {
            MakeCall(self, a, s, rng);
        } else if (!s.calls.empty()) {
            OnCall(self, a, s, rng);
        }
    }
}

// ------------------------------------------------------------ the parties

using SimOnPty = zq::test::SimOnPty;

// The other ends: callers ring the set, parties answer and hang up, now and
// then the user puts the handset down.
void Parties(SimOnPty& sim) {
    std::mt19937 rng(g_seed ^ 0x5eedu);
    while (!g_stop) {
        Sleep(std::uniform_int_distribution<long long>(200, 2500)(rng));
        const int pick = std::uniform_int_distribution<int>(0, 99)(rng);
        const std::string done = sim.With([&](zq::sim::Sim* sm) -> std::string {
            const zq::sim::SetState state = zq::sim::sim_set_state(sm);
            const int any = state.calls.empty() ? -1 : state.calls[rng() % state.calls.size()].id;
            if (pick < 35 && state.calls.size() < 3) {
                const char* number = kCallers[rng() % kCallers.size()];
                return Text("%s calls in: %d", number, zq::sim::sim_call_in(sm, 0, number));
            }
            if (pick < 60 && any >= 0)
                return Text("call %d hung up: %d", any, zq::sim::sim_remote_hangup(sm, any));
            if (pick < 75 && any >= 0)
                return Text("call %d answered: %d", any, zq::sim::sim_remote_answer(sm, any));
            if (pick < 85 && state.active_key != 0) {
                zq::sim::sim_user_onhook(sm);
                return "the user hangs up";
            }
            return {};
        });
        if (!done.empty()) {
            ++g_stats.partyActions;
            Log("set: " + done);
        }
    }
}

// ------------------------------------------------------------ the end

struct Left {
    App* app;
    HCALL call;
    CallTrack track;
};

std::vector<Left> CallsLeft(bool idleToo) {
    std::vector<Left> left;
    for (App& a : g_apps) {
        const std::lock_guard lock(a.m);
        for (const auto& [call, track] : a.calls)
            if (idleToo || track.state != LINECALLSTATE_IDLE)
                left.push_back({&a, call, track});
    }
    return left;
}

// The calls on the set, in words.
std::string SetCalls(SimOnPty& sim) {
    return sim.With([](zq::sim::Sim* sm) {
        std::string list;
        for (const zq::sim::CallView& call : zq::sim::sim_set_state(sm).calls)
            list += Text(" set call %d key %u %s %s;", call.id, call.key,
                         zq::sim::call_state_name(call.state), call.number.c_str());
        return list;
    });
}

// Ends every call on the set as its parties and its user would; true when
// none was left.
bool ClearSet(SimOnPty& sim) {
    return sim.With([](zq::sim::Sim* sm) {
        const zq::sim::SetState state = zq::sim::sim_set_state(sm);
        for (const zq::sim::CallView& call : state.calls)
            g_stats.endedAtSet += zq::sim::sim_remote_hangup(sm, call.id) ? 1 : 0;
        if (state.active_key == 0 && !state.calls.empty() && state.calls.front().key != 0)
            zq::sim::sim_user_key(sm, state.calls.front().key);
        if (zq::sim::sim_set_state(sm).active_key != 0)
            zq::sim::sim_user_onhook(sm);
        return state.calls.empty();
    });
}

// The owners drop what is still going; then the set ends what no
// application owns any more, and what the provider still waits for (a drop
// of a call that rings or dials completes when the call has ended). Every
// call reaches IDLE.
void EndCalls(InCall& self, SimOnPty& sim) {
    const long long start = Now();
    long long lastAtSet = start;
    for (;;) {
        const std::vector<Left> left = CallsLeft(false);
        if (left.empty() && Now() - lastAtSet > 1000 && ClearSet(sim))
            return;
        if (Now() - start > kEndBound) {
            std::string list;
            for (const Left& l : left)
                list += Text(" app %zu call %08x %s privilege %x;", l.app->index, l.call,
                             zq::words::CallState(l.track.state).c_str(), l.track.privilege);
            Fail("calls not IDLE at the end:" + list + SetCalls(sim));
        }
        for (const Left& l : left) {
            if (l.track.privilege != LINECALLPRIVILEGE_OWNER ||
                (l.track.dropAsked >= 0 && Now() - l.track.dropAsked < 3000))
                continue;
            {
                const std::lock_guard lock(l.app->m);
                const auto found = l.app->calls.find(l.call);
                if (found == l.app->calls.end())
                    continue;
                found->second.dropAsked = Now();
            }
            const Snapshot s = Snap(*l.app);
            if (CallRequest(self, *l.app, kDrop, s, l.call) > 0)
                ++g_stats.droppedAtEnd;
        }
        if (Now() - start > 5000 && Now() - lastAtSet > 2000) {
            lastAtSet = Now();
            ClearSet(sim);
        }
        Sleep(200);
    }
}

// Every accepted request has had its reply.
void AwaitReplies() {
    const long long start = Now();
    for (App& a : g_apps) {
        std::unique_lock lock(a.m);
        if (!a.cv.wait_for(lock, std::chrono::milliseconds(std::max(0LL, kReplyBound - (Now() - start))),
                           [&] { return a.requests.empty(); })) {
            Fail(Waiting(a, a.requests.begin()->first, a.requests.begin()->second));
        }
    }
}

// The IDLE calls are still their applications' until they let them go.
void DeallocateAll(InCall& self) {
    for (const Left& l : CallsLeft(true)) {
        LINECALLSTATUS status{};
        status.dwTotalSize = sizeof status;
        const LONG r =
            Api(self, l.app->index, kCallStatus, [&] { return lineGetCallStatus(l.call, &status); });
        if (r != 0 || status.dwCallPrivilege != l.track.privilege)
            Fail(Text("app %zu: at the end call %08x: lineGetCallStatus %s, privilege %x", l.app->index,
                      l.call, zq::words::Result(r).c_str(), status.dwCallPrivilege));
        const LONG d = Api(self, l.app->index, kDeallocate, [&] { return lineDeallocateCall(l.call); });
        if (d != 0)
            Fail(Text("app %zu: at the end lineDeallocateCall(%08x) returned %s", l.app->index, l.call,
                      zq::words::Result(d).c_str()));
        ++g_stats.deallocatedAtEnd;
        const std::lock_guard lock(l.app->m);
        l.app->stale[l.call] = ++l.app->epoch;
        l.app->calls.erase(l.call);
    }
}

// The outstanding requests, checked while the run goes on.
void CheckReplyAges() {
    for (App& a : g_apps) {
        const std::lock_guard lock(a.m);
        for (const auto& [id, q] : a.requests)
            if (Now() - q.at > kReplyBound)
                Fail(Waiting(a, id, q));
    }
}

fs::path MakePrefix() {
    ::setenv("ZQTAPI_PROVIDER", ZQ_PROVIDER_PATH, 1);
    return zq::test::MakeTempPrefix("zq_telephony_stress");
}

// Requests accepted and replies taken, over every asynchronous function.
std::pair<int, int> RequestTotals() {
    int accepted = 0, replies = 0;
    for (size_t fn = 0; fn < kFnCount; ++fn) {
        accepted += kAsync[fn] ? g_stats.fn[fn].accepted.load() : 0;
        replies += g_stats.fn[fn].replies;
    }
    return {accepted, replies};
}

void PrintProgress() {
    const auto [accepted, replies] = RequestTotals();
    std::printf("%4lld s: calls made %d, incoming %d, connected %d; requests accepted %d, replies %d\n",
                Now() / 1000, g_stats.made.load(), g_stats.incoming.load(), g_stats.connected.load(),
                accepted, replies);
    std::fflush(stdout);
}

void PrintSummary() {
    std::printf(
        "function               called      ok  longest | replies   ok  longest | refused; failed replies\n");
    for (size_t fn = 0; fn < kFnCount; ++fn) {
        const FnStats& s = g_stats.fn[fn];
        if (fn == kGetMessage) {
            std::printf("  %-22s %21lld ms\n", kFnNames[fn], s.longest.load());
            continue;
        }
        std::string errors;
        {
            const std::lock_guard lock(g_stats.errorsLock);
            for (const auto& [error, count] : g_stats.errors[fn])
                errors += Text(" %s %d", zq::words::Result(error).c_str(), count);
            if (kAsync[fn])
                errors += ";";
            for (const auto& [error, count] : g_stats.replyErrors[fn])
                errors += Text(" %s %d", zq::words::Result(error).c_str(), count);
        }
        std::printf("  %-22s %6d  %6d  %4lld ms", kFnNames[fn], s.tried.load(), s.accepted.load(),
                    s.longest.load());
        if (kAsync[fn])
            std::printf(" | %7d %4d  %4lld ms |", s.replies.load(), s.repliesOk.load(),
                        s.longestReply.load());
        else
            std::printf(" | %20s |", "");
        std::printf("%s\n", errors.c_str());
    }
    std::printf("messages:");
    {
        const std::lock_guard lock(g_stats.errorsLock);
        for (const auto& [id, count] : g_stats.messages)
            std::printf(" %s %d", MessageName(id).c_str(), count);
    }
    std::printf(
        "\ncalls: made %d (handle revoked before the reply %d), incoming as owner %d, as monitor %d, "
        "CONNECTED %d, IDLE %d\n",
        g_stats.made.load(), g_stats.revokedAtReply.load(), g_stats.incoming.load(), g_stats.monitored.load(),
        g_stats.connected.load(), g_stats.idle.load());
    std::printf("lines closed and reopened:");
    for (const App& a : g_apps)
        std::printf(" %s %d", a.role.name, a.reopens.load());
    std::printf("; shutdowns and initialisations: %d\n", g_apps.back().cycles.load());
    std::printf(
        "messages for handles revoked while they were taken %d; call handles the provider refused %d; "
        "party actions %d\n",
        g_stats.late.load(), g_stats.providerRefused.load(), g_stats.partyActions.load());
    const auto [accepted, replies] = RequestTotals();
    std::printf("requests: accepted %d, replied %d, voided by a shutdown %d\n", accepted, replies,
                g_stats.voided.load());
    std::printf("end: %d drops, %d ended at the set, %d calls deallocated IDLE\n",
                g_stats.droppedAtEnd.load(), g_stats.endedAtSet.load(), g_stats.deallocatedAtEnd.load());
}

}  // namespace

int main(int argc, char** argv) {
    long seconds = 20;
    g_seed = std::random_device{}();
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::strtol(argv[++i], nullptr, 10);
        } else if (arg == "--seed" && i + 1 < argc) {
            g_seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else {
            std::fprintf(stderr, "usage: zq_telephony_stress [--seconds N] [--seed S]\n");
            return 2;
        }
    }
    int callers = 0;
    for (const Role& role : kRoles)
        callers += role.threads;
    std::printf(
        "zq_telephony_stress: seed %u, %ld s, %zu applications, %d threads calling in, %zu taking messages\n",
        g_seed, seconds, kApps, callers, kApps);
    std::fflush(stdout);

    const fs::path prefix = MakePrefix();
    SimOnPty sim;
    if (prefix.empty() || !sim.Open(prefix / "dosdevices" / "com1")) {
        std::fprintf(stderr, "zq_telephony_stress: cannot make the prefix and its pseudo-terminal\n");
        return 1;
    }
    InCall& self = NewInCall();
    std::vector<std::thread> takers, threads;
    for (size_t i = 0; i < kApps; ++i) {
        g_apps[i].index = i;
        g_apps[i].role = kRoles[i];
        takers.emplace_back(TakeMessages, std::ref(g_apps[i]));
        for (int t = 0; t < kRoles[i].threads; ++t)
            threads.emplace_back(CallIn, std::ref(g_apps[i]), t);
    }
    threads.emplace_back(Parties, std::ref(sim));

    const long long end = Now() + seconds * 1000;
    long long nextProgress = 60000;
    while (Now() < end) {
        Sleep(100);
        CheckCallsReturn();
        CheckReplyAges();
        if (Now() >= nextProgress) {
            PrintProgress();
            nextProgress += 60000;
        }
    }
    g_stop = true;
    std::thread watch([] {
        // The callers and then the end phase still call the library.
        while (!g_stopTaking) {
            CheckCallsReturn();
            Sleep(100);
        }
    });
    for (std::thread& t : threads)
        t.join();
    EndCalls(self, sim);
    AwaitReplies();
    DeallocateAll(self);
    AwaitReplies();
    for (App& a : g_apps) {
        const Snapshot s = Snap(a);
        if (s.handle != 0)
            Shutdown(self, a);
    }
    g_stopTaking = true;
    for (std::thread& t : takers)
        t.join();
    watch.join();
    const size_t onSet = sim.With([](zq::sim::Sim* sm) { return zq::sim::sim_set_state(sm).calls.size(); });
    sim.Stop();
    PrintSummary();
    std::error_code error;
    fs::remove_all(prefix, error);
    if (onSet != 0)
        Fail(Text("%zu calls still on the set at the end", onSet));
    // Each accepted request was replied to once, or its application shut
    // down before the reply.
    const auto [accepted, replies] = RequestTotals();
    if (accepted != replies + g_stats.voided)
        Fail(Text("%d requests accepted, %d replies, %d voided", accepted, replies, g_stats.voided.load()));
    std::printf("zq_telephony_stress: every check held\n");
    return 0;
}
