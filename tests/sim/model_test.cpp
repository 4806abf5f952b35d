// The set behind the PBX: what it shows, in order, for the keys the
// provider injects (P, plain or in super frames), the user's and the remote
// parties' actions (zqsim commands) and the passing of time.
#include "sim_harness.h"

namespace zq::sim::test {
namespace {

struct Step {
    const char* input;
    const char* shown;  // the notation of Harness::shown, joined by " | "
};

struct Scenario {
    const char* name;
    const char* set_extra;  // statements appended to calls.set
    std::vector<Step> steps;
    bool default_set = false;
};

Bytes key_body(const std::string& what, int value) {
    if (what == "digit") {
        return {0x03, static_cast<uint8_t>(value)};
    }
    if (what == "soft") {
        return {0x20, static_cast<uint8_t>(0x1C + value)};
    }
    return {0x20, static_cast<uint8_t>(value)};
}

// "P key 1", "P digit 5", "P soft 2", "P release", "P offhook",
// "P module 1 3" (address, key of the module), "P super digit 2 digit 0"
// (the provider's super frame of several keys).
Bytes provider_frame(const std::string& input) {
    std::vector<std::string> w;
    for (size_t at = 0; at < input.size();) {
        const size_t end = std::min(input.find(' ', at), input.size());
        w.push_back(input.substr(at, end - at));
        at = end + 1;
    }
    if (w[1] == "release") {
        return frame(0x26, {0x20, 0x29});
    }
    if (w[1] == "offhook") {
        return frame(0x26, {0x20, 0x30});
    }
    if (w[1] == "module") {
        return frame(0x26, {0x04, static_cast<uint8_t>(std::stoi(w[2]) | 0x18), 0x20,
                            static_cast<uint8_t>(std::stoi(w[3]))});
    }
    if (w[1] == "super") {
        Bytes items;
        for (size_t i = 2; i + 1 < w.size(); i += 2) {
            items = items + Bytes{0x03, 0x26} + key_body(w[i], std::stoi(w[i + 1]));
        }
        return frame(0x6E, items);
    }
    return frame(0x26, key_body(w[1], std::stoi(w[2])));
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) {
        text += (text.empty() ? "" : " | ") + word;
    }
    return text;
}

void play(const Scenario& s) {
    SCOPED_TRACE(s.name);
    SetDescription set = s.default_set ? default_set() : calls_set();
    if (s.set_extra != nullptr) {
        const std::string text =
            std::string(s.default_set ? default_set_text() : calls_set_text()) + s.set_extra;
        ParseError error;
        ASSERT_TRUE(parse_set_description(text, &set, &error)) << error.message;
    }
    Harness h(set);
    h.open_link();
    for (const Step& step : s.steps) {
        SCOPED_TRACE(step.input);
        const std::string input = step.input;
        Bytes out;
        if (input.starts_with("P ")) {
            out = h.send(provider_frame(input));
        } else {
            uint32_t wait = 0;
            std::string error;
            ASSERT_TRUE(sim_run_command(h.sim(), input, &wait, &error)) << error;
            out = h.advance(wait);
        }
        EXPECT_EQ(joined(h.shown(out)), step.shown);
    }
}

TEST(SimCalls, TheSetShowsEachChangeInOrder) {
    const Scenario scenarios[] = {
        {"outgoing call: seize, dial in a super frame, answer, hold, take back, release",
         nullptr,
         {
             {"P key 1", "I 1=2020 | D0 'Dial' | D1 []"},
             {"P super digit 2 digit 0 digit 0 digit 5",
              "D0 'Dial 2' | D0 'Dial 20' | D0 'Dial 200' | D0 'Dial 2005' | OCI 1 2005/01 'Martin Paul' | "
              "D0 'Martin Paul 2005'"},
             {"wait 1999", ""},
             {"wait 1", "CCI 1 2005/01 'Martin Paul' | D0 'Martin Paul 2005' | D1 [Enq,DTMF]"},
             {"P key 1", "I 1=2828 | D0 '2001' | D1 []"},
             {"P key 1", "I 1=2020 | D0 'Martin Paul 2005' | D1 [Enq,DTMF]"},
             {"P release", "I 1=0000 | D0 '2001' | D1 []"},
             {"P release", ""},
         }},
        {"busy, unobtainable after the inter-digit time-out, forwarded party",
         nullptr,
         {
             {"P super digit 2 digit 0 digit 0 digit 6",
              "I 1=2020 | D0 'Dial 2' | D1 [] | D0 'Dial 20' | D0 'Dial 200' | D0 'Dial 2006' | "
              "OCI 1 2006/01 'Durand Ana' | D0 'Hang up'"},
             {"P release", "I 1=0000 | D0 '2001' | D1 []"},
             {"P digit 9", "I 1=2020 | D0 'Dial 9' | D1 []"},
             {"wait 3000", "D0 'Hang up'"},
             {"onhook", "U 20 29 | I 1=0000 | D0 '2001' | D1 []"},
             {"P super key 2 digit 2 digit 0 digit 0 digit 4",
              "I 2=2020 | D0 'Dial' | D1 [] | D0 'Dial 2' | D0 'Dial 20' | D0 'Dial 200' | D0 'Dial 2004' | "
              "OCI 2 2004/01 'Petit Luc' | OCI 2 2005/01 'Martin Paul' | D0 '=>Martin Paul 2005'"},
         }},
        {"incoming call answered, enquiry by digits on the same key, swap, conference, drop the last",
         nullptr,
         {
             {"call 1 2005", "I 1=2800 | ICI 1 2005/01 'Martin Paul' to 2001 | D0 '1:Martin Paul'"},
             {"P key 1", "I 1=2020 | CCI 1 2005/01 'Martin Paul' | D0 'Martin Paul 2005' | D1 [Enq,DTMF]"},
             {"P super digit 2 digit 0 digit 1 digit 1",
              "D1 [Back] | D0 'Dial 2' | D0 'Dial 20' | D0 'Dial 201' | D0 'Dial 2011' | "
              "OCI 1 2011/01 'Noir Lea' | D0 'Noir Lea 2011' | D1 [Back,-,-,Transf]"},
             {"answer", "CCI 1 2011/01 'Noir Lea' | D0 'Noir Lea 2011' | D1 [Back,Swap,Conf,Transf]"},
             {"P soft 2", "D0 'Martin Paul 2005'"},
             {"P soft 3", "D1 [-,-,Conf,Transf] | D0 'Noir Lea      Martin Paul   Conf'"},
             {"P soft 3", "D1 [Enq,DTMF] | D0 'Noir Lea      2011'"},
             {"P soft 1", "D1 [Back] | D0 'Dial'"},
             {"P soft 1", "D1 [Enq,DTMF] | D0 'Noir Lea 2011'"},
         }},
        {"enquiry party hangs up after answering, then the held one; release of a double call recalls",
         nullptr,
         {
             {"call 0 2010", "I 1=2800 | ICI 1 2010/01 'Blanc Marc' to 2001 | D0 '1:Blanc Marc'"},
             {"offhook",
              "U 01 | I 1=2020 | CCI 1 2010/01 'Blanc Marc' | D0 'Blanc Marc 2010' | D1 [Enq,DTMF]"},
             {"softkey 1", "U 20 1D | D1 [Back] | D0 'Dial'"},
             {"dial 2005",
              "U 03 02 | D0 'Dial 2' | U 03 00 | D0 'Dial 20' | U 03 00 | D0 'Dial 200' | U 03 05 | "
              "D0 'Dial 2005' | OCI 1 2005/01 'Martin Paul' | D0 'Martin Paul 2005' | D1 [Back,-,-,Transf]"},
             {"wait 2000",
              "CCI 1 2005/01 'Martin Paul' | D0 'Martin Paul 2005' | D1 [Back,Swap,Conf,Transf]"},
             {"hangup 2", "D0 'Cancel call' | D1 [Back]"},
             {"P soft 1", "D1 [Enq,DTMF] | D0 'Blanc Marc 2010'"},
             {"P soft 1", "D1 [Back] | D0 'Dial'"},
             {"P release", "I 1=2800 | D0 '1:Blanc Marc' | D1 []"},
             {"P key 1", "I 1=2020 | D0 'Blanc Marc 2010' | D1 [Enq,DTMF]"},
             {"hangup", "D0 'Hang up' | D1 []"},
         }},
        {"supervision pickup holds the call, lights the line key, then darkens the supervision key; "
         "transfer of the two keys",
         nullptr,
         {
             {"call 1 2005", "I 1=2800 | ICI 1 2005/01 'Martin Paul' to 2001 | D0 '1:Martin Paul'"},
             {"P key 1", "I 1=2020 | CCI 1 2005/01 'Martin Paul' | D0 'Martin Paul 2005' | D1 [Enq,DTMF]"},
             {"ring 2002 2006", "I 20=2800 | ICI 20 2006/01 'Durand Ana' to 2002"},
             {"P key 20",
              "I 1=2828 | I 2=2020 | I 20=0000 | CCI 2 2006/01 'Durand Ana' | D0 'Durand Ana 2006' | "
              "D1 [Enq,DTMF,Conf,Transf]"},
             {"P soft 4", "I 1=0000 | I 2=0000 | D0 '2001' | D1 []"},
             {"ring 2003 2010", ""},
             {"P super digit 10 digit 8 digit 2 digit 0 digit 0 digit 3",
              "I 1=2020 | D0 'Dial *' | D1 [] | D0 'Dial *8' | D0 'Dial *82' | D0 'Dial *820' | "
              "D0 'Dial *8200' | D0 'Dial *82003' | CCI 1 2010/01 'Blanc Marc' | D0 'Blanc Marc 2010' | "
              "D1 [Enq,DTMF]"},
         }},
        {"external numbers: the trunk and outside-line prefixes of each event",
         "ext-prefix-display 1\n",
         {
             {"call 2 0612345678",
              "I 2=2800 | ICI 2 612345678/82 'Dupont Jean' to 2001 | D0 '2:Dupont Jean'"},
             {"P key 2",
              "I 2=2020 | CCI 2 612345678/82 'Dupont Jean' | D0 'Dupont Jean 00612345678' | D1 [Enq,DTMF]"},
             {"P release", "I 2=0000 | D0 '2001' | D1 []"},
             {"call 5 0699 \"\"", "I 5=2800 | ICI 5 699/82 '' to 2009 | D0 '5:00699'"},
             {"hangup", "I 5=0000 | D0 '2001'"},
             {"P super key 1 digit 0 digit 0 digit 6 digit 1 digit 2 digit 3 digit 4 digit 5 digit 6 digit 7 "
              "digit 8",
              "I 1=2020 | D0 'Dial' | D1 [] | D0 'Dial 0' | D0 'Dial 00' | D0 'Dial 006' | D0 'Dial 0061' | "
              "D0 'Dial 00612' | D0 'Dial 006123' | D0 'Dial 0061234' | D0 'Dial 00612345' | "
              "D0 'Dial 006123456' | D0 'Dial 0061234567' | D0 'Dial 00612345678' | "
              "OCI 1 0612345678/82 'Dupont Jean' | D0 'Dupont Jean 00612345678'"},
             {"answer", "CCI 1 612345678/82 'Dupont Jean' | D0 'Dupont Jean 00612345678' | D1 [Enq,DTMF]"},
         }},
        {"the default set's nested labels, DTMF on and off, digits as tones",
         nullptr,
         {
             {"call 1 2007", "I 1=2800 | ICI 1 2007/01 '' to 2001 | D0 '1:2007'"},
             {"P key 1", "I 1=2020 | CCI 1 2007/01 '' | D0 '2007' | D1 [Enq,DTMF]"},
             {"P soft 2", "D1 [Enq,NoDTMF]"},
             {"P digit 5", ""},
             {"P soft 2", "D1 [Enq,DTMF]"},
             {"P digit 5", "D1 [EndEnq] | D0 'Dial 5'"},
             {"P soft 1", "D1 [Enq,DTMF] | D0 '2007'"},
         },
         true},
        {"key-system enquiry on the next key (enquiry 0), three calls: the next key names the partner",
         "enquiry 0\n",
         {
             {"call 1 2005", "I 1=2800 | ICI 1 2005/01 'Martin Paul' to 2001 | D0 '1:Martin Paul'"},
             {"P key 1", "I 1=2020 | CCI 1 2005/01 'Martin Paul' | D0 'Martin Paul 2005' | D1 [Enq,DTMF]"},
             {"P super digit 2 digit 0 digit 1 digit 0",
              "I 1=2828 | I 2=2020 | D0 'Dial 2' | D1 [] | D0 'Dial 20' | D0 'Dial 201' | D0 'Dial 2010' | "
              "OCI 2 2010/01 'Blanc Marc' | D0 'Blanc Marc 2010' | D1 [-,-,-,Transf]"},
             {"answer", "CCI 2 2010/01 'Blanc Marc' | D0 'Blanc Marc 2010' | D1 [Enq,DTMF,Conf,Transf]"},
             {"call 3 2011", "I 3=2800 | ICI 3 2011/01 'Noir Lea' to 2001"},
             {"P key 3", "I 2=2828 | I 3=2020 | CCI 3 2011/01 'Noir Lea' | D0 'Noir Lea 2011'"},
             {"P super key 1 soft 4 key 2",
              "I 3=2828 | I 1=2020 | D0 'Martin Paul 2005' | I 1=0000 | I 2=0000 | D0 '2001' | D1 []"},
             {"state", ""},
         }},
        {"switches and options: provider keys ignored, events after the displays, appended digits, "
         "RESERVED before IDLE",
         "event-order after-display\ndial-display append\nrelease-via-reserved 1\n",
         {
             {"switch ignore-provider-keys on", ""},
             {"P key 1", ""},
             {"switch ignore-provider-keys off", ""},
             {"P super key 1 digit 2 digit 0 digit 0 digit 5",
              "I 1=2020 | D0 'Dial' | D1 [] | D0 +' 2' | D0 +'0' | D0 +'0' | D0 +'5' | D0 'Martin Paul 2005' "
              "| "
              "OCI 1 2005/01 'Martin Paul'"},
             {"P release", "I 1=0404 | I 1=0000 | D0 '2001' | D1 []"},
         }},
        {"boss key: a call to its label's number; a call moved off it; a module key",
         "aom 1 0 40\nkey 41 2001\n",
         {
             {"P key 21", "I 21=2020 | OCI 21 2010/01 'Blanc Marc' | D0 'Blanc Marc 2010'"},
             {"wait 2000", "CCI 21 2010/01 'Blanc Marc' | D0 'Blanc Marc 2010' | D1 [Enq,DTMF]"},
             {"move 21 3", "TRANSFERED 21 | I 21=0000 | I 3=2020 | D0 'Blanc Marc 2010'"},
             {"P release", "I 3=0000 | D0 '2001' | D1 []"},
             {"P module 1 1", "M 1:1=2020 | D0 'Dial' | D1 []"},
             {"key 41", "U64 01 20 01"},
         }},
        {"forwarding by service code: DEVICE_ASSOC_ACK, then the idle line shows it",
         nullptr,
         {
             {"P super digit 10 digit 2 digit 1 digit 2 digit 0 digit 0 digit 5",
              "I 1=2020 | D0 'Dial *' | D1 [] | D0 'Dial *2' | D0 'Dial *21' | D0 'Dial *212' | "
              "D0 'Dial *2120' | D0 'Dial *21200' | D0 'Dial *212005' | D0 'Fwd 2005' | "
              "DEVICE_ASSOC_ACK forward 0 '2005'"},
             {"P release", "I 1=0000 | D0 'Fwd 2005' | D1 []"},
             {"P super digit 11 digit 2 digit 1 key 41",
              "I 1=2020 | D0 'Dial #' | D1 [] | D0 'Dial #2' | D0 'Dial #21' | D0 '2001' | "
              "DEVICE_ASSOC_ACK forward 4 | I 1=0000 | D0 '2001' | D1 []"},
         }},
        {"TQLA 1: no call events, and the set goes idle by itself after a service code",
         "tqla 1\n",
         {
             {"P super digit 10 digit 2 digit 1 digit 2 digit 0 digit 0 digit 5",
              "I 1=2020 | D0 'Dial *' | D1 [] | D0 'Dial *2' | D0 'Dial *21' | D0 'Dial *212' | "
              "D0 'Dial *2120' | D0 'Dial *21200' | D0 'Dial *212005' | D0 'Fwd 2005'"},
             {"wait 999", ""},
             {"wait 1", "I 1=0000 | D0 'Fwd 2005' | D1 []"},
             {"call 1 2005", "I 1=2800 | D0 '1:Martin Paul'"},
         }},
        {"timed caller display and recall; a conference party hangs up",
         "timing caller-display 500\ntiming recall 5000\n",
         {
             {"call 1 2005", "I 1=2800 | ICI 1 2005/01 'Martin Paul' to 2001"},
             {"wait 500", "D0 '1:Martin Paul'"},
             {"P key 1", "I 1=2020 | CCI 1 2005/01 'Martin Paul' | D0 'Martin Paul 2005' | D1 [Enq,DTMF]"},
             {"P key 1", "I 1=2828 | D0 '2001' | D1 []"},
             {"wait 5000", "I 1=2800 | D0 '1:Martin Paul'"},
             {"offhook", "U 01 | I 1=2020 | D0 'Martin Paul 2005' | D1 [Enq,DTMF]"},
             {"P soft 1", "D1 [Back] | D0 'Dial'"},
             {"dial 2011",
              "U 03 02 | D0 'Dial 2' | U 03 00 | D0 'Dial 20' | U 03 01 | D0 'Dial 201' | U 03 01 | "
              "D0 'Dial 2011' | OCI 1 2011/01 'Noir Lea' | D0 'Noir Lea 2011' | D1 [Back,-,-,Transf]"},
             {"answer", "CCI 1 2011/01 'Noir Lea' | D0 'Noir Lea 2011' | D1 [Back,Swap,Conf,Transf]"},
             {"P soft 3", "D1 [-,-,Conf,Transf] | D0 'Martin Paul   Noir Lea      Conf'"},
             {"hangup 1", "D1 [Enq,DTMF] | D0 'Noir Lea      2011'"},
         }},
    };
    for (const Scenario& s : scenarios) {
        play(s);
    }
}

TEST(SimCalls, CommandsReportTheirMistakes) {
    struct Case {
        const char* line;
        const char* error;
    };
    const Case cases[] = {
        {"fly away", "unknown command 'fly'"},
        {"\"\" 1", "unknown command ''"},
        {"call 1", "usage: call KEY NUMBER"},
        {"call 1 2005 \"Martin", "missing closing quote"},
        {"call 20 2005", "no call: the key is not free"},
        {"answer", "no call in a state to answer"},
        {"hangup 99", "no call 99 in a state to hangup"},
        {"dial 12a", "digits are 0-9, * and #"},
        {"softkey 6", "wrong arguments for 'softkey'"},
        {"wait 3600001", "wait takes milliseconds"},
        {"switch loud on", "unknown switch 'loud'"},
        {"recall 1", "no held call on key 1"},
    };
    Harness h(calls_set());
    for (const Case& c : cases) {
        uint32_t wait = 0;
        std::string error;
        EXPECT_FALSE(sim_run_command(h.sim(), c.line, &wait, &error)) << c.line;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.line << ": " << error;
    }
    // A comment is skipped whatever it holds.
    uint32_t wait = 0;
    std::string error;
    EXPECT_TRUE(sim_run_command(h.sim(), "  # a \"quote and more than eight words in one comment line", &wait,
                                &error))
        << error;
}

}  // namespace
}  // namespace zq::sim::test
