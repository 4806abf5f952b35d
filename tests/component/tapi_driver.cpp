#include "tapi_driver.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <set>
#include <sstream>

#include "callmodel/calls.h"
#include "callmodel/tables.h"
#include "core/line_record.h"
#include "provider_fixture.h"
#include "zq/tapi_words.h"

namespace zq::test {

TapiDriver g_driver;

namespace {

using Words = std::vector<std::string>;

// Where TAPI's result codes lie: LINEERR_ALLOCATED .. LINEERR_REINIT.
bool IsLineError(LONG result) {
    const auto code = static_cast<uint32_t>(result);
    return code >= LINEERR_ALLOCATED && code <= LINEERR_REINIT;
}

void Note(std::string word) {
    g_driver.notes.emplace_back(g_tapi.lineEvents.size(), std::move(word));
}

std::u16string Wide(std::string_view text) {
    return {text.begin(), text.end()};
}

int CallOfHandle(uintptr_t htCall) {
    return htCall >= kCallHandleBase ? static_cast<int>((htCall - kCallHandleBase) % kFreshHandle) : -1;
}

bool Number(std::string_view word, int* value) {
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), *value);
    return error == std::errc{} && end == word.data() + word.size();
}

// The provider's handle of call n as TAPI knows it: from the provider's
// LINE_NEWCALL, or written by the request that created it.
::testing::AssertionResult CallHandle(std::string_view word, HDRVCALL* hdCall) {
    int call = -1;
    if (!Number(word, &call))
        return ::testing::AssertionFailure() << "'" << word << "' is no call number";
    if (const auto it = g_driver.created.find(call); it != g_driver.created.end()) {
        *hdCall = it->second;
        return ::testing::AssertionSuccess();
    }
    for (const LineEventRecord& e : g_tapi.lineEvents) {
        if (e.msg == LINE_NEWCALL && e.param1 == static_cast<uintptr_t>(call)) {
            *hdCall = reinterpret_cast<HDRVCALL>(e.param1);
            return ::testing::AssertionSuccess();
        }
    }
    return ::testing::AssertionFailure() << "TAPI knows no call " << call;
}

// The record the provider numbers TAPI's new call by: for a make call in a
// double call the call in dial tone, else the lowest record free, idle or
// in dial tone that TAPI holds no handle for.
int NextCallRecord(bool makeCall) {
    const auto& states = g_line.calls.lineCallState;
    if (makeCall && g_calls.DbCall) {
        for (int cref = 0; cref < MAX_CALLS; ++cref)
            if (states[static_cast<size_t>(cref)] == LINECALLSTATE_DIALTONE)
                return cref;
    }
    for (int cref = 0; cref < MAX_CALLS; ++cref) {
        const uint32_t state = states[static_cast<size_t>(cref)];
        if ((state == 0 || state == LINECALLSTATE_IDLE || state == LINECALLSTATE_DIALTONE) &&
            !g_line.ReservedByTapi[static_cast<size_t>(cref)])
            return cref;
    }
    return -1;
}

// An asynchronous request: a fresh ID, the return kept, a refusal among
// the events.
LONG Request(const Words& words, const std::function<LONG(DRV_REQUESTID)>& tspi, uintptr_t htCall = 0) {
    const uint32_t id = ++g_driver.lastId;
    std::string statement;
    for (const std::string& w : words)
        statement += (statement.empty() ? "" : " ") + w;
    const LONG returned = tspi(id);
    g_driver.requests.push_back({id, statement, returned, htCall});
    if (returned < 0)
        Note("refused " + std::to_string(id) + " " + words::Result(returned));
    return returned;
}

uintptr_t FreshHandle(int call) {
    return kCallHandleBase + ++g_driver.lastHandle * kFreshHandle + static_cast<uintptr_t>(call);
}

// An accepted request that creates a call: the hdCall it wrote must be the
// number its events name the call by.
::testing::AssertionResult Created(const Words& words, LONG returned, HDRVCALL hdCall, int call) {
    if (returned < 0)
        return ::testing::AssertionSuccess();
    if (reinterpret_cast<uintptr_t>(hdCall) != static_cast<uintptr_t>(call))
        return ::testing::AssertionFailure()
               << "'" << words[0] << "': the provider wrote hdCall " << reinterpret_cast<uintptr_t>(hdCall)
               << ", its events name call " << call;
    g_driver.created[call] = hdCall;
    return ::testing::AssertionSuccess();
}

