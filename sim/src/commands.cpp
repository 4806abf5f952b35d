// zqsim's commands: a person plays the remote parties and the user of the
// set while the provider runs. One command a line; see sim/README.md.
#include <array>
#include <cstdio>
#include <vector>

#include "model.h"
#include "zq/sim.h"

namespace zq::sim {

namespace {

constexpr size_t kMaxWords = 8;
constexpr uint32_t kMaxWaitMs = 3600000;

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// Words, or "quoted words"; false on a missing closing quote or too many.
bool split(std::string_view line, std::vector<std::string>* words, std::string* error) {
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && is_blank(line[at])) {
            ++at;
        }
        if (at >= line.size()) {
            break;
        }
        std::string word;
        if (line[at] == '"') {
            const size_t end = line.find('"', at + 1);
            if (end == std::string_view::npos) {
                *error = "missing closing quote";
                return false;
            }
            word = std::string(line.substr(at + 1, end - at - 1));
            at = end + 1;
        } else {
            while (at < line.size() && !is_blank(line[at])) {
                word += line[at++];
            }
        }
        if (words->size() >= kMaxWords) {
            *error = "too many words";
            return false;
        }
        words->push_back(std::move(word));
    }
    return true;
}

bool number(const std::string& word, uint32_t max, uint32_t* out) {
    if (word.empty() || word.size() > 7) {
        return false;
    }
    uint32_t value = 0;
    for (const char c : word) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    *out = value;
    return value <= max;
}

bool small(const std::string& word, uint8_t* out) {
    uint32_t value = 0;
    if (!number(word, 255, &value)) {
        return false;
    }
    *out = static_cast<uint8_t>(value);
    return true;
}

// The call a remote command means without a number: one in ringback for
// answer and busy; for hangup the call on the active key, else a ringing one.
int default_call(Sim* sim, const std::string& verb) {
    const SetState state = sim_set_state(sim);
    if (verb == "hangup") {
        if (const CallView* active = state.on_key(state.active_key)) {
            return active->id;
        }
        for (const CallView& c : state.calls) {
            if (c.state == CallState::Ringing) {
                return c.id;
            }
        }
        return state.calls.empty() ? -1 : state.calls.front().id;
    }
    for (const CallView& c : state.calls) {
        if (c.state == CallState::Ringback) {
            return c.id;
        }
    }
    return -1;
}

void log_state(Sim* sim) {
    const SetState state = sim_set_state(sim);
    sim_note(sim, "state: active key " + std::to_string(state.active_key) + ", DTMF " +
                      (state.dtmf ? "on" : "off") + ", forwarding " + std::to_string(state.forward_status) +
                      (state.forward_destination.empty() ? "" : " to " + state.forward_destination));
    sim_note(sim, "state: line 0 '" + state.lines[0] + "'");
    sim_note(sim, "state: line 1 '" + state.lines[1] + "'");
    for (size_t key = 0; key < state.icons.size(); ++key) {
        if (state.icons[key] != 0) {
            std::array<char, 8> word{};
            std::snprintf(word.data(), word.size(), "%04X", state.icons[key]);
            sim_note(sim, "state: key " + std::to_string(key) + " icon 0x" + word.data());
        }
    }
    for (const CallView& c : state.calls) {
        sim_note(sim, "state: call " + std::to_string(c.id) + " key " + std::to_string(c.key) + " " +
                          call_state_name(c.state) + " " + c.number +
                          (c.name.empty() ? "" : " '" + c.name + "'") +
                          (c.extension.empty() ? "" : " for extension " + c.extension));
    }
}

bool set_switch(Sim* sim, const std::vector<std::string>& w, std::string* error) {
    if (w.size() != 3 || (w[2] != "on" && w[2] != "off")) {
        *error = "usage: switch ignore-provider-keys|echo-injected-keys|icon-order-new-first on|off";
        return false;
    }
    SetSwitches& switches = sim_switches(sim);
    bool* flag = w[1] == "ignore-provider-keys"   ? &switches.ignore_provider_keys
                 : w[1] == "echo-injected-keys"   ? &switches.echo_injected_keys
                 : w[1] == "icon-order-new-first" ? &switches.icon_order_new_first
                                                  : nullptr;
    if (flag == nullptr) {
        *error = "unknown switch '" + w[1] + "'";
        return false;
    }
    *flag = w[2] == "on";
    return true;
}

bool call_in(Sim* sim, const std::vector<std::string>& w, std::string* error) {
    uint8_t key = 0;
    uint8_t reason = 0;
    size_t n = w.size();
    if (n >= 5 && w[n - 2] == "reason") {
        if (!small(w[n - 1], &reason)) {
            *error = "the reason must be a number from 0 to 255";
            return false;
        }
        n -= 2;
    }
    if (n < 3 || n > 4 || !small(w[1], &key)) {
        *error = "usage: call KEY NUMBER [NAME] [reason N] (KEY 0: the first free line key)";
        return false;
    }
    if (sim_call_in(sim, key, w[2], n == 4 ? w[3] : std::string(), reason) < 0) {
        *error = "no call: the key is not free";
        return false;
    }
    return true;
}

