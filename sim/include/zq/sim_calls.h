// The set behind the PBX as a model of calls: it reacts to the keys and
// digits the provider injects and to the user's and the remote parties'
// actions, keeps its calls, and answers with the icons, display lines and
// TQLA call events the provider reads. See sim/README.md for the
// conventions it keeps and the choices it makes.
//
// Everything happens at the simulator's current time (the last sim_receive
// or sim_tick); timed behaviour (answer delays, inter-digit time-out,
// recalls) runs from sim_tick.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zq::sim {

struct Sim;

enum class CallState : uint8_t {
    DialTone,
    Dialling,
    Ringback,
    Connected,
    Held,
    Ringing,  // an incoming call, or another extension ringing
    Recall,   // a held call ringing back
    Conference,
    Cleared,  // the remote is gone ("Hang up", "Cancel call"); the key stays lit
};

const char* call_state_name(CallState state);

// All off by default; each stays as set.
struct SetSwitches {
    // Keys and digits from the provider are logged and otherwise ignored.
    bool ignore_provider_keys = false;
    // Keys from the provider are traced back as if the user had pressed them.
    bool echo_injected_keys = false;
    // A newly lit key shows before the old key holds or goes dark.
    bool icon_order_new_first = false;
};

struct CallView {
    int id = 0;
    uint8_t key = 0;  // 0: another extension rings, nothing on the set
    CallState state = CallState::DialTone;
    std::string number;  // the remote party (national number when external)
    std::string name;
    std::string dialled;    // digits dialled on the call
    std::string extension;  // the extension that rings, for sim_ring_extension calls
    bool enquiry = false;
};

// A snapshot for assertions.
struct SetState {
    std::array<uint16_t, 256> icons{};  // last icon word shown, by key number
    std::array<std::string, 2> lines;   // display lines as shown, trailing blanks removed
    uint8_t active_key = 0;             // 0: no key holds the voice path
    bool dtmf = false;
    uint8_t forward_status = 4;
    std::string forward_destination;
    std::vector<CallView> calls;

    const CallView* call(int id) const;
    // The call on the key that is not held, else any call on it.
    const CallView* on_key(uint8_t key) const;
};

// A call rings on a line, boss or secretary key (0: the first free line
// key) from number/name (name empty: the directory's); reason is the ICI
// reason code. The call's id, or -1 when the key is not free.
int sim_call_in(Sim* sim, uint8_t key, std::string_view number, std::string_view name = {},
                uint8_t reason = 0);
// The remote party of a call answers (a ringback call), hangs up, or is
// busy. false when the call does not exist or is in no state for it.
bool sim_remote_answer(Sim* sim, int call);
bool sim_remote_hangup(Sim* sim, int call);
bool sim_remote_busy(Sim* sim, int call);
// Another extension rings, called by `caller`; the supervised extension
// also lights its supervision key. The call's id, or -1.
int sim_ring_extension(Sim* sim, std::string_view number, std::string_view caller);

// User actions on the set: traced set to PBX, then acted on.
void sim_user_offhook(Sim* sim);
void sim_user_onhook(Sim* sim);  // the release key
void sim_user_key(Sim* sim, uint8_t key);
void sim_user_softkey(Sim* sim, uint8_t position);  // 1..5
void sim_user_digit(Sim* sim, uint8_t digit);       // 0..9, 10 *, 11 #

// A held call on key recalls now.
bool sim_recall(Sim* sim, uint8_t key);
// The call on from_key moves to to_key (TRANSFERED, then the lamps), and
// rings there when via_incom.
bool sim_move_call(Sim* sim, uint8_t from_key, uint8_t to_key, bool via_incom);
// RESERVED on a free key: a call is about to be transferred to it.
void sim_reserve(Sim* sim, uint8_t key);

SetState sim_set_state(const Sim* sim);
SetSwitches& sim_switches(Sim* sim);

// One command of zqsim's little language (see sim/README.md), acted on at
// once; "wait MS" only sets *wait_ms. false with *error for a bad command.
bool sim_run_command(Sim* sim, std::string_view line, uint32_t* wait_ms, std::string* error);

}  // namespace zq::sim
