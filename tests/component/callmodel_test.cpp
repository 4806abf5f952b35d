// Calls made, received, held, swapped, conferenced and ended on the set,
// played by the simulator's set and PBX through the real serial protocol in
// virtual time, and what TAPI hears of them in words.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "callmodel/calls.h"
#include "callmodel/tables.h"
#include "core/line_record.h"
#include "link/setconfig.h"
#include "superv_support.h"
#include "zq/sim.h"

namespace zq::test {
namespace {

struct Scenario {
    const char* name;
    // Statements added to the set description.
    const char* set;
    // zqsim commands, one a line; "ticks N" runs N ticks of the provider.
    const char* script;
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

class CallModelTest : public ProviderTest, public ::testing::WithParamInterface<std::tuple<size_t, size_t>> {
protected:
    // The line in service on the set, with nothing heard by TAPI yet.
    void InService(SimWire& wire) {
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

std::string Joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& w : words)
        text += "\"" + w + "\",\n";
    return text;
}

// Waits are in ticks of 100 ms; a remote party answers after 2 s.
const std::vector<Scenario> kScenarios = {
    {"IncomingAnsweredUserHangsUp",
     "",
     "call 1 2005; ticks 20; key 1; ticks 20; onhook; ticks 20",
     {"new call 0", "call 0 OFFERING", "call 0 info CALLERID|REASON|CALLEDID|ORIGIN", "call 0 CONNECTED",
      "call 0 info CONNECTEDID", "call 0 DISCONNECTED NORMAL", "call 0 IDLE"}},
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
    {"HoldAndRetrieve",
     "",
     "call 1 2005; ticks 20; key 1; ticks 20; key 1; ticks 20; key 1; ticks 20; onhook; ticks 20",
     {"new call 0", "call 0 OFFERING", "call 0 info CALLERID|REASON|CALLEDID|ORIGIN", "call 0 CONNECTED",
      "call 0 info CONNECTEDID", "call 0 ONHOLD", "call 0 CONNECTED", "call 0 DISCONNECTED NORMAL",
      "call 0 IDLE"}},
    {"EnquirySameKeySwapBack",
     "",
     "call 1 2005; ticks 20; key 1; ticks 20; softkey 1; ticks 20; dial 2010; ticks 60; softkey 2; ticks 20; "
     "softkey 1; ticks 20; onhook; ticks 20",
     {"new call 0",
      "call 0 OFFERING",
      "call 0 info CALLERID|REASON|CALLEDID|ORIGIN",
      "call 0 CONNECTED",
      "call 0 info CONNECTEDID",
      "call 0 ONHOLD",
      "new call 1",
      "call 1 DIALTONE",
      "call 1 PROCEEDING",
      "call 1 RINGBACK",
      "call 1 info CALLEDID",
      "call 1 CONNECTED",
      "call 1 info CONNECTEDID",
      "call 1 ONHOLD",
      "call 0 CONNECTED",
      "call 0 DISCONNECTED NORMAL",
      "call 1 CONNECTED",
      "call 0 IDLE",
      "call 1 DISCONNECTED NORMAL",
      "call 1 IDLE"}},
    {"EnquiryOtherKey",
     "enquiry 0",
     "call 1 2005; ticks 20; key 1; ticks 20; key 2; ticks 20; dial 2010; ticks 60; key 1; ticks 20; onhook; "
     "ticks 20; key 2; ticks 20; onhook; ticks 20",
     {"new call 0",
      "call 0 OFFERING",
      "call 0 info CALLERID|REASON|CALLEDID|ORIGIN",
      "call 0 CONNECTED",
      "call 0 info CONNECTEDID",
      "call 0 ONHOLD",
      "new call 1",
      "call 1 DIALTONE",
      "call 1 DIALING",
      "call 1 PROCEEDING",
      "call 1 RINGBACK",
      "call 1 info CALLEDID",
      "call 1 CONNECTED",
      "call 1 info CONNECTEDID",
      "call 1 ONHOLD",
      "call 0 CONNECTED",
      "call 0 DISCONNECTED NORMAL",
      "call 0 IDLE",
      "call 1 CONNECTED",
      "call 1 DISCONNECTED NORMAL",
      "call 1 IDLE"}},
    {"EnquiryPartyHangsUp",
     "",
     "call 1 2005; ticks 20; key 1; ticks 20; softkey 1; ticks 20; dial 2010; ticks 60; hangup; ticks 20; "
     "onhook; "
     "ticks 20; key 1; ticks 20; onhook; ticks 20",
     {"new call 0", "call 0 OFFERING", "call 0 info CALLERID|REASON|CALLEDID|ORIGIN", "call 0 CONNECTED",
      "call 0 info CONNECTEDID", "call 0 ONHOLD", "new call 1", "call 1 DIALTONE", "call 1 PROCEEDING",
      "call 1 RINGBACK", "call 1 info CALLEDID", "call 1 CONNECTED", "call 1 info CONNECTEDID",
      "call 1 DISCONNECTED NORMAL", "call 1 IDLE", "call 0 OFFERING", "call 0 CONNECTED",
      "call 0 DISCONNECTED NORMAL", "call 0 IDLE"}},
    {"ConferenceUserHangsUp",
     "",
     "call 1 2005; ticks 20; key 1; ticks 20; softkey 1; ticks 20; dial 2010; ticks 60; softkey 3; ticks 20; "
     "onhook; "
     "ticks 20",
     {"new call 0",
      "call 0 OFFERING",
      "call 0 info CALLERID|REASON|CALLEDID|ORIGIN",
      "call 0 CONNECTED",
      "call 0 info CONNECTEDID",
      "call 0 ONHOLD",
      "new call 1",
      "call 1 DIALTONE",
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
      "call 0 DISCONNECTED NORMAL",
      "call 1 DISCONNECTED NORMAL",
      "call 0 IDLE",
      "call 1 IDLE",
      "call 30 IDLE"}},
    {"ConferenceLastPartyDropped",
     "",
     "call 1 2005; ticks 20; key 1; ticks 20; softkey 1; ticks 20; dial 2010; ticks 60; softkey 3; ticks 20; "
     "softkey 3; ticks 20; onhook; ticks 20",
     {"new call 0",
      "call 0 OFFERING",
      "call 0 info CALLERID|REASON|CALLEDID|ORIGIN",
      "call 0 CONNECTED",
      "call 0 info CONNECTEDID",
      "call 0 ONHOLD",
      "new call 1",
      "call 1 DIALTONE",
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
      "call 30 IDLE",
      "call 1 DISCONNECTED NORMAL",
      "call 0 CONNECTED",
      "call 1 IDLE",
      "call 0 DISCONNECTED NORMAL",
      "call 0 IDLE"}},
    {"ConferencePartyHangsUp",
     "",
     "call 1 2005; ticks 20; key 1; ticks 20; softkey 1; ticks 20; dial 2010; ticks 60; softkey 3; ticks 20; "
     "hangup 1; ticks 20; onhook; ticks 20",
     {"new call 0",
      "call 0 OFFERING",
      "call 0 info CALLERID|REASON|CALLEDID|ORIGIN",
      "call 0 CONNECTED",
      "call 0 info CONNECTEDID",
      "call 0 ONHOLD",
      "new call 1",
      "call 1 DIALTONE",
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
      "call 30 IDLE",
      "call 1 CONNECTED",
      "call 0 DISCONNECTED NORMAL",
      "call 0 IDLE",
      "call 1 DISCONNECTED NORMAL",
      "call 1 IDLE"}},
    {"ConferenceOnTwoKeys",
     "enquiry 0",
     "call 1 2005; ticks 20; key 1; ticks 20; key 2; ticks 20; dial 2010; ticks 60; softkey 3; ticks 20; "
     "onhook; "
     "ticks 20",
     {"new call 0",
      "call 0 OFFERING",
      "call 0 info CALLERID|REASON|CALLEDID|ORIGIN",
      "call 0 CONNECTED",
      "call 0 info CONNECTEDID",
      "call 0 ONHOLD",
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
      "call 1 IDLE"}},
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
    {"LinkLossDuringConference",
     "",
     "call 1 2005; ticks 20; key 1; ticks 20; softkey 1; ticks 20; dial 2010; ticks 60; softkey 3; ticks 20; "
     "silent; ticks 200",
     {"new call 0",
      "call 0 OFFERING",
      "call 0 info CALLERID|REASON|CALLEDID|ORIGIN",
      "call 0 CONNECTED",
      "call 0 info CONNECTEDID",
      "call 0 ONHOLD",
      "new call 1",
      "call 1 DIALTONE",
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
      "call 0 IDLE",
      "call 1 IDLE",
      "call 30 IDLE",
      "line DISCONNECTED|OUTOFSERVICE",
      "line closed"}},
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

INSTANTIATE_TEST_SUITE_P(BothSets, CallModelTest,
                         ::testing::Combine(::testing::Range<size_t>(0, kSets.size()),
                                            ::testing::Range<size_t>(0, kScenarios.size())),
                         [](const auto& param) {
                             return std::string(kSets[std::get<0>(param.param)].name) + "_" +
                                    kScenarios[std::get<1>(param.param)].name;
                         });

}  // namespace
}  // namespace zq::test
