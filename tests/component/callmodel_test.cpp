// Calls made, received, held, swapped, conferenced and ended on the set,
// played by the simulator's set and PBX through the real serial protocol in
// virtual time, and what TAPI hears of them in words.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "callmodel/calls.h"
#include "callmodel/tables.h"
#include "core/config.h"
#include "core/line_record.h"
#include "link/setconfig.h"
#include "superv_support.h"
#include "tapi/events.h"
#include "zq/sim.h"
#include "zq/tapi_words.h"

namespace zq::test {
namespace {

struct Scenario {
    const char* name;
    // Statements added to the set description.
    const char* set;
    // zqsim commands, separated by ';'; "ticks N" runs N ticks of the
    // provider.
    std::string script;
    std::vector<std::string> events;  // TAPI's line and phone events in words
};

struct SetFile {
    const char* name;
    std::string_view (*text)();
};

const std::array<SetFile, 2> kSets{{{"default", sim::default_set_text}, {"calls", sim::calls_set_text}}};

sim::SetDescription LoadSet(const SetFile& file, std::string_view extra) {
    sim::SetDescription set;
    sim::ParseError error;
    const bool parsed =
        sim::parse_set_description(std::string(file.text()) + "\n" + std::string(extra), &set, &error);
    EXPECT_TRUE(parsed) << file.name << " line " << error.line << ": " << error.message;
    return set;
}

class CallModelFixture : public ProviderTest {
protected:
    // The line in service on the set, with nothing heard by TAPI yet.
    void InService(SimWire& wire) {
        if (!attached)
            Init();
        ASSERT_EQ(OpenLine(), 0);
        ASSERT_GE(wire.TicksUntil([] { return g_line.lineDevState == 2 && g_dl.ConfigComplete; }, 600), 0);
        ASSERT_TRUE(wire.Ticks(20));
        g_tapi = TapiRecorder{};
    }

    // Runs a script; false with a message on a bad line.
    static ::testing::AssertionResult Play(SimWire& wire, std::string_view script) {
        std::istringstream lines{std::string(script)};
        for (std::string line; std::getline(lines, line, ';');) {
            const size_t start = line.find_first_not_of(' ');
            if (start == std::string::npos)
                continue;
            line.erase(0, start);
            if (line == "silent") {
                sim::sim_faults(wire.sim).silent = true;
                continue;
            }
            if (line.starts_with("ticks ")) {
                if (!wire.Ticks(std::stoi(line.substr(6))))
                    return ::testing::AssertionFailure() << "the ticks of '" << line << "' did not run";
                continue;
            }
            uint32_t wait = 0;
            std::string error;
            if (!sim::sim_run_command(wire.sim, line, &wait, &error))
                return ::testing::AssertionFailure() << "'" << line << "': " << error;
            wire.Pump();
            if (wait != 0 && !wire.Ticks(static_cast<int>((wait + 99) / 100)))
                return ::testing::AssertionFailure() << "the wait of '" << line << "' did not run";
        }
        return ::testing::AssertionSuccess();
    }
};

class CallModelTest : public CallModelFixture,
                      public ::testing::WithParamInterface<std::tuple<size_t, size_t>> {};
class PhoneTest : public CallModelFixture, public ::testing::WithParamInterface<size_t> {};

std::string Joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& w : words)
        text += "\"" + w + "\",\n";
    return text;
}

std::vector<std::string> Then(std::vector<std::string> first, std::initializer_list<std::string> more) {
    first.insert(first.end(), more);
    return first;
}

// Waits are in ticks of 100 ms; a remote party answers after 2 s. The
// scripts and events that several scenarios begin with:
// an incoming call answered on its key,
const std::string kAnswered = "call 1 2005; ticks 20; key 1; ticks 20";
const std::vector<std::string> kAnsweredEvents = {"new call 0", "call 0 OFFERING",
                                                  "call 0 info CALLERID|REASON|CALLEDID|ORIGIN",
                                                  "call 0 CONNECTED", "call 0 info CONNECTEDID"};
// then an enquiry on the same key, answered,
const std::string kEnquiry = kAnswered + "; softkey 1; ticks 20; dial 2010; ticks 60";
const std::vector<std::string> kEnquiryEvents =
    Then(kAnsweredEvents,
         {"call 0 ONHOLD", "new call 1", "call 1 DIALTONE", "call 1 PROCEEDING", "call 1 RINGBACK",
          "call 1 info CALLEDID", "call 1 CONNECTED", "call 1 info CONNECTEDID"});
