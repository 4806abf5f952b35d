// Requests from TAPI on calls the simulator's set shows: each accepted
// request is completed exactly once, each refused one never, and the set
// does what was asked.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "callmodel/calls.h"
#include "core/lifecycle.h"
#include "core/line_record.h"
#include "link/setconfig.h"
#include "link/supervision.h"
#include "superv_support.h"
#include "tapi/dispatch.h"
#include "tapi/events.h"
#include "tapi/queries.h"
#include "tapi/transfer.h"
#include "zq/sim.h"
#include "zq/tapi.h"

namespace zq::test {
namespace {

using Request = LONG (*)(DRV_REQUESTID, HDRVCALL);

LONG Answer(DRV_REQUESTID id, HDRVCALL call) {
    return TSPI_lineAnswer(id, call, nullptr, 0);
}
LONG Drop(DRV_REQUESTID id, HDRVCALL call) {
    return TSPI_lineDrop(id, call, nullptr, 0);
}

HDRVCALL Call(int cref) {
    return reinterpret_cast<HDRVCALL>(static_cast<uintptr_t>(cref));
}

std::string Done(uint32_t id, uint32_t result) {
    return std::to_string(id) + ":" + std::to_string(static_cast<LONG>(result));
}

std::vector<std::string> Completions() {
    std::vector<std::string> done;
    for (const Completion& c : g_tapi.completions)
        done.push_back(Done(c.id, static_cast<uint32_t>(c.result)));
    return done;
}

HTAPICALL TapiCall(int n) {
    return reinterpret_cast<HTAPICALL>(kCallHandleBase + static_cast<uintptr_t>(n));
}

// TAPI's handle for a call the provider creates for a request: its events
// read as "call 7".
constexpr int kTapiCall = 7;

LONG BlindTransfer(DRV_REQUESTID id, HDRVCALL call) {
    return TSPI_lineBlindTransfer(id, call, u"2010", 0);
}
// One character more than 80 bytes can hold with the NUL.
const std::u16string kTooLong(80, u'5');
LONG BlindTransferTooFar(DRV_REQUESTID id, HDRVCALL call) {
    return TSPI_lineBlindTransfer(id, call, kTooLong.c_str(), 0);
}
LONG SetupTransfer(DRV_REQUESTID id, HDRVCALL call) {
    HDRVCALL consult = nullptr;
    return TSPI_lineSetupTransfer(id, call, TapiCall(kTapiCall), &consult, nullptr);
}
LONG SetupTransferShortParams(DRV_REQUESTID id, HDRVCALL call) {
    LINECALLPARAMS params{};
    params.dwTotalSize = LINECALLPARAMS_FIXED_SIZE - 4;
    HDRVCALL consult = nullptr;
    return TSPI_lineSetupTransfer(id, call, TapiCall(kTapiCall), &consult, &params);
}
LONG TransferToRecord3(DRV_REQUESTID id, HDRVCALL call) {
    HDRVCALL conf = nullptr;
    return TSPI_lineCompleteTransfer(id, call, reinterpret_cast<HDRVCALL>(uintptr_t{3}), TapiCall(8), &conf,
                                     LINETRANSFERMODE_TRANSFER);
}
LONG SetupConference(DRV_REQUESTID id, HDRVCALL call) {
    HDRVCALL conf = nullptr;
    HDRVCALL consult = nullptr;
    return TSPI_lineSetupConference(id, call, LineHandle(), TapiCall(8), &conf, TapiCall(kTapiCall), &consult,
                                    3, nullptr);
}
LONG CancelForwarding(DRV_REQUESTID id, HDRVCALL) {
    return TSPI_lineForward(id, LineHandle(), 1, 0, nullptr, 0, nullptr, nullptr, nullptr);
}
LONG PickupAt(DRV_REQUESTID id, HDRVLINE line, const char16_t* address, HDRVCALL* picked) {
    return TSPI_linePickup(id, line, 0, TapiCall(kTapiCall), picked, address, nullptr);
}
LONG Pickup(DRV_REQUESTID id, HDRVCALL) {
    HDRVCALL picked = nullptr;
    return PickupAt(id, LineHandle(), u"2003", &picked);
}
LONG PickupTooFar(DRV_REQUESTID id, HDRVCALL) {
    HDRVCALL picked = nullptr;
    return PickupAt(id, LineHandle(), kTooLong.c_str(), &picked);
}
LONG PickupOnOtherLine(DRV_REQUESTID id, HDRVCALL) {
    HDRVCALL picked = nullptr;
    return PickupAt(id, reinterpret_cast<HDRVLINE>(uintptr_t{0x40}), u"2003", &picked);
}

// A LINEFORWARDLIST of one entry in a buffer larger than it says, the rest
// filled with '7' characters: a read past dwTotalSize dials them.
struct ForwardList {
    std::array<uint8_t, 160> bytes{};

