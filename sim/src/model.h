// The set and the PBX behind the adapter: the calls, the keys' icons and the
// two display lines, and the reactions to keys, digits and remote events.
// Internal to the simulator; the public calls are in zq/sim_calls.h.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "zq/sim_calls.h"
#include "zq/sim_set.h"

namespace zq::sim {

inline constexpr size_t kMaxCalls = 16;
inline constexpr size_t kLineColumns = 40;

struct Timer {
    bool on = false;
    uint32_t at = 0;
};

struct ModelCall {
    int id = 0;  // 0: a free entry
    uint8_t key = 0;
    CallState state = CallState::DialTone;
    bool outgoing = false;
    bool enquiry = false;    // started from a connected call
    bool answered = false;   // the remote answered once
    bool external = false;   // number is a national number (trunk "0" first)
    bool forwarded = false;  // reached through a forwarding party
    bool caller_shown = false;
    bool service = false;  // a service code that the PBX has carried out
    uint8_t join = 0;      // order of joining a conference (1, 2)
    uint8_t reason = 0;
    std::string number;
    std::string name;
    std::string dialled;
    std::string extension;     // the extension that rings (sim_ring_extension)
    std::string cleared_text;  // line 0 once Cleared
    uint32_t hangup_after = 0;
    Timer answer;
    Timer hangup;
    Timer interdigit;
    Timer caller_display;
    Timer recall;
};

// Transfer and conference with several held calls: the next key pressed
// names the held call.
enum class PendingOp : uint8_t { None, Transfer, Conference };

struct Model {
    std::array<ModelCall, kMaxCalls> calls{};
    int next_id = 1;
    uint8_t active = 0;
    bool dtmf = false;
    PendingOp pending = PendingOp::None;
    SetSwitches switches;
    Timer service_idle;  // TQLA 1: the set goes idle by itself after a service code
    // What the set shows, as written.
    std::array<uint16_t, 256> icons{};
    std::array<bool, 256> reserved{};
    std::array<std::array<char, kLineColumns>, 2> lines{};
    std::array<uint8_t, 2> line_length{};
};

void model_init(Model& model);

// Messages the PBX sends the set (0x61 bodies, module icons): they change
// what the set shows.
void model_note_pbx_to_set(Model& model, std::span<const uint8_t> body);
void model_note_module(Model& model, const SetDescription& set, uint8_t address,
                       std::span<const uint8_t> body);

// A key message from the provider (type 0x26 body).
void model_provider_key(Sim* sim, std::span<const uint8_t> body);
// Time passes.
void model_tick(Sim* sim);
// Line 0 of the set as its state gives it (the idle display after the
// configuration response).
std::string model_line0(const Sim* sim);

// Provided by sim.cpp for the model.
Model& sim_model(Sim* sim);
const Model& sim_model(const Sim* sim);
uint32_t sim_now(const Sim* sim);
void sim_note(Sim* sim, std::string text);
const SetDescription& sim_set_const(const Sim* sim);

}  // namespace zq::sim
