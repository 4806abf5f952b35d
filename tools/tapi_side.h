// TAPI's side of the TSPI hosts (zqhost on Linux, tsphost under Wine): the
// calls TAPI holds a handle for, what it hears from the provider, its call
// requests and their replies, and the hosts' call steps:
//
//   --words           what TAPI receives, in words, one line each
//   --call NUMBER     TSPI_lineMakeCall, once the line is in service
//   --answer          TSPI_lineAnswer of the next offered call
//   --drop            TSPI_lineDrop of the current call
//   --wait STATE|MS   until the current call has been in STATE (IDLE,
//                     RINGBACK, CONNECTED ...; INSERVICE: the line), or MS
//
// Each request step waits for its reply, which must be 0. A call that goes
// IDLE is closed with TSPI_lineCloseCall, as TAPI does once the
// application has deallocated it. The provider is never called with the
// table's lock held: it calls back into it with its own line mutex held.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "zq/tapi.h"
#include "zq/tapi_words.h"

namespace zq::host {

using Clock = std::chrono::steady_clock;

inline const Clock::time_point g_start = Clock::now();

// One line of output with the milliseconds since start; callbacks print
// from the provider's worker thread.
void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline void Say(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - g_start).count();
    std::printf("[%5lld ms] %s\n", static_cast<long long>(ms), text);
    std::fflush(stdout);
}

enum class StepKind { Call, Answer, Drop, Wait };

struct Step {
    StepKind kind;
    std::string arg;  // the number, or what to wait for
};

inline constexpr const char* kStepUsage =
    "[--words] [--call NUMBER] [--answer] [--drop] [--wait STATE|MS] ...";

// A call state's bit by its word ("RINGBACK"); 0 for none.
inline uint32_t StateBit(std::string_view word) {
    for (const words::BitName& e : words::kCallStates)
        if (e.name != nullptr && word == e.name)
            return e.bit;
    return 0;
}

// Milliseconds of a "--wait 500"; -1 when the word is no number of them.
inline long WaitMs(std::string_view word) {
    if (word.empty() || word.size() > 7 || word.find_first_not_of("0123456789") != std::string_view::npos)
        return -1;
    return std::strtol(std::string(word).c_str(), nullptr, 10);
}

enum class Took { No, Yes, Bad };

// A step option at argv[i] (its value taken too): No when argv[i] is none,
// Bad when its value is missing or wrong.
inline Took TakeStep(int argc, char** argv, int& i, std::vector<Step>& steps) {
    const std::string_view a = argv[i];
    if (a == "--answer" || a == "--drop") {
        steps.push_back({a == "--answer" ? StepKind::Answer : StepKind::Drop, ""});
        return Took::Yes;
    }
    if (a != "--call" && a != "--wait")
        return Took::No;
    if (i + 1 >= argc)
        return Took::Bad;
    const std::string_view value = argv[++i];
    if (a == "--call") {
        // TSPI_lineMakeCall takes fewer than 80 characters.
        if (value.empty() || value.size() >= 80)
            return Took::Bad;
        steps.push_back({StepKind::Call, std::string(value)});
        return Took::Yes;
    }
    if (WaitMs(value) < 0 && StateBit(value) == 0 && value != "INSERVICE")
        return Took::Bad;
    steps.push_back({StepKind::Wait, std::string(value)});
    return Took::Yes;
}

// The provider's entry points the steps use; a missing one fails the step
// that needs it.
struct Requests {
    decltype(&TSPI_lineMakeCall) makeCall = nullptr;
    decltype(&TSPI_lineAnswer) answer = nullptr;
    decltype(&TSPI_lineDrop) drop = nullptr;
    decltype(&TSPI_lineCloseCall) closeCall = nullptr;
};

// TAPI's handle of its call record i is this base plus i.
inline constexpr uintptr_t kCallHandleBase = 0x1000;
inline constexpr size_t kMaxCalls = 16;

struct TapiCall {
    // A closed call's record stays for the waits until a new call takes it.
    bool used = false;
    bool closed = false;
    // The provider's handle: LINE_NEWCALL's, or written by make call
    // before the call's first event, under the provider's line mutex.
    HDRVCALL hdCall = nullptr;
    uint32_t state = 0;  // the last LINE_CALLSTATE
    uint32_t seen = 0;   // every state it has been in
    bool answered = false;
    bool failed = false;  // its make call was completed with an error
    bool closing = false;
};

struct Request {
    DRV_REQUESTID id;
    std::string what;
    bool refused = false;  // the function returned an error: no reply may come
    int replies = 0;
    LONG result = 0;
};