    ForwardList(uint32_t total, uint32_t entries, uint32_t mode, std::u16string_view dest, uint32_t destSize,
                uint32_t destOffset) {
        for (size_t i = 0; i + 1 < bytes.size(); i += 2)
            bytes[i] = '7';
        Put(0, total);
        Put(4, entries);
        Put(8 + offsetof(LINEFORWARD, dwForwardMode), mode);
        Put(8 + offsetof(LINEFORWARD, dwDestAddressSize), destSize);
        Put(8 + offsetof(LINEFORWARD, dwDestAddressOffset), destOffset);
        if (destOffset + dest.size() * 2 <= bytes.size())
            std::memcpy(bytes.data() + destOffset, dest.data(), dest.size() * 2);
    }
    void Put(size_t at, uint32_t value) { std::memcpy(bytes.data() + at, &value, sizeof value); }
    LPLINEFORWARDLIST list() { return reinterpret_cast<LPLINEFORWARDLIST>(bytes.data()); }
};

// The key messages of one request in the one super frame the set gets:
// the digits, then the function keys.
std::vector<uint8_t> SuperFrame(std::string_view digits, std::vector<uint8_t> keys = {}) {
    std::vector<uint8_t> frame{0, 0x6E};
    for (const char d : digits) {
        const int code = d == '*' ? 0x0A : d == '#' ? 0x0B : d - '0';
        frame.insert(frame.end(), {0x03, 0x26, 0x03, static_cast<uint8_t>(code)});
    }
    for (const uint8_t k : keys)
        frame.insert(frame.end(), {0x03, 0x26, 0x20, k});
    frame[0] = static_cast<uint8_t>(frame.size() - 1);
    uint8_t sum = 0;
    for (const uint8_t b : frame)
        sum = static_cast<uint8_t>(sum + b);
    frame.push_back(static_cast<uint8_t>(0x100 - sum));
    return frame;
}

// The first key or super frame written after the first `from` frames.
std::vector<uint8_t> KeyFrameAfter(const SimWire& wire, size_t from) {
    const auto frames = wire.Frames();
    for (size_t i = from; i < frames.size(); ++i)
        if (frames[i].size() > 1 && (frames[i][1] == 0x6E || frames[i][1] == 0x26))
            return frames[i];
    return {};
}

// The state of the set's one call, none when it has no call.
std::optional<sim::CallState> SetCall(SimWire& wire) {
    const sim::SetState set = sim::sim_set_state(wire.sim);
    if (set.calls.empty())
        return std::nullopt;
    return set.calls.front().state;
}

class RequestsTest : public ProviderTest {
protected:
    // The line in service on the idle set.
    void InService(SimWire& wire) {
        Init();
        ASSERT_EQ(OpenLine(), 0);
        ASSERT_GE(wire.TicksUntil([] { return g_line.lineDevState == 2 && g_dl.ConfigComplete; }, 600), 0);
        ASSERT_TRUE(wire.Ticks(20));
        g_tapi = TapiRecorder{};
    }

