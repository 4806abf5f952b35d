// The worker's supervision in virtual time against the simulated adapter:
// polling, the lost link and its recovery, the waits for trace mode and for
// the set configuration, the partial-frame flush, and the boxes with what
// TAPI, the trace and the registry are told. One tick is 100 ms; tick n is
// the n-th tick after the line was opened.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "callmodel/calls.h"
#include "core/lifecycle.h"
#include "link/fifo.h"
#include "link/receive.h"
#include "link/serial_link.h"
#include "link/setconfig.h"
#include "link/supervision.h"
#include "superv_support.h"

namespace zq::test {
namespace {

const std::vector<uint8_t> kNackSync{0x02, 0x60, 0x85, 0x19};
constexpr char kLinkLost[] = "Perte de connexion - Tentative de redemarrage";

class SupervisionTest : public ProviderTest {
protected:
    void SetUp() override {
        ProviderTest::SetUp();
        FreshProcess();
    }

    void Open() {
        Init();
        ASSERT_EQ(OpenLine(), 0);
    }

    // The first tick at which cond() holds (the wire's tick count), -1 when
    // it did not within limit ticks.
    static int TickWhen(SimWire& wire, const std::function<bool()>& cond, int limit) {
        return wire.TicksUntil(cond, limit) < 0 ? -1 : wire.tick;
    }