struct Tapi {
    std::mutex m;
    std::condition_variable cv;
    std::array<TapiCall, kMaxCalls> calls{};
    std::vector<Request> requests;
    DRV_REQUESTID lastId = 0;
    uint32_t lineStates = 0;  // every LINEDEVSTATE reported
    int current = -1;         // the call made or answered last
    int closeFailures = 0;
    bool words = false;
};

inline Tapi g_tapi;

inline int CallNumber(HDRVCALL hdCall) {
    return static_cast<int>(reinterpret_cast<uintptr_t>(hdCall));
}

// The record of TAPI's handle; -1 for none.
inline int RecordOf(HTAPICALL htCall) {
    const auto h = reinterpret_cast<uintptr_t>(htCall);
    return h >= kCallHandleBase && h < kCallHandleBase + kMaxCalls ? static_cast<int>(h - kCallHandleBase)
                                                                   : -1;
}

inline HTAPICALL HandleOf(int record) {
    return reinterpret_cast<HTAPICALL>(kCallHandleBase + static_cast<uintptr_t>(record));
}

inline bool Live(const TapiCall& c) {
    return c.used && !c.closed;
}

// A record for a new call: one never used, else a closed one; -1 when
// TAPI has none left. Under the lock.
inline int TakeRecord(HDRVCALL hdCall) {
    int found = -1;
    for (size_t i = 0; i < g_tapi.calls.size() && found < 0; ++i)
        if (!g_tapi.calls[i].used)
            found = static_cast<int>(i);
    for (size_t i = 0; i < g_tapi.calls.size() && found < 0; ++i)
        if (g_tapi.calls[i].closed)
            found = static_cast<int>(i);
    if (found < 0)
        return -1;
    if (g_tapi.current == found)
        g_tapi.current = -1;
    TapiCall& c = g_tapi.calls[static_cast<size_t>(found)];
    c = TapiCall{};
    c.used = true;
    c.hdCall = hdCall;
    return found;
}

// A line event as TAPI takes it in: a new call gets its handle, states are
// kept. Returns the event in words with the provider's number of the call
// ("call 0 RINGBACK"), and that number in *call (-1 for none).
inline std::string Heard(HTAPICALL htCall, DWORD msg, DWORD_PTR p1, DWORD_PTR p2, int* call) {
    const std::lock_guard lock(g_tapi.m);
    *call = -1;
    if (msg == LINE_NEWCALL) {
        const int record = TakeRecord(reinterpret_cast<HDRVCALL>(p1));
        if (p2 != 0)
            *reinterpret_cast<HTAPICALL*>(p2) = record >= 0 ? HandleOf(record) : nullptr;
    }
    const int record = RecordOf(htCall);
    if (record >= 0 && Live(g_tapi.calls[static_cast<size_t>(record)])) {
        TapiCall& c = g_tapi.calls[static_cast<size_t>(record)];
        *call = CallNumber(c.hdCall);
        if (msg == LINE_CALLSTATE) {
            c.state = static_cast<uint32_t>(p1);
            c.seen |= c.state;
        }
    }
    if (msg == LINE_LINEDEVSTATE)
        g_tapi.lineStates |= static_cast<uint32_t>(p1);
    g_tapi.cv.notify_all();
    return words::LineEvent(*call, msg, p1, p2);
}

// A completion as TAPI takes it in; "reply 3 ok".
inline std::string Replied(DRV_REQUESTID id, LONG result) {
    const std::lock_guard lock(g_tapi.m);
    for (Request& r : g_tapi.requests) {
        if (r.id == id) {
            ++r.replies;
            r.result = result;
        }
    }
    g_tapi.cv.notify_all();
    return "reply " + std::to_string(id) + " " + words::Result(result);
}

// Closes every call that went IDLE, and every call whose make call failed
// after it was taken.
inline void CloseIdleCalls(const Requests& r) {
    for (;;) {
        int record = -1;
        HDRVCALL hdCall = nullptr;
        {
            const std::lock_guard lock(g_tapi.m);
            for (size_t i = 0; i < g_tapi.calls.size() && record < 0; ++i) {
                TapiCall& c = g_tapi.calls[i];
                if (Live(c) && !c.closing && (c.state == LINECALLSTATE_IDLE || c.failed)) {
                    c.closing = true;
                    record = static_cast<int>(i);
                    hdCall = c.hdCall;
                }
            }
        }
        if (record < 0 || r.closeCall == nullptr)
            return;
        const LONG result = r.closeCall(hdCall);
        Say("TSPI_lineCloseCall call %d = %s", CallNumber(hdCall), words::Result(result).c_str());
        const std::lock_guard lock(g_tapi.m);
        g_tapi.calls[static_cast<size_t>(record)].closed = true;
        g_tapi.closeFailures += result != 0 ? 1 : 0;
    }
}