    // An incoming call offered to TAPI as call 0, answered on the set too
    // when `answered`; what TAPI heard so far forgotten.
    void CallOffered(SimWire& wire, bool answered) {
        InService(wire);
        ASSERT_GE(sim::sim_call_in(wire.sim, 1, "2005"), 0);
        ASSERT_TRUE(wire.Ticks(20));
        if (answered) {
            sim::sim_user_key(wire.sim, 1);
            ASSERT_TRUE(wire.Ticks(20));
        }
        ASSERT_EQ(g_line.calls.lineCallState[0],
                  answered ? LINECALLSTATE_CONNECTED : uint32_t{LINECALLSTATE_OFFERING});
        g_tapi = TapiRecorder{};
    }
};

// Answer, hold, unhold and drop from TAPI, one after the other.
TEST_F(RequestsTest, CallControlDrivesTheSet) {
    struct Step {
        const char* name;
        Request request;
        std::vector<std::string> events;
        std::optional<sim::CallState> set;
    };
    const std::vector<Step> steps = {
        {"answer", Answer, {"call 0 CONNECTED", "call 0 info CONNECTEDID"}, sim::CallState::Connected},
        {"hold", TSPI_lineHold, {"call 0 ONHOLD"}, sim::CallState::Held},
        {"unhold", TSPI_lineUnhold, {"call 0 CONNECTED"}, sim::CallState::Connected},
        {"drop", Drop, {"call 0 DISCONNECTED NORMAL", "call 0 IDLE"}, std::nullopt},
    };
    SimWire wire(sim::calls_set());
    CallOffered(wire, false);
    std::vector<std::string> done;
    uint32_t id = 100;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        g_tapi.lineEvents.clear();
        ++id;
        ASSERT_EQ(step.request(id, Call(0)), static_cast<LONG>(id));
        // Only a drop waits for the set: for the call to become idle.
        if (step.request != Drop)
            done.push_back(Done(id, 0));
        EXPECT_EQ(Completions(), done);
        ASSERT_TRUE(wire.Ticks(20));
        if (step.request == Drop)
            done.push_back(Done(id, 0));
        EXPECT_EQ(EventWords(), step.events);
        EXPECT_EQ(Completions(), done);
        EXPECT_EQ(SetCall(wire), step.set);
    }
    EXPECT_EQ(g_line.pendingReqId, 0u);
}

// Refused requests: never completed when the TSPI function refuses them,
// completed once with the error when the procedure does, and the set is
// left as it was.
TEST_F(RequestsTest, RefusalsLeaveTheSetAlone) {
    constexpr uint32_t kId = 21;
    constexpr uint32_t kOther = 99;  // another request outstanding
    struct Case {
        const char* name;
        bool answered;
        bool outstanding;
        Request request;
        int cref;
        uint32_t returned;
        std::vector<std::string> done;
    };
    constexpr uint32_t accepted = kId;
    const std::vector<Case> cases = {
        {"HoldBadHandle", false, false, TSPI_lineHold, 25, LINEERR_INVALCALLHANDLE, {}},
        {"AnswerConference", false, false, Answer, CONFREF, LINEERR_INVALCALLHANDLE, {}},
        {"AnswerWhileAnotherIsOutstanding", false, true, Answer, 0, LINEERR_RESOURCEUNAVAIL, {}},
        {"AnswerConnectedCall", true, false, Answer, 0, LINEERR_INVALCALLSTATE, {}},
        {"HoldFreeRecord", false, false, TSPI_lineHold, 3, LINEERR_INVALCALLSTATE, {}},
        {"UnholdFreeRecord", false, false, TSPI_lineUnhold, 3, LINEERR_INVALCALLSTATE, {}},
        {"HoldOfferingCall", false, false, TSPI_lineHold, 0, accepted, {Done(kId, LINEERR_INVALCALLSTATE)}},
        {"UnholdConnectedCall",
         true,
         false,
         TSPI_lineUnhold,
         0,
         accepted,
         {Done(kId, LINEERR_INVALCALLSTATE)}},
        {"DropFreeRecord", false, false, Drop, 3, LINEERR_OPERATIONFAILED, {}},
        {"DropIdleCallWhileAnotherIsOutstanding", false, true, Drop, 4, accepted, {Done(kId, 0)}},
        {"BlindTransferOfferingCall", false, false, BlindTransfer, 0, LINEERR_INVALCALLSTATE, {}},
        {"BlindTransferTooLongDestination", true, false, BlindTransferTooFar, 0, LINEERR_INVALADDRESS, {}},
        {"SetupTransferOfferingCall", false, false, SetupTransfer, 0, LINEERR_INVALCALLSTATE, {}},
        {"SetupTransferShortCallParams",
         true,
         false,
         SetupTransferShortParams,
         0,
         LINEERR_STRUCTURETOOSMALL,
         {}},
        {"SetupTransferWhileAnotherIsOutstanding", true, true, SetupTransfer, 0, LINEERR_RESOURCEUNAVAIL, {}},
        {"TransferWithFreeRecord", true, false, TransferToRecord3, 0, LINEERR_INVALCALLSTATE, {}},
        {"TransferOfBadHandle", true, false, TransferToRecord3, 25, LINEERR_INVALCALLHANDLE, {}},
        {"RemoveConferenceCall",
         false,
         false,
         TSPI_lineRemoveFromConference,
         CONFREF,
         LINEERR_INVALCALLHANDLE,
         {}},
        {"SetupConference", true, false, SetupConference, 0, LINEERR_OPERATIONUNAVAIL, {}},
        {"ForwardWhileCallRings", false, false, CancelForwarding, 0, LINEERR_OPERATIONUNAVAIL, {}},
        {"PickupTooLongAddress", false, false, PickupTooFar, 0, LINEERR_INVALADDRESSID, {}},
        {"PickupOnOtherLine", false, false, PickupOnOtherLine, 0, LINEERR_INVALLINEHANDLE, {}},
        {"PickupWhileAnotherIsOutstanding", false, true, Pickup, 0, LINEERR_RESOURCEUNAVAIL, {}},
        {"PickupWhileCallRings", false, false, Pickup, 0, accepted, {Done(kId, LINEERR_OPERATIONFAILED)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimWire wire(sim::calls_set());
        CallOffered(wire, c.answered);
        g_line.calls.lineCallState[4] = LINECALLSTATE_IDLE;
        if (c.outstanding) {
            ASSERT_EQ(TakeRequest(kOther, 1, -1), 0);
        }
        const std::optional<sim::CallState> before = SetCall(wire);
        EXPECT_EQ(c.request(kId, Call(c.cref)), static_cast<LONG>(c.returned));
        ASSERT_TRUE(wire.Ticks(20));
        EXPECT_EQ(Completions(), c.done);
        EXPECT_EQ(g_line.pendingReqId, c.outstanding ? kOther : 0u);
        EXPECT_EQ(SetCall(wire), before);
        // No record is held for a handle TAPI will never use.
        EXPECT_EQ(std::count(g_line.ReservedByTapi.begin(), g_line.ReservedByTapi.end(), true), 0);
        EXPECT_EQ(g_line.htCall[1], nullptr);
        EXPECT_EQ(g_calls.PickupCref, -1);
        TearDown();
        SetUp();
    }
}

// The dispatcher completes what it cannot carry out, and a request with
// no worker to carry it is refused (the worker is started for the next).
TEST_F(RequestsTest, DispatcherRefusals) {
    SimWire wire(sim::calls_set());
    Init();
    WAITLINEMUTEX();
    EXPECT_EQ(appCall(0, REQ_ANSWER, 7), static_cast<LONG>(LINEERR_OPERATIONFAILED));
    REL_LINE_MUTEX(0);
    EXPECT_NE(g_provider.serialThread, nullptr);
    EXPECT_EQ(g_line.pendingReqId, 0u);

    ASSERT_EQ(TakeRequest(8, 25, -1), 0);
    EXPECT_EQ(DispatchRequest(REQ_HOLD), 8);
    ASSERT_EQ(TakeRequest(9, 0, -1), 0);
    EXPECT_EQ(DispatchRequest(REQ_SETUPTRANSFER), 9);
    EXPECT_EQ(Completions(),
              (std::vector<std::string>{Done(8, LINEERR_INVALCALLHANDLE), Done(9, LINEERR_INVALCALLHANDLE)}));
    EXPECT_EQ(g_line.pendingReqId, 0u);
}

// Forwarding, pickup and transfers: the one frame each request sends, what
// TAPI hears, when it completes, and what the set then does.
TEST_F(RequestsTest, LineRequestsDriveTheSet) {
    constexpr uint32_t kId = 31;
    enum class Before { Idle, Forwarded, ExtensionRings, Answered };
    struct Case {
        const char* name;
        Before before;
        LONG (*request)(HDRVCALL* created);
        std::vector<uint8_t> frame;
        bool running;  // completed once the set shows it done
        int created;   // the provider's handle of the call made for TAPI, -1 none
        std::vector<std::string> events;
        size_t setCalls;
        std::string forwardedTo;
    };
    const std::vector<Case> cases = {
        {"ForwardAll",
         Before::Idle,
         [](HDRVCALL*) {
             ForwardList fwd(8 + 24 + 8, 1, LINEFORWARDMODE_UNCOND, u"2005", 8, 32);
             return TSPI_lineForward(kId, LineHandle(), 1, 0, fwd.list(), 0, nullptr, nullptr, nullptr);
         },
         SuperFrame("*212005"),
         false,
         -1,
         {"address 0 state 64"},
         0,
         "2005"},
        {"CancelForwarding",
         Before::Forwarded,
         [](HDRVCALL*) { return CancelForwarding(kId, nullptr); },
         SuperFrame("#21"),
         false,
         -1,
         {"address 0 state 64"},
         0,
         ""},
        {"Pickup",
         Before::ExtensionRings,
         [](HDRVCALL* created) { return PickupAt(kId, LineHandle(), u"2003", created); },
         SuperFrame("*82003"),
         false,
         0,
         {"call 7 PROCEEDING", "call 7 CONNECTED", "call 7 info CONNECTEDID|ORIGIN"},
         1,
         ""},
        {"BlindTransfer",
         Before::Answered,
         [](HDRVCALL*) { return BlindTransfer(kId, Call(0)); },
         SuperFrame("2010"),
         true,
         -1,
         {"call 0 ONHOLD", "new call 1", "call 1 DIALTONE", "call 1 PROCEEDING", "call 1 RINGBACK",
          "call 1 info CALLEDID", "call 0 DISCONNECTED NORMAL", "call 0 IDLE", "call 1 DISCONNECTED NORMAL",
          "call 1 IDLE"},
         0,
         ""},
        {"SetupTransfer",
         Before::Answered,
         [](HDRVCALL* created) {
             return TSPI_lineSetupTransfer(kId, Call(0), TapiCall(kTapiCall), created, nullptr);
         },
         std::vector<uint8_t>{0x03, 0x26, 0x20, 0x1D, 0x9A},
         true,
         1,
         {"call 0 ONHOLDPENDTRANSFER", "call 7 DIALTONE"},
         2,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool forwarding = c.before == Before::Idle || c.before == Before::Forwarded;
        SimWire wire(SetFrom(std::string(sim::calls_set_text()) +
                             (c.before == Before::Forwarded ? "\nforward 0 2005\n" : "\n")));
        if (c.before == Before::Answered) {
            CallOffered(wire, true);
        } else {
            InService(wire);
        }
        if (c.before == Before::ExtensionRings) {
            ASSERT_GE(sim::sim_ring_extension(wire.sim, "2003", "2005"), 0);
            ASSERT_TRUE(wire.Ticks(20));
            ASSERT_TRUE(g_tapi.lineEvents.empty());
        }
        const size_t before = wire.Frames().size();
        HDRVCALL created = Call(99);
        ASSERT_EQ(c.request(&created), static_cast<LONG>(kId));
        EXPECT_EQ(created, c.created < 0 ? Call(99) : Call(c.created));
        EXPECT_EQ(Completions(), c.running ? std::vector<std::string>{} : std::vector{Done(kId, 0)});
        EXPECT_EQ(g_superv.FwdGuard, forwarding ? FWD_GUARD_TICKS : 0);
        ASSERT_TRUE(wire.Ticks(60));
        EXPECT_EQ(KeyFrameAfter(wire, before), c.frame);
        EXPECT_EQ(EventWords(), c.events);
        EXPECT_EQ(Completions(), std::vector{Done(kId, 0)});
        const sim::SetState set = sim::sim_set_state(wire.sim);
        EXPECT_EQ(set.calls.size(), c.setCalls);
        EXPECT_EQ(set.forward_destination, c.forwardedTo);
        TearDown();
        SetUp();
    }
}

// The forward list is read only inside the dwTotalSize it gives; the
// buffer goes on with '7' characters.
TEST_F(RequestsTest, ForwardListReadInsideItsSize) {
    constexpr uint32_t kId = 41;
    constexpr uint32_t kUncond = LINEFORWARDMODE_UNCOND;
    struct Case {
        const char* name;
        uint32_t total, entries, mode;
        std::u16string_view dest;
        uint32_t destSize, destOffset;
        uint32_t returned;        // kId: accepted and completed with 0
        const char* forwardedTo;  // ForwardAddress afterwards
    };
    const std::vector<Case> cases = {
        {"TotalBelowListFields", 6, 0, kUncond, u"2005", 8, 32, LINEERR_INVALPARAM, ""},
        {"EntryPastTotal", 31, 1, kUncond, u"2005", 8, 32, LINEERR_INVALPARAM, ""},
        {"EntriesPastTotal", 40, 2, kUncond, u"2005", 8, 32, LINEERR_INVALPARAM, ""},
        {"EntriesWrapAround", 40, 0x0AAAAAAB, kUncond, u"2005", 8, 32, LINEERR_INVALPARAM, ""},
        {"DestinationPastTotal", 38, 1, kUncond, u"2005", 8, 32, LINEERR_INVALPARAM, ""},
        {"DestinationOffsetWraps", 40, 1, kUncond, u"2005", 8, 0xFFFFFFFC, LINEERR_INVALPARAM, ""},
        {"DestinationOf80Bytes", 140, 1, kUncond, u"2005", 80, 32, LINEERR_INVALPARAM, ""},
        {"EmptyDestination", 40, 1, kUncond, u"2005", 0, 32, LINEERR_INVALPARAM, ""},
        {"UnknownMode", 40, 1, LINEFORWARDMODE_UNCONDINTERNAL, u"2005", 8, 32, LINEERR_INVALPARAM, ""},
        {"DestinationWithoutNul", 40, 1, kUncond, u"2005", 8, 32, kId, "2005"},
        {"OddDestinationSize", 41, 1, LINEFORWARDMODE_BUSYNA, u"20-5", 9, 32, kId, "205"},
        {"NoEntriesCancels", 8, 0, kUncond, u"2005", 8, 32, kId, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimWire wire(sim::calls_set());
        InService(wire);
        const size_t before = wire.Frames().size();
        ForwardList fwd(c.total, c.entries, c.mode, c.dest, c.destSize, c.destOffset);
        HDRVCALL consult = Call(99);
        EXPECT_EQ(
            TSPI_lineForward(kId, LineHandle(), 1, 0, fwd.list(), 0, TapiCall(kTapiCall), &consult, nullptr),
            static_cast<LONG>(c.returned));
        EXPECT_EQ(consult, nullptr);
        EXPECT_EQ(Completions(), c.returned == kId ? std::vector{Done(kId, 0)} : std::vector<std::string>{});
        EXPECT_EQ(std::string(g_line.ForwardAddress.data()), c.forwardedTo);
        ASSERT_TRUE(wire.Ticks(1));
        EXPECT_EQ(KeyFrameAfter(wire, before).empty(), c.returned != kId);
        TearDown();
        SetUp();
    }
}

// A blind or setup transfer that the set never shows done fails once
// after the bounded wait, counted from its own start; a drop waits on. The
// call held for a failed setup transfer is plain ONHOLD again.
TEST_F(RequestsTest, TransferWatchFailsWhatTheSetNeverShows) {
    struct Case {
        const char* name;
        uint32_t op;
        int consultcref;
        int earlier;  // ticks another transfer ran before the set did it
        bool fails;
        std::vector<std::string> events;
    };
    const std::vector<Case> cases = {
        {"BlindTransfer", REQ_BLINDTRANSFER, -1, 0, true, {}},
        {"SetupTransfer", REQ_SETUPTRANSFER, 3, 0, true, {"call 0 ONHOLD"}},
        {"AfterOneTheSetDid", REQ_SETUPTRANSFER, 3, TRANSFER_WATCH_TICKS / 2, true, {"call 0 ONHOLD"}},
        {"Drop", REQ_DROP, -1, 0, false, {}},
    };
    uint32_t id = 50;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Init();
        ASSERT_EQ(OpenLine(), 0);
        g_line.calls.lineCallState[0] = LINECALLSTATE_ONHOLD;
        g_line.calls.Inbound[0] = 1;
        g_line.htCall[0] = TapiCall(0);
        TransferWatchTick();  // nothing running
        if (c.earlier > 0) {
            ASSERT_EQ(TakeRequest(++id, 0, c.consultcref), 0);
            StartRunning(c.op, 0, c.consultcref);
            for (int i = 0; i < c.earlier; ++i)
                TransferWatchTick();
            SendCompletion(0);
        }
        if (c.consultcref >= 0)
            g_line.ReservedByTapi[static_cast<size_t>(c.consultcref)] = true;
        g_tapi = TapiRecorder{};
        ASSERT_EQ(TakeRequest(++id, 0, c.consultcref), 0);
        StartRunning(c.op, 0, c.consultcref);
        for (int i = 1; i < TRANSFER_WATCH_TICKS; ++i)
            TransferWatchTick();
        EXPECT_TRUE(g_tapi.completions.empty());
        for (int i = 0; i < 20; ++i)
            TransferWatchTick();
        EXPECT_EQ(Completions(),
                  c.fails ? std::vector{Done(id, LINEERR_OPERATIONFAILED)} : std::vector<std::string>{});
        EXPECT_EQ(g_running.runningOp, c.fails ? 0u : c.op);
        EXPECT_EQ(EventWords(), c.events);
        if (c.consultcref >= 0) {
            EXPECT_FALSE(g_line.ReservedByTapi[static_cast<size_t>(c.consultcref)]);
        }
        ResetEventState();
        TearDown();
        SetUp();
    }
}

}  // namespace
}  // namespace zq::test