// then both joined in a conference.
const std::string kConference = kEnquiry + "; softkey 3; ticks 20";
const std::vector<std::string> kConferenceEvents =
    Then(kEnquiryEvents, {"new call 30", "call 30 ONHOLDPENDCONF", "call 0 CONFERENCED", "call 1 CONFERENCED",
                          "call 30 CONNECTED"});

const std::vector<Scenario> kScenarios = {
    {"IncomingAnsweredUserHangsUp", "", kAnswered + "; onhook; ticks 20",
     Then(kAnsweredEvents, {"call 0 DISCONNECTED NORMAL", "call 0 IDLE"})},
    {"IncomingAnsweredByHandsetRemoteHangsUp",
     "",
     "call 1 0612345678; ticks 20; offhook; ticks 20; hangup; ticks 20; onhook; ticks 20",
     {"new call 0", "call 0 OFFERING", "call 0 info CALLERID|REASON|CALLEDID|ORIGIN", "call 0 CONNECTED",
      "call 0 info CONNECTEDID", "call 0 DISCONNECTED NORMAL", "call 0 IDLE"}},
    {"IncomingCallerFromTheDisplay",
     "tqla 1",
     "call 1 2005 Martin; ticks 20; key 1; ticks 20; onhook; ticks 20",
     {"new call 0", "call 0 OFFERING", "call 0 info CALLERID|CALLEDID", "call 0 CONNECTED",
      "call 0 info CALLERID", "call 0 info CONNECTEDID", "call 0 DISCONNECTED NORMAL", "call 0 IDLE"}},
    {"IncomingEventAfterTheDisplay",
     "event-order after-display",
     "call 1 2005; ticks 20; key 1; ticks 20; onhook; ticks 20",
     {"new call 0", "call 0 OFFERING", "call 0 info CALLERID|CALLEDID",
      "call 0 info CALLERID|REASON|CALLEDID|ORIGIN", "call 0 CONNECTED", "call 0 info CONNECTEDID",
      "call 0 DISCONNECTED NORMAL", "call 0 IDLE"}},
    {"CallerGivesUpBeforeTheWait",
     "tqla 1\ntiming caller-display 5000",
     "call 1 2005; ticks 5; hangup; ticks 20",
     {"new call 0", "call 0 DISCONNECTED NORMAL", "call 0 IDLE"}},
    {"CallerGivesUpAfterTheWait",
     "tqla 1\ntiming caller-display 5000",
     "call 1 2005; ticks 15; hangup; ticks 20",
     {"new call 0", "call 0 OFFERING", "call 0 DISCONNECTED NORMAL", "call 0 IDLE"}},
    {"OutgoingAnswered",
     "",
     "offhook; ticks 3; dial 2005; ticks 70; onhook; ticks 20",
     {"new call 0", "call 0 DIALTONE", "call 0 DIALING", "call 0 PROCEEDING", "call 0 RINGBACK",
      "call 0 info CALLEDID", "call 0 CONNECTED", "call 0 info CONNECTEDID", "call 0 DISCONNECTED NORMAL",
      "call 0 IDLE"}},
    {"OutgoingBusy",
     "",
     "offhook; ticks 3; dial 2006; ticks 40; onhook; ticks 20",
     {"new call 0", "call 0 DIALTONE", "call 0 DIALING", "call 0 PROCEEDING", "call 0 RINGBACK",
      "call 0 info CALLEDID", "call 0 DISCONNECTED NORMAL", "call 0 IDLE"}},
    {"OutgoingUnobtainable",
     "",
     "offhook; ticks 3; dial 2999; ticks 60; onhook; ticks 20",
     {"new call 0", "call 0 DIALTONE", "call 0 DIALING", "call 0 PROCEEDING", "call 0 RINGBACK",
      "call 0 DISCONNECTED NORMAL", "call 0 IDLE"}},
    {"HoldAndRetrieve", "", kAnswered + "; key 1; ticks 20; key 1; ticks 20; onhook; ticks 20",
     Then(kAnsweredEvents,
          {"call 0 ONHOLD", "call 0 CONNECTED", "call 0 DISCONNECTED NORMAL", "call 0 IDLE"})},
    {"EnquirySameKeySwapBack", "", kEnquiry + "; softkey 2; ticks 20; softkey 1; ticks 20; onhook; ticks 20",
     Then(kEnquiryEvents, {"call 1 ONHOLD", "call 0 CONNECTED", "call 0 DISCONNECTED NORMAL",
                           "call 1 CONNECTED", "call 0 IDLE", "call 1 DISCONNECTED NORMAL", "call 1 IDLE"})},
    {"EnquiryOtherKey", "enquiry 0",
     kAnswered + "; key 2; ticks 20; dial 2010; ticks 60; key 1; ticks 20; onhook; ticks 20; key 2; ticks "
                 "20; onhook; ticks 20",
     Then(kAnsweredEvents,
          {"call 0 ONHOLD", "new call 1", "call 1 DIALTONE", "call 1 DIALING", "call 1 PROCEEDING",
           "call 1 RINGBACK", "call 1 info CALLEDID", "call 1 CONNECTED", "call 1 info CONNECTEDID",
           "call 1 ONHOLD", "call 0 CONNECTED", "call 0 DISCONNECTED NORMAL", "call 0 IDLE",
           "call 1 CONNECTED", "call 1 DISCONNECTED NORMAL", "call 1 IDLE"})},
    {"EnquiryPartyHangsUp", "",
     kEnquiry + "; hangup; ticks 20; onhook; ticks 20; key 1; ticks 20; onhook; ticks 20",
     Then(kEnquiryEvents, {"call 1 DISCONNECTED NORMAL", "call 1 IDLE", "call 0 OFFERING", "call 0 CONNECTED",
                           "call 0 DISCONNECTED NORMAL", "call 0 IDLE"})},
    {"ConferenceUserHangsUp", "", kConference + "; onhook; ticks 20",
     Then(kConferenceEvents, {"call 0 DISCONNECTED NORMAL", "call 1 DISCONNECTED NORMAL", "call 0 IDLE",
                              "call 1 IDLE", "call 30 IDLE"})},
    {"ConferenceLastPartyDropped", "", kConference + "; softkey 3; ticks 20; onhook; ticks 20",
     Then(kConferenceEvents, {"call 30 IDLE", "call 1 DISCONNECTED NORMAL", "call 0 CONNECTED", "call 1 IDLE",
                              "call 0 DISCONNECTED NORMAL", "call 0 IDLE"})},
    {"ConferencePartyHangsUp", "", kConference + "; hangup 1; ticks 20; onhook; ticks 20",
     Then(kConferenceEvents, {"call 30 IDLE", "call 1 CONNECTED", "call 0 DISCONNECTED NORMAL", "call 0 IDLE",
                              "call 1 DISCONNECTED NORMAL", "call 1 IDLE"})},
    {"ConferenceOnTwoKeys", "enquiry 0",
     kAnswered + "; key 2; ticks 20; dial 2010; ticks 60; softkey 3; ticks 20; onhook; ticks 20",
     Then(kAnsweredEvents, {"call 0 ONHOLD",
                            "new call 1",
                            "call 1 DIALTONE",
                            "call 1 DIALING",
                            "call 1 PROCEEDING",
                            "call 1 RINGBACK",
                            "call 1 info CALLEDID",
                            "call 1 CONNECTED",
                            "call 1 info CONNECTEDID",
                            "new call 30",
                            "call 30 ONHOLDPENDCONF",
                            "call 0 CONFERENCED",
                            "call 1 CONFERENCED",
                            "call 30 CONNECTED",
                            "call 30 DISCONNECTED NORMAL",
                            "call 30 IDLE",
                            "call 0 DISCONNECTED NORMAL",
                            "call 1 CONNECTED",
                            "call 0 IDLE",
                            "call 1 DISCONNECTED NORMAL",
                            "call 1 IDLE"})},
    {"SupervisionPickedUpByItsKey",
     "",
     "ring 2002 2005; ticks 20; key 20; ticks 20; onhook; ticks 20",
     {"new call 0", "call 0 OFFERING", "call 0 info CALLERID|REASON|CALLEDID|ORIGIN", "call 0 CONNECTED",
      "call 0 info CONNECTEDID", "call 0 DISCONNECTED NORMAL", "call 0 IDLE"}},
    {"SupervisionPickedUpByTheHandset",
     "",
     "ring 2002 2005; ticks 20; offhook; ticks 20; onhook; ticks 20",
     {"new call 0", "call 0 OFFERING", "call 0 info CALLERID|REASON|CALLEDID|ORIGIN", "call 0 CONNECTED",
      "call 0 info CONNECTEDID", "call 0 DISCONNECTED NORMAL", "call 0 IDLE"}},
    {"CallMovedOffTheBossKey",
     "",
     "call 21 2005; ticks 20; move 21 1 ringing; ticks 20; key 1; ticks 20; onhook; ticks 20",
     {"new call 0", "call 0 OFFERING", "call 0 info CALLERID|REASON|CALLEDID|ORIGIN", "call 0 CONNECTED",
      "call 0 info CONNECTEDID", "call 0 DISCONNECTED NORMAL", "call 0 IDLE"}},
    {"ModuleKey",
     "aom 2 0 40\nkey 41 2001",
     "call 41 2005; ticks 20; key 41; ticks 20; onhook; ticks 20",
     {"new call 0", "call 0 OFFERING", "call 0 info CALLERID|REASON|CALLEDID|ORIGIN", "call 0 CONNECTED",
      "call 0 info CONNECTEDID", "call 0 DISCONNECTED NORMAL", "call 0 IDLE"}},
    {"LinkLossDuringConference", "", kConference + "; silent; ticks 200",
     Then(kConferenceEvents,
          {"call 0 IDLE", "call 1 IDLE", "call 30 IDLE", "line DISCONNECTED|OUTOFSERVICE", "line closed"})},
};

