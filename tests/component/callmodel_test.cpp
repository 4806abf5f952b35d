// Calls made, received, held, swapped, conferenced and ended on the set or
// asked for by TAPI, played by the simulator's set and PBX through the real
// serial protocol in virtual time: what TAPI hears of them in words, and
// the keys the provider presses.
#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "callmodel/calls.h"
#include "callmodel/tables.h"
#include "core/config.h"
#include "core/line_record.h"
#include "link/frames.h"
#include "link/setconfig.h"
#include "superv_support.h"
#include "tapi/events.h"
#include "tapi_driver.h"
#include "zq/sim.h"
#include "zq/tapi_words.h"

namespace zq::test {
namespace {

// Where a scenario's script starts: the line in service, or just opened
// with a download stored by an earlier start, or with none ever made.
enum class Start : uint8_t { InService, StoredDownload, NoDownload };

struct Scenario {
    const char* name;
    // Statements added to the set description.
    const char* set;
    // zqsim commands, separated by ';'; "ticks N" runs N ticks of the
    // provider; "tapi ..." is a request from TAPI (tapi_driver.h).
    std::string script;
    // TAPI's line events, the completions ("reply 1 ok") and refusals
    // ("refused 2 RESOURCEUNAVAIL") among them, then the phone events.
    std::vector<std::string> events;
    // Every set-key frame and super frame the provider wrote, in hex.
    std::vector<std::string> keys = {};
    bool superFrames = true;  // the adapter offers super frames
    Start start = Start::InService;
    // A provider fault the variant with the link cut shows: skipped, with
    // this reason, until the fault is fixed.
    const char* cutFault = nullptr;
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

std::vector<std::string> Statements(std::string_view script) {
    std::vector<std::string> statements;
    std::istringstream lines{std::string(script)};
    for (std::string line; std::getline(lines, line, ';');) {
        const size_t start = line.find_first_not_of(' ');
        if (start != std::string::npos)
            statements.push_back(line.substr(start));
    }
    return statements;
}

// The set-key frames and super frames the provider wrote after its first
// `from` frames, in hex; one carried by a piggy-back frame as it would go
// alone.
std::vector<std::string> KeyFrames(const SimWire& wire, size_t from) {
    std::vector<std::string> keys;
    const auto frames = wire.Frames();
    for (size_t i = from; i < frames.size(); ++i) {
        std::vector<uint8_t> f = frames[i];
        if (f.size() > 8 && f[1] == FT_PIGGY) {
            f.assign(frames[i].begin() + 5, frames[i].end() - 1);
            f.push_back(Checksum(f));
        }
        if (f.size() >= 2 && (f[1] == FT_KEY || f[1] == FT_SUPER))
            keys.push_back(HexDump(f, 3 * f.size() + 4));
    }
    return keys;
}

class CallModelFixture : public ProviderTest {
protected:
    // Enumeration and initialisation as TAPI does them, its completions
    // going to the driver.
    void InitForDriver() {
        Attach();
        DWORD lines = 0, phones = 0, options = 0;
        ASSERT_EQ(
            TSPI_providerEnumDevices(1, &lines, &phones, reinterpret_cast<HPROVIDER>(0x55), nullptr, nullptr),
            0);
        ASSERT_EQ(TSPI_providerInit(0x20000, 1, 0, 0, 1, 1, DriverCompletion, &options), 0);
    }

    // The line in service on the set, with nothing heard by TAPI yet.
    void InService(SimWire& wire) {
        if (!attached)
            Init();
        ASSERT_EQ(OpenLine(), 0);
        ASSERT_GE(wire.TicksUntil([] { return g_line.lineDevState == 2 && g_dl.ConfigComplete; }, 600), 0);
        ASSERT_TRUE(wire.Ticks(20));
        g_tapi = TapiRecorder{};
    }

    // A whole download on another wire, then the line closed: what an
    // earlier start leaves in the registry.
    void StoreDownload(const sim::SetDescription& set) {
        SimWire wire(set);
        ASSERT_EQ(OpenLine(), 0);
        ASSERT_TRUE(DownloadCompletes(wire));
        ASSERT_EQ(CloseLine(), 0);
        memplat::port_take_writes("COM1");
    }