// Waits until done() (read under the lock) or the deadline, closing idle
// calls and calling pump() in between.
template <typename Done>
bool WaitUntil(Done done, const Requests& r, Clock::time_point deadline, const std::function<void()>& pump) {
    for (;;) {
        CloseIdleCalls(r);
        {
            std::unique_lock lock(g_tapi.m);
            if (done())
                return true;
            if (Clock::now() >= deadline)
                return false;
            g_tapi.cv.wait_for(lock, std::chrono::milliseconds(10));
            if (done())
                return true;
        }
        if (pump)
            pump();
    }
}

// A request the provider took: its reply, which must come once and be 0.
inline bool AwaitReply(LONG returned, const std::string& what, const Requests& r, Clock::time_point deadline,
                       const std::function<void()>& pump) {
    const auto id = static_cast<DRV_REQUESTID>(returned);
    const auto replied = [id] {
        for (const Request& q : g_tapi.requests)
            if (q.id == id)
                return q.replies > 0;
        return false;
    };
    if (!WaitUntil(replied, r, deadline, pump)) {
        Say("%s: no reply to request %lu", what.c_str(), static_cast<unsigned long>(id));
        return false;
    }
    const std::lock_guard lock(g_tapi.m);
    for (const Request& q : g_tapi.requests)
        if (q.id == id)
            return q.result == 0;
    return false;
}

// The next request ID, entered before the request so that a reply sent
// from inside the call is counted.
inline DRV_REQUESTID NewRequest(const std::string& what) {
    const std::lock_guard lock(g_tapi.m);
    const DRV_REQUESTID id = ++g_tapi.lastId;
    g_tapi.requests.push_back({id, what, false, 0, 0});
    return id;
}

// What an asynchronous TSPI function returned: its request ID, else an
// error, and then no reply may come.
inline bool Accepted(LONG returned, DRV_REQUESTID id) {
    const bool accepted = returned > 0 && static_cast<DRV_REQUESTID>(returned) == id;
    const std::lock_guard lock(g_tapi.m);
    for (Request& q : g_tapi.requests)
        if (q.id == id)
            q.refused = !accepted;
    return accepted;
}

inline bool MakeCall(const std::string& number, const Requests& r, HDRVLINE hdLine,
                     Clock::time_point deadline, const std::function<void()>& pump) {
    const std::string what = "TSPI_lineMakeCall " + number;
    if (!WaitUntil([] { return (g_tapi.lineStates & LINEDEVSTATE_INSERVICE) != 0; }, r, deadline, pump)) {
        Say("%s: the line never came in service", what.c_str());
        return false;
    }
    int record = -1;
    {
        const std::lock_guard lock(g_tapi.m);
        record = TakeRecord(nullptr);
    }
    if (record < 0 || r.makeCall == nullptr) {
        Say("%s: %s", what.c_str(), record < 0 ? "no call record left" : "not exported");
        return false;
    }
    std::basic_string<WCHAR> dest(number.begin(), number.end());
    const DRV_REQUESTID id = NewRequest(what);
    const auto wall = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
    const LONG returned =
        r.makeCall(id, hdLine, HandleOf(record), &g_tapi.calls[static_cast<size_t>(record)].hdCall,
                   dest.c_str(), 0, nullptr);
    if (!Accepted(returned, id)) {
        Say("%s = %s", what.c_str(), words::Result(returned).c_str());
        const std::lock_guard lock(g_tapi.m);
        g_tapi.calls[static_cast<size_t>(record)] = TapiCall{};
        return false;
    }
    HDRVCALL hdCall = nullptr;
    {
        const std::lock_guard lock(g_tapi.m);
        hdCall = g_tapi.calls[static_cast<size_t>(record)].hdCall;
        g_tapi.current = record;
    }
    Say("%s = request %lu, call %d (wall clock %lld.%03lld s)", what.c_str(), static_cast<unsigned long>(id),
        CallNumber(hdCall), static_cast<long long>(wall / 1000), static_cast<long long>(wall % 1000));
    if (AwaitReply(returned, what, r, deadline, pump))
        return true;
    const std::lock_guard lock(g_tapi.m);
    g_tapi.calls[static_cast<size_t>(record)].failed = true;
    return false;
}