// A request that creates a call under TAPI's handle for the record the
// provider will number it by.
::testing::AssertionResult Creating(const Words& words,
                                    const std::function<LONG(DRV_REQUESTID, HTAPICALL, LPHDRVCALL)>& tspi) {
    const int record = NextCallRecord(words[0] == "make");
    const int call = record >= 0 ? record : MAX_CALLS;
    const uintptr_t htCall = FreshHandle(call);
    HDRVCALL hdCall = nullptr;
    const LONG returned = Request(
        words, [&](DRV_REQUESTID id) { return tspi(id, reinterpret_cast<HTAPICALL>(htCall), &hdCall); },
        htCall);
    return Created(words, returned, hdCall, call);
}

::testing::AssertionResult OnCall(const Words& words,
                                  const std::function<LONG(DRV_REQUESTID, HDRVCALL)>& tspi) {
    HDRVCALL hdCall = nullptr;
    if (auto known = CallHandle(words[1], &hdCall); !known)
        return known;
    Request(words, [&](DRV_REQUESTID id) { return tspi(id, hdCall); });
    return ::testing::AssertionSuccess();
}

// A request on two calls.
::testing::AssertionResult OnTwoCalls(const Words& words,
                                      const std::function<LONG(DRV_REQUESTID, HDRVCALL, HDRVCALL)>& tspi) {
    HDRVCALL first = nullptr;
    HDRVCALL second = nullptr;
    if (auto known = CallHandle(words[1], &first); !known)
        return known;
    if (auto known = CallHandle(words[2], &second); !known)
        return known;
    Request(words, [&](DRV_REQUESTID id) { return tspi(id, first, second); });
    return ::testing::AssertionSuccess();
}

