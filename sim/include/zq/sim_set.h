// The simulated set as the PBX describes it in the configuration download:
// directory number, language, TQLA version, device type, forwarding,
// add-on modules, multiline and special keys, display strings, soft-key
// labels and service codes; and what the PBX knows beyond the download:
// the directory of parties, the extensions that can ring and the
// behaviour of the simulated PBX. Read from a small text file; see
// sim/README.md and the comment of parse_set_description().
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zq::sim {

inline constexpr size_t kMaxLabel = 64;
inline constexpr size_t kMaxSetKeys = 88;
inline constexpr size_t kMaxSetTexts = 16;
inline constexpr size_t kMaxSetModules = 7;
inline constexpr size_t kMaxParties = 32;
inline constexpr size_t kMaxExtensions = 16;
inline constexpr uint32_t kMaxTimingMs = 3600000;

// Special key kinds.
inline constexpr uint8_t kKindSuperv = 7;
inline constexpr uint8_t kKindBoss = 8;
inline constexpr uint8_t kKindSecretary = 9;
inline constexpr uint8_t kKindSecretaryOverflow = 10;

// Bytes in the set's character code; not NUL-terminated.
struct Label {
    std::array<uint8_t, kMaxLabel> bytes{};
    uint8_t size = 0;

    std::string_view text() const { return {reinterpret_cast<const char*>(bytes.data()), size}; }
};

// Cut to kMaxLabel bytes.
Label make_label(std::string_view text);

struct SetKey {
    uint8_t id = 0;
    uint8_t kind = 0;  // special keys only
    Label label;
};

struct SetText {
    uint8_t id = 0;
    Label text;
};

struct SetModule {
    uint8_t address = 0;  // 0..7
    bool aom20 = false;
    uint8_t offset = 0;  // added to the module's key numbers
};

// What a party of the directory does when called.
enum class PartyBehaviour : uint8_t { Answer, Busy, NoAnswer, Forward };

struct SetParty {
    Label number;  // internal number, or national number ("0612...") of an external party
    Label name;    // may be empty
    PartyBehaviour behaviour = PartyBehaviour::Answer;
    bool answer_given = false;  // else the set's answer_ms
    uint32_t answer_ms = 0;
    uint32_t hangup_ms = 0;  // after the answer; 0: never
    Label forward_to;
};

// Another extension that can ring (a pickup target).
struct SetExtension {
    Label number;
    Label name;
};

// The lists whose INFO answers may be split.
enum class SetList : uint8_t { Key, Special, String, SoftKey, Code };
inline constexpr size_t kSetListCount = 5;

struct SetDescription {
    Label mcdu = make_label("2001");
    uint8_t language = 2;
    uint8_t tqla_version = 3;
    uint8_t device_type = 3;
    uint8_t enquiry_mode = 0;
    uint8_t forward_status = 4;  // 0..3 forwarded, 4 not forwarded
    uint8_t forward_type = 0;
    Label forward_destination;

    std::array<SetModule, kMaxSetModules> modules{};
    uint8_t module_count = 0;

    std::array<SetKey, kMaxSetKeys> keys{};  // multiline keys
    uint8_t key_count = 0;
    std::array<SetKey, kMaxSetKeys> specials{};  // kinds 7..10
    uint8_t special_count = 0;

    std::array<SetText, kMaxSetTexts> strings{};  // display strings, ids 0..2
    uint8_t string_count = 0;
    std::array<SetText, kMaxSetTexts> softkeys{};  // soft-key labels, ids 0..6
    uint8_t softkey_count = 0;
    std::array<SetText, kMaxSetTexts> codes{};  // service codes, ids 0..6
    uint8_t code_count = 0;

    // Entries per INFO answer, by SetList; 0 puts all that fit in one.
    std::array<uint8_t, kSetListCount> per_answer{};

    // The PBX behind the set (not downloaded).
    std::array<SetParty, kMaxParties> parties{};
    uint8_t party_count = 0;
    std::array<SetExtension, kMaxExtensions> extensions{};
    uint8_t extension_count = 0;
    uint32_t answer_ms = 2000;          // default answer delay of a party
    uint32_t caller_display_ms = 0;     // ringing icon to the caller's display
    uint32_t recall_ms = 0;             // a held call recalls after this; 0: never
    uint32_t interdigit_ms = 3000;      // incomplete digits end in "Hang up"
    bool events_off = false;            // no TQLA call events at all
    bool events_after_display = false;  // an event follows the displays of its change
    bool dial_append = false;           // digits appended (operation 2) instead of rewritten
    bool release_via_reserved = false;  // a released key shows RESERVED before IDLE
    bool ext_prefix_display = false;    // an incoming external number shown with the prefix
};

struct ParseError {
    int line = 0;  // 1-based; 0 when the file itself could not be read
    std::string message;
};

// One statement per line; blank lines and lines starting with '#' are
// skipped; numbers are decimal or 0x hexadecimal, 0..255.
//
//   mcdu TEXT                  directory number
//   language N                 PBX language code (1 French, 2 English, ...)
//   tqla N                     TQLA version 1..3: the version byte of every answer
//   devtype N                  device type (3 for the multiline set family)
//   enquiry N                  enquiry-call mode
//   forward STATUS [DEST [TYPE]]   0..3 forwarded to DEST, 4 not forwarded
//   aom ADDRESS AOM20 OFFSET   add-on module: address 0..7, 20-key flag 0/1,
//                              key offset; address 0 needs AOM20 1
//   key ID LABEL               multiline key
//   special ID KIND LABEL      special key, KIND 7 supervision, 8 boss,
//                              9 secretary, 10 secretary overflow
//   string ID TEXT             display string
//   softkey ID TEXT            soft-key label
//   code ID TEXT               service code
//   per-answer [LIST] N        entries per INFO answer, for all lists or for
//                              LIST = key, special, string, softkey or code
//
// The PBX behind the set (milliseconds MS from 0 to 3600000):
//   party NUMBER [NAME] [answer MS [hangup MS] | busy | noanswer | forward NUMBER]
//                              a party of the directory; a bare word that is a
//                              behaviour keyword is the behaviour, not the name
//   extension NUMBER [NAME]    another extension that can ring
//   timing answer|caller-display|recall|interdigit MS
//   events auto|off            TQLA call events (with tqla 2 and 3) or none
//   event-order first|after-display
//   dial-display rewrite|append
//   release-via-reserved 0|1
//   ext-prefix-display 0|1
//
// TEXT and LABEL are the rest of the line without its surrounding blanks,
// or a quoted string "..." in which \" \\ and \xHH may be used. A later
// scalar statement replaces an earlier one; list statements append.
// Parsing starts from an empty set (no keys, texts or modules; the scalar
// defaults of SetDescription) and stops at the first error.
bool parse_set_description(std::string_view text, SetDescription* out, ParseError* error);
bool load_set_description(const std::string& path, SetDescription* out, ParseError* error);

// The built-in sets: sim/sets/default.set (nested soft-key labels) and
// sim/sets/calls.set (distinct labels, a directory).
std::string_view default_set_text();
SetDescription default_set();
std::string_view calls_set_text();
SetDescription calls_set();

}  // namespace zq::sim
