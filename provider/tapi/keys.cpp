#include "tapi/keys.h"

#include <algorithm>
#include <cctype>

#include "callmodel/tables.h"
#include "core/trace.h"
#include "link/fifo.h"
#include "link/frames.h"
#include "link/serial_link.h"
#include "link/setconfig.h"
#include "link/supervision.h"

namespace zq {

namespace {

constexpr uint8_t kDigitStar = 0x0A;
constexpr uint8_t kDigitHash = 0x0B;
constexpr size_t kSuperMsgStart = 2;  // bytes 0 and 1: length and type

KeyMessage ShortMessage(uint8_t msgClass, uint8_t value) {
    KeyMessage m;
    m.bytes = {0x03, FT_KEY, msgClass, value, 0, 0};
    m.size = 4;
    return m;
}

KeyMessage FunctionKeyMessage(uint8_t code) {
    return ShortMessage(KEYMSG_FUNCTION, code);
}

// A digit, '*' or '#' as a digit message, a letter as a character message.
KeyMessage DialMessage(char ch) {
    const KeyMessage digit = BuildDialMessage(ch);
    if (digit.size != 0)
        return digit;
    if (std::isalpha(static_cast<unsigned char>(ch)) != 0)
        return FunctionKeyMessage(static_cast<uint8_t>(ch));
    return {};
}

// The module a key above the set's own keys is sent to; the entry is
// checked by the caller.
size_t ChooseAom(int key) {
    const auto modules = std::count_if(g_set.AomTable.begin(), g_set.AomTable.end(),
                                       [](const AomEntry& a) { return a.present; });
    if (modules == 1)
        return 0;
    const auto order = [](size_t i) {
        const int m = g_dl.AomOrder[i];
        return m >= 0 && m < MAX_AOM ? static_cast<size_t>(m) : size_t{0};
    };
    const auto above = [key](size_t m) { return key > int{g_set.AomTable[m].offset}; };
    if (above(order(2)))
        return order(2);
    if (above(order(1)))
        return order(1);
    return order(0);
}

// Key 1..28 as a function-key message, a higher one as the key of the
// module it lies on; empty for a key out of range or on no module.
KeyMessage NondigitKeyMessage(int key) {
    if (key < 1 || key > MAX_TOUCH)
        return {};
    if (key <= SET_KEY_LAST)
        return FunctionKeyMessage(static_cast<uint8_t>(key));
    const size_t aom = ChooseAom(key);
    const AomEntry& entry = g_set.AomTable[aom];
    if (!entry.present || int{entry.offset} >= key)
        return {};
    KeyMessage m;
    m.bytes = {0x05,
               FT_KEY,
               KEYMSG_MODULE,
               static_cast<uint8_t>(entry.address | AOM_ADDRESS_BITS),
               KEYMSG_FUNCTION,
               static_cast<uint8_t>(key - int{entry.offset})};
    m.size = 6;
    m.aom = static_cast<int>(aom);
    return m;
}

KeyMessage SoftKeyMessage(int position) {
    if (position < 1 || position > 5)
        return {};
    return FunctionKeyMessage(static_cast<uint8_t>(KEY_CODE_SOFTKEY_BASE + position));
}

void TraceAom(bool super, int key, const KeyMessage& m) {
    if (m.aom < 0)
        return;
    const uint8_t address = g_set.AomTable[static_cast<size_t>(m.aom)].address;
    if (super)
        TspTrace(TRACE_TX, "SuperMsgInsertZQNondigitKey AOM Key %d i_aom %d adr %d ", key, m.aom, address);
    else
        TspTrace(TRACE_TX, "SendZQNondigitKey AOM Key %d i_aom %d adr %d ", key, m.aom, address);
}

void PostKeyMessage(const KeyMessage& m) {
    const std::span<const uint8_t> body(m.bytes.data() + 2, m.size - 2u);
    PostZQMsg(BuildFrame(FT_KEY, body).span());
}

// ---- super messages

struct SuperMsg {
    std::array<uint8_t, SUPER_MSG_LIMIT> buffer{};
    size_t length = kSuperMsgStart;
};

// Whether an item of `size` bytes still fits a super message of `length`
// bytes, its checksum counted.
bool FitsSuperMsg(size_t length, size_t size) {
    return length + size + 1 <= SUPER_MSG_LIMIT;
}

void SuperMsgSend(SuperMsg& msg) {
    if (msg.length <= kSuperMsgStart)
        return;
    const std::span<const uint8_t> items(msg.buffer.data() + kSuperMsgStart, msg.length - kSuperMsgStart);
    PostZQMsg(BuildFrame(FT_SUPER, items).span());
    msg.length = kSuperMsgStart;
}

// Appends an item; a full super message goes out first and the item
// starts the next one.
void SuperMsgInsert(SuperMsg& msg, const KeyMessage& m) {
    if (!FitsSuperMsg(msg.length, m.size))
        SuperMsgSend(msg);
    std::copy_n(m.bytes.begin(), m.size, msg.buffer.begin() + static_cast<std::ptrdiff_t>(msg.length));
    msg.length += m.size;
}

// ---- sequences

// The messages of one item, in order, each handed to fn; false when the
// item has no message (a dial string may have none and is still valid).
template <typename Fn>
bool ForEachMessage(const KeyItem& item, Fn&& fn) {
    switch (item.kind) {
        case KeyItemKind::Key:
        case KeyItemKind::SoftKey: {
            const KeyMessage m =
                item.kind == KeyItemKind::Key ? NondigitKeyMessage(item.value) : SoftKeyMessage(item.value);
            if (m.size == 0)
                return false;
            fn(m);
            return true;
        }
        case KeyItemKind::Function:
            if (item.value < 1 || item.value > 0xFF)
                return false;
            fn(FunctionKeyMessage(static_cast<uint8_t>(item.value)));
            return true;
        case KeyItemKind::Dial: {
            size_t dialled = 0;
            for (char ch : item.text) {
                if (ch == '\0' || dialled == DIAL_MAX)
                    break;
                const KeyMessage m = DialMessage(ch);
                if (m.size == 0)
                    continue;
                fn(m);
                ++dialled;
            }
            return true;
        }
    }
    return false;
}

// The frames the sequence takes; -1 when an item is not valid.
int FramesNeeded(std::span<const KeyItem> items, bool super) {
    int frames = 0;
    size_t length = kSuperMsgStart;
    for (const KeyItem& item : items) {
        const bool valid = ForEachMessage(item, [&](const KeyMessage& m) {
            if (!super) {
                ++frames;
                return;
            }
            if (!FitsSuperMsg(length, m.size)) {
                ++frames;
                length = kSuperMsgStart;
            }
            length += m.size;
        });
        if (!valid)
            return -1;
    }
    if (super && length > kSuperMsgStart)
        ++frames;
    return frames;
}

int QueueRoom() {
    return g_superv.stoppedConfigError ? 0 : FIFO_SLOTS - 1 - FifoCount();
}

}  // namespace

KeyMessage BuildDialMessage(char ch) {
    if (ch >= '0' && ch <= '9')
        return ShortMessage(KEYMSG_DIGIT, static_cast<uint8_t>(ch - '0'));
    if (ch == '*')
        return ShortMessage(KEYMSG_DIGIT, kDigitStar);
    if (ch == '#')
        return ShortMessage(KEYMSG_DIGIT, kDigitHash);
    return {};
}

void SendFunctionKey(uint8_t code) {
    PostKeyMessage(FunctionKeyMessage(code));
}

int PressSoftKey(int position) {
    const KeyMessage m = SoftKeyMessage(position);
    if (m.size == 0)
        return 0;
    PostKeyMessage(m);
    return position;
}

bool SendZQNondigitKey(int key) {
    const std::array<KeyItem, 1> item{KeyPress(key)};
    return SendKeySequence(item, false);
}

size_t CleanDialString(std::span<char> text) {
    size_t kept = 0;
    for (size_t i = 0; i < text.size() && text[i] != '\0'; ++i) {
        if (DialMessage(text[i]).size != 0)
            text[kept++] = text[i];
    }
    if (kept < text.size())
        text[kept] = '\0';
    return kept;
}

bool SendKeySequence(std::span<const KeyItem> items, bool super) {
    // A single press goes as its own message: a super frame is for several.
    if (super && FramesNeeded(items, false) <= 1)
        super = false;
    const int frames = FramesNeeded(items, super);
    if (frames < 0) {
        TspTrace(TRACE_ERROR, "SendKeySequence - invalid key, nothing sent");
        return false;
    }
    if (frames > QueueRoom()) {
        TspTrace(TRACE_ERROR, "SendKeySequence - %d frames, queue room %d, nothing sent", frames,
                 QueueRoom());
        return false;
    }
    SuperMsg msg;
    for (const KeyItem& item : items) {
        ForEachMessage(item, [&](const KeyMessage& m) {
            if (item.kind == KeyItemKind::Key)
                TraceAom(super, item.value, m);
            if (super)
                SuperMsgInsert(msg, m);
            else
                PostKeyMessage(m);
        });
    }
    SuperMsgSend(msg);
    return true;
}

bool SendKeySequence(std::span<const KeyItem> items) {
    return SendKeySequence(items, g_port.superAllowed);
}

}  // namespace zq
