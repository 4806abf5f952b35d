// The set description file: one statement per line, see sim_set.h.
#include <algorithm>
#include <fstream>
#include <sstream>

#include "zq/sim_set.h"

namespace zq::sim {

Label make_label(std::string_view text) {
    Label label;
    label.size = static_cast<uint8_t>(std::min(text.size(), kMaxLabel));
    std::copy_n(text.begin(), label.size, label.bytes.begin());
    return label;
}

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// What is left of the line being parsed.
struct Cursor {
    std::string_view rest;
    std::string error;
};

void skip_blanks(Cursor& c) {
    while (!c.rest.empty() && is_blank(c.rest.front())) {
        c.rest.remove_prefix(1);
    }
}

std::string_view next_word(Cursor& c) {
    skip_blanks(c);
    size_t n = 0;
    while (n < c.rest.size() && !is_blank(c.rest[n])) {
        ++n;
    }
    const std::string_view word = c.rest.substr(0, n);
    c.rest.remove_prefix(n);
    return word;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool parse_number(std::string_view word, unsigned max, uint8_t* out) {
    unsigned base = 10;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        base = 16;
        word.remove_prefix(2);
    }
    if (word.empty() || word.size() > 4) {
        return false;
    }
    unsigned value = 0;
    for (const char ch : word) {
        const int digit = hex_digit(ch);
        if (digit < 0 || static_cast<unsigned>(digit) >= base) {
            return false;
        }
        value = value * base + static_cast<unsigned>(digit);
    }
    if (value > max) {
        return false;
    }
    *out = static_cast<uint8_t>(value);
    return true;
}

bool number(Cursor& c, const char* what, unsigned min, unsigned max, uint8_t* out) {
    const std::string_view word = next_word(c);
    if (!parse_number(word, max, out) || *out < min) {
        c.error = std::string(what) + " must be a number from " + std::to_string(min) + " to " +
                  std::to_string(max) + ", not '" + std::string(word) + "'";
        return false;
    }
    return true;
}

bool append_byte(Cursor& c, Label* label, uint8_t byte) {
    if (label->size >= kMaxLabel) {
        c.error = "text longer than " + std::to_string(kMaxLabel) + " bytes";
        return false;
    }
    label->bytes[label->size++] = byte;
    return true;
}

bool at_end(Cursor& c) {
    skip_blanks(c);
    if (!c.rest.empty()) {
        c.error = "unexpected '" + std::string(c.rest) + "'";
        return false;
    }
    return true;
}

// "..." with \" \\ \xHH; the cursor ends after the closing quote.
bool quoted_text(Cursor& c, Label* label) {
    std::string_view s = c.rest.substr(1);
    for (;;) {
        if (s.empty()) {
            c.error = "missing closing quote";
            return false;
        }
        const char ch = s.front();
        s.remove_prefix(1);
        if (ch == '"') {
            break;
        }
        uint8_t byte = static_cast<uint8_t>(ch);
        if (ch == '\\') {
            if (!s.empty() && (s.front() == '"' || s.front() == '\\')) {
                byte = static_cast<uint8_t>(s.front());
                s.remove_prefix(1);
            } else if (s.size() >= 3 && s[0] == 'x' && hex_digit(s[1]) >= 0 && hex_digit(s[2]) >= 0) {
                byte = static_cast<uint8_t>(hex_digit(s[1]) * 16 + hex_digit(s[2]));
                s.remove_prefix(3);
            } else {
                c.error = "unknown escape in quoted text (use \\\" \\\\ or \\xHH)";
                return false;
            }
        }
        if (!append_byte(c, label, byte)) {
            return false;
        }
    }
    c.rest = s;
    return true;
}

bool rest_text(Cursor& c, Label* label) {
    *label = Label{};
    skip_blanks(c);
    if (!c.rest.empty() && c.rest.front() == '"') {
        return quoted_text(c, label) && at_end(c);
    }
    std::string_view s = c.rest;
    while (!s.empty() && is_blank(s.back())) {
        s.remove_suffix(1);
    }
    c.rest = {};
    for (const char ch : s) {
        if (!append_byte(c, label, static_cast<uint8_t>(ch))) {
            return false;
        }
    }
    return true;
}

// A single word, or a quoted string.
bool word_text(Cursor& c, Label* label) {
    *label = Label{};
    skip_blanks(c);
    if (!c.rest.empty() && c.rest.front() == '"') {
        return quoted_text(c, label);
    }
    const std::string_view word = next_word(c);
    for (const char ch : word) {
        if (!append_byte(c, label, static_cast<uint8_t>(ch))) {
            return false;
        }
    }
    return true;
}

template <typename Entry, size_t N>
Entry* add_entry(Cursor& c, std::array<Entry, N>& list, uint8_t& count, const char* what) {
    if (count >= N) {
        c.error = std::string("more than ") + std::to_string(N) + " " + what;
        return nullptr;
    }
    list[count] = Entry{};
    return &list[count++];
}

bool text_entry(Cursor& c, std::array<SetText, kMaxSetTexts>& list, uint8_t& count, const char* what) {
    uint8_t id = 0;
    if (!number(c, "the identifier", 0, 255, &id)) {
        return false;
    }
    SetText* entry = add_entry(c, list, count, what);
    if (entry == nullptr) {
        return false;
    }
    entry->id = id;
    return rest_text(c, &entry->text);
}

bool statement_key(Cursor& c, SetDescription& set) {
    uint8_t id = 0;
    if (!number(c, "the key number", 0, 255, &id)) {
        return false;
    }
    SetKey* key = add_entry(c, set.keys, set.key_count, "multiline keys");
    if (key == nullptr) {
        return false;
    }
    key->id = id;
    return rest_text(c, &key->label);
}

bool statement_special(Cursor& c, SetDescription& set) {
    uint8_t id = 0;
    uint8_t kind = 0;
    if (!number(c, "the key number", 0, 255, &id) ||
        !number(c, "the kind", kKindSuperv, kKindSecretaryOverflow, &kind)) {
        return false;
    }
    SetKey* key = add_entry(c, set.specials, set.special_count, "special keys");
    if (key == nullptr) {
        return false;
    }
    key->id = id;
    key->kind = kind;
    return rest_text(c, &key->label);
}

bool statement_forward(Cursor& c, SetDescription& set) {
    if (!number(c, "the forwarding status", 0, 4, &set.forward_status)) {
        return false;
    }
    set.forward_destination = Label{};
    set.forward_type = 0;
    skip_blanks(c);
    if (c.rest.empty()) {
        return true;
    }
    if (!word_text(c, &set.forward_destination)) {
        return false;
    }
    skip_blanks(c);
    if (!c.rest.empty() && !number(c, "the destination type", 0, 255, &set.forward_type)) {
        return false;
    }
    return at_end(c);
}

bool statement_aom(Cursor& c, SetDescription& set) {
    uint8_t address = 0;
    uint8_t aom20 = 0;
    uint8_t offset = 0;
    if (!number(c, "the module address", 0, 7, &address) || !number(c, "the aom20 flag", 0, 1, &aom20) ||
        !number(c, "the key offset", 0, 255, &offset) || !at_end(c)) {
        return false;
    }
    // The module list ends at a zero byte: address 0 without the flag would
    // end it instead of describing a module.
    if (address == 0 && aom20 == 0) {
        c.error = "a module at address 0 needs the aom20 flag (its entry would end the module list)";
        return false;
    }
    SetModule* module = add_entry(c, set.modules, set.module_count, "add-on modules");
    if (module == nullptr) {
        return false;
    }
    *module = SetModule{address, aom20 != 0, offset};
    return true;
}

struct ListName {
    std::string_view name;
    SetList list;
};

constexpr std::array kListNames{
    ListName{"key", SetList::Key},       ListName{"special", SetList::Special},
    ListName{"string", SetList::String}, ListName{"softkey", SetList::SoftKey},
    ListName{"code", SetList::Code},
};

bool statement_per_answer(Cursor& c, SetDescription& set) {
    Cursor probe = c;
    const std::string_view first = next_word(probe);
    for (const ListName& entry : kListNames) {
        if (first == entry.name) {
            c = probe;
            return number(c, "the entries per answer", 0, 255,
                          &set.per_answer[static_cast<size_t>(entry.list)]) &&
                   at_end(c);
        }
    }
    uint8_t n = 0;
    if (!number(c, "the entries per answer", 0, 255, &n) || !at_end(c)) {
        return false;
    }
    set.per_answer.fill(n);
    return true;
}

bool scalar(Cursor& c, const char* what, unsigned min, unsigned max, uint8_t* out) {
    return number(c, what, min, max, out) && at_end(c);
}

// Milliseconds, decimal.
bool milliseconds(Cursor& c, const char* what, uint32_t* out) {
    const std::string_view word = next_word(c);
    uint32_t value = 0;
    bool ok = !word.empty() && word.size() <= 7;
    for (const char ch : word) {
        ok = ok && ch >= '0' && ch <= '9';
        value = ok ? value * 10 + static_cast<uint32_t>(ch - '0') : 0;
    }
    if (!ok || value > kMaxTimingMs) {
        c.error = std::string(what) + " must be milliseconds from 0 to " + std::to_string(kMaxTimingMs) +
                  ", not '" + std::string(word) + "'";
        return false;
    }
    *out = value;
    return true;
}

// One word of a closed list; its index in `choices`.
template <size_t N>
bool choice(Cursor& c, const char* what, const std::array<std::string_view, N>& choices, size_t* out) {
    const std::string_view word = next_word(c);
    for (size_t i = 0; i < N; ++i) {
        if (word == choices[i]) {
            *out = i;
            return at_end(c);
        }
    }
    c.error = std::string(what) + " must be";
    for (size_t i = 0; i < N; ++i) {
        c.error += (i == 0 ? " '" : i + 1 == N ? " or '" : ", '") + std::string(choices[i]) + "'";
    }
    c.error += ", not '" + std::string(word) + "'";
    return false;
}

bool flag(Cursor& c, const char* what, bool* out) {
    uint8_t value = 0;
    if (!scalar(c, what, 0, 1, &value)) {
        return false;
    }
    *out = value != 0;
    return true;
}

bool is_behaviour(std::string_view word) {
    return word == "answer" || word == "busy" || word == "noanswer" || word == "forward";
}

bool nonempty_word(Cursor& c, const char* what, Label* label) {
    if (!word_text(c, label)) {
        return false;
    }
    if (label->size == 0) {
        c.error = std::string(what) + " is missing";
        return false;
    }
    return true;
}

// party NUMBER [NAME] [answer MS [hangup MS] | busy | noanswer | forward NUMBER]
bool statement_party(Cursor& c, SetDescription& set) {
    SetParty party;
    if (!nonempty_word(c, "the number", &party.number)) {
        return false;
    }
    skip_blanks(c);
    Cursor probe = c;
    if (!c.rest.empty() && (c.rest.front() == '"' || !is_behaviour(next_word(probe)))) {
        if (!word_text(c, &party.name)) {
            return false;
        }
    }
    skip_blanks(c);
    if (!c.rest.empty()) {
        const std::string_view behaviour = next_word(c);
        if (behaviour == "answer") {
            party.answer_given = true;
            if (!milliseconds(c, "the answer delay", &party.answer_ms)) {
                return false;
            }
            skip_blanks(c);
            if (!c.rest.empty()) {
                if (next_word(c) != "hangup") {
                    c.error = "only 'hangup MS' may follow 'answer MS'";
                    return false;
                }
                if (!milliseconds(c, "the hang-up delay", &party.hangup_ms)) {
                    return false;
                }
            }
        } else if (behaviour == "busy") {
            party.behaviour = PartyBehaviour::Busy;
        } else if (behaviour == "noanswer") {
            party.behaviour = PartyBehaviour::NoAnswer;
        } else if (behaviour == "forward") {
            party.behaviour = PartyBehaviour::Forward;
            if (!nonempty_word(c, "the forwarding number", &party.forward_to)) {
                return false;
            }
        } else {
            c.error = "unknown behaviour '" + std::string(behaviour) +
                      "' (answer MS [hangup MS], busy, noanswer or forward NUMBER)";
            return false;
        }
    }
    if (!at_end(c)) {
        return false;
    }
    SetParty* entry = add_entry(c, set.parties, set.party_count, "parties");
    if (entry == nullptr) {
        return false;
    }
    *entry = party;
    return true;
}

bool statement_extension(Cursor& c, SetDescription& set) {
    Label number;
    if (!nonempty_word(c, "the number", &number)) {
        return false;
    }
    SetExtension* entry = add_entry(c, set.extensions, set.extension_count, "extensions");
    if (entry == nullptr) {
        return false;
    }
    entry->number = number;
    return rest_text(c, &entry->name);
}

bool statement_timing(Cursor& c, SetDescription& set) {
    static constexpr std::array<std::string_view, 4> kTimings{"answer", "caller-display", "recall",
                                                              "interdigit"};
    const std::array<uint32_t*, 4> fields{&set.answer_ms, &set.caller_display_ms, &set.recall_ms,
                                          &set.interdigit_ms};
    Cursor probe = c;
    const std::string_view which = next_word(probe);
    for (size_t i = 0; i < kTimings.size(); ++i) {
        if (which == kTimings[i]) {
            c = probe;
            return milliseconds(c, "the time", fields[i]) && at_end(c);
        }
    }
    c.error = "timing must be 'answer', 'caller-display', 'recall' or 'interdigit', not '" +
              std::string(which) + "'";
    return false;
}

bool statement(Cursor& c, std::string_view keyword, SetDescription& set) {
    if (keyword == "mcdu") {
        return rest_text(c, &set.mcdu);
    }
    if (keyword == "language") {
        return scalar(c, "the language", 0, 255, &set.language);
    }
    if (keyword == "tqla") {
        return scalar(c, "the TQLA version", 1, 3, &set.tqla_version);
    }
    if (keyword == "devtype") {
        return scalar(c, "the device type", 0, 255, &set.device_type);
    }
    if (keyword == "enquiry") {
        return scalar(c, "the enquiry-call mode", 0, 255, &set.enquiry_mode);
    }
    if (keyword == "forward") {
        return statement_forward(c, set);
    }
    if (keyword == "aom") {
        return statement_aom(c, set);
    }
    if (keyword == "key") {
        return statement_key(c, set);
    }
    if (keyword == "special") {
        return statement_special(c, set);
    }
    if (keyword == "string") {
        return text_entry(c, set.strings, set.string_count, "display strings");
    }
    if (keyword == "softkey") {
        return text_entry(c, set.softkeys, set.softkey_count, "soft-key labels");
    }
    if (keyword == "code") {
        return text_entry(c, set.codes, set.code_count, "service codes");
    }
    if (keyword == "per-answer") {
        return statement_per_answer(c, set);
    }
    if (keyword == "party") {
        return statement_party(c, set);
    }
    if (keyword == "extension") {
        return statement_extension(c, set);
    }
    if (keyword == "timing") {
        return statement_timing(c, set);
    }
    size_t index = 0;
    if (keyword == "events") {
        const bool ok = choice(c, "events", std::array<std::string_view, 2>{"auto", "off"}, &index);
        set.events_off = index == 1;
        return ok;
    }
    if (keyword == "event-order") {
        const bool ok =
            choice(c, "the event order", std::array<std::string_view, 2>{"first", "after-display"}, &index);
        set.events_after_display = index == 1;
        return ok;
    }
    if (keyword == "dial-display") {
        const bool ok =
            choice(c, "the dial display", std::array<std::string_view, 2>{"rewrite", "append"}, &index);
        set.dial_append = index == 1;
        return ok;
    }
    if (keyword == "release-via-reserved") {
        return flag(c, "release-via-reserved", &set.release_via_reserved);
    }
    if (keyword == "ext-prefix-display") {
        return flag(c, "ext-prefix-display", &set.ext_prefix_display);
    }
    c.error = "unknown statement '" + std::string(keyword) + "'";
    return false;
}

}  // namespace

bool parse_set_description(std::string_view text, SetDescription* out, ParseError* error) {
    SetDescription set;
    int line_number = 0;
    while (!text.empty()) {
        ++line_number;
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        Cursor c{line, {}};
        const std::string_view keyword = next_word(c);
        if (keyword.empty() || keyword.front() == '#') {
            continue;
        }
        if (!statement(c, keyword, set)) {
            if (error != nullptr) {
                *error = ParseError{line_number, c.error};
            }
            return false;
        }
    }
    *out = set;
    return true;
}

bool load_set_description(const std::string& path, SetDescription* out, ParseError* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (error != nullptr) {
            *error = ParseError{0, "cannot read " + path};
        }
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return parse_set_description(text.str(), out, error);
}

SetDescription default_set() {
    SetDescription set;
    ParseError ignored;
    parse_set_description(default_set_text(), &set, &ignored);
    return set;
}

SetDescription calls_set() {
    SetDescription set;
    ParseError ignored;
    parse_set_description(calls_set_text(), &set, &ignored);
    return set;
}

}  // namespace zq::sim
