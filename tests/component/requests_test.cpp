// Requests from TAPI on calls the simulator's set shows: each accepted
// request is completed exactly once, each refused one never, and the set
// does what was asked.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/lifecycle.h"
#include "core/line_record.h"
#include "link/setconfig.h"
#include "superv_support.h"
#include "tapi/dispatch.h"
#include "tapi/events.h"
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

// The state of the set's one call, none when it has no call.
std::optional<sim::CallState> SetCall(SimWire& wire) {
    const sim::SetState set = sim::sim_set_state(wire.sim);
    if (set.calls.empty())
        return std::nullopt;
    return set.calls.front().state;
}

class RequestsTest : public ProviderTest {
protected:
    // An incoming call offered to TAPI as call 0, answered on the set too
    // when `answered`; what TAPI heard so far forgotten.
    void CallOffered(SimWire& wire, bool answered) {
        Init();
        ASSERT_EQ(OpenLine(), 0);
        ASSERT_GE(wire.TicksUntil([] { return g_line.lineDevState == 2 && g_dl.ConfigComplete; }, 600), 0);
        ASSERT_TRUE(wire.Ticks(20));
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
    EXPECT_EQ(Completions(), (std::vector<std::string>{Done(8, LINEERR_INVALCALLHANDLE),
                                                       Done(9, LINEERR_OPERATIONUNAVAIL)}));
    EXPECT_EQ(g_line.pendingReqId, 0u);
}

}  // namespace
}  // namespace zq::test