TEST_P(CallModelTest, Scenario) {
    const auto [set, index] = GetParam();
    const Scenario& scenario = kScenarios[index];
    SimWire wire(LoadSet(kSets[set], scenario.set));
    InService(wire);
    ASSERT_TRUE(Play(wire, scenario.script));
    if (std::getenv("ZQ_SIM_LOG") != nullptr) {
        for (const std::string& line : sim::sim_log(wire.sim))
            std::printf("%s\n", line.c_str());
        for (const std::string& line : TraceMessages())
            std::printf("trace: %s\n", line.c_str());
    }
    EXPECT_EQ(EventWords(), scenario.events) << Joined(EventWords());
}

// The phone device sees the key's lamp and the hook as the call goes.
TEST_P(PhoneTest, EventsOfAnIncomingCall) {
    SimWire wire(LoadSet(kSets[GetParam()], ""));
    Init();
    ASSERT_EQ(OpenPhone(), 0);
    InService(wire);
    ASSERT_TRUE(Play(wire, "call 1 2005; ticks 20; offhook; ticks 20; onhook; ticks 20"));
    std::vector<std::string> phone;
    for (const auto& [p1, p2] : g_tapi.phoneStates)
        phone.push_back(words::PhoneState(p1, p2));
    const std::vector<std::string> expected{"phone LAMP 21", "phone DISPLAY", "phone LAMP 21",
                                            "phone DISPLAY", "phone DISPLAY", "phone LAMP 21",
                                            "phone DISPLAY", "phone DISPLAY"};
    EXPECT_EQ(phone, expected) << Joined(phone);
}