    // Runs a script; false with a message on a bad line.
    static ::testing::AssertionResult Play(SimWire& wire, std::string_view script) {
        return Play(wire, Statements(script));
    }

    static ::testing::AssertionResult Play(SimWire& wire, std::span<const std::string> statements) {
        for (const std::string& line : statements) {
            if (line == "silent") {
                sim::sim_faults(wire.sim).silent = true;
                continue;
            }
            if (line.starts_with("ticks ")) {
                if (!wire.Ticks(std::stoi(line.substr(6))))
                    return ::testing::AssertionFailure() << "the ticks of '" << line << "' did not run";
                continue;
            }
            if (line.starts_with("tapi ")) {
                if (auto done = DriverRun(std::string_view(line).substr(5)); !done)
                    return done;
                wire.Pump();
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

// Set, scenario, and whether the link is cut in the middle.
class CallModelTest : public CallModelFixture,
                      public ::testing::WithParamInterface<std::tuple<size_t, size_t, bool>> {};
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

std::vector<std::string> Then(std::vector<std::string> first, const std::vector<std::string>& more) {
    first.insert(first.end(), more.begin(), more.end());
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

// Requests from TAPI: a number dialled on the set, up to its ringback,
const std::vector<std::string> kDialledEvents = {"new call 0",      "call 0 DIALTONE",
                                                 "call 0 DIALING",  "call 0 PROCEEDING",
                                                 "call 0 RINGBACK", "call 0 info CALLEDID"};
// a call TAPI makes to 2005, answered and then dropped by TAPI,
const std::string kMakeCall = "tapi make 2005; ticks 70";
const std::vector<std::string> kMadeDroppedEvents = {"reply 1 ok",
                                                     "call 0 DIALTONE",
                                                     "call 0 DIALING",
                                                     "call 0 PROCEEDING",
                                                     "call 0 RINGBACK",
                                                     "call 0 info CALLEDID",
                                                     "call 0 CONNECTED",
                                                     "call 0 info CONNECTEDID",
                                                     "call 0 DISCONNECTED NORMAL",
                                                     "call 0 IDLE",
                                                     "reply 2 ok"};
// an incoming call answered by TAPI, then its enquiry by a setup transfer
// and a dial to 2011, answered.
const std::string kTapiEnquiry =
    "call 1 2005; ticks 20; tapi answer 0; ticks 20; tapi setup 0; ticks 20; tapi dial 1 2011; ticks 60";
const std::vector<std::string> kTapiEnquiryEvents = {"new call 0",
                                                     "call 0 OFFERING",
                                                     "call 0 info CALLERID|REASON|CALLEDID|ORIGIN",
                                                     "reply 1 ok",
                                                     "call 0 CONNECTED",
                                                     "call 0 info CONNECTEDID",
                                                     "call 0 ONHOLDPENDTRANSFER",
                                                     "reply 2 ok",
                                                     "call 1 DIALTONE",
                                                     "reply 3 ok",
                                                     "call 1 DIALING",
                                                     "call 1 PROCEEDING",
                                                     "call 1 RINGBACK",
                                                     "call 1 info CALLEDID",
                                                     "call 1 CONNECTED",
                                                     "call 1 info CONNECTEDID"};
// Set-key frames, in super frames as the adapter offers them: key 1, the
// release key, soft keys 1 to 4, key 1 then 2005, 2011, the pickup of 2003
// and the cancelling of a forwarding.
const std::string kKey1 = "03.26.20.01.B6.";
const std::string kRelease = "03.26.20.29.8E.";
const std::string kSoftKey1 = "03.26.20.1D.9A.";
const std::string kSoftKey2 = "03.26.20.1E.99.";
const std::string kSoftKey3 = "03.26.20.1F.98.";
const std::string kSoftKey4 = "03.26.20.20.97.";
const std::string kKey1Dial2005 = "15.6E.03.26.20.01.03.26.03.02.03.26.03.00.03.26.03.00.03.26.03.05.7C.";
const std::string kDial2011 = "11.6E.03.26.03.02.03.26.03.00.03.26.03.01.03.26.03.01.CD.";
const std::string kPickup2003 =
    "19.6E.03.26.03.0A.03.26.03.08.03.26.03.02.03.26.03.00.03.26.03.00.03.26.03.03.5A.";
const std::string kCancelForward = "0D.6E.03.26.03.0B.03.26.03.02.03.26.03.01.F3.";

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
    // Requests from TAPI.
    {"TapiAnswers",
     "",
     "call 1 2005; ticks 20; tapi answer 0; ticks 20; tapi answer 0; onhook; ticks 20",
     {"new call 0", "call 0 OFFERING", "call 0 info CALLERID|REASON|CALLEDID|ORIGIN", "reply 1 ok",
      "call 0 CONNECTED", "call 0 info CONNECTEDID", "refused 2 INVALCALLSTATE", "call 0 DISCONNECTED NORMAL",
      "call 0 IDLE"},
     {kKey1}},
    {"TapiAnswersOnTheSupervisionKey",
     "",
     "ring 2002 2005; ticks 20; tapi answer 0; ticks 20; onhook; ticks 20",
     {"new call 0", "call 0 OFFERING", "call 0 info CALLERID|REASON|CALLEDID|ORIGIN", "reply 1 ok",
      "call 0 CONNECTED", "call 0 info CONNECTEDID", "call 0 DISCONNECTED NORMAL", "call 0 IDLE"},
     {"03.26.20.14.A3."}},
    // A drop of a call in dial tone or offering sends nothing and completes
    // when the call has ended.
    {"TapiDropsInDialTone",
     "",
     "offhook; ticks 3; tapi drop 0; ticks 20; onhook; ticks 20",
     {"new call 0", "call 0 DIALTONE", "call 0 DISCONNECTED NORMAL", "call 0 IDLE", "reply 1 ok"}},
    {"TapiDropsOffering",
     "",
     "call 1 2005; ticks 20; tapi drop 0; ticks 20; hangup; ticks 20",
     {"new call 0", "call 0 OFFERING", "call 0 info CALLERID|REASON|CALLEDID|ORIGIN",
      "call 0 DISCONNECTED NORMAL", "call 0 IDLE", "reply 1 ok"}},
    {"TapiDropsProceeding",
     "",
     "offhook; ticks 3; dial 2007; ticks 30; tapi drop 0; ticks 20",
     Then(kDialledEvents, {"call 0 DISCONNECTED NORMAL", "call 0 IDLE", "reply 1 ok"}),
     {kRelease}},
    {"TapiDropsDisconnected",
     "",
     "offhook; ticks 3; dial 2006; ticks 40; tapi drop 0; ticks 20",
     Then(kDialledEvents, {"call 0 DISCONNECTED NORMAL", "call 0 IDLE", "reply 1 ok"}),
     {kRelease}},
    {"TapiDropsConnected",
     "",
     kAnswered + "; tapi drop 0; ticks 20",
     Then(kAnsweredEvents, {"call 0 DISCONNECTED NORMAL", "call 0 IDLE", "reply 1 ok"}),
     {kRelease}},
    {"TapiDropsIdle", "", kAnswered + "; onhook; ticks 20; tapi drop 0; tapi close 0; ticks 5",
     Then(kAnsweredEvents, {"call 0 DISCONNECTED NORMAL", "call 0 IDLE", "reply 1 ok", "close ok"})},
    // An ended call's record stays TAPI's until it closes the handle; the
    // next call takes another, and the late close leaves it alone.
    {"TapiKeepsAnEndedCall", "",
     kAnswered + "; onhook; ticks 20; call 1 2005; ticks 20; tapi close 0; key 1; ticks 20; onhook; ticks 20",
     Then(kAnsweredEvents, {"call 0 DISCONNECTED NORMAL", "call 0 IDLE", "new call 1", "call 1 OFFERING",
                            "call 1 info CALLERID|REASON|CALLEDID|ORIGIN", "close ok", "call 1 CONNECTED",
                            "call 1 info CONNECTEDID", "call 1 DISCONNECTED NORMAL", "call 1 IDLE"})},
    {"TapiDropsTheEnquiry",
     "",
     kEnquiry + "; tapi drop 1; ticks 20; tapi drop 0; ticks 20",
     Then(kEnquiryEvents, {"call 1 DISCONNECTED NORMAL", "call 0 CONNECTED", "call 1 IDLE", "reply 1 ok",
                           "call 0 DISCONNECTED NORMAL", "call 0 IDLE", "reply 2 ok"}),
     {kSoftKey1, kRelease}},
    {"TapiDropsTheConference",
     "",
     kConference + "; tapi drop 30; ticks 20",
     Then(kConferenceEvents, {"call 0 DISCONNECTED NORMAL", "call 1 DISCONNECTED NORMAL", "call 0 IDLE",
                              "call 1 IDLE", "call 30 IDLE", "reply 1 ok"}),
     {kSoftKey4}},
    // Only the last party to join can be dropped.
    {"TapiDropsTheLastConferenceParty",
     "",
     kConference + "; tapi drop 0; tapi drop 1; ticks 20; tapi drop 0; ticks 20",
     Then(kConferenceEvents,
          {"refused 1 INVALCALLSTATE", "call 30 IDLE", "call 0 CONNECTED", "call 1 DISCONNECTED NORMAL",
           "call 1 IDLE", "reply 2 ok", "call 0 DISCONNECTED NORMAL", "call 0 IDLE", "reply 3 ok"}),
     {kSoftKey3, kRelease}},
    {"TapiRemovesFromTheConference",
     "",
     kConference + "; tapi remove 1; ticks 20; tapi drop 0; ticks 20",
     Then(kConferenceEvents, {"call 30 IDLE", "call 0 CONNECTED", "call 1 DISCONNECTED NORMAL", "call 1 IDLE",
                              "reply 1 ok", "call 0 DISCONNECTED NORMAL", "call 0 IDLE", "reply 2 ok"}),
     {kSoftKey3, kRelease}},
    {"TapiHoldsAndUnholds",
     "",
     kAnswered +
         "; tapi hold 0; ticks 20; tapi hold 0; tapi drop 0; tapi unhold 0; ticks 20; tapi drop 0; ticks 20",
     Then(kAnsweredEvents,
          {"reply 1 ok", "call 0 ONHOLD", "refused 2 INVALCALLSTATE", "refused 3 INVALCALLSTATE",
           "reply 4 ok", "call 0 CONNECTED", "call 0 DISCONNECTED NORMAL", "call 0 IDLE", "reply 5 ok"}),
     {kKey1, kKey1, kRelease}},
    // Two calls on one key: the provider swaps them and reports both; the
    // held one recalls when the set hangs up, and is answered again.
    {"TapiSwapsTwoCallsOnOneKey",
     "",
     kEnquiry +
         "; tapi hold 1; ticks 20; tapi unhold 1; ticks 20; onhook; ticks 20; tapi answer 0; ticks 20; "
         "tapi drop 0; ticks 20",
     Then(kEnquiryEvents,
          {"call 1 ONHOLD", "call 0 CONNECTED", "reply 1 ok", "call 0 ONHOLD", "call 1 CONNECTED",
           "reply 2 ok", "call 1 DISCONNECTED NORMAL", "call 1 IDLE", "call 0 OFFERING", "reply 3 ok",
           "call 0 CONNECTED", "call 0 DISCONNECTED NORMAL", "call 0 IDLE", "reply 4 ok"}),
     {kSoftKey2, kSoftKey2, kKey1, kRelease}},
    {"TapiSecondRequestAtOnce",
     "",
     kAnswered + "; tapi drop 0; tapi hold 0; ticks 20",
     Then(kAnsweredEvents,
          {"refused 2 RESOURCEUNAVAIL", "call 0 DISCONNECTED NORMAL", "call 0 IDLE", "reply 1 ok"}),
     {kRelease}},
    {"TapiMakesACall",
     "",
     kMakeCall + "; tapi drop 0; ticks 20",
     kMadeDroppedEvents,
     {kKey1Dial2005, kRelease}},
    {"TapiMakesACallPlainFrames",
     "",
     kMakeCall + "; tapi drop 0; ticks 20",
     kMadeDroppedEvents,
     {"03.26.20.01.B6.", "03.26.03.02.D2.", "03.26.03.00.D4.", "03.26.03.00.D4.", "03.26.03.05.CF.",
      "03.26.20.29.8E."},
     false},
    // A number that is the label of a free secretary key: that key alone.
    {"TapiMakesACallOnASecretaryKey",
     "special 23 9 2012\nparty 2012 \"Vert Jo\"",
     "tapi make 2012; ticks 70; tapi drop 0; ticks 20",
     kMadeDroppedEvents,
     {"03.26.20.17.A0.", kRelease}},
    {"TapiMakesAnExternalCall",
     "",
     "tapi make 00612345678; ticks 70; tapi drop 0; ticks 20",
     kMadeDroppedEvents,
     {"31.6E.03.26.20.01.03.26.03.00.03.26.03.00.03.26.03.06.03.26.03.01.03.26.03.02.03.26.03.03.03.26.03.04."
      "03.26.03.05.03.26.03.06.03.26.03.07.03.26.03.08.09.",
      kRelease}},
    // The second make call, while the first is proceeding, ends at once.
    // The refused make call never existed for TAPI: its handle hears nothing.
    {"TapiSecondMakeCallWhileTheFirstRings",
     "",
     "tapi make 2005; ticks 5; tapi make 2010; ticks 70; tapi drop 0; ticks 20",
     {"reply 1 ok", "call 0 DIALTONE", "call 0 DIALING", "call 0 PROCEEDING", "call 0 RINGBACK",
      "reply 2 OPERATIONFAILED", "call 0 info CALLEDID", "call 0 CONNECTED", "call 0 info CONNECTEDID",
      "call 0 DISCONNECTED NORMAL", "call 0 IDLE", "reply 3 ok"},
     {kKey1Dial2005, kRelease}},
    // The set's dial-tone call: dialled on as it is, or taken over by a make
    // call, which TAPI knows under a new handle.
    {"TapiDialsOnTheSetsDialTone",
     "",
     "offhook; ticks 3; tapi dial 0 2005; ticks 70; tapi drop 0; ticks 20",
     {"new call 0", "call 0 DIALTONE", "reply 1 ok", "call 0 DIALING", "call 0 PROCEEDING", "call 0 RINGBACK",
      "call 0 info CALLEDID", "call 0 CONNECTED", "call 0 info CONNECTEDID", "call 0 DISCONNECTED NORMAL",
      "call 0 IDLE", "reply 2 ok"},
     {"11.6E.03.26.03.02.03.26.03.00.03.26.03.00.03.26.03.05.CA.", kRelease}},
    {"TapiMakesACallOnTheSetsDialTone",
     "",
     "offhook; ticks 3; " + kMakeCall + "; tapi drop 0; ticks 20",
     Then({"new call 0", "call 0 DIALTONE", "call 0 IDLE"}, kMadeDroppedEvents),
     {kKey1Dial2005, kRelease}},
    {"TapiMakesACallBeforeTheDownload",
     "",
     "tapi make 2005; ticks 150; tapi drop 0; ticks 20",
     Then({"reply 1 ok", "line CONNECTED|INSERVICE"},
          std::vector<std::string>(kMadeDroppedEvents.begin() + 1, kMadeDroppedEvents.end())),
     {kKey1Dial2005, kRelease},
     true,
     Start::StoredDownload},
    {"TapiMakesACallWithNoDownloadEver",
     "",
     "tapi make 2005; ticks 150",
     {"reply 1 OPERATIONFAILED", "line CONNECTED|INSERVICE"},
     {},
     true,
     Start::NoDownload},
    // DTMF switched on for the digits, left on for more, switched off on an
    // empty string or by itself 40 ticks later.
    {"TapiSendsDigits",
     "",
     kAnswered + "; tapi digits 0 12#; ticks 10; tapi digits 0 4; ticks 10; tapi digits 0; ticks 10; onhook; "
                 "ticks 20",
     Then(kAnsweredEvents,
          {"digits ok", "digits ok", "digits ok", "call 0 DISCONNECTED NORMAL", "call 0 IDLE"}),
     {"03.26.20.1E.99.", "03.26.03.01.D3.", "03.26.03.02.D2.", "03.26.03.0B.C9.", "03.26.03.04.D0.",
      "03.26.20.1E.99."}},
    {"TapiDigitsSwitchedOffLater",
     "",
     kAnswered + "; tapi digits 0 1; ticks 45; onhook; ticks 20",
     Then(kAnsweredEvents, {"digits ok", "call 0 DISCONNECTED NORMAL", "call 0 IDLE"}),
     {"03.26.20.1E.99.", "03.26.03.01.D3.", "03.26.20.1E.99."}},
    {"TapiTransfersItsEnquiry",
     "",
     kTapiEnquiry + "; tapi transfer 0 1; ticks 20",
     Then(kTapiEnquiryEvents, {"reply 4 ok", "call 0 DISCONNECTED NORMAL", "call 0 IDLE",
                               "call 1 DISCONNECTED NORMAL", "call 1 IDLE"}),
     {kKey1, kSoftKey1, kDial2011, kSoftKey4}},
    {"TapiTransfersItsEnquiryOnAnotherKey",
     "enquiry 0",
     kTapiEnquiry + "; tapi transfer 0 1; ticks 20",
     Then(kTapiEnquiryEvents, {"reply 4 ok", "call 0 DISCONNECTED NORMAL", "call 0 IDLE",
                               "call 1 DISCONNECTED NORMAL", "call 1 IDLE"}),
     {kKey1, kSoftKey1, kDial2011, kSoftKey4}},
    // Without the enquiry soft key on the display: a free line key, or a
    // refusal in the enquiry mode.
    {"TapiSetupTakesAFreeKey",
     "enquiry 0\nsoftkey 0 Xyz",
     kTapiEnquiry + "; tapi transfer 0 1; ticks 20",
     Then(kTapiEnquiryEvents, {"reply 4 ok", "call 0 DISCONNECTED NORMAL", "call 0 IDLE",
                               "call 1 DISCONNECTED NORMAL", "call 1 IDLE"}),
     {kKey1, "03.26.20.02.B5.", kDial2011, kSoftKey4}},
    {"TapiSetupRefusedInEnquiryMode",
     "softkey 0 Xyz",
     "call 1 2005; ticks 20; tapi answer 0; ticks 20; tapi setup 0; ticks 20; tapi drop 0; ticks 20",
     {"new call 0", "call 0 OFFERING", "call 0 info CALLERID|REASON|CALLEDID|ORIGIN", "reply 1 ok",
      "call 0 CONNECTED", "call 0 info CONNECTEDID", "reply 2 OPERATIONUNAVAIL", "call 0 DISCONNECTED NORMAL",
      "call 0 IDLE", "reply 3 ok"},
     {kKey1, kRelease}},
    {"TapiTransfersWhileTheEnquiryRings",
     "",
     "call 1 2005; ticks 20; tapi answer 0; ticks 20; tapi setup 0; ticks 20; tapi dial 1 2007; ticks 30; "
     "tapi transfer 0 1; ticks 20",
     Then(std::vector<std::string>(kTapiEnquiryEvents.begin(), kTapiEnquiryEvents.end() - 2),
          {"reply 4 ok", "call 0 DISCONNECTED NORMAL", "call 0 IDLE", "call 1 DISCONNECTED NORMAL",
           "call 1 IDLE"}),
     {kKey1, kSoftKey1, "11.6E.03.26.03.02.03.26.03.00.03.26.03.00.03.26.03.07.C8.", kSoftKey4}},
    // TAPI names the conference call; adding to it is not offered.
    {"TapiConferences",
     "",
     kTapiEnquiry + "; tapi conference 0 1; ticks 20; tapi add 30 1; tapi drop 30; ticks 20",
     Then(kTapiEnquiryEvents,
          {"reply 4 ok", "call 30 ONHOLDPENDCONF", "call 0 CONFERENCED", "call 1 CONFERENCED",
           "call 30 CONNECTED", "refused 5 OPERATIONUNAVAIL", "call 0 DISCONNECTED NORMAL",
           "call 1 DISCONNECTED NORMAL", "call 0 IDLE", "call 1 IDLE", "call 30 IDLE", "reply 6 ok"}),
     {kKey1, kSoftKey1, kDial2011, kSoftKey3, kSoftKey4}},
    // The set never makes the conference: TAPI's conference call ends
    // after the provider's wait.
    {"TapiConferenceTheSetIgnores",
     "",
     kEnquiry + "; switch ignore-provider-keys on; tapi conference 0 1; ticks 110; "
                "switch ignore-provider-keys off; onhook; ticks 20; key 1; ticks 20; onhook; ticks 20",
     Then(kEnquiryEvents,
          {"reply 1 ok", "call 30 IDLE", "call 1 DISCONNECTED NORMAL", "call 1 IDLE", "call 0 OFFERING",
           "call 0 CONNECTED", "call 0 DISCONNECTED NORMAL", "call 0 IDLE"}),
     {kSoftKey3}},
    {"TapiConferencesOnTwoKeys",
     "enquiry 0",
     kTapiEnquiry + "; tapi conference 0 1; ticks 20; tapi drop 30; ticks 20",
     Then(kTapiEnquiryEvents, {"reply 4 ok", "call 30 ONHOLDPENDCONF", "call 0 CONFERENCED",
                               "call 1 CONFERENCED", "call 30 CONNECTED", "call 30 DISCONNECTED NORMAL",
                               "call 30 IDLE", "reply 5 ok", "call 0 DISCONNECTED NORMAL", "call 1 CONNECTED",
                               "call 0 IDLE", "call 1 DISCONNECTED NORMAL", "call 1 IDLE"}),
     {kKey1, kSoftKey1, kDial2011, kSoftKey3, kSoftKey4}},
    // The digits on the connected call start the enquiry; the provider
    // presses the transfer soft key when the set shows it.
    {"TapiBlindTransfers",
     "",
     kAnswered + "; tapi blind 0 2011; ticks 60",
     Then(kAnsweredEvents,
          {"call 0 ONHOLD", "new call 1", "call 1 DIALTONE", "call 1 PROCEEDING", "call 1 RINGBACK",
           "call 1 info CALLEDID", "reply 1 ok", "call 0 DISCONNECTED NORMAL", "call 0 IDLE",
           "call 1 DISCONNECTED NORMAL", "call 1 IDLE"}),
     {kDial2011, "03.26.20.20.97."}},
    {"TapiPicksUp",
     "",
     "ring 2003 2005; ticks 20; tapi pickup 2003; ticks 30; tapi drop 0; ticks 20",
     {"reply 1 ok", "call 0 PROCEEDING", "call 0 CONNECTED", "call 0 info CONNECTEDID|ORIGIN",
      "call 0 DISCONNECTED NORMAL", "call 0 IDLE", "reply 2 ok"},
     {kPickup2003, kRelease}},
    {"TapiPicksUpNothing",
     "",
     "tapi pickup 2003; ticks 60; onhook; ticks 20",
     {"reply 1 ok", "call 0 PROCEEDING", "call 0 DISCONNECTED NORMAL", "call 0 IDLE"},
     {kPickup2003}},
    // The PBX's acknowledgement of a forwarding is answered by the release
    // key.
    {"TapiForwards",
     "",
     "tapi forward uncond 2010; ticks 30; tapi forward cancel; ticks 30",
     {"reply 1 ok", "address 0 state 64", "reply 2 ok", "address 0 state 64"},
     {"1D.6E.03.26.03.0A.03.26.03.02.03.26.03.01.03.26.03.02.03.26.03.00.03.26.03.01.03.26.03.00.31.",
      "03.26.20.29.8E.", kCancelForward, kRelease}},
    {"TapiForwardsOnBusyAndNoAnswer",
     "",
     "tapi forward busy 2010; ticks 30; tapi forward noansw 2011; ticks 30; tapi forward busyna 2005; ticks "
     "30; "
     "tapi forward cancel; ticks 30",
     {"reply 1 ok", "address 0 state 64", "reply 2 ok", "address 0 state 64", "reply 3 ok",
      "address 0 state 64", "reply 4 ok", "address 0 state 64"},
     {"1D.6E.03.26.03.0A.03.26.03.02.03.26.03.02.03.26.03.02.03.26.03.00.03.26.03.01.03.26.03.00.30.",
      "03.26.20.29.8E.",
      "1D.6E.03.26.03.0A.03.26.03.02.03.26.03.03.03.26.03.02.03.26.03.00.03.26.03.01.03.26.03.01.2E.",
      "03.26.20.29.8E.",
      "1D.6E.03.26.03.0A.03.26.03.02.03.26.03.04.03.26.03.02.03.26.03.00.03.26.03.00.03.26.03.05.2A.",
      "03.26.20.29.8E.", kCancelForward, kRelease}},
    {"TapiForwardsWhileACallRings",
     "",
     "call 1 2005; ticks 20; tapi forward uncond 2010; hangup; ticks 20",
     {"new call 0", "call 0 OFFERING", "call 0 info CALLERID|REASON|CALLEDID|ORIGIN",
      "refused 1 OPERATIONUNAVAIL", "call 0 DISCONNECTED NORMAL", "call 0 IDLE"}},
};

// Played whole: TAPI hears the scenario's events, the provider presses
// the scenario's keys, and every request TAPI made is answered. Cut by a
// silent link: every call TAPI heard of ends IDLE and every request is
// still answered.
TEST_P(CallModelTest, Scenario) {
    const auto [set, index, cut] = GetParam();
    const Scenario& scenario = kScenarios[index];
    const sim::SetDescription description = LoadSet(kSets[set], scenario.set);
    InitForDriver();
    if (scenario.start == Start::StoredDownload)
        StoreDownload(description);
    SimWire wire(description);
    if (!scenario.superFrames)
        sim::sim_adapter(wire.sim).capabilities &= static_cast<uint8_t>(~sim::kCapSuperFrames);
    if (scenario.start == Start::InService)
        InService(wire);
    else
        ASSERT_EQ(OpenLine(), 0);
    g_tapi = TapiRecorder{};
    DriverStart(hdLine);
    const size_t framesBefore = wire.Frames().size();

    if (cut && scenario.cutFault != nullptr)
        GTEST_SKIP() << scenario.cutFault;
    const std::vector<std::string> statements = Statements(scenario.script);
    if (!cut) {
        ASSERT_TRUE(Play(wire, statements));
    } else {
        // The set falls silent just before the middle request from TAPI,
        // which it then never carries out; half-way in a script without one.
        std::vector<size_t> requests;
        for (size_t i = 0; i < statements.size(); ++i)
            if (statements[i].starts_with("tapi "))
                requests.push_back(i);
        const size_t at = requests.empty() ? statements.size() / 2 : requests[requests.size() / 2];
        ASSERT_TRUE(Play(wire, std::span(statements).first(at)));
        sim::sim_faults(wire.sim).silent = true;
        ASSERT_TRUE(Play(wire, std::span(statements).subspan(at, requests.empty() ? 0 : 1)));
        ASSERT_GE(wire.TicksUntil([] { return CountLineEvents(LINE_CLOSE) > 0; }, 600), 0);
    }
    if (std::getenv("ZQ_SIM_LOG") != nullptr) {
        for (const std::string& line : sim::sim_log(wire.sim))
            std::printf("%s\n", line.c_str());
        for (const std::string& line : TraceMessages())
            std::printf("trace: %s\n", line.c_str());
    }
    EXPECT_TRUE(RequestsAnswered());
    EXPECT_TRUE(CallsEndedIdle()) << Joined(DriverWords());
    if (cut)
        return;
    EXPECT_EQ(DriverWords(), scenario.events) << Joined(DriverWords());
    EXPECT_EQ(KeyFrames(wire, framesBefore), scenario.keys) << Joined(KeyFrames(wire, framesBefore));
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
                                            ::testing::Range<size_t>(0, kScenarios.size()),
                                            ::testing::Bool()),
                         [](const auto& param) {
                             return std::string(kSets[std::get<0>(param.param)].name) + "_" +
                                    kScenarios[std::get<1>(param.param)].name +
                                    (std::get<2>(param.param) ? "_LinkLost" : "");
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
    // The PBX gives the number without the outside-line prefix.
    {"TapiMakesAnExternalCall", "", "tapi make 00612345678; ticks 70",
     "DestAddress=00612345678 CalledName=Dupont Jean CalledAdd=00612345678 ConnectedName=Dupont Jean "
     "ConnectedAddr=00612345678"},
};

class CallPartiesTest : public CallModelFixture,
                        public ::testing::WithParamInterface<std::tuple<size_t, size_t>> {};

TEST_P(CallPartiesTest, AreReadFromTheDisplayAndThePbx) {
    const auto [set, index] = GetParam();
    const PartyCase& c = kPartyCases[index];
    InitForDriver();
    SimWire wire(LoadSet(kSets[set], c.set));
    InService(wire);
    DriverStart(hdLine);
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