// Answer (the next offered call not yet answered) or drop (the current
// call).
inline bool CallRequest(StepKind kind, const Requests& r, Clock::time_point deadline,
                        const std::function<void()>& pump) {
    const bool answer = kind == StepKind::Answer;
    const char* name = answer ? "TSPI_lineAnswer" : "TSPI_lineDrop";
    if (answer ? r.answer == nullptr : r.drop == nullptr) {
        Say("%s: not exported", name);
        return false;
    }
    int record = -1;
    const auto found = [&record, answer] {
        if (!answer) {
            record = g_tapi.current;
            return true;
        }
        for (size_t i = 0; i < g_tapi.calls.size(); ++i) {
            const TapiCall& c = g_tapi.calls[i];
            if (Live(c) && !c.answered && c.state == LINECALLSTATE_OFFERING) {
                record = static_cast<int>(i);
                return true;
            }
        }
        return false;
    };
    if (!WaitUntil(found, r, deadline, pump) || record < 0) {
        Say("%s: %s", name, answer ? "no call was offered" : "no current call");
        return false;
    }
    HDRVCALL hdCall = nullptr;
    {
        const std::lock_guard lock(g_tapi.m);
        TapiCall& c = g_tapi.calls[static_cast<size_t>(record)];
        hdCall = c.hdCall;
        c.answered = c.answered || answer;
        g_tapi.current = record;
    }
    const std::string what = std::string(name) + " call " + std::to_string(CallNumber(hdCall));
    const DRV_REQUESTID id = NewRequest(what);
    const LONG returned = answer ? r.answer(id, hdCall, nullptr, 0) : r.drop(id, hdCall, nullptr, 0);
    const bool accepted = Accepted(returned, id);
    Say("%s = %s", what.c_str(),
        accepted ? ("request " + std::to_string(id)).c_str() : words::Result(returned).c_str());
    return accepted && AwaitReply(returned, what, r, deadline, pump);
}

inline bool Wait(const std::string& what, const Requests& r, Clock::time_point deadline,
                 const std::function<void()>& pump) {
    if (const long ms = WaitMs(what); ms >= 0) {
        const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
        WaitUntil([] { return false; }, r, std::min(end, deadline), pump);
        return end <= deadline;
    }
    const uint32_t bit = StateBit(what);
    // The current call; with none, any call (which then becomes current).
    const auto reached = [bit] {
        if (bit == 0)
            return (g_tapi.lineStates & LINEDEVSTATE_INSERVICE) != 0;
        if (g_tapi.current >= 0)
            return (g_tapi.calls[static_cast<size_t>(g_tapi.current)].seen & bit) != 0;
        for (size_t i = 0; i < g_tapi.calls.size(); ++i) {
            if (Live(g_tapi.calls[i]) && (g_tapi.calls[i].seen & bit) != 0) {
                g_tapi.current = static_cast<int>(i);
                return true;
            }
        }
        return false;
    };
    const bool ok = WaitUntil(reached, r, deadline, pump);
    Say("wait %s: %s", what.c_str(), ok ? "reached" : "not reached in time");
    return ok;
}

// Runs the steps in order, within the deadline; false at the first that
// fails.
inline bool RunSteps(const std::vector<Step>& steps, const Requests& r, HDRVLINE hdLine,
                     Clock::time_point deadline, const std::function<void()>& pump) {
    for (const Step& s : steps) {
        bool ok = false;
        switch (s.kind) {
            case StepKind::Call:
                ok = MakeCall(s.arg, r, hdLine, deadline, pump);
                break;
            case StepKind::Answer:
            case StepKind::Drop:
                ok = CallRequest(s.kind, r, deadline, pump);
                break;
            case StepKind::Wait:
                ok = Wait(s.arg, r, deadline, pump);
                break;
        }
        if (!ok)
            return false;
    }
    return true;
}

// Every request the provider took was answered exactly once, none it
// refused was, and every close succeeded.
inline bool RequestsAnswered() {
    const std::lock_guard lock(g_tapi.m);
    bool ok = g_tapi.closeFailures == 0;
    for (const Request& q : g_tapi.requests) {
        if (q.replies != (q.refused ? 0 : 1)) {
            Say("%s: request %lu (%s) replied %d times", q.what.c_str(), static_cast<unsigned long>(q.id),
                q.refused ? "refused" : "taken", q.replies);
            ok = false;
        }
    }
    return ok;
}

}  // namespace zq::host
