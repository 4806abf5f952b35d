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

}  // namespace zq::sim