INSTANTIATE_TEST_SUITE_P(BothSets, PhoneTest, ::testing::Range<size_t>(0, kSets.size()),
                         [](const auto& param) { return std::string(kSets[param.param].name); });

// One asynchronous request at a time, and the running ones complete when
// the set has done them, exactly once.
TEST_F(CallModelFixture, RequestsCompleteOnceWhenTheSetHasDoneThem) {
    Init();
    ASSERT_EQ(OpenLine(), 0);
    for (int cref : {0, 1})
        DoLineEventNewCall(cref);
    DoLineEventNewConf();
    const auto completions = [] {
        std::vector<std::string> done;
        for (const Completion& c : g_tapi.completions)
            done.push_back(std::to_string(c.id) + ":" + std::to_string(c.result));
        return done;
    };

    // A drop: the second request is refused, another call's IDLE does not
    // complete it, its own IDLE does, once.
    ASSERT_EQ(TakeRequest(7, 0, -1), 0);
    StartRunning(REQ_DROP, 0, -1);
    EXPECT_EQ(TakeRequest(8, 1, -1), static_cast<LONG>(LINEERR_RESOURCEUNAVAIL));
    DoLineEvent(LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 1);
    EXPECT_TRUE(completions().empty());
    DoLineEvent(LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0);
    DoLineEvent(LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0);
    EXPECT_EQ(completions(), std::vector<std::string>{"7:0"});

    // A setup transfer: its call goes ONHOLDPENDTRANSFER, another ONHOLD;
    // CONFREF's events carry TAPI's conference handle; REINIT has no line.
    ASSERT_EQ(TakeRequest(9, 1, 0), 0);
    StartRunning(REQ_SETUPTRANSFER, 1, 0);
    g_tapi.lineEvents.clear();
    DoLineEvent(LINE_CALLSTATE, LINECALLSTATE_ONHOLD, 0, 1);
    DoLineEvent(LINE_CALLSTATE, LINECALLSTATE_ONHOLD, 0, 0);
    DoLineEvent(LINE_CALLSTATE, CALLSTATE_REOFFER, 0, 0);
    DoLineEvent(LINE_CALLSTATE, LINECALLSTATE_CONNECTED, 0, CONFREF);
    DoLineEvent(LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 20);
    DoLineEvent(LINE_LINEDEVSTATE, LINEDEVSTATE_REINIT, 0, -1);
    EXPECT_EQ(EventWords(),
              (std::vector<std::string>{"call 1 ONHOLDPENDTRANSFER", "call 0 ONHOLD", "call 0 OFFERING",
                                        "call 30 CONNECTED", "line REINIT"}));
    EXPECT_FALSE(g_tapi.lineEvents.back().hasLine);
    EXPECT_EQ(g_running.lastHeldCref, 0);

    // The set's state reset (link loss, stop, close) fails what is running.
    AllCallReset();
    EXPECT_EQ(completions(), (std::vector<std::string>{
                                 "7:0", "9:" + std::to_string(static_cast<LONG>(LINEERR_OPERATIONFAILED))}));
    EXPECT_EQ(g_running.runningOp, 0u);
}