// A synchronous function: its result among the events as "digits ok".
::testing::AssertionResult Synchronous(const Words& words, const std::function<LONG(HDRVCALL)>& tspi) {
    HDRVCALL hdCall = nullptr;
    if (auto known = CallHandle(words[1], &hdCall); !known)
        return known;
    Note(words[0] + " " + words::Result(tspi(hdCall)));
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult Make(const Words& w) {
    const std::u16string dest = Wide(w[1]);
    return Creating(w, [&](DRV_REQUESTID id, HTAPICALL htCall, LPHDRVCALL lphdCall) {
        return TSPI_lineMakeCall(id, g_driver.hdLine, htCall, lphdCall, dest.c_str(), 0, nullptr);
    });
}

::testing::AssertionResult Dial(const Words& w) {
    const std::u16string dest = Wide(w[2]);
    return OnCall(w, [&](DRV_REQUESTID id, HDRVCALL hd) { return TSPI_lineDial(id, hd, dest.c_str(), 0); });
}

::testing::AssertionResult Answer(const Words& w) {
    return OnCall(w, [](DRV_REQUESTID id, HDRVCALL hd) { return TSPI_lineAnswer(id, hd, nullptr, 0); });
}

::testing::AssertionResult Drop(const Words& w) {
    return OnCall(w, [](DRV_REQUESTID id, HDRVCALL hd) { return TSPI_lineDrop(id, hd, nullptr, 0); });
}

::testing::AssertionResult Hold(const Words& w) {
    return OnCall(w, [](DRV_REQUESTID id, HDRVCALL hd) { return TSPI_lineHold(id, hd); });
}

::testing::AssertionResult Unhold(const Words& w) {
    return OnCall(w, [](DRV_REQUESTID id, HDRVCALL hd) { return TSPI_lineUnhold(id, hd); });
}

// "digits 0 123" sends DTMF; "digits 0" stops it.
::testing::AssertionResult Digits(const Words& w) {
    const std::u16string digits = Wide(w.size() > 2 ? w[2] : "");
    return Synchronous(w, [&](HDRVCALL hd) {
        return TSPI_lineGenerateDigits(hd, 0, LINEDIGITMODE_DTMF, digits.c_str(), 0);
    });
}

::testing::AssertionResult Blind(const Words& w) {
    const std::u16string dest = Wide(w[2]);
    return OnCall(
        w, [&](DRV_REQUESTID id, HDRVCALL hd) { return TSPI_lineBlindTransfer(id, hd, dest.c_str(), 0); });
}

// The consultation call is TAPI's new call.
::testing::AssertionResult Setup(const Words& w) {
    HDRVCALL hdCall = nullptr;
    if (auto known = CallHandle(w[1], &hdCall); !known)
        return known;
    return Creating(w, [&](DRV_REQUESTID id, HTAPICALL htConsult, LPHDRVCALL lphdConsult) {
        return TSPI_lineSetupTransfer(id, hdCall, htConsult, lphdConsult, nullptr);
    });
}

::testing::AssertionResult Transfer(const Words& w) {
    return OnTwoCalls(w, [](DRV_REQUESTID id, HDRVCALL hd, HDRVCALL consult) {
        return TSPI_lineCompleteTransfer(id, hd, consult, nullptr, nullptr, LINETRANSFERMODE_TRANSFER);
    });
}

// The conference call is TAPI's new call, numbered 30 by the provider.
::testing::AssertionResult Conference(const Words& w) {
    HDRVCALL hd = nullptr;
    HDRVCALL consult = nullptr;
    if (auto known = CallHandle(w[1], &hd); !known)
        return known;
    if (auto known = CallHandle(w[2], &consult); !known)
        return known;
    const uintptr_t htConf = FreshHandle(CONFREF);
    HDRVCALL hdConf = nullptr;
    const LONG returned = Request(
        w,
        [&](DRV_REQUESTID id) {
            return TSPI_lineCompleteTransfer(id, hd, consult, reinterpret_cast<HTAPICALL>(htConf), &hdConf,
                                             LINETRANSFERMODE_CONFERENCE);
        },
        htConf);
    return Created(w, returned, hdConf, CONFREF);
}

::testing::AssertionResult Add(const Words& w) {
    return OnTwoCalls(w, [](DRV_REQUESTID id, HDRVCALL conf, HDRVCALL consult) {
        return TSPI_lineAddToConference(id, conf, consult);
    });
}

::testing::AssertionResult Remove(const Words& w) {
    return OnCall(w, [](DRV_REQUESTID id, HDRVCALL hd) { return TSPI_lineRemoveFromConference(id, hd); });
}

// "forward uncond 2010", busy, noansw, busyna, or "forward cancel" (no
// list).
::testing::AssertionResult Forward(const Words& w) {
    struct Mode {
        std::string_view word;
        uint32_t mode;
    };
    static constexpr std::array<Mode, 4> kModes{{{"uncond", LINEFORWARDMODE_UNCOND},
                                                 {"busy", LINEFORWARDMODE_BUSY},
                                                 {"noansw", LINEFORWARDMODE_NOANSW},
                                                 {"busyna", LINEFORWARDMODE_BUSYNA}}};
    struct ForwardList {
        LINEFORWARDLIST list;
        std::array<char16_t, 40> dest;
    } buffer{};
    LINEFORWARDLIST* list = nullptr;
    if (w[1] != "cancel") {
        const auto mode =
            std::find_if(kModes.begin(), kModes.end(), [&](const Mode& m) { return m.word == w[1]; });
        if (mode == kModes.end() || w.size() < 3 || w[2].size() >= buffer.dest.size())
            return ::testing::AssertionFailure() << "'forward " << w[1] << "': no such forwarding";
        std::copy(w[2].begin(), w[2].end(), buffer.dest.begin());
        buffer.list.dwTotalSize = sizeof buffer;
        buffer.list.dwNumEntries = 1;
        buffer.list.ForwardList[0].dwForwardMode = mode->mode;
        buffer.list.ForwardList[0].dwDestAddressSize =
            static_cast<DWORD>((w[2].size() + 1) * sizeof(char16_t));
        buffer.list.ForwardList[0].dwDestAddressOffset = offsetof(ForwardList, dest);
        list = &buffer.list;
    }
    HDRVCALL consult = nullptr;
    Request(w, [&](DRV_REQUESTID id) {
        return TSPI_lineForward(id, g_driver.hdLine, 1, 0, list, 0, nullptr, &consult, nullptr);
    });
    return ::testing::AssertionSuccess();
}

// The picked-up call is TAPI's new call.
::testing::AssertionResult Pickup(const Words& w) {
    const std::u16string dest = Wide(w[1]);
    return Creating(w, [&](DRV_REQUESTID id, HTAPICALL htCall, LPHDRVCALL lphdCall) {
        return TSPI_linePickup(id, g_driver.hdLine, 0, htCall, lphdCall, dest.c_str(), nullptr);
    });
}

::testing::AssertionResult Close(const Words& w) {
    return Synchronous(w, [](HDRVCALL hd) { return TSPI_lineCloseCall(hd); });
}

struct Verb {
    std::string_view name;
    size_t minWords;  // the verb included
    ::testing::AssertionResult (*run)(const Words&);
};

constexpr std::array<Verb, 16> kVerbs{{
    {"make", 2, Make},
    {"dial", 3, Dial},
    {"answer", 2, Answer},
    {"drop", 2, Drop},
    {"hold", 2, Hold},
    {"unhold", 2, Unhold},
    {"digits", 2, Digits},
    {"blind", 3, Blind},
    {"setup", 2, Setup},
    {"transfer", 3, Transfer},
    {"conference", 3, Conference},
    {"add", 3, Add},
    {"remove", 2, Remove},
    {"forward", 2, Forward},
    {"pickup", 2, Pickup},
    {"close", 2, Close},
}};

}  // namespace