    // A whole download with the default set, then the line closed: what a
    // previous start leaves in the registry.
    void StoreDefaultDownload() {
        Init();
        SimWire wire(sim::default_set());
        ASSERT_EQ(OpenLine(), 0);
        ASSERT_TRUE(DownloadCompletes(wire));
        ASSERT_EQ(CloseLine(), 0);
        memplat::port_take_writes("COM1");
        g_tapi = TapiRecorder{};
    }
};

std::optional<std::string> LastAction() {
    return ProviderValue("Dynamic_Set_Conf", "LastAction");
}

TEST_F(SupervisionTest, ASilentAdapterIsPolledAtTick30AndLostAtTick61AndEveryTime61TicksLater) {
    SimWire wire(sim::default_set());
    sim::sim_faults(wire.sim).silent = true;
    Open();

    // The opening's poll, special function and configuration request wait
    // unanswered; the supervision's own poll joins them at tick 30.
    ASSERT_TRUE(wire.Ticks(29));
    EXPECT_EQ(FifoCount(), 4);
    ASSERT_TRUE(wire.Ticks(1));
    EXPECT_EQ(FifoCount(), 5);
    EXPECT_FALSE(TraceHas(kLinkLost));

    EXPECT_EQ(TickWhen(
                  wire, [] { return TraceHas(kLinkLost); }, 100),
              61);
    EXPECT_EQ(CountBoxes(kV24Box), 1);
    EXPECT_EQ(CountLineEvents(LINE_CLOSE), 1);
    EXPECT_EQ(CountLineEvents(LINE_LINEDEVSTATE), 0) << "the line was never in service";
    EXPECT_EQ(LastAction(), "failed :V24 Trouble");
    EXPECT_TRUE(TraceHas("MessageBox returns 1 IDOK 1 IDHELP 9"));
    EXPECT_EQ(FifoCount(), 4) << "emptied, then the opening frames queued again";

    EXPECT_EQ(TickWhen(
                  wire, [] { return TraceCount(kLinkLost) == 2; }, 100),
              122);
    // The port is opened again each time; the user and TAPI hear of the
    // first loss only.
    EXPECT_EQ(wire.TicksOfWrite(kNackSync), (std::vector<int>{0, 61, 122}));
    EXPECT_EQ(wire.TicksOfWrite(kPoll), (std::vector<int>{1, 32, 62, 93}));
    EXPECT_TRUE(memplat::port_is_open("COM1"));
    EXPECT_EQ(CountBoxes(kV24Box), 1);
    EXPECT_EQ(CountLineEvents(LINE_CLOSE), 1);
}

TEST_F(SupervisionTest, ASilentAdapterNeverReachesTheConfigurationTimeOuts) {
    SimWire wire(sim::default_set());
    sim::sim_faults(wire.sim).silent = true;
    Open();
    ASSERT_TRUE(wire.Ticks(600));
    EXPECT_EQ(TraceCount(kLinkLost), 9);
    EXPECT_EQ(memplat::boxes().size(), 1u);
    EXPECT_EQ(CountBoxes(kV24Box), 1);
    for (const std::string& line : TraceMessages())
        EXPECT_EQ(line.find("Config dynamic not received"), std::string::npos) << line;
    EXPECT_FALSE(g_superv.stoppedNoConfig);
    EXPECT_FALSE(g_superv.stoppedConfigError);
    EXPECT_EQ(LastAction(), "failed :V24 Trouble");
}

TEST_F(SupervisionTest, OnceConfiguredAQuietAdapterIsPolledEvery160TicksAndALossTakesTheLineOutOfService) {
    SimWire wire(sim::default_set());
    Open();
    ASSERT_TRUE(DownloadCompletes(wire));
    ASSERT_TRUE(wire.Ticks(10));
    ASSERT_EQ(g_line.lineDevState, 2);
    EXPECT_EQ(g_superv.pollPeriod, POLL_PERIOD_CONFIGURED);

    // The adapter answers the poll: nothing else happens.
    const size_t pollsBefore = wire.TicksOfWrite(kPoll).size();
    const int quietSince = wire.tick - g_superv.pollCounter;
    EXPECT_EQ(TickWhen(
                  wire, [&] { return wire.TicksOfWrite(kPoll).size() > pollsBefore; }, 200),
              quietSince + 160);
    ASSERT_TRUE(wire.Ticks(5));
    EXPECT_LT(g_superv.pollCounter, 5) << "the answer counts as life";
    EXPECT_EQ(g_tapi.lineEvents.size(), 1u);

    sim::sim_faults(wire.sim).silent = true;
    const int silentSince = wire.tick - g_superv.pollCounter;
    const int lost = TickWhen(
        wire, [] { return TraceHas(kLinkLost); }, 250);
    EXPECT_EQ(lost, silentSince + 191);
    // The unanswered poll is written once more as the queue's head.
    std::vector<int> polls = wire.TicksOfWrite(kPoll);
    polls.erase(polls.begin(), std::upper_bound(polls.begin(), polls.end(), silentSince));
    EXPECT_EQ(polls, (std::vector<int>{silentSince + 160, silentSince + 190}));
    ASSERT_EQ(g_tapi.lineEvents.size(), 3u);
    EXPECT_EQ(g_tapi.lineEvents[1].msg, static_cast<uint32_t>(LINE_LINEDEVSTATE));
    EXPECT_EQ(g_tapi.lineEvents[1].param1,
              static_cast<uintptr_t>(LINEDEVSTATE_OUTOFSERVICE | LINEDEVSTATE_DISCONNECTED));
    EXPECT_EQ(g_tapi.lineEvents[2].msg, static_cast<uint32_t>(LINE_CLOSE));
    EXPECT_EQ(g_line.lineDevState, 0);
    EXPECT_EQ(CountBoxes(kV24Box), 1);
    EXPECT_EQ(LastAction(), "failed :V24 Trouble");
    // The box came between the two reports.
    EXPECT_LT(TraceIndex("LinEv cref=-1, ev:8,val88,mod=0"),
              TraceIndex("MessageBox returns 1 IDOK 1 IDHELP 9"));
    EXPECT_LT(TraceIndex("MessageBox returns 1 IDOK 1 IDHELP 9"),
              TraceIndex("LinEv cref=-1, ev:3,val0,mod=0"));

    // The period stays at 160 after the reopening.
    EXPECT_EQ(TickWhen(
                  wire, [] { return TraceCount(kLinkLost) == 2; }, 250),
              lost + 191);
    EXPECT_EQ(g_tapi.lineEvents.size(), 3u);
    EXPECT_EQ(CountBoxes(kV24Box), 1);

    // The adapter is back: the link comes up on the reopened port and the
    // PBX's association is refreshed; the download is not run again.
    sim::sim_faults(wire.sim).silent = false;
    ASSERT_GE(wire.TicksUntil(
                  [] { return TraceCount("TAPI_TQLA MSG: DEVICE_ASSOC_ACK (TAPI_TQLA_Ver 3)") == 2; }, 250),
              0);
    ASSERT_TRUE(wire.Ticks(20));
    int keyRequests = 0;
    for (const auto& r : wire.TqlaRequests())
        keyRequests += r.size() >= 5 && r[4] == 6 ? 1 : 0;
    EXPECT_EQ(keyRequests, 1);
    EXPECT_TRUE(g_dl.ConfigComplete);
    EXPECT_EQ(TraceCount(kLinkLost), 2);
}

TEST_F(SupervisionTest, WithoutAPreviousDownloadAnAdapterOutOfTraceModeStopsTheProviderAtTick250) {
    SimWire wire(sim::default_set());
    sim::sim_adapter(wire.sim).trace_mode = false;
    Open();
    ASSERT_TRUE(wire.Ticks(249));
    EXPECT_TRUE(g_dl.ConfigComplete) << "the download itself needs no trace mode";
    EXPECT_EQ(memplat::boxes().size(), 0u);
    EXPECT_FALSE(g_superv.stoppedConfigError);

    ASSERT_TRUE(wire.Ticks(1));
    EXPECT_TRUE(TraceHas("TIMEOUT Bad VEX/PC No Trace mode: WaitTrace 250 limit 250"));
    EXPECT_EQ(CountBoxes(kBadModeBox), 1);
    EXPECT_EQ(memplat::boxes()[0].caption, "Velmora 6200 SP Error");
    EXPECT_EQ(LastAction(), "failed :Bad VEX/PC trace mode");
    EXPECT_EQ(CountLineEvents(LINE_CLOSE), 1);
    EXPECT_EQ(g_line.lineDevState, 0);

    // Stopped: the worker only takes and gives back the mutex; nothing is
    // written, not even the poll due at tick 160 after the last answer.
    const size_t written = wire.writes.size();
    ASSERT_TRUE(wire.Ticks(300));
    EXPECT_EQ(wire.writes.size(), written);
    EXPECT_EQ(memplat::boxes().size(), 1u);
    EXPECT_EQ(CountLineEvents(LINE_CLOSE), 1);
    EXPECT_EQ(PostZQMsg(kPoll), -3);
}

TEST_F(SupervisionTest, AfterAPreviousDownloadTraceModeIsNotAwaited) {
    StoreDefaultDownload();
    SimWire wire(sim::default_set());
    sim::sim_adapter(wire.sim).trace_mode = false;
    ASSERT_EQ(OpenLine(), 0);
    ASSERT_TRUE(wire.Ticks(400));
    EXPECT_EQ(memplat::boxes().size(), 0u);
    EXPECT_FALSE(g_superv.stoppedConfigError);
    EXPECT_TRUE(g_dl.ConfigComplete);
    EXPECT_EQ(LastAction(), "success");
    EXPECT_EQ(g_line.lineDevState, 2);
}

TEST_F(SupervisionTest, WithoutAnAssociationAcknowledgementTheProviderStopsAfter90Ticks) {
    SimWire wire(sim::default_set());
    wire.drop = IsPbxAnswer;
    Open();
    ASSERT_TRUE(wire.Ticks(90));
    EXPECT_TRUE(g_rx.traceModeSeen) << "the adapter itself is fine";
    EXPECT_EQ(memplat::boxes().size(), 0u);

    ASSERT_TRUE(wire.Ticks(1));
    const int cas1 = TraceIndex("Config dynamic not received: WaitConfigCount 90 LIMIT 90 Cas 1");
    ASSERT_GE(cas1, 0);
    EXPECT_LT(cas1, TraceIndex("Dynamic Config not received - SP stopped"));
    EXPECT_LT(TraceIndex("Dynamic Config not received - SP stopped"),
              TraceIndex("Dynamic Config not received DialogBox return 0"));
    EXPECT_EQ(CountBoxes(kNoPbxBox), 1);
    EXPECT_EQ(LastAction(), "failed :Config dynamic :Device association ack not received");
    EXPECT_EQ(CountLineEvents(LINE_CLOSE), 1);
    EXPECT_TRUE(g_superv.stoppedNoConfig);

    const size_t written = wire.writes.size();
    ASSERT_TRUE(wire.Ticks(200));
    EXPECT_EQ(wire.writes.size(), written);
    EXPECT_EQ(memplat::boxes().size(), 1u);
}

TEST_F(SupervisionTest, AConfigurationNotCompleteAfter140TicksStopsTheProviderWithTheReason) {
    struct Case {
        const char* name;
        const char* set;
        const char* box;
        const char* lastAction;
        const char* traced;
    };
    const Case cases[] = {
        {"wrong device type", "tqla 2\ndevtype 5\nkey 1 2001\nstring 0 Hang up\nsoftkey 0 Enq\ncode 0 *21\n",
         kNotQr7Box, "failed :Not a QR7(3861) set", "MessageBox Poste non QR7"},
        {"no multiline key", "tqla 3\nstring 0 Hang up\nsoftkey 0 Enq\ncode 0 *21\n", kMonoBox,
         "failed :Not a multiline set", "MessageBox Poste MONO"},
        {"no display string", "tqla 3\nkey 1 2001\nsoftkey 0 Enq\ncode 0 *21\n", kNoPbxBox,
         "failed :Config dynamic not received", "Dynamic Config not received - SP stopped"},
        {"version 1, no service code", "tqla 1\nkey 1 2001\nstring 0 Hang up\nsoftkey 0 Enq\n", kNoPbxBox,
         "failed :Config dynamic not received", "Dynamic Config not received - SP stopped"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        SimWire wire(SetFrom(c.set));
        Open();
        ASSERT_TRUE(wire.Ticks(140));
        EXPECT_TRUE(g_dl.AssocAck);
        EXPECT_EQ(memplat::boxes().size(), 0u);
        ASSERT_TRUE(wire.Ticks(1));
        EXPECT_TRUE(TraceHas("Config dynamic not received: WaitConfigCount 140 LIMIT 90 Cas 2"));
        EXPECT_TRUE(TraceHas(c.traced));
        ASSERT_EQ(memplat::boxes().size(), 1u);
        EXPECT_EQ(memplat::boxes()[0].text, c.box);
        EXPECT_EQ(LastAction(), c.lastAction);
        EXPECT_EQ(CountLineEvents(LINE_CLOSE), 1);
        EXPECT_EQ(g_line.lineDevState, 0);
        EXPECT_TRUE(g_superv.stoppedNoConfig);
    }
}

TEST_F(SupervisionTest, AFramesFirstBytesFollowedBy5SilentTicksAreFlushedWithANack) {
    SimWire wire(sim::default_set());
    Open();
    ASSERT_TRUE(DownloadCompletes(wire));
    ASSERT_TRUE(wire.Ticks(10));

    const std::array<uint8_t, 3> start{0x08, 0x61, 0x27};
    sim::sim_write_bytes(wire.sim, start);
    ASSERT_TRUE(wire.Ticks(1));
    const int read = wire.tick;
    ASSERT_TRUE(g_rx.collecting);
    ASSERT_TRUE(wire.Ticks(4));
    EXPECT_FALSE(TraceHas("Inactivity - flush rx queue"));
    EXPECT_TRUE(wire.TicksOfWrite(kNackChecksum).empty());
    ASSERT_TRUE(wire.Ticks(1));
    EXPECT_TRUE(TraceHas("Inactivity - flush rx queue"));
    EXPECT_EQ(wire.TicksOfWrite(kNackChecksum), std::vector<int>{read + 5});
    EXPECT_FALSE(g_rx.collecting);
    EXPECT_EQ(g_superv.pollCounter, 0);
    // The adapter answers the NACK with its last frame; the link goes on.
    ASSERT_TRUE(wire.Ticks(200));
    EXPECT_FALSE(TraceHas(kLinkLost));
    EXPECT_EQ(g_line.lineDevState, 2);
}

TEST_F(SupervisionTest, AMissingStoredSoftKeyStopsTheProviderOnceTheConfigurationIsComplete) {
    StoreDefaultDownload();
    PutProviderValue("SoftKey_Des", "Swap", "");
    SimWire wire(sim::default_set());
    ASSERT_EQ(OpenLine(), 0);
    ASSERT_TRUE(wire.Ticks(1));
    EXPECT_TRUE(TraceHas("Soft Key Reading:StringInitError TRUE Swap:--"));
    ASSERT_TRUE(DownloadCompletes(wire));
    EXPECT_EQ(memplat::boxes().size(), 0u);
    ASSERT_TRUE(wire.Ticks(1));
    EXPECT_EQ(CountBoxes("Velmora Service Provider internal error\n\nBad string definition"), 1);
    EXPECT_TRUE(g_superv.stoppedConfigError);
    EXPECT_EQ(g_line.lineDevState, 0);
    // The download itself stored the label again for the next start.
    EXPECT_EQ(ProviderValue("SoftKey_Des", "Swap"), "Swap");
}

// A call record on a key, as the call model leaves it.
void PutCall(int cref, uint32_t key, uint32_t state, int slot) {
    g_line.calls.Touch[static_cast<size_t>(cref)] = key;
    g_line.calls.lineCallState[static_cast<size_t>(cref)] = state;
    g_line.calls.Outbound[static_cast<size_t>(cref)] = 1;
    g_line.TouchTable[key].CrefSlot[static_cast<size_t>(slot)] = cref;
}

TEST_F(SupervisionTest, CallsInProgressAreReportedIdleWhenTheLinkIsLost) {
    SimWire wire(sim::default_set());
    Open();
    ASSERT_TRUE(DownloadCompletes(wire));
    // A double call on line key 1 and a supervised call on key 20.
    PutCall(0, 1, LINECALLSTATE_CONNECTED, 0);
    PutCall(1, 1, LINECALLSTATE_ONHOLD, 1);
    PutCall(2, 20, LINECALLSTATE_OFFERING, 0);
    g_line.TouchTable[1].IconState = ACTIV_ICON;
    g_calls.ActivCallTouch = 1;
    g_calls.DbCall = true;
    g_calls.ConfRef1 = 0;
    g_tapi = TapiRecorder{};

    sim::sim_faults(wire.sim).silent = true;
    ASSERT_GE(wire.TicksUntil([] { return TraceHas(kLinkLost); }, 250), 0);
    for (int cref : {0, 1, 2})
        EXPECT_TRUE(TraceHas("AllCallReset-DoLineEvent(LINECALLSTATE_IDLE," + std::to_string(cref) + ")"));
    ASSERT_GE(g_tapi.lineEvents.size(), 5u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(g_tapi.lineEvents[i].msg, static_cast<uint32_t>(LINE_CALLSTATE));
        EXPECT_EQ(g_tapi.lineEvents[i].param1, static_cast<uintptr_t>(LINECALLSTATE_IDLE));
    }
    EXPECT_EQ(g_tapi.lineEvents[3].msg, static_cast<uint32_t>(LINE_LINEDEVSTATE));
    EXPECT_EQ(g_tapi.lineEvents[4].msg, static_cast<uint32_t>(LINE_CLOSE));
    EXPECT_EQ(CountLineEvents(LINE_CALLSTATE), 3) << "free records are not reported";
    for (int cref = 0; cref < MAX_CALLS; ++cref) {
        EXPECT_EQ(g_line.calls.lineCallState[static_cast<size_t>(cref)],
                  static_cast<uint32_t>(LINECALLSTATE_IDLE));
        EXPECT_EQ(g_line.calls.Touch[static_cast<size_t>(cref)], 0u);
        EXPECT_EQ(g_line.calls.Outbound[static_cast<size_t>(cref)], 0u);
    }
    EXPECT_EQ(g_line.TouchTable[1].CrefSlot, (std::array<int32_t, 2>{-1, -1}));
    EXPECT_EQ(g_line.TouchTable[20].CrefSlot[0], 2) << "only the multiline keys' slots are emptied";
    EXPECT_EQ(g_line.TouchTable[1].IconState, ACTIV_ICON) << "the set's next icons bring it up to date";
    EXPECT_EQ(g_calls.ActivCallTouch, 0);
    EXPECT_FALSE(g_calls.DbCall);
    EXPECT_EQ(g_calls.ConfRef1, -1);
    EXPECT_EQ(g_line.ConfState, static_cast<uint32_t>(LINECALLSTATE_IDLE));
}

TEST_F(SupervisionTest, TimedActionsForTheCallModelComeAtTheirTick) {
    SimWire wire(sim::default_set());
    Open();
    ASSERT_TRUE(DownloadCompletes(wire));
    ASSERT_TRUE(wire.Ticks(5));
    g_tapi = TapiRecorder{};
    const auto lastCallState = [] {
        return g_tapi.lineEvents.empty() || g_tapi.lineEvents.back().msg != LINE_CALLSTATE
                   ? 0u
                   : static_cast<uint32_t>(g_tapi.lineEvents.back().param1);
    };

    // A ringing call without caller data is offered after 10 ticks and
    // waits on its line key for the display.
    PutCall(2, 3, CALLSTATE_REOFFER, 0);
    g_superv.IncomingCref = 2;
    ASSERT_TRUE(wire.Ticks(9));
    EXPECT_TRUE(g_tapi.lineEvents.empty());
    ASSERT_TRUE(wire.Ticks(1));
    EXPECT_EQ(lastCallState(), static_cast<uint32_t>(LINECALLSTATE_OFFERING));
    EXPECT_TRUE(TraceHas("- Etat:OFFERING - Ref:2"));
    EXPECT_TRUE(TraceHas("2 sec - pas d'info sur l'appelant"));
    EXPECT_EQ(g_set.WaitInfo[0], 2);
    EXPECT_EQ(g_superv.IncomingCref, -1);

    // A new outgoing call whose key did not light within 20 ticks is ended;
    // one whose key lit stays.
    for (const bool lit : {true, false}) {
        SCOPED_TRACE(lit ? "key lit" : "key dark");
        g_tapi = TapiRecorder{};
        PutCall(4, 2, LINECALLSTATE_PROCEEDING, 0);
        g_line.TouchTable[2].IconState = lit ? ACTIV_ICON : IDLE_ICON;
        g_superv.proceedingWatch = true;
        ASSERT_TRUE(wire.Ticks(19));
        EXPECT_TRUE(g_tapi.lineEvents.empty());
        ASSERT_TRUE(wire.Ticks(1));
        EXPECT_FALSE(g_superv.proceedingWatch);
        if (lit) {
            EXPECT_TRUE(g_tapi.lineEvents.empty());
            EXPECT_EQ(g_line.calls.Touch[4], 2u);
        } else {
            ASSERT_EQ(g_tapi.lineEvents.size(), 2u);
            EXPECT_EQ(g_tapi.lineEvents[0].param1, static_cast<uintptr_t>(LINECALLSTATE_DISCONNECTED));
            EXPECT_EQ(g_tapi.lineEvents[0].param2, static_cast<uintptr_t>(LINEDISCONNECTMODE_NORMAL));
            EXPECT_EQ(g_tapi.lineEvents[1].param1, static_cast<uintptr_t>(LINECALLSTATE_IDLE));
            EXPECT_TRUE(TraceHas("Time out:Icone:2 éteint - Etat:IDLE - Ref:4"));
            EXPECT_EQ(g_line.calls.Touch[4], 0u);
            EXPECT_EQ(g_line.TouchTable[2].CrefSlot[0], -1);
        }
    }

    // 40 ticks after digits were generated, the soft key that shows the
    // label of CancelFreqVocale ("NoDTMF" here) is pressed: the third of
    // the five soft keys for characters 17 to 24.
    const std::string line = "Hold    Xfer    NoDTMF";
    std::copy(line.begin(), line.end(), g_display.DisplayLine[1].begin());
    const std::vector<uint8_t> softKey3{0x03, 0x26, 0x20, 31};
    g_superv.softKeyRelease = true;
    ASSERT_TRUE(wire.Ticks(39));
    EXPECT_EQ(wire.WritesHolding(softKey3), 0);
    ASSERT_TRUE(wire.Ticks(1));
    EXPECT_EQ(wire.WritesHolding(softKey3), 1);
    EXPECT_TRUE(TraceHas("Softkey 17 n°:3"));
    EXPECT_FALSE(g_superv.softKeyRelease);

    // The progress of a make call is reported in one tick.
    g_tapi = TapiRecorder{};
    g_superv.progressReport = true;
    g_superv.progressCref = 3;
    ASSERT_TRUE(wire.Ticks(1));
    ASSERT_EQ(g_tapi.lineEvents.size(), 4u);
    const std::array<uint32_t, 4> progress{LINECALLSTATE_DIALTONE, LINECALLSTATE_DIALING,
                                           LINECALLSTATE_PROCEEDING, LINECALLSTATE_RINGBACK};
    for (size_t i = 0; i < progress.size(); ++i)
        EXPECT_EQ(g_tapi.lineEvents[i].param1, progress[i]);
    EXPECT_TRUE(TraceHas("DoLineEvent(LINE_CALLSTATE,  LINECALLSTATE_RINGBACK, 0, cref:3)"));

    // The forwarding guard counts down, one a tick.
    g_superv.FwdGuard = FWD_GUARD_TICKS;
    ASSERT_TRUE(wire.Ticks(14));
    EXPECT_EQ(g_superv.FwdGuard, 1);
    ASSERT_TRUE(wire.Ticks(1));
    EXPECT_EQ(g_superv.FwdGuard, 0);
    ASSERT_TRUE(wire.Ticks(1));
    EXPECT_EQ(g_superv.FwdGuard, 0);
}

TEST_F(SupervisionTest, AMakeCallDeferredUntilTheSetIsReadyIsPerformedAtTheNextTick) {
    StoreDefaultDownload();
    SimWire wire(sim::default_set());
    ASSERT_EQ(OpenLine(), 0);
    g_superv.deferredMakeCall = true;
    g_superv.crefRequestMakeCall = 6;
    ASSERT_GE(wire.TicksUntil([] { return g_dl.ReadyForCalls; }, 50), 0);
    EXPECT_TRUE(g_superv.deferredMakeCall);
    EXPECT_EQ(CountLineEvents(LINE_CALLSTATE), 0);
    ASSERT_TRUE(wire.Ticks(1));
    EXPECT_FALSE(g_superv.deferredMakeCall);
    EXPECT_EQ(CountLineEvents(LINE_CALLSTATE), 4);
    EXPECT_TRUE(TraceHas("DoLineEvent\t(LINE_CALLSTATE, \tLINECALLSTATE_DIALTONE, 0, cref:6)"));
}

// A box kept open by the user while TAPI calls in from another thread.
struct HeldBox {
    std::mutex m;
    std::condition_variable cv;
    bool shown = false;
    bool released = false;

    void Install() {
        memplat::set_box_handler([this](const memplat::Box&) {
            std::unique_lock lk(m);
            shown = true;
            cv.notify_all();
            cv.wait(lk, [&] { return released; });
            return plat::kIdOk;
        });
    }
    bool WaitShown() {
        std::unique_lock lk(m);
        return cv.wait_for(lk, std::chrono::seconds(10), [&] { return shown; });
    }
    void Release() {
        std::lock_guard lk(m);
        released = true;
        cv.notify_all();
    }
};

TEST_F(SupervisionTest, TheHardwareAndPbxBoxesGiveTheLineMutexBackWhileShownOtherBoxesKeepIt) {
    struct Case {
        const char* name;
        std::function<void(SimWire&)> fault;
        int ticks;
        const char* box;
        bool givenBack;
    };
    const Case cases[] = {
        {"link lost", [](SimWire& w) { sim::sim_faults(w.sim).silent = true; }, 61, kV24Box, true},
        {"no association", [](SimWire& w) { w.drop = IsPbxAnswer; }, 91, kNoPbxBox, true},
        {"no trace mode", [](SimWire& w) { sim::sim_adapter(w.sim).trace_mode = false; }, 250, kBadModeBox,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        SimWire wire(sim::default_set());
        c.fault(wire);
        Open();
        ASSERT_TRUE(wire.Ticks(c.ticks - 1));
        HeldBox box;
        box.Install();
        std::thread worker([&] { wire.Ticks(1); });
        ASSERT_TRUE(box.WaitShown());
        EXPECT_EQ(memplat::boxes().back().text, c.box);

        const LONG waited = WAITLINEMUTEX();
        if (c.givenBack) {
            EXPECT_EQ(waited, 0);
            REL_LINE_MUTEX(0);
        } else {
            EXPECT_EQ(waited, static_cast<LONG>(plat::Wait::Timeout));
            EXPECT_TRUE(TraceHas("WAITLINEMUTEX PRB WAIT_TIMEOUT"));
        }
        box.Release();
        worker.join();
        memplat::set_box_handler(nullptr);
        EXPECT_EQ(CountLineEvents(LINE_CLOSE), 1) << "reported once the box is closed";
    }
}

// A message box's modal loop on Windows dispatches the worker's timer
// messages: a tick started from inside a box must do nothing, or the boxes
// of a port that cannot be reopened would stack up without end.
TEST_F(SupervisionTest, NoTickRunsInsideABoxShownByATick) {
    SimWire wire(sim::default_set());
    sim::sim_faults(wire.sim).silent = true;
    Open();
    int depth = 0, deepest = 0;
    memplat::set_box_handler([&](const memplat::Box&) {
        ++depth;
        deepest = std::max(deepest, depth);
        SerialTimerProc();  // what the box's message loop would run
        --depth;
        return plat::kIdOk;
    });
    // The port cannot be opened again after the loss at tick 61.
    ASSERT_TRUE(wire.Ticks(60));
    memplat::port_set_open_error("COM1", plat::kErrGenFailure);
    ASSERT_TRUE(wire.Ticks(5));
    memplat::set_box_handler(nullptr);
    EXPECT_EQ(deepest, 1);
    EXPECT_TRUE(TraceHas(kLinkLost));
    // The user is told once; the opening is tried again at every tick.
    const auto blockedBoxes = [] {
        int n = 0;
        for (const memplat::Box& b : memplat::boxes())
            n += b.text == "Serial Port blocked" ? 1 : 0;
        return n;
    };
    EXPECT_EQ(blockedBoxes(), 1);
    EXPECT_EQ(TraceCount("Serial Port blocked - new opening of COM1"), 4);
    memplat::port_set_open_error("COM1", 0);
    ASSERT_TRUE(wire.Ticks(1));
    EXPECT_TRUE(memplat::port_is_open("COM1"));
    ASSERT_TRUE(wire.Ticks(40));
    EXPECT_EQ(blockedBoxes(), 1);
}

TEST_F(SupervisionTest, ClosingTheLineWhileTheHardwareBoxIsShownReturnsAfterTheStopWait) {
    SimWire wire(sim::default_set());
    sim::sim_faults(wire.sim).silent = true;
    Open();
    ASSERT_TRUE(wire.Ticks(60));
    HeldBox box;
    box.Install();
    std::thread worker([&] { wire.Ticks(1); });
    ASSERT_TRUE(box.WaitShown());

    EXPECT_EQ(CloseLine(), 0);
    EXPECT_TRUE(TraceHas("StopSerialThread Prb WAIT_TIMEOUT SerialThread"));
    EXPECT_EQ(g_provider.serialThread, nullptr);

    // Once the user closes the box the forgotten worker ends its tick at
    // once: it tells nobody, records nothing and closes its own port.
    box.Release();
    worker.join();
    memplat::set_box_handler(nullptr);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((memplat::port_is_open("COM1") || memplat::threads_running() > 0) &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    EXPECT_FALSE(memplat::port_is_open("COM1"));
    EXPECT_EQ(memplat::threads_running(), 0);
    const std::vector<std::string> trace = TraceMessages();
    EXPECT_TRUE(std::any_of(trace.begin(), trace.end(), [](const std::string& m) {
        return m.starts_with(" Serial Thread replaced - closes its own hcd ");
    }));
    EXPECT_EQ(CountLineEvents(LINE_CLOSE), 0);
    EXPECT_NE(LastAction(), "failed :V24 Trouble");
}

}  // namespace
}  // namespace zq::test
