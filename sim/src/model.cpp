// The set behind the PBX. Every reaction changes the calls first and then
// shows the result: the icons that differ from what the keys show (held
// keys, then lit keys, then dark keys), the TQLA call events and line 0 in
// the order the set description asks, and line 1, which is derived from
// the calls and written when it differs from what the display shows.
#include "model.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "zq/sim.h"

namespace zq::sim {

namespace {

constexpr uint16_t kIconIdle = 0x0000;
constexpr uint16_t kIconActive = 0x2020;
constexpr uint16_t kIconIncoming = 0x2800;
constexpr uint16_t kIconHold = 0x2828;
constexpr uint16_t kIconReserved = 0x0404;

// Key messages: type byte of the body.
constexpr uint8_t kMsgOffHook = 0x01;
constexpr uint8_t kMsgDigit = 0x03;
constexpr uint8_t kMsgModuleKey = 0x04;
constexpr uint8_t kMsgReply06 = 0x1F;
constexpr uint8_t kMsgKey = 0x20;
// Function-key codes.
constexpr uint8_t kSetKeyLast = 28;  // higher key numbers are on add-on modules
constexpr uint8_t kSoftKeyBase = 0x1C;
constexpr uint8_t kSoftKeys = 5;
constexpr uint8_t kKeyRelease = 0x29;
constexpr uint8_t kKeyOffHook = 0x30;
constexpr uint8_t kLetterFirst = 0x41;
constexpr uint8_t kLetterLast = 0x7A;

constexpr size_t kSoftKeyColumns = 8;
constexpr size_t kNameColumns = 12;
constexpr size_t kMaxDialled = 32;
constexpr size_t kMaxEventText = 64;
constexpr int kMaxForwardHops = 4;
constexpr uint32_t kServiceIdleMs = 1000;
constexpr std::string_view kOutsidePrefix = "0";  // the provider's default ExtPrefix
constexpr std::string_view kDigitChars = "0123456789*#";

// Origin flags of the call events: 1 internal, 2 external; bit 7: the
// number comes without its trunk (or outside-line) prefix.
constexpr uint8_t kOriginInternal = 0x01;
constexpr uint8_t kOriginExternalNoPrefix = 0x82;

// Soft-key label identifiers of the download.
constexpr int8_t kSkNone = -1;
constexpr int8_t kSkEnquiry = 0;
constexpr int8_t kSkBack = 1;
constexpr int8_t kSkSwap = 2;
constexpr int8_t kSkConf = 3;
constexpr int8_t kSkDtmf = 4;
constexpr int8_t kSkStopDtmf = 5;
constexpr int8_t kSkTransfer = 6;
using SoftKeyLine = std::array<int8_t, kSoftKeys>;
constexpr SoftKeyLine kNoSoftKeys{kSkNone, kSkNone, kSkNone, kSkNone, kSkNone};

enum class KeyKind : uint8_t { None, Line, Superv, Boss };

struct Event {
    uint16_t code = 0;
    std::vector<uint8_t> payload;
};

// What a reaction shows besides the icons.
struct Change {
    std::vector<Event> events;
    bool line0 = false;
    std::string line0_text;
    uint8_t line0_mode = 0;    // 0 rewrite, 2 append
    bool line1_force = false;  // written even when it shows the same
    bool line1_first = false;  // line 1 before line 0
};

Model& model(Sim* sim) {
    return sim_model(sim);
}

const SetDescription& set_of(Sim* sim) {
    return sim_set_const(sim);
}

bool due(const Timer& timer, uint32_t now) {
    return timer.on && static_cast<int32_t>(now - timer.at) >= 0;
}

Timer after(uint32_t now, uint32_t ms) {
    return Timer{true, now + ms};
}

// ------------------------------------------------------------ set description

std::string text(const Label& label) {
    return std::string(label.text());
}

std::string set_string(const SetDescription& set, uint8_t id, std::string_view fallback) {
    for (size_t i = 0; i < set.string_count; ++i) {
        if (set.strings[i].id == id) {
            return text(set.strings[i].text);
        }
    }
    return std::string(fallback);
}

std::string hang_up_text(const SetDescription& set) {
    return set_string(set, 0, "Hang up");
}

std::string cancel_text(const SetDescription& set) {
    return set_string(set, 1, "Cancel call");
}

std::string dial_text(const SetDescription& set) {
    return set_string(set, 2, "Dial");
}

std::string softkey_label(const SetDescription& set, int8_t id) {
    for (size_t i = 0; i < set.softkey_count; ++i) {
        if (static_cast<int>(set.softkeys[i].id) == id) {
            return text(set.softkeys[i].text);
        }
    }
    return {};
}

// The last run of digits of a label: "Superv 2002" gives "2002".
std::string label_number(const Label& label) {
    const std::string_view t = label.text();
    size_t end = t.size();
    while (end > 0 && (t[end - 1] < '0' || t[end - 1] > '9')) {
        --end;
    }
    size_t begin = end;
    while (begin > 0 && t[begin - 1] >= '0' && t[begin - 1] <= '9') {
        --begin;
    }
    return std::string(t.substr(begin, end - begin));
}

const SetKey* find_key(const SetDescription& set, uint8_t key, KeyKind* kind) {
    for (size_t i = 0; i < set.key_count; ++i) {
        if (set.keys[i].id == key) {
            *kind = KeyKind::Line;
            return &set.keys[i];
        }
    }
    for (size_t i = 0; i < set.special_count; ++i) {
        if (set.specials[i].id == key) {
            *kind = set.specials[i].kind == kKindSuperv ? KeyKind::Superv : KeyKind::Boss;
            return &set.specials[i];
        }
    }
    *kind = KeyKind::None;
    return nullptr;
}

KeyKind key_kind(const SetDescription& set, uint8_t key) {
    KeyKind kind = KeyKind::None;
    find_key(set, key, &kind);
    return kind;
}

bool line_like(KeyKind kind) {
    return kind == KeyKind::Line || kind == KeyKind::Boss;
}

// The number a key stands for: its label's digits, else the set's own.
std::string key_number(const SetDescription& set, uint8_t key) {
    KeyKind kind = KeyKind::None;
    const SetKey* entry = find_key(set, key, &kind);
    const std::string number = entry != nullptr ? label_number(entry->label) : std::string();
    return number.empty() ? text(set.mcdu) : number;
}

// The module a key number beyond the set's own keys sits on: the one with
// the highest offset below it.
const SetModule* module_of(const SetDescription& set, unsigned key) {
    const SetModule* best = nullptr;
    for (size_t i = 0; i < set.module_count; ++i) {
        const SetModule& module = set.modules[i];
        if (module.offset < key && (best == nullptr || module.offset > best->offset)) {
            best = &module;
        }
    }
    return best;
}

const SetModule* module_at(const SetDescription& set, uint8_t address) {
    for (size_t i = 0; i < set.module_count; ++i) {
        if (set.modules[i].address == (address & 0x07)) {
            return &set.modules[i];
        }
    }
    return nullptr;
}

const SetParty* find_party(const SetDescription& set, std::string_view number) {
    for (size_t i = 0; i < set.party_count; ++i) {
        if (set.parties[i].number.text() == number) {
            return &set.parties[i];
        }
    }
    return nullptr;
}

const SetExtension* find_extension(const SetDescription& set, std::string_view number) {
    for (size_t i = 0; i < set.extension_count; ++i) {
        if (set.extensions[i].number.text() == number) {
            return &set.extensions[i];
        }
    }
    return nullptr;
}

bool is_supervised(const SetDescription& set, std::string_view number) {
    for (size_t i = 0; i < set.special_count; ++i) {
        if (set.specials[i].kind == kKindSuperv && label_number(set.specials[i].label) == number) {
            return true;
        }
    }
    return false;
}

std::string directory_name(const SetDescription& set, std::string_view number) {
    if (const SetParty* party = find_party(set, number)) {
        return text(party->name);
    }
    if (const SetExtension* extension = find_extension(set, number)) {
        return text(extension->name);
    }
    return {};
}

// ------------------------------------------------------------ calls

ModelCall* find_call(Model& m, int id) {
    if (id <= 0) {
        return nullptr;
    }
    for (ModelCall& c : m.calls) {
        if (c.id == id) {
            return &c;
        }
    }
    return nullptr;
}

int count_on(const Model& m, uint8_t key) {
    int n = 0;
    for (const ModelCall& c : m.calls) {
        n += c.id != 0 && c.key == key ? 1 : 0;
    }
    return n;
}

bool holds_voice(CallState state) {
    switch (state) {
        case CallState::DialTone:
        case CallState::Dialling:
        case CallState::Ringback:
        case CallState::Connected:
        case CallState::Conference:
        case CallState::Cleared:
            return true;
        default:
            return false;
    }
}

ModelCall* call_on(Model& m, uint8_t key, bool (*match)(const ModelCall&)) {
    if (key == 0) {
        return nullptr;
    }
    for (ModelCall& c : m.calls) {
        if (c.id != 0 && c.key == key && match(c)) {
            return &c;
        }
    }
    return nullptr;
}

// The call of the key that holds the voice path.
ModelCall* current_on(Model& m, uint8_t key) {
    return call_on(m, key, [](const ModelCall& c) { return holds_voice(c.state); });
}

ModelCall* held_on(Model& m, uint8_t key) {
    return call_on(m, key, [](const ModelCall& c) { return c.state == CallState::Held; });
}

ModelCall* ringing_on(Model& m, uint8_t key) {
    return call_on(m, key, [](const ModelCall& c) {
        return c.state == CallState::Ringing || c.state == CallState::Recall;
    });
}

bool waiting(const ModelCall& c) {
    return c.id != 0 && (c.state == CallState::Held || c.state == CallState::Recall);
}

// Held or recalling calls on keys other than `key`; the first in *first.
int waiting_elsewhere(Model& m, uint8_t key, ModelCall** first) {
    int n = 0;
    for (ModelCall& c : m.calls) {
        if (waiting(c) && c.key != key && c.key != 0) {
            if (n++ == 0 && first != nullptr) {
                *first = &c;
            }
        }
    }
    return n;
}

bool in_conference(const Model& m) {
    return std::any_of(m.calls.begin(), m.calls.end(),
                       [](const ModelCall& c) { return c.id != 0 && c.state == CallState::Conference; });
}

ModelCall* new_call(Sim* sim, uint8_t key, CallState state) {
    Model& m = model(sim);
    for (ModelCall& c : m.calls) {
        if (c.id == 0) {
            c = ModelCall{};
            c.id = m.next_id++;
            c.key = key;
            c.state = state;
            m.reserved[key] = false;
            return &c;
        }
    }
    sim_note(sim, "PBX: no room for another call");
    return nullptr;
}

void drop(ModelCall& c) {
    c = ModelCall{};
}

void drop_key(Model& m, uint8_t key) {
    for (ModelCall& c : m.calls) {
        if (c.id != 0 && c.key == key) {
            drop(c);
        }
    }
}

uint8_t free_line_key(Sim* sim, bool own_first) {
    const Model& m = model(sim);
    const SetDescription& set = set_of(sim);
    for (int pass = own_first ? 0 : 1; pass < 2; ++pass) {
        for (size_t i = 0; i < set.key_count; ++i) {
            const SetKey& key = set.keys[i];
            const bool own = key.label.text() == set.mcdu.text();
            if ((pass == 1 || own) && count_on(m, key.id) == 0 && !m.reserved[key.id]) {
                return key.id;
            }
        }
    }
    return 0;
}

void arm_recall(Sim* sim, ModelCall& c) {
    const uint32_t ms = set_of(sim).recall_ms;
    c.recall = ms > 0 ? after(sim_now(sim), ms) : Timer{};
}

std::string call_words(const ModelCall& c) {
    std::string words = "call " + std::to_string(c.id);
    if (!c.number.empty()) {
        words += " (" + c.number + (c.name.empty() ? "" : " '" + c.name + "'") + ")";
    }
    return words;
}

// ------------------------------------------------------------ numbers

struct Target {
    bool found = false;
    bool external = false;
    std::string number;  // national number when external
    std::string name;
    const SetParty* party = nullptr;
};

// A directory number, an extension, or the outside-line prefix followed by
// an external party's national number.
Target callable(const SetDescription& set, std::string_view digits) {
    Target target;
    if (digits.empty()) {
        return target;
    }
    if (digits.starts_with(kOutsidePrefix)) {
        const std::string_view national = digits.substr(kOutsidePrefix.size());
        const SetParty* party = find_party(set, national);
        if (party != nullptr && national.starts_with("0")) {
            target = Target{true, true, std::string(national), text(party->name), party};
        }
        return target;
    }
    if (const SetParty* party = find_party(set, digits)) {
        return Target{true, false, std::string(digits), text(party->name), party};
    }
    if (const SetExtension* extension = find_extension(set, digits)) {
        return Target{true, false, std::string(digits), text(extension->name), nullptr};
    }
    return target;
}

enum class RouteKind : uint8_t { Incomplete, Call, Forward, Cancel, Pickup };

struct Route {
    RouteKind kind = RouteKind::Incomplete;
    Target target;
    uint8_t code = 0;
    std::string argument;
};

constexpr uint8_t kCodeCancelForwarding = 4;
constexpr uint8_t kCodeDtmf = 5;
constexpr uint8_t kCodePickup = 6;

ModelCall* ringing_extension(Model& m, std::string_view number) {
    for (ModelCall& c : m.calls) {
        if (c.id != 0 && c.state == CallState::Ringing && !c.extension.empty() && c.extension == number) {
            return &c;
        }
    }
    return nullptr;
}

// The dialled digits are complete when they are a callable number, or a
// service code with its argument (a callable number, nothing for the
// cancel code, an extension for pickup).
Route route(Sim* sim, std::string_view digits) {
    const SetDescription& set = set_of(sim);
    for (size_t i = 0; i < set.code_count; ++i) {
        const SetText& code = set.codes[i];
        const std::string_view prefix = code.text.text();
        if (prefix.empty() || code.id == kCodeDtmf || code.id > kCodePickup || !digits.starts_with(prefix)) {
            continue;
        }
        Route r;
        r.code = code.id;
        r.argument = std::string(digits.substr(prefix.size()));
        if (code.id == kCodeCancelForwarding) {
            r.kind = r.argument.empty() ? RouteKind::Cancel : RouteKind::Incomplete;
        } else if (code.id == kCodePickup) {
            const bool known = ringing_extension(model(sim), r.argument) != nullptr ||
                               callable(set, r.argument).found || is_supervised(set, r.argument);
            r.kind = known ? RouteKind::Pickup : RouteKind::Incomplete;
        } else {
            r.target = callable(set, r.argument);
            r.kind = r.target.found ? RouteKind::Forward : RouteKind::Incomplete;
        }
        return r;
    }
    Route r;
    r.target = callable(set, digits);
    r.kind = r.target.found ? RouteKind::Call : RouteKind::Incomplete;
    return r;
}

// ------------------------------------------------------------ call events

void put_text(std::vector<uint8_t>& p, std::string_view s) {
    const size_t n = std::min(s.size(), kMaxEventText);
    p.push_back(static_cast<uint8_t>(n));
    p.insert(p.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
}

struct Address {
    std::string digits;
    uint8_t flags = kOriginInternal;
};

// The caller or the connected party: an external number as the national
// number without its trunk "0".
Address remote_address(const ModelCall& c) {
    if (c.external) {
        return {c.number.substr(std::min<size_t>(1, c.number.size())), kOriginExternalNoPrefix};
    }
    return {c.number, kOriginInternal};
}

// The called party: an external number as dialled without the outside-line
// prefix.
Address called_address(const Target& target) {
    return {target.number, target.external ? kOriginExternalNoPrefix : kOriginInternal};
}

bool call_events(const SetDescription& set) {
    return !set.events_off && set.tqla_version >= 2;
}

void add_ici(Sim* sim, Change& ch, const ModelCall& c, const std::string& called,
             const std::string& called_name) {
    if (!call_events(set_of(sim))) {
        return;
    }
    const Address caller = remote_address(c);
    Event e{kTqlaEventIncomingChange, {c.key, c.reason}};
    e.payload.push_back(static_cast<uint8_t>(std::min(caller.digits.size(), kMaxEventText)));
    e.payload.push_back(caller.flags);
    e.payload.insert(
        e.payload.end(), caller.digits.begin(),
        caller.digits.begin() + static_cast<std::ptrdiff_t>(std::min(caller.digits.size(), kMaxEventText)));
    put_text(e.payload, c.name);
    e.payload.push_back(static_cast<uint8_t>(std::min(called.size(), kMaxEventText)));
    e.payload.push_back(kOriginInternal);
    e.payload.insert(e.payload.end(), called.begin(),
                     called.begin() + static_cast<std::ptrdiff_t>(std::min(called.size(), kMaxEventText)));
    put_text(e.payload, called_name);
    ch.events.push_back(std::move(e));
}

// OCI and CCI: key, reason, address length, flags, address, name.
void add_party_event(Sim* sim, Change& ch, uint16_t code, uint8_t key, const Address& address,
                     std::string_view name) {
    if (!call_events(set_of(sim))) {
        return;
    }
    const size_t n = std::min(address.digits.size(), kMaxEventText);
    Event e{code, {key, 0, static_cast<uint8_t>(n), address.flags}};
    e.payload.insert(e.payload.end(), address.digits.begin(),
                     address.digits.begin() + static_cast<std::ptrdiff_t>(n));
    put_text(e.payload, name);
    ch.events.push_back(std::move(e));
}

void add_cci(Sim* sim, Change& ch, const ModelCall& c) {
    add_party_event(sim, ch, kTqlaEventConnectedCall, c.key, remote_address(c), c.name);
}

// ------------------------------------------------------------ what the set shows

std::string clip(std::string s) {
    if (s.size() > kLineColumns) {
        s.resize(kLineColumns);
    }
    return s;
}

std::string trimmed(std::string s) {
    while (!s.empty() && s.back() == ' ') {
        s.pop_back();
    }
    return s;
}

std::string shown_line(const Model& m, int line) {
    const auto& chars = m.lines[static_cast<size_t>(line)];
    return trimmed(std::string(chars.begin(), chars.end()));
}

std::string padded(std::string s, size_t width) {
    s.resize(width, ' ');
    return s;
}

std::string idle_text(const SetDescription& set) {
    if (set.forward_status < 4) {
        return "Fwd " + text(set.forward_destination);
    }
    return text(set.mcdu);
}

// An external number as the set shows it: as dialled for an outgoing call,
// else national (with the outside-line prefix on request).
std::string display_number(const SetDescription& set, const ModelCall& c) {
    if (c.external && (c.outgoing || set.ext_prefix_display)) {
        return std::string(kOutsidePrefix) + c.number;
    }
    return c.number;
}

std::string party_line(const SetDescription& set, const ModelCall& c) {
    const std::string number = display_number(set, c);
    const std::string party = c.name.empty() ? number : c.name + " " + number;
    return c.forwarded ? "=>" + party : party;
}

std::string party_label(const SetDescription& set, const ModelCall& c) {
    return c.name.empty() ? display_number(set, c) : c.name;
}

std::string ring_text(const SetDescription& set, const ModelCall& c) {
    return std::to_string(c.key) + ":" + party_label(set, c);
}

std::string conference_text(const Model& m, const SetDescription& set) {
    std::array<const ModelCall*, 2> legs{};
    for (const ModelCall& c : m.calls) {
        if (c.id != 0 && c.state == CallState::Conference && c.join >= 1 && c.join <= 2) {
            legs[c.join - 1u] = &c;
        }
    }
    std::string line;
    for (const ModelCall* leg : legs) {
        line += padded(leg != nullptr ? party_label(set, *leg) : std::string(), kNameColumns) + "  ";
    }
    return line + softkey_label(set, kSkConf);
}

// The remaining party after a conference party left.
std::string left_text(const SetDescription& set, const ModelCall& c) {
    return padded(party_label(set, c), kNameColumns) + "  " + display_number(set, c);
}

std::string line0_text(Sim* sim) {
    Model& m = model(sim);
    const SetDescription& set = set_of(sim);
    if (in_conference(m)) {
        return conference_text(m, set);
    }
    if (ModelCall* cur = current_on(m, m.active)) {
        switch (cur->state) {
            case CallState::DialTone:
                return dial_text(set);
            case CallState::Dialling:
                return dial_text(set) + " " + cur->dialled;
            case CallState::Cleared:
                return cur->cleared_text;
            default:
                return party_line(set, *cur);
        }
    }
    for (const ModelCall& c : m.calls) {
        if (c.id != 0 && c.extension.empty() && c.caller_shown &&
            (c.state == CallState::Ringing || c.state == CallState::Recall)) {
            return ring_text(set, c);
        }
    }
    const bool held = std::any_of(m.calls.begin(), m.calls.end(),
                                  [](const ModelCall& c) { return c.id != 0 && c.state == CallState::Held; });
    return held ? text(set.mcdu) : idle_text(set);
}

SoftKeyLine line1_keys(Sim* sim) {
    Model& m = model(sim);
    if (in_conference(m)) {
        return {kSkNone, kSkNone, kSkConf, kSkTransfer, kSkNone};
    }
    ModelCall* cur = current_on(m, m.active);
    if (cur == nullptr) {
        return kNoSoftKeys;
    }
    const bool held_same = held_on(m, m.active) != nullptr;
    const bool held_other = waiting_elsewhere(m, m.active, nullptr) > 0;
    const int8_t dtmf = m.dtmf ? kSkStopDtmf : kSkDtmf;
    switch (cur->state) {
        case CallState::DialTone:
        case CallState::Dialling:
        case CallState::Cleared:
            return held_same ? SoftKeyLine{kSkBack, kSkNone, kSkNone, kSkNone, kSkNone} : kNoSoftKeys;
        case CallState::Ringback:
            if (held_same) {
                return {kSkBack, kSkNone, kSkNone, kSkTransfer, kSkNone};
            }
            return held_other ? SoftKeyLine{kSkNone, kSkNone, kSkNone, kSkTransfer, kSkNone} : kNoSoftKeys;
        case CallState::Connected:
            if (held_same) {
                return {kSkBack, kSkSwap, kSkConf, kSkTransfer, kSkNone};
            }
            if (held_other) {
                return {kSkEnquiry, dtmf, kSkConf, kSkTransfer, kSkNone};
            }
            return {kSkEnquiry, dtmf, kSkNone, kSkNone, kSkNone};
        default:
            return kNoSoftKeys;
    }
}

std::string line1_text(Sim* sim) {
    const SetDescription& set = set_of(sim);
    const SoftKeyLine keys = line1_keys(sim);
    std::string line;
    for (size_t i = 0; i < keys.size(); ++i) {
        std::string label = keys[i] == kSkNone ? std::string() : softkey_label(set, keys[i]);
        // A blank between fields keeps every label a word of its own.
        label.resize(std::min(label.size(), kSoftKeyColumns - 1));
        line += padded(label, kSoftKeyColumns);
    }
    return trimmed(line);
}

void show_icon(Sim* sim, uint8_t key, uint16_t word) {
    const SetDescription& set = set_of(sim);
    if (key > kSetKeyLast) {
        if (const SetModule* module = module_of(set, key)) {
            sim_show_module_icon(sim, module->address, static_cast<uint8_t>(key - module->offset), word);
            return;
        }
    }
    sim_show_icon(sim, key, word);
}

uint16_t wanted_icon(Sim* sim, uint8_t key, KeyKind kind) {
    Model& m = model(sim);
    bool any = false;
    bool conference = false;
    bool ringing = false;
    bool held = false;
    for (const ModelCall& c : m.calls) {
        if (c.id == 0 || c.key != key) {
            continue;
        }
        any = true;
        conference = conference || c.state == CallState::Conference;
        ringing = ringing || c.state == CallState::Ringing || c.state == CallState::Recall;
        held = held || c.state == CallState::Held;
    }
    if (!any) {
        return m.reserved[key] ? kIconReserved : kIconIdle;
    }
    if (kind == KeyKind::Superv) {
        return ringing ? kIconIncoming : kIconIdle;
    }
    if (conference || key == m.active) {
        return kIconActive;
    }
    if (ringing) {
        return kIconIncoming;
    }
    return held ? kIconHold : kIconActive;
}

struct IconChange {
    uint8_t key = 0;
    uint16_t word = 0;
};

// The icons that differ from what the keys show: a key going on hold
// before the key that lights (the provider's icon machine forgets the
// active key when it goes on hold), a key that lights before a key that
// goes dark (a supervision key going dark first reads as the caller giving
// up).
void emit_icons(Sim* sim) {
    Model& m = model(sim);
    const SetDescription& set = set_of(sim);
    std::vector<IconChange> hold;
    std::vector<IconChange> lit;
    std::vector<IconChange> dark;
    auto consider = [&](uint8_t key, KeyKind kind) {
        const uint16_t word = wanted_icon(sim, key, kind);
        if (word == m.icons[key]) {
            return;
        }
        (word == kIconHold ? hold : word == kIconIdle ? dark : lit).push_back({key, word});
    };
    for (size_t i = 0; i < set.key_count; ++i) {
        consider(set.keys[i].id, KeyKind::Line);
    }
    for (size_t i = 0; i < set.special_count; ++i) {
        consider(set.specials[i].id, set.specials[i].kind == kKindSuperv ? KeyKind::Superv : KeyKind::Boss);
    }
    const bool new_first = m.switches.icon_order_new_first;
    for (const std::vector<IconChange>* group : {new_first ? &lit : &hold, new_first ? &hold : &lit, &dark}) {
        for (const IconChange& change : *group) {
            show_icon(sim, change.key, change.word);
        }
    }
}

void write_line1(Sim* sim, bool force) {
    const std::string line = line1_text(sim);
    if (force || line != shown_line(model(sim), 1)) {
        sim_show_text(sim, 1, 0, line);
    }
}

void send_events(Sim* sim, Change& ch) {
    for (const Event& e : ch.events) {
        sim_send_tqla(sim, e.code, e.payload);
    }
    ch.events.clear();
}

void show(Change& ch, std::string line0) {
    ch.line0 = true;
    ch.line0_text = std::move(line0);
}

void commit(Sim* sim, Change& ch) {
    Model& m = model(sim);
    const SetDescription& set = set_of(sim);
    if (m.active == 0 && !in_conference(m)) {
        m.dtmf = false;  // the voice path is gone
    }
    emit_icons(sim);
    if (!set.events_after_display) {
        send_events(sim, ch);
    }
    if (ch.line1_first) {
        write_line1(sim, ch.line1_force);
    }
    if (ch.line0) {
        sim_show_text(sim, 0, 0, clip(ch.line0_text), ch.line0_mode);
    }
    if (!ch.line1_first) {
        write_line1(sim, ch.line1_force);
    }
    send_events(sim, ch);
}

// Line 0 as the state gives it, then commit.
void commit_state(Sim* sim, bool line1_force = false, bool line1_first = false) {
    Change ch;
    ch.line1_force = line1_force;
    ch.line1_first = line1_first;
    show(ch, line0_text(sim));
    commit(sim, ch);
}

// ------------------------------------------------------------ reactions

void after_dial(Sim* sim, int call_id);

// The voice path leaves the active key for another: a connected call goes
// on hold, a call not yet connected is given up. A double call on one key
// and a conference must be resolved first. *held: a call was put on hold.
bool leave_active(Sim* sim, bool* held) {
    Model& m = model(sim);
    *held = false;
    if (m.active == 0) {
        return true;
    }
    ModelCall* cur = current_on(m, m.active);
    if (in_conference(m) || count_on(m, m.active) > 1) {
        sim_note(sim, "set: key " + std::to_string(m.active) +
                          " carries a double call or a conference: end it first; key ignored");
        return false;
    }
    if (cur != nullptr && cur->state == CallState::Connected) {
        cur->state = CallState::Held;
        arm_recall(sim, *cur);
        *held = true;
        sim_note(sim, "set: " + call_words(*cur) + " held on key " + std::to_string(m.active));
    } else if (cur != nullptr) {
        sim_note(sim, "set: " + call_words(*cur) + " on key " + std::to_string(m.active) + " given up");
        drop(*cur);
    }
    m.active = 0;
    return true;
}

ModelCall* seize(Sim* sim, uint8_t key, std::optional<char> digit, bool enquiry) {
    ModelCall* c = new_call(sim, key, digit ? CallState::Dialling : CallState::DialTone);
    if (c == nullptr) {
        return nullptr;
    }
    c->outgoing = true;
    c->enquiry = enquiry;
    if (digit) {
        c->dialled = *digit;
    }
    model(sim).active = key;
    sim_note(sim, "set: key " + std::to_string(key) + " seized, " + call_words(*c) + " in dial tone");
    return c;
}

// The user or the provider answers a ringing or recalling call, or takes
// back a held one, on its key.
void take_call(Sim* sim, ModelCall& c) {
    Model& m = model(sim);
    const bool answer = c.state == CallState::Ringing;
    c.state = CallState::Connected;
    c.recall.on = false;
    c.caller_display.on = false;
    m.active = c.key;
    sim_note(sim, "set: " + call_words(c) + (answer ? " answered" : " taken back") + " on key " +
                      std::to_string(c.key));
    Change ch;
    if (answer) {
        c.answered = true;
        add_cci(sim, ch, c);
    }
    show(ch, party_line(set_of(sim), c));
    commit(sim, ch);
}

// A call to the number of a boss or secretary key's label.
void call_label_number(Sim* sim, uint8_t key) {
    const std::string number = key_number(set_of(sim), key);
    ModelCall* c = seize(sim, key, std::nullopt, false);
    if (c == nullptr) {
        return;
    }
    c->state = CallState::Dialling;
    c->dialled = number.substr(0, kMaxDialled);
    after_dial(sim, c->id);
    ModelCall* still = find_call(model(sim), c->id);
    if (still != nullptr && still->state == CallState::Dialling) {
        still->interdigit.on = false;
        still->state = CallState::Cleared;
        still->cleared_text = hang_up_text(set_of(sim));
        sim_note(sim, "PBX: " + number + " is not a number of the directory");
        commit_state(sim);
    }
}

void press_line(Sim* sim, uint8_t key, KeyKind kind) {
    Model& m = model(sim);
    if (key == m.active) {
        ModelCall* cur = current_on(m, key);
        if (cur != nullptr && cur->state == CallState::Connected && count_on(m, key) == 1) {
            cur->state = CallState::Held;
            arm_recall(sim, *cur);
            m.active = 0;
            sim_note(sim, "set: " + call_words(*cur) + " held on key " + std::to_string(key));
            Change ch;
            ch.line1_force = true;
            show(ch, text(set_of(sim).mcdu));
            commit(sim, ch);
        } else {
            sim_note(sim, "set: key " + std::to_string(key) + " is the active key: nothing to do");
        }
        return;
    }
    ModelCall* ringing = ringing_on(m, key);
    ModelCall* held = held_on(m, key);
    const int n = count_on(m, key);
    bool held_one = false;
    if (n == 0) {
        if (!leave_active(sim, &held_one)) {
            return;
        }
        if (kind == KeyKind::Boss) {
            call_label_number(sim, key);
            return;
        }
        if (seize(sim, key, std::nullopt, held_one) != nullptr) {
            commit_state(sim, true);
        }
    } else if (ringing != nullptr || (held != nullptr && n == 1)) {
        if (leave_active(sim, &held_one)) {
            take_call(sim, ringing != nullptr ? *ringing : *held);
        }
    } else {
        sim_note(sim, "set: key " + std::to_string(key) + ": nothing to do");
    }
}

// A ringing supervision key: the call is picked up on a free line key.
void press_superv(Sim* sim, uint8_t key) {
    Model& m = model(sim);
    ModelCall* c = ringing_on(m, key);
    if (c == nullptr) {
        sim_note(sim, "set: supervision key " + std::to_string(key) + " is not ringing: nothing to do");
        return;
    }
    const uint8_t line = free_line_key(sim, true);
    bool held_one = false;
    if (line == 0) {
        sim_note(sim, "set: no free line key for the pickup");
        return;
    }
    if (!leave_active(sim, &held_one)) {
        return;
    }
    sim_note(sim,
             "set: " + call_words(*c) + " for " + c->extension + " picked up on key " + std::to_string(line));
    c->key = line;
    c->extension.clear();
    take_call(sim, *c);
}

void transfer(Sim* sim, ModelCall& a, ModelCall& b) {
    Model& m = model(sim);
    sim_note(sim, "PBX: " + call_words(a) + " and " + call_words(b) + " transferred to each other");
    drop(a);
    drop(b);
    m.active = 0;
    commit_state(sim, true);
}

void join(Sim* sim, ModelCall& connected, ModelCall& held) {
    held.state = CallState::Conference;
    held.join = 1;
    held.recall.on = false;
    connected.state = CallState::Conference;
    connected.join = 2;
    sim_note(sim, "PBX: conference of " + call_words(held) + " and " + call_words(connected));
    commit_state(sim, false, true);
}

void press_set_key(Sim* sim, uint8_t key) {
    Model& m = model(sim);
    const KeyKind kind = key_kind(set_of(sim), key);
    if (kind == KeyKind::None) {
        sim_note(sim, "set: key " + std::to_string(key) + " is not a key of the set, ignored");
        return;
    }
    if (m.pending != PendingOp::None) {
        const PendingOp op = m.pending;
        m.pending = PendingOp::None;
        ModelCall* cur = current_on(m, m.active);
        ModelCall* other = call_on(m, key, [](const ModelCall& c) { return waiting(c); });
        if (cur != nullptr && other != nullptr && key != m.active) {
            if (op == PendingOp::Transfer) {
                transfer(sim, *cur, *other);
            } else {
                join(sim, *cur, *other);
            }
            return;
        }
    }
    if (kind == KeyKind::Superv) {
        press_superv(sim, key);
    } else {
        press_line(sim, key, kind);
    }
}

void release(Sim* sim) {
    Model& m = model(sim);
    m.pending = PendingOp::None;
    if (m.active == 0) {
        sim_note(sim, "set: release with no call: nothing to do");
        return;
    }
    ModelCall* cur = current_on(m, m.active);
    if (cur != nullptr && cur->state == CallState::Conference) {
        sim_note(sim, "set: leaves the conference, the others stay joined");
        for (ModelCall& c : m.calls) {
            if (c.id != 0 && c.state == CallState::Conference) {
                drop(c);
            }
        }
        m.active = 0;
        commit_state(sim, true);
        return;
    }
    ModelCall* held = held_on(m, m.active);
    if (cur != nullptr && held != nullptr) {
        sim_note(sim, "set: " + call_words(*cur) + " released; " + call_words(*held) + " recalls");
        drop(*cur);
        held->state = CallState::Recall;
        held->caller_shown = true;
        m.active = 0;
        commit_state(sim);
        return;
    }
    sim_note(sim, "set: key " + std::to_string(m.active) + " released");
    if (set_of(sim).release_via_reserved) {
        show_icon(sim, m.active, kIconReserved);
    }
    drop_key(m, m.active);
    m.active = 0;
    commit_state(sim, true);
}

void offhook(Sim* sim) {
    Model& m = model(sim);
    const SetDescription& set = set_of(sim);
    if (m.active != 0) {
        sim_note(sim, "set: already off-hook on key " + std::to_string(m.active));
        return;
    }
    for (size_t i = 0; i < set.key_count; ++i) {
        if (ringing_on(m, set.keys[i].id) != nullptr) {
            press_set_key(sim, set.keys[i].id);
            return;
        }
    }
    for (size_t i = 0; i < set.special_count; ++i) {
        if (ringing_on(m, set.specials[i].id) != nullptr) {
            press_set_key(sim, set.specials[i].id);
            return;
        }
    }
    const uint8_t key = free_line_key(sim, true);
    if (key == 0) {
        sim_note(sim, "set: no free line key to go off-hook on");
        return;
    }
    if (seize(sim, key, std::nullopt, false) != nullptr) {
        commit_state(sim, true);
    }
}

// An enquiry from the connected call of the active key: on the same key
// (enquiry mode 1) or on the next free line key.
void start_enquiry(Sim* sim, std::optional<char> digit) {
    Model& m = model(sim);
    ModelCall* cur = current_on(m, m.active);
    if (cur == nullptr || cur->state != CallState::Connected || count_on(m, m.active) != 1) {
        sim_note(sim, "set: no single connected call for an enquiry, ignored");
        return;
    }
    ModelCall* d = nullptr;
    bool same_key = set_of(sim).enquiry_mode == 1;
    if (same_key) {
        cur->state = CallState::Held;
        d = seize(sim, m.active, digit, true);
    } else {
        const uint8_t key = free_line_key(sim, false);
        if (key == 0) {
            sim_note(sim, "set: no free line key for an enquiry, ignored");
            return;
        }
        cur->state = CallState::Held;
        arm_recall(sim, *cur);
        d = seize(sim, key, digit, true);
    }
    if (d == nullptr) {
        cur->state = CallState::Connected;
        return;
    }
    const int id = d->id;
    commit_state(sim, !same_key, same_key);
    if (digit) {
        after_dial(sim, id);
    }
}

void end_enquiry(Sim* sim) {
    Model& m = model(sim);
    ModelCall* cur = current_on(m, m.active);
    ModelCall* held = held_on(m, m.active);
    if (cur == nullptr || held == nullptr) {
        sim_note(sim, "set: no enquiry to end");
        return;
    }
    sim_note(sim, "set: enquiry " + call_words(*cur) + " ended, back to " + call_words(*held));
    drop(*cur);
    held->state = CallState::Connected;
    held->recall.on = false;
    Change ch;
    ch.line1_first = true;
    show(ch, party_line(set_of(sim), *held));
    commit(sim, ch);
}

void swap(Sim* sim) {
    Model& m = model(sim);
    ModelCall* cur = current_on(m, m.active);
    ModelCall* held = held_on(m, m.active);
    if (cur == nullptr || held == nullptr || cur->state != CallState::Connected) {
        sim_note(sim, "set: nothing to swap");
        return;
    }
    cur->state = CallState::Held;
    held->state = CallState::Connected;
    sim_note(sim, "set: swap to " + call_words(*held));
    Change ch;
    show(ch, party_line(set_of(sim), *held));
    commit(sim, ch);
}

// The held call a transfer or conference acts on: the one on the active
// key, else the only one elsewhere; with several, the next key pressed
// names it.
ModelCall* partner(Sim* sim, PendingOp op) {
    Model& m = model(sim);
    if (ModelCall* held = held_on(m, m.active)) {
        return held;
    }
    ModelCall* first = nullptr;
    const int n = waiting_elsewhere(m, m.active, &first);
    if (n > 1) {
        m.pending = op;
        sim_note(sim, "set: several calls wait: the next key pressed names the other party");
        return nullptr;
    }
    if (n == 0) {
        sim_note(sim, "set: no held call to join or transfer");
    }
    return first;
}

void conference_key(Sim* sim) {
    Model& m = model(sim);
    if (in_conference(m)) {
        // Drop the party that joined last; the other stays connected.
        ModelCall* last = nullptr;
        ModelCall* rest = nullptr;
        for (ModelCall& c : m.calls) {
            if (c.id == 0 || c.state != CallState::Conference) {
                continue;
            }
            if (last == nullptr || c.join > last->join) {
                rest = last;
                last = &c;
            } else {
                rest = &c;
            }
        }
        if (last == nullptr || rest == nullptr) {
            return;
        }
        sim_note(sim, "PBX: " + call_words(*last) + " dropped from the conference");
        drop(*last);
        rest->state = CallState::Connected;
        rest->join = 0;
        m.active = rest->key;
        Change ch;
        ch.line1_first = true;
        show(ch, left_text(set_of(sim), *rest));
        commit(sim, ch);
        return;
    }
    ModelCall* cur = current_on(m, m.active);
    if (cur == nullptr || cur->state != CallState::Connected) {
        sim_note(sim, "set: no connected call to join");
        return;
    }
    if (ModelCall* held = partner(sim, PendingOp::Conference)) {
        join(sim, *cur, *held);
    }
}

void transfer_key(Sim* sim) {
    Model& m = model(sim);
    if (in_conference(m)) {
        sim_note(sim, "set: leaves the conference, the two others stay together");
        for (ModelCall& c : m.calls) {
            if (c.id != 0 && c.state == CallState::Conference) {
                drop(c);
            }
        }
        m.active = 0;
        commit_state(sim, true);
        return;
    }
    ModelCall* cur = current_on(m, m.active);
    if (cur == nullptr || (cur->state != CallState::Connected && cur->state != CallState::Ringback)) {
        sim_note(sim, "set: nothing to transfer");
        return;
    }
    if (ModelCall* held = partner(sim, PendingOp::Transfer)) {
        transfer(sim, *cur, *held);
    }
}

void press_soft(Sim* sim, uint8_t position) {
    Model& m = model(sim);
    if (position < 1 || position > kSoftKeys) {
        sim_note(sim, "set: soft key " + std::to_string(position) + " does not exist");
        return;
    }
    const int8_t id = line1_keys(sim)[position - 1u];
    m.pending = PendingOp::None;
    sim_note(sim, "set: soft key " + std::to_string(position) + " (" +
                      (id == kSkNone ? std::string("blank") : softkey_label(set_of(sim), id)) + ")");
    switch (id) {
        case kSkEnquiry:
            start_enquiry(sim, std::nullopt);
            return;
        case kSkBack:
            end_enquiry(sim);
            return;
        case kSkSwap:
            swap(sim);
            return;
        case kSkConf:
            conference_key(sim);
            return;
        case kSkTransfer:
            transfer_key(sim);
            return;
        case kSkDtmf:
        case kSkStopDtmf: {
            m.dtmf = id == kSkDtmf;
            Change ch;
            commit(sim, ch);
            return;
        }
        default:
            return;
    }
}

void digit(Sim* sim, uint8_t value) {
    Model& m = model(sim);
    const SetDescription& set = set_of(sim);
    if (value >= kDigitChars.size()) {
        sim_note(sim, "set: digit value " + std::to_string(value) + " ignored");
        return;
    }
    const char ch = kDigitChars[value];
    if (m.active == 0) {
        const uint8_t key = free_line_key(sim, true);
        if (key == 0) {
            sim_note(sim, "set: no free line key for digit " + std::string(1, ch));
            return;
        }
        ModelCall* c = seize(sim, key, ch, false);
        if (c != nullptr) {
            const int id = c->id;
            commit_state(sim, true);
            after_dial(sim, id);
        }
        return;
    }
    ModelCall* cur = current_on(m, m.active);
    const CallState state = cur != nullptr ? cur->state : CallState::Cleared;
    if (state == CallState::DialTone || state == CallState::Dialling) {
        if (cur->dialled.size() >= kMaxDialled) {
            sim_note(sim, "set: digit " + std::string(1, ch) + " ignored: number too long");
            return;
        }
        const bool first = cur->dialled.empty();
        cur->dialled += ch;
        cur->state = CallState::Dialling;
        Change change;
        if (set.dial_append) {
            show(change, (first ? " " : "") + std::string(1, ch));
            change.line0_mode = 2;
        } else {
            show(change, line0_text(sim));
        }
        const int id = cur->id;
        commit(sim, change);
        after_dial(sim, id);
    } else if ((state == CallState::Connected || state == CallState::Conference) && m.dtmf) {
        sim_note(sim, "set: DTMF tone " + std::string(1, ch));
    } else if (state == CallState::Connected) {
        start_enquiry(sim, ch);
    } else {
        sim_note(sim, "set: digit " + std::string(1, ch) + " ignored by the PBX");
    }
}

// ------------------------------------------------------------ routing

void clear_call(ModelCall& c, std::string line) {
    c.state = CallState::Cleared;
    c.cleared_text = std::move(line);
    c.answer.on = false;
    c.hangup.on = false;
    c.interdigit.on = false;
}

// A service code the PBX has carried out: the call stays on its key until
// the release (the provider presses it after DEVICE_ASSOC_ACK; with TQLA 1,
// which has no such message, the set goes idle by itself).
void service_done(Sim* sim, ModelCall& c) {
    const SetDescription& set = set_of(sim);
    c.service = true;
    clear_call(c, idle_text(set));
    commit_state(sim);
    if (set.tqla_version >= 2) {
        sim_send_device_assoc_ack(sim);
    } else {
        model(sim).service_idle = after(sim_now(sim), kServiceIdleMs);
    }
}

void call_party(Sim* sim, ModelCall& c, Target target) {
    const SetDescription& set = set_of(sim);
    Change ch;
    add_party_event(sim, ch, kTqlaEventOutgoingCall, c.key, called_address(target), target.name);
    int hops = 0;
    while (target.party != nullptr && target.party->behaviour == PartyBehaviour::Forward &&
           hops < kMaxForwardHops) {
        Target next = callable(set, target.party->forward_to.text());
        ++hops;
        if (!next.found) {
            target.party = nullptr;  // forwarded nowhere
            break;
        }
        target = next;
    }
    c.number = target.number;
    c.name = target.name;
    c.external = target.external;
    c.forwarded = hops > 0;
    if (c.forwarded) {
        add_party_event(sim, ch, kTqlaEventOutgoingCall, c.key, called_address(target), target.name);
    }
    const SetParty* party = target.party;
    const bool unreachable = hops > 0 && (party == nullptr || party->behaviour == PartyBehaviour::Forward);
    if (unreachable || (party != nullptr && party->behaviour == PartyBehaviour::Busy)) {
        sim_note(sim, "PBX: " + call_words(c) + (unreachable ? " cannot be reached" : " is busy"));
        clear_call(c, hang_up_text(set));
    } else {
        c.state = CallState::Ringback;
        sim_note(sim, "PBX: " + call_words(c) + " rings" + (c.forwarded ? " (forwarded)" : ""));
        if (party == nullptr || party->behaviour == PartyBehaviour::Answer) {
            const bool given = party != nullptr && party->answer_given;
            c.answer = after(sim_now(sim), given ? party->answer_ms : set.answer_ms);
            c.hangup_after = party != nullptr ? party->hangup_ms : 0;
        }
    }
    show(ch, line0_text(sim));
    commit(sim, ch);
}

void pickup(Sim* sim, ModelCall& c, const std::string& extension) {
    Model& m = model(sim);
    ModelCall* ringing = ringing_extension(m, extension);
    if (ringing == nullptr) {
        sim_note(sim, "PBX: nothing rings at " + extension + " to pick up");
        clear_call(c, hang_up_text(set_of(sim)));
        commit_state(sim);
        return;
    }
    const uint8_t key = c.key;
    drop(c);
    ringing->key = key;
    ringing->extension.clear();
    sim_note(sim, "PBX: " + call_words(*ringing) + " for " + extension + " picked up on key " +
                      std::to_string(key));
    m.active = key;
    ringing->state = CallState::Ringing;
    take_call(sim, *ringing);
}

void after_dial(Sim* sim, int call_id) {
    ModelCall* c = find_call(model(sim), call_id);
    if (c == nullptr || c->state != CallState::Dialling) {
        return;
    }
    Route r = route(sim, c->dialled);
    SetDescription& set = sim_set(sim);
    switch (r.kind) {
        case RouteKind::Incomplete:
            c->interdigit = after(sim_now(sim), set.interdigit_ms);
            return;
        case RouteKind::Call:
            c->interdigit.on = false;
            call_party(sim, *c, r.target);
            return;
        case RouteKind::Forward:
            c->interdigit.on = false;
            set.forward_status = r.code;
            set.forward_destination = make_label(r.argument);
            set.forward_type = 0;
            sim_note(sim, "PBX: forwarding " + std::to_string(r.code) + " to " + r.argument);
            service_done(sim, *c);
            return;
        case RouteKind::Cancel:
            c->interdigit.on = false;
            set.forward_status = 4;
            set.forward_destination = Label{};
            sim_note(sim, "PBX: forwarding cancelled");
            service_done(sim, *c);
            return;
        case RouteKind::Pickup:
            c->interdigit.on = false;
            pickup(sim, *c, r.argument);
            return;
    }
}

// ------------------------------------------------------------ remote events

bool remote_answer(Sim* sim, ModelCall& c) {
    Model& m = model(sim);
    if (!c.extension.empty()) {
        sim_note(sim, "PBX: extension " + c.extension + " answers " + call_words(c));
        drop(c);
        Change ch;
        commit(sim, ch);
        return true;
    }
    if (c.state != CallState::Ringback) {
        return false;
    }
    c.state = CallState::Connected;
    c.answered = true;
    c.answer.on = false;
    if (c.hangup_after > 0) {
        c.hangup = after(sim_now(sim), c.hangup_after);
    }
    sim_note(sim, "PBX: " + call_words(c) + " answers");
    Change ch;
    add_cci(sim, ch, c);
    if (c.key == m.active) {
        show(ch, party_line(set_of(sim), c));
    }
    commit(sim, ch);
    return true;
}

bool remote_busy(Sim* sim, ModelCall& c) {
    if (c.state != CallState::Ringback && c.state != CallState::Dialling) {
        return false;
    }
    sim_note(sim, "PBX: " + call_words(c) + " is busy");
    clear_call(c, hang_up_text(set_of(sim)));
    if (c.key == model(sim).active) {
        commit_state(sim);
    } else {
        Change ch;
        commit(sim, ch);
    }
    return true;
}

bool remote_hangup(Sim* sim, ModelCall& c) {
    Model& m = model(sim);
    const SetDescription& set = set_of(sim);
    sim_note(sim, "PBX: " + call_words(c) + " hangs up");
    Change ch;
    if (!c.extension.empty() || c.key == 0 || c.state == CallState::Ringing || c.state == CallState::Recall ||
        (c.state == CallState::Held && c.key != m.active)) {
        drop(c);
        if (m.active == 0) {
            show(ch, line0_text(sim));
        }
        commit(sim, ch);
        return true;
    }
    switch (c.state) {
        case CallState::Held:  // the held party of a double call on the active key
            drop(c);
            commit(sim, ch);
            return true;
        case CallState::Conference: {
            drop(c);
            ModelCall* rest = nullptr;
            int legs = 0;
            for (ModelCall& other : m.calls) {
                if (other.id != 0 && other.state == CallState::Conference) {
                    rest = &other;
                    ++legs;
                }
            }
            if (legs == 1) {
                rest->state = CallState::Connected;
                rest->join = 0;
                m.active = rest->key;
                ch.line1_first = true;
                show(ch, left_text(set, *rest));
            }
            commit(sim, ch);
            return true;
        }
        case CallState::Cleared:
            return false;
        default: {
            const bool other_waiting = std::any_of(m.calls.begin(), m.calls.end(), waiting);
            const bool cancel = c.enquiry && c.answered && other_waiting;
            clear_call(c, cancel ? cancel_text(set) : hang_up_text(set));
            if (c.key == m.active) {
                show(ch, c.cleared_text);
            }
            commit(sim, ch);
            return true;
        }
    }
}

// ------------------------------------------------------------ input

void act_function_key(Sim* sim, uint8_t code) {
    if (code >= kLetterFirst && code <= kLetterLast) {
        sim_note(sim, std::string("PBX: character '") + static_cast<char>(code) + "' ignored");
    } else if (code == kKeyRelease) {
        release(sim);
    } else if (code == kKeyOffHook) {
        offhook(sim);
    } else if (code > kSoftKeyBase && code <= kSoftKeyBase + kSoftKeys) {
        press_soft(sim, static_cast<uint8_t>(code - kSoftKeyBase));
    } else if (code >= 1 && code <= kSetKeyLast) {
        press_set_key(sim, code);
    } else {
        sim_note(sim, "set: function key " + std::to_string(code) + " ignored");
    }
}

bool provider_input_allowed(Sim* sim, const std::string& what) {
    if (model(sim).switches.ignore_provider_keys) {
        sim_note(sim, "set: " + what + " from the provider ignored (switch)");
        return false;
    }
    sim_note(sim, "set: " + what + " from the provider");
    return true;
}

std::string_view words_of_key(uint8_t code) {
    if (code == kKeyRelease) {
        return "release key";
    }
    if (code == kKeyOffHook) {
        return "off-hook key";
    }
    if (code > kSoftKeyBase && code <= kSoftKeyBase + kSoftKeys) {
        return "soft key";
    }
    return "key";
}

}  // namespace

// ------------------------------------------------------------ internal interface

void model_init(Model& m) {
    for (auto& line : m.lines) {
        line.fill(' ');
    }
}

void model_note_pbx_to_set(Model& m, std::span<const uint8_t> body) {
    if (body.empty()) {
        return;
    }
    const uint8_t type = body[0] & 0x7F;
    if (type == 0x26) {
        model_init(m);
        return;
    }
    if (type == 0x47 && body.size() >= 4) {
        m.icons[body[1]] = static_cast<uint16_t>(body[2] | body[3] << 8);
        return;
    }
    if ((type != 0x27 && type != 0x28) || body.size() < 3) {
        return;
    }
    const size_t line = type - 0x27u;
    const uint8_t operation = body[1] & 0x03;
    const auto chars = body.subspan(3);
    auto& shown = m.lines[line];
    size_t from = body[2];
    if (operation == 3) {
        return;
    }
    if (operation == 0) {
        shown.fill(' ');
    }
    if (operation == 2) {
        from = m.line_length[line];
    }
    for (size_t i = 0; i < chars.size() && from + i < kLineColumns; ++i) {
        shown[from + i] = static_cast<char>(chars[i]);
    }
    m.line_length[line] = static_cast<uint8_t>(std::min(kLineColumns, from + chars.size()));
}

void model_note_module(Model& m, const SetDescription& set, uint8_t address, std::span<const uint8_t> body) {
    const SetModule* module = module_at(set, address);
    if (module == nullptr || body.size() < 4 || (body[0] & 0x7F) != 0x47) {
        return;
    }
    const unsigned key = module->offset + unsigned{body[1]};
    if (key < m.icons.size()) {
        m.icons[key] = static_cast<uint16_t>(body[2] | body[3] << 8);
    }
}

void model_provider_key(Sim* sim, std::span<const uint8_t> body) {
    if (body.empty()) {
        sim_note(sim, "set: empty key message ignored");
        return;
    }
    const bool echo = model(sim).switches.echo_injected_keys;
    switch (body[0]) {
        case kMsgDigit:
            if (body.size() < 2) {
                break;
            }
            if (provider_input_allowed(sim, "digit " + std::to_string(body[1]))) {
                if (echo) {
                    sim_press_digit(sim, body[1]);
                }
                digit(sim, body[1]);
            }
            return;
        case kMsgKey:
            if (body.size() < 2) {
                break;
            }
            if (provider_input_allowed(sim,
                                       std::string(words_of_key(body[1])) + " " + std::to_string(body[1]))) {
                if (echo) {
                    sim_press_key(sim, body[1]);
                }
                act_function_key(sim, body[1]);
            }
            return;
        case kMsgModuleKey: {
            if (body.size() < 4 || body[2] != kMsgKey) {
                break;
            }
            const SetModule* module = module_at(set_of(sim), body[1]);
            const unsigned key = module != nullptr ? module->offset + unsigned{body[3]} : 0;
            if (module == nullptr || key > 255) {
                sim_note(sim, "set: key of an unknown module or beyond 255 ignored");
                return;
            }
            if (provider_input_allowed(sim, "module key " + std::to_string(key))) {
                if (echo) {
                    sim_press_module_key(sim, body[1] & 0x07, body[3]);
                }
                press_set_key(sim, static_cast<uint8_t>(key));
            }
            return;
        }
        case kMsgReply06:
            sim_note(sim, "set: reply to message 0x06 (logged only)");
            return;
        default:
            sim_note(sim, "set: key message not understood, ignored");
            return;
    }
    sim_note(sim, "set: key message too short, ignored");
}

void model_tick(Sim* sim) {
    Model& m = model(sim);
    const uint32_t now = sim_now(sim);
    for (ModelCall& c : m.calls) {
        if (c.id == 0) {
            continue;
        }
        const int id = c.id;
        if (due(c.answer, now)) {
            c.answer.on = false;
            remote_answer(sim, c);
        }
        if (c.id == id && due(c.hangup, now)) {
            c.hangup.on = false;
            remote_hangup(sim, c);
        }
        if (c.id == id && due(c.interdigit, now)) {
            c.interdigit.on = false;
            if (c.state == CallState::Dialling) {
                sim_note(sim, "PBX: " + c.dialled + " is not a number: " + call_words(c) + " ends");
                clear_call(c, hang_up_text(set_of(sim)));
                commit_state(sim);
            }
        }
        if (c.id == id && due(c.caller_display, now)) {
            c.caller_display.on = false;
            c.caller_shown = true;
            if (c.state == CallState::Ringing && m.active == 0) {
                commit_state(sim);
            }
        }
        if (c.id == id && due(c.recall, now)) {
            c.recall.on = false;
            if (c.state == CallState::Held && c.key != m.active) {
                sim_note(sim, "PBX: held " + call_words(c) + " recalls on key " + std::to_string(c.key));
                c.state = CallState::Recall;
                c.caller_shown = true;
                Change ch;
                if (m.active == 0) {
                    show(ch, line0_text(sim));
                }
                commit(sim, ch);
            }
        }
    }
    if (due(m.service_idle, now)) {
        m.service_idle.on = false;
        ModelCall* cur = current_on(m, m.active);
        if (cur != nullptr && cur->service) {
            sim_note(sim, "set: back to idle after the service code");
            drop_key(m, m.active);
            m.active = 0;
            commit_state(sim, true);
        }
    }
}

std::string model_line0(const Sim* sim) {
    return line0_text(const_cast<Sim*>(sim));
}

// ------------------------------------------------------------ public

const char* call_state_name(CallState state) {
    switch (state) {
        case CallState::DialTone:
            return "dial tone";
        case CallState::Dialling:
            return "dialling";
        case CallState::Ringback:
            return "ringback";
        case CallState::Connected:
            return "connected";
        case CallState::Held:
            return "held";
        case CallState::Ringing:
            return "ringing";
        case CallState::Recall:
            return "recall";
        case CallState::Conference:
            return "conference";
        case CallState::Cleared:
            return "cleared";
    }
    return "?";
}

const CallView* SetState::call(int id) const {
    for (const CallView& c : calls) {
        if (c.id == id) {
            return &c;
        }
    }
    return nullptr;
}

const CallView* SetState::on_key(uint8_t key) const {
    const CallView* any = nullptr;
    for (const CallView& c : calls) {
        if (c.key == key && key != 0) {
            if (c.state != CallState::Held && c.state != CallState::Recall) {
                return &c;
            }
            any = any != nullptr ? any : &c;
        }
    }
    return any;
}

int sim_call_in(Sim* sim, uint8_t key, std::string_view number, std::string_view name, uint8_t reason) {
    Model& m = model(sim);
    const SetDescription& set = set_of(sim);
    if (key == 0) {
        key = free_line_key(sim, true);
    }
    if (key == 0 || !line_like(key_kind(set, key)) || count_on(m, key) > 0 || number.empty()) {
        sim_note(sim, "PBX: call from " + std::string(number) + " refused: key " + std::to_string(key) +
                          " is not a free line, boss or secretary key");
        return -1;
    }
    ModelCall* c = new_call(sim, key, CallState::Ringing);
    if (c == nullptr) {
        return -1;
    }
    c->number = std::string(number.substr(0, kMaxEventText));
    c->name = name.empty() ? directory_name(set, number) : std::string(name.substr(0, kMaxEventText));
    c->external = number.starts_with("0");
    c->reason = reason;
    if (set.caller_display_ms == 0) {
        c->caller_shown = true;
    } else {
        c->caller_display = after(sim_now(sim), set.caller_display_ms);
    }
    sim_note(sim, "PBX: " + call_words(*c) + " rings on key " + std::to_string(key));
    Change ch;
    add_ici(sim, ch, *c, key_number(set, key), {});
    if (m.active == 0 && c->caller_shown) {
        show(ch, line0_text(sim));
    }
    const int id = c->id;
    commit(sim, ch);
    return id;
}

int sim_ring_extension(Sim* sim, std::string_view number, std::string_view caller) {
    Model& m = model(sim);
    const SetDescription& set = set_of(sim);
    if (number.empty() || caller.empty()) {
        return -1;
    }
    ModelCall* c = new_call(sim, 0, CallState::Ringing);
    if (c == nullptr) {
        return -1;
    }
    c->extension = std::string(number.substr(0, kMaxEventText));
    c->number = std::string(caller.substr(0, kMaxEventText));
    c->name = directory_name(set, caller);
    c->external = caller.starts_with("0");
    for (size_t i = 0; i < set.special_count; ++i) {
        const SetKey& key = set.specials[i];
        if (key.kind == kKindSuperv && label_number(key.label) == number && count_on(m, key.id) == 0) {
            c->key = key.id;
            break;
        }
    }
    sim_note(sim, "PBX: extension " + c->extension + " rings, " + call_words(*c) +
                      (c->key != 0 ? ", supervision key " + std::to_string(c->key) : std::string()));
    Change ch;
    if (c->key != 0) {
        add_ici(sim, ch, *c, c->extension, directory_name(set, number));
    }
    const int id = c->id;
    commit(sim, ch);
    return id;
}

bool sim_remote_answer(Sim* sim, int call) {
    ModelCall* c = find_call(model(sim), call);
    return c != nullptr && remote_answer(sim, *c);
}

bool sim_remote_hangup(Sim* sim, int call) {
    ModelCall* c = find_call(model(sim), call);
    return c != nullptr && remote_hangup(sim, *c);
}

bool sim_remote_busy(Sim* sim, int call) {
    ModelCall* c = find_call(model(sim), call);
    return c != nullptr && remote_busy(sim, *c);
}

void sim_user_offhook(Sim* sim) {
    sim_note(sim, "user: lifts the handset");
    const std::array<uint8_t, 1> body{kMsgOffHook};
    sim_set_to_pbx(sim, body);
    offhook(sim);
}

void sim_user_onhook(Sim* sim) {
    sim_note(sim, "user: hangs up");
    sim_press_key(sim, kKeyRelease);
    release(sim);
}

void sim_user_key(Sim* sim, uint8_t key) {
    const SetDescription& set = set_of(sim);
    sim_note(sim, "user: presses key " + std::to_string(key));
    const SetModule* module = key > kSetKeyLast ? module_of(set, key) : nullptr;
    if (module != nullptr && key_kind(set, key) != KeyKind::None) {
        sim_press_module_key(sim, module->address, static_cast<uint8_t>(key - module->offset));
        press_set_key(sim, key);
        return;
    }
    sim_press_key(sim, key);
    act_function_key(sim, key);
}

void sim_user_softkey(Sim* sim, uint8_t position) {
    sim_note(sim, "user: presses soft key " + std::to_string(position));
    if (position >= 1 && position <= kSoftKeys) {
        sim_press_key(sim, static_cast<uint8_t>(kSoftKeyBase + position));
    }
    press_soft(sim, position);
}

void sim_user_digit(Sim* sim, uint8_t value) {
    sim_note(sim, "user: dials " + (value < kDigitChars.size() ? std::string(1, kDigitChars[value])
                                                               : std::to_string(value)));
    sim_press_digit(sim, value);
    digit(sim, value);
}

bool sim_recall(Sim* sim, uint8_t key) {
    Model& m = model(sim);
    ModelCall* c = held_on(m, key);
    if (c == nullptr || key == m.active) {
        return false;
    }
    sim_note(sim, "PBX: held " + call_words(*c) + " recalls on key " + std::to_string(key));
    c->state = CallState::Recall;
    c->recall.on = false;
    c->caller_shown = true;
    Change ch;
    if (m.active == 0) {
        show(ch, line0_text(sim));
    }
    commit(sim, ch);
    return true;
}

bool sim_move_call(Sim* sim, uint8_t from_key, uint8_t to_key, bool via_incom) {
    Model& m = model(sim);
    const SetDescription& set = set_of(sim);
    ModelCall* c = current_on(m, from_key);
    if (c == nullptr) {
        c = call_on(m, from_key, [](const ModelCall&) { return true; });
    }
    if (c == nullptr || count_on(m, from_key) != 1 || !line_like(key_kind(set, to_key)) ||
        count_on(m, to_key) != 0 || from_key == to_key) {
        return false;
    }
    sim_note(sim, "PBX: " + call_words(*c) + " moves from key " + std::to_string(from_key) + " to key " +
                      std::to_string(to_key) + (via_incom ? ", ringing" : ""));
    if (!set.events_off) {
        const std::array<uint8_t, 1> payload{from_key};
        sim_send_tqla(sim, kTqlaEventTransferedCall, payload);
    }
    const bool was_active = m.active == from_key;
    c->key = to_key;
    m.reserved[to_key] = false;
    if (via_incom) {
        c->state = CallState::Ringing;
        c->caller_shown = true;
        m.active = was_active ? 0 : m.active;
    } else if (was_active || m.active == 0) {
        c->state = CallState::Connected;
        m.active = to_key;
    } else {
        c->state = CallState::Held;
    }
    const uint16_t old_word = wanted_icon(sim, from_key, key_kind(set, from_key));
    const uint16_t new_word = wanted_icon(sim, to_key, key_kind(set, to_key));
    if (m.switches.icon_order_new_first) {
        show_icon(sim, to_key, new_word);
        show_icon(sim, from_key, old_word);
    } else {
        show_icon(sim, from_key, old_word);
        show_icon(sim, to_key, new_word);
    }
    commit_state(sim);
    return true;
}

void sim_reserve(Sim* sim, uint8_t key) {
    Model& m = model(sim);
    if (count_on(m, key) != 0) {
        sim_note(sim, "PBX: key " + std::to_string(key) + " carries a call, not reserved");
        return;
    }
    sim_note(sim, "PBX: key " + std::to_string(key) + " reserved for a call to come");
    m.reserved[key] = true;
    Change ch;
    commit(sim, ch);
}

SetState sim_set_state(const Sim* sim) {
    const Model& m = sim_model(sim);
    const SetDescription& set = sim_set_const(sim);
    SetState state;
    state.icons = m.icons;
    state.lines = {shown_line(m, 0), shown_line(m, 1)};
    state.active_key = m.active;
    state.dtmf = m.dtmf;
    state.forward_status = set.forward_status;
    state.forward_destination = text(set.forward_destination);
    for (const ModelCall& c : m.calls) {
        if (c.id != 0) {
            state.calls.push_back(
                CallView{c.id, c.key, c.state, c.number, c.name, c.dialled, c.extension, c.enquiry});
        }
    }
    return state;
}

SetSwitches& sim_switches(Sim* sim) {
    return sim_model(sim).switches;
}

}  // namespace zq::sim