bool remote(Sim* sim, const std::vector<std::string>& w, std::string* error) {
    uint32_t id = 0;
    if (w.size() > 2 || (w.size() == 2 && !number(w[1], 1000000, &id))) {
        *error = "usage: " + w[0] + " [CALL]";
        return false;
    }
    const int call = w.size() == 2 ? static_cast<int>(id) : default_call(sim, w[0]);
    const bool done = w[0] == "answer" ? sim_remote_answer(sim, call)
                      : w[0] == "busy" ? sim_remote_busy(sim, call)
                                       : sim_remote_hangup(sim, call);
    if (!done) {
        *error =
            "no call " + (call > 0 ? std::to_string(call) + " " : std::string()) + "in a state to " + w[0];
    }
    return done;
}

bool dial(Sim* sim, const std::string& digits, std::string* error) {
    static constexpr std::string_view kDigits = "0123456789*#";
    for (const char c : digits) {
        if (kDigits.find(c) == std::string_view::npos) {
            *error = "digits are 0-9, * and #";
            return false;
        }
    }
    for (const char c : digits) {
        sim_user_digit(sim, static_cast<uint8_t>(kDigits.find(c)));
    }
    return true;
}

}  // namespace

bool sim_run_command(Sim* sim, std::string_view line, uint32_t* wait_ms, std::string* error) {
    std::vector<std::string> w;
    std::string ignored;
    error = error != nullptr ? error : &ignored;
    *wait_ms = 0;
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') {
        return true;
    }
    if (!split(line, &w, error)) {
        return false;
    }
    if (w.empty()) {
        return true;
    }
    const std::string& verb = w[0];
    uint8_t a = 0;
    uint8_t b = 0;
    if (verb != "wait" && verb != "state") {
        sim_note(sim, "command: " + std::string(line));
    }
    if (verb == "call") {
        return call_in(sim, w, error);
    }
    if (verb == "answer" || verb == "hangup" || verb == "busy") {
        return remote(sim, w, error);
    }
    if (verb == "ring" && w.size() == 3) {
        if (sim_ring_extension(sim, w[1], w[2]) < 0) {
            *error = "no room for the call";
            return false;
        }
        return true;
    }
    if (verb == "offhook" && w.size() == 1) {
        sim_user_offhook(sim);
        return true;
    }
    if (verb == "onhook" && w.size() == 1) {
        sim_user_onhook(sim);
        return true;
    }
    if (verb == "key" && w.size() == 2 && small(w[1], &a)) {
        sim_user_key(sim, a);
        return true;
    }
    if (verb == "softkey" && w.size() == 2 && small(w[1], &a) && a >= 1 && a <= 5) {
        sim_user_softkey(sim, a);
        return true;
    }
    if (verb == "dial" && w.size() == 2) {
        return dial(sim, w[1], error);
    }
    if (verb == "recall" && w.size() == 2 && small(w[1], &a)) {
        if (!sim_recall(sim, a)) {
            *error = "no held call on key " + w[1] + " that can recall";
            return false;
        }
        return true;
    }
    if (verb == "move" && (w.size() == 3 || (w.size() == 4 && w[3] == "ringing")) && small(w[1], &a) &&
        small(w[2], &b)) {
        if (!sim_move_call(sim, a, b, w.size() == 4)) {
            *error = "no single call on key " + w[1] + ", or key " + w[2] + " is not a free line key";
            return false;
        }
        return true;
    }
    if (verb == "reserve" && w.size() == 2 && small(w[1], &a)) {
        sim_reserve(sim, a);
        return true;
    }
    if (verb == "switch") {
        return set_switch(sim, w, error);
    }
    if (verb == "wait" && w.size() == 2) {
        if (!number(w[1], kMaxWaitMs, wait_ms)) {
            *error = "wait takes milliseconds from 0 to " + std::to_string(kMaxWaitMs);
            return false;
        }
        return true;
    }
    if (verb == "state" && w.size() == 1) {
        log_state(sim);
        return true;
    }
    static constexpr std::array kVerbs{"call",    "answer", "hangup",  "busy", "ring",   "offhook",
                                       "onhook",  "key",    "softkey", "dial", "recall", "move",
                                       "reserve", "switch", "wait",    "state"};
    for (const char* known : kVerbs) {
        if (verb == known) {
            *error = "wrong arguments for '" + verb + "' (see sim/README.md)";
            return false;
        }
    }
    *error = "unknown command '" + verb + "'";
    return false;
}

}  // namespace zq::sim