INSTANTIATE_TEST_SUITE_P(BothSets, CallModelTest,
                         ::testing::Combine(::testing::Range<size_t>(0, kSets.size()),
                                            ::testing::Range<size_t>(0, kScenarios.size())),
                         [](const auto& param) {
                             return std::string(kSets[std::get<0>(param.param)].name) + "_" +
                                    kScenarios[std::get<1>(param.param)].name;
                         });

// What the provider knows of a call's parties while it lasts, as
// "field=value" for the non-empty strings of call 0.
std::string PartiesOfCall0() {
    const CallStrings& c = g_line.strings;
    const std::array<std::pair<const char*, const CallString*>, 10> fields{{
        {"DestName", &c.DestName[0]},
        {"DestAddress", &c.DestAddress[0]},
        {"CallerName", &c.CallerName[0]},
        {"CallerAdd", &c.CallerAdd[0]},
        {"CalledName", &c.CalledName[0]},
        {"CalledAdd", &c.CalledAdd[0]},
        {"ConnectedName", &c.ConnectedName[0]},
        {"ConnectedAddr", &c.ConnectedAddr[0]},
        {"RedirectingAddress", &c.RedirectingAddress[0]},
        {"RedirectionAddress", &c.RedirectionAddress[0]},
    }};
    std::string text;
    for (const auto& [name, value] : fields) {
        if (!TextOf(*value).empty())
            text += std::string(text.empty() ? "" : " ") + name + "=" + std::string(TextOf(*value));
    }
    return text;
}

struct PartyCase {
    const char* name;
    const char* set;
    const char* script;
    const char* parties;
};

// The calls are left up, so that their strings can be read.
const std::vector<PartyCase> kPartyCases = {
    {"IncomingFromThePbx", "", "call 1 0612345678; ticks 20; key 1; ticks 20",
     "CallerName=Dupont Jean CallerAdd=0612345678 CalledAdd=2001 ConnectedName=Dupont Jean "
     "ConnectedAddr=0612345678"},
    {"IncomingFromTheDisplay", "tqla 1", "call 1 2005 Martin; ticks 20; key 1; ticks 20",
     "DestName=Martin DestAddress=2005 ConnectedName=Martin ConnectedAddr=2005"},
    {"OutgoingAnswered", "", "offhook; ticks 3; dial 2005; ticks 70",
     "CalledName=Martin Paul CalledAdd=2005 ConnectedName=Martin Paul ConnectedAddr=2005"},
    {"OutgoingFromTheDisplay", "tqla 1", "offhook; ticks 3; dial 2005; ticks 70",
     "DestName=Martin Paul DestAddress=2005"},
    {"OutgoingForwarded", "", "offhook; ticks 3; dial 2004; ticks 70",
     "CalledName=Petit Luc CalledAdd=2004 ConnectedName=Martin Paul ConnectedAddr=2005 "
     "RedirectionAddress=2005"},
};

class CallPartiesTest : public CallModelTest {};

TEST_P(CallPartiesTest, AreReadFromTheDisplayAndThePbx) {
    const auto [set, index] = GetParam();
    const PartyCase& c = kPartyCases[index];
    SimWire wire(LoadSet(kSets[set], c.set));
    InService(wire);
    ASSERT_TRUE(Play(wire, c.script));
    EXPECT_EQ(PartiesOfCall0(), c.parties);
}

INSTANTIATE_TEST_SUITE_P(BothSets, CallPartiesTest,
                         ::testing::Combine(::testing::Range<size_t>(0, kSets.size()),
                                            ::testing::Range<size_t>(0, kPartyCases.size())),
                         [](const auto& param) {
                             return std::string(kSets[std::get<0>(param.param)].name) + "_" +
                                    kPartyCases[std::get<1>(param.param)].name;
                         });

}  // namespace
}  // namespace zq::test
