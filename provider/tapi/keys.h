// Key presses for the set: the messages a user would send by pressing the
// set's keys, soft keys and add-on module keys and by dialling, one frame of
// type 0x26 each or several in one super frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace zq {

// Key codes of the function-key message.
inline constexpr uint8_t KEY_CODE_SOFTKEY_BASE = 0x1C;  // + position 1..5
inline constexpr uint8_t KEY_CODE_RELEASE = 0x29;
inline constexpr uint8_t KEY_CODE_OFFHOOK = 0x30;

// Message classes inside a set key message (the byte after the type).
inline constexpr uint8_t KEYMSG_DIGIT = 0x03;
inline constexpr uint8_t KEYMSG_MODULE = 0x04;
inline constexpr uint8_t KEYMSG_FUNCTION = 0x20;

inline constexpr int SET_KEY_LAST = 28;            // higher key numbers are on add-on modules
inline constexpr uint8_t AOM_ADDRESS_BITS = 0x18;  // or-ed into a module's subdevice address
inline constexpr size_t DIAL_MAX = 80;             // characters dialled from one string
// A super frame of ours, checksum included, never grows past this.
inline constexpr size_t SUPER_MSG_LIMIT = 250;

// One key message without its checksum: [L][0x26][class][...], 4 bytes, or
// 6 for a module key; size 0 when there is nothing to send.
struct KeyMessage {
    std::array<uint8_t, 6> bytes{};
    uint8_t size = 0;
    int aom = -1;  // the module chosen for a module key
};

// The digit message for '0'..'9', '*' and '#'; empty for anything else.
KeyMessage BuildDialMessage(char ch);

// The function-key message for key code k, queued and sent.
void SendFunctionKey(uint8_t code);
// Presses the soft key at position 1..5; returns it, or 0 (nothing sent)
// for another position.
int PressSoftKey(int position);
// Presses key 1..88 (above 28 on the add-on module it lies on). false,
// nothing sent, for a key out of range, a key on no configured module, or a
// full queue.
bool SendZQNondigitKey(int key);

// Removes from a NUL-terminated string, in place, every character that is
// neither dialled as a digit nor as a letter; the remaining length.
size_t CleanDialString(std::span<char> text);

// One step of a sequence of key presses and digits.
enum class KeyItemKind : uint8_t { Key, SoftKey, Function, Dial };

struct KeyItem {
    KeyItemKind kind = KeyItemKind::Key;
    int value = 0;          // key number, soft-key position or key code
    std::string_view text;  // Dial: digits, '*', '#' and letters; others skipped
};

constexpr KeyItem KeyPress(int key) {
    return {KeyItemKind::Key, key, {}};
}
constexpr KeyItem SoftKeyPress(int position) {
    return {KeyItemKind::SoftKey, position, {}};
}
constexpr KeyItem FunctionPress(uint8_t code) {
    return {KeyItemKind::Function, code, {}};
}
constexpr KeyItem DialDigits(std::string_view text) {
    return {KeyItemKind::Dial, 0, text};
}

// Queues the whole sequence, in order: one message per key press and
// dialled character, or, with super messages, as few super frames as fit
// (each at most SUPER_MSG_LIMIT bytes); a sequence of one message is sent
// as it is. Nothing is sent, and false is
// returned, when an item names no valid key, soft key or code, when the
// link is stopped, or when the transmit queue cannot take every frame of
// the sequence: a request never goes out in part. An empty sequence is
// accepted.
bool SendKeySequence(std::span<const KeyItem> items, bool super);
// The same, with super messages as the adapter allows them.
bool SendKeySequence(std::span<const KeyItem> items);

}  // namespace zq
