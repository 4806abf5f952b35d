// The call flows both soaks play: each a list of steps (a zqsim command or
// a TAPI request, then the TAPI event it must bring).
#pragma once

#include <initializer_list>
#include <vector>

namespace zq::test::soak {

// A step: a zqsim command, "tapi ..." (a TAPI request) or "ticks N" (of
// 100 ms); then ticks until TAPI has heard `until` since the step began
// (none: go on). Calls are named as the provider numbers them: 0 and 1 in
// the order they come, 30 the conference.
struct Step {
    const char* command;
    const char* until;
};

struct Flow {
    const char* name;
    std::vector<Step> steps;
};

inline std::vector<Step> Then(std::vector<Step> first, std::initializer_list<Step> more) {
    first.insert(first.end(), more);
    return first;
}

// A request on a call just connected is refused until the set shows the
// soft keys of a connected call (line 1 comes after the party's line 0):
// the flows give it half a second, as a user would.
//
// Steps several flows begin with: an incoming call answered on the set; then
// an enquiry on the same key to 2010, answered; an incoming call answered
// from TAPI, then its enquiry to 2011 by a setup transfer, answered.
inline const std::vector<Step> kAnswered = {{"call 1 2005", "call 0 info CALLERID|REASON|CALLEDID|ORIGIN"},
                                            {"key 1", "call 0 info CONNECTEDID"},
                                            {"ticks 5", nullptr}};
inline const std::vector<Step> kEnquiry = Then(kAnswered, {{"softkey 1", "call 1 DIALTONE"},
                                                           {"dial 2010", "call 1 RINGBACK"},
                                                           {"answer", "call 1 info CONNECTEDID"},
                                                           {"ticks 5", nullptr}});
inline const std::vector<Step> kTapiEnquiry = {{"call 1 2005", "call 0 info CALLERID|REASON|CALLEDID|ORIGIN"},
                                               {"tapi answer 0", "call 0 info CONNECTEDID"},
                                               {"ticks 5", nullptr},
                                               {"tapi setup 0", "call 1 DIALTONE"},
                                               {"tapi dial 1 2011", "call 1 RINGBACK"},
                                               {"answer", "call 1 info CONNECTEDID"},
                                               {"ticks 5", nullptr}};

// The provider releases the set's forwarding call only when the PBX's
// acknowledgement comes within 1.5 s of the code; later, the set stays
// off-hook and ignores the next code. The user hangs up after each.
inline const std::vector<Flow> kFlows = {
    {"made from TAPI, answered, dropped",
     {{"tapi make 2005", "call 0 RINGBACK"},
      {"answer", "call 0 info CONNECTEDID"},
      {"tapi drop 0", "call 0 IDLE"}}},
    {"made on the set",
     {{"offhook", "call 0 DIALTONE"},
      {"dial 2005", "call 0 info CALLEDID"},
      {"answer", "call 0 info CONNECTEDID"},
      {"onhook", "call 0 IDLE"}}},
    {"incoming answered from TAPI, the caller hangs up",
     {{"call 1 2005", "call 0 info CALLERID|REASON|CALLEDID|ORIGIN"},
      {"tapi answer 0", "call 0 info CONNECTEDID"},
      {"hangup", "call 0 DISCONNECTED NORMAL"},
      {"tapi drop 0", "call 0 IDLE"}}},
    {"incoming answered on the set", Then(kAnswered, {{"onhook", "call 0 IDLE"}})},
    {"incoming external answered by the handset",
     {{"call 1 0612345678", "call 0 info CALLERID|REASON|CALLEDID|ORIGIN"},
      {"offhook", "call 0 info CONNECTEDID"},
      {"onhook", "call 0 IDLE"}}},
    {"busy",
     {{"offhook", "call 0 DIALTONE"},
      {"dial 2006", "call 0 DISCONNECTED NORMAL"},
      {"onhook", "call 0 IDLE"}}},
    {"unobtainable",
     {{"offhook", "call 0 DIALTONE"},
      {"dial 2999", "call 0 DISCONNECTED NORMAL"},
      {"onhook", "call 0 IDLE"}}},
    {"held and taken back from TAPI", Then(kAnswered, {{"tapi hold 0", "call 0 ONHOLD"},
                                                       {"tapi unhold 0", "call 0 CONNECTED"},
                                                       {"tapi drop 0", "call 0 IDLE"}})},
    {"held and taken back on the set",
     Then(kAnswered, {{"key 1", "call 0 ONHOLD"}, {"key 1", "call 0 CONNECTED"}, {"onhook", "call 0 IDLE"}})},
    {"enquiry transferred from TAPI", Then(kTapiEnquiry, {{"tapi transfer 0 1", "call 1 IDLE"}})},
    {"blind transfer from TAPI", Then(kAnswered, {{"tapi blind 0 2011", "call 1 IDLE"}})},
    {"conference on the set",
     Then(kEnquiry, {{"softkey 3", "call 30 CONNECTED"}, {"onhook", "call 30 IDLE"}})},
    {"conference from TAPI",
     Then(kTapiEnquiry, {{"tapi conference 0 1", "call 30 CONNECTED"}, {"tapi drop 30", "call 30 IDLE"}})},
    {"pickup from TAPI",
     {{"ring 2003 2005", nullptr},
      {"ticks 5", nullptr},
      {"tapi pickup 2003", "call 0 info CONNECTEDID|ORIGIN"},
      {"tapi drop 0", "call 0 IDLE"}}},
    {"supervised extension picked up on its key",
     {{"ring 2002 2005", "call 0 info CALLERID|REASON|CALLEDID|ORIGIN"},
      {"key 20", "call 0 info CONNECTEDID"},
      {"onhook", "call 0 IDLE"}}},
    {"forwarded and cancelled from TAPI",
     {{"tapi forward uncond 2010", "address 0 state 64"},
      {"ticks 10", nullptr},
      {"onhook", nullptr},
      {"ticks 5", nullptr},
      {"tapi forward cancel", "address 0 state 64"},
      {"ticks 10", nullptr},
      {"onhook", nullptr}}},
};

}  // namespace zq::test::soak