void CALLBACK DriverCompletion(DRV_REQUESTID id, LONG result) {
    RecordCompletion(id, result);
    Note("reply " + std::to_string(id) + " " + words::Result(result));
}

void DriverStart(HDRVLINE hdLine) {
    g_driver = TapiDriver{};
    g_driver.hdLine = hdLine;
}

::testing::AssertionResult DriverRun(std::string_view statement) {
    std::istringstream in{std::string(statement)};
    Words words;
    for (std::string w; in >> w;)
        words.push_back(w);
    for (const Verb& verb : kVerbs) {
        if (words.empty() || words[0] != verb.name)
            continue;
        if (words.size() < verb.minWords)
            return ::testing::AssertionFailure() << "'tapi " << statement << "': too few words";
        return verb.run(words);
    }
    return ::testing::AssertionFailure() << "'tapi " << statement << "': no such request";
}

std::vector<std::string> DriverWords() {
    std::vector<std::string> out;
    auto note = g_driver.notes.begin();
    const auto notesUpTo = [&](size_t events) {
        for (; note != g_driver.notes.end() && note->first == events; ++note)
            out.push_back(note->second);
    };
    for (size_t i = 0; i < g_tapi.lineEvents.size(); ++i) {
        notesUpTo(i);
        const LineEventRecord& e = g_tapi.lineEvents[i];
        out.push_back(words::LineEvent(CallOfHandle(e.htCall), e.msg, e.param1, e.param2));
    }
    notesUpTo(g_tapi.lineEvents.size());
    for (const auto& [p1, p2] : g_tapi.phoneStates)
        out.push_back(words::PhoneState(p1, p2));
    return out;
}

::testing::AssertionResult RequestsAnswered() {
    std::map<uint32_t, int> completions;
    for (const Completion& c : g_tapi.completions) {
        const auto it = std::find_if(g_driver.requests.begin(), g_driver.requests.end(),
                                     [&](const TapiRequest& r) { return r.id == c.id; });
        if (it == g_driver.requests.end())
            return ::testing::AssertionFailure() << "completion of request " << c.id << ", never issued";
        if (it->returned < 0)
            return ::testing::AssertionFailure()
                   << "'" << it->statement << "' (" << c.id << ") was refused with "
                   << words::Result(it->returned) << " and then completed";
        if (c.result != 0 && !IsLineError(c.result))
            return ::testing::AssertionFailure()
                   << "'" << it->statement << "' (" << c.id << ") completed with " << words::Result(c.result);
        if (++completions[c.id] > 1)
            return ::testing::AssertionFailure()
                   << "'" << it->statement << "' (" << c.id << ") completed twice";
    }
    for (const TapiRequest& r : g_driver.requests) {
        if (r.returned >= 0 && static_cast<uint32_t>(r.returned) != r.id)
            return ::testing::AssertionFailure()
                   << "'" << r.statement << "' (" << r.id << ") returned " << r.returned << ", not its ID";
        if (r.returned >= 0 && completions[r.id] == 0)
            return ::testing::AssertionFailure()
                   << "'" << r.statement << "' (" << r.id << ") never completed";
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult CallsEndedIdle() {
    // TAPI's handles: of the calls the provider announced, and of those
    // TAPI created by a request completed with success.
    std::set<uintptr_t> handles;
    for (const LineEventRecord& e : g_tapi.lineEvents)
        if (e.msg == LINE_NEWCALL)
            handles.insert(kCallHandleBase + e.param1);
    for (const TapiRequest& r : g_driver.requests) {
        const auto done = std::find_if(g_tapi.completions.begin(), g_tapi.completions.end(),
                                       [&](const Completion& c) { return c.id == r.id && c.result == 0; });
        if (r.htCall != 0 && done != g_tapi.completions.end())
            handles.insert(r.htCall);
    }
    for (const uintptr_t htCall : handles) {
        uint32_t last = 0;
        for (const LineEventRecord& e : g_tapi.lineEvents)
            if (e.msg == LINE_CALLSTATE && e.htCall == htCall)
                last = static_cast<uint32_t>(e.param1);
        if (last != LINECALLSTATE_IDLE)
            return ::testing::AssertionFailure()
                   << "call " << CallOfHandle(htCall) << " (TAPI's handle " << htCall << ") ends "
                   << words::CallState(last) << ", not IDLE";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace zq::test
