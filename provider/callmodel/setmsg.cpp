#include "callmodel/setmsg.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "callmodel/analysis.h"
#include "callmodel/calls.h"
#include "callmodel/icons.h"
#include "core/config.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "link/byte_reader.h"
#include "link/fifo.h"
#include "link/frames.h"
#include "link/supervision.h"
#include "tapi/events.h"
#include "zq/platform.h"

namespace zq {

GlyphTables g_glyphs;

namespace {

// Message types from the PBX to the set.
constexpr uint8_t VTA_SUBDEVICE = 0x02;
constexpr uint8_t VTA_KEY_REQUEST = 0x06;
constexpr uint8_t VTA_SUPER = 0x0B;
constexpr uint8_t VTA_LAMP = 0x21;
constexpr uint8_t VTA_CLEAR_DISPLAY = 0x26;
constexpr uint8_t VTA_DISPLAY_LINE0 = 0x27;
constexpr uint8_t VTA_DISPLAY_LINE1 = 0x28;
constexpr uint8_t VTA_HOOK = 0x29;
constexpr uint8_t VTA_POLL_REQUEST = 0x2B;
constexpr uint8_t VTA_GLYPHS = 0x36;
constexpr uint8_t VTA_SPEAKER_VOLUME = 0x3B;
constexpr uint8_t VTA_RING_MODE = 0x3E;
constexpr uint8_t VTA_ICONS_RESET = 0x46;
constexpr uint8_t VTA_ICON = 0x47;

// Message types from the set to the PBX.
constexpr uint8_t VTA_OFFHOOK = 0x01;
constexpr uint8_t VTA_DIGIT = 0x03;
constexpr uint8_t VTA_KEY_PUSHED = 0x20;

// Keys of the set: 1..28 programmable, then soft keys 1..3.
constexpr int LAST_SET_KEY = 28;
constexpr int FIRST_SOFT_KEY = 29;
constexpr int LAST_SOFT_KEY = 31;

constexpr int DIALED_NUMBER_MAX = DISPLAY_WIDTH;
constexpr size_t GLYPH_RECORD = 1 + GLYPH_ROWS;

// The set's answer to a key request: a fixed key message.
constexpr std::array<uint8_t, 3> kKeyRequestBody{0x1F, 0x05, 0x01};
constexpr Frame kKeyRequestFrame = BuildFrame(FT_KEY, kKeyRequestBody);
static_assert(kKeyRequestFrame.size == 6 && kKeyRequestFrame.bytes[0] == 0x04 &&
              kKeyRequestFrame.bytes[5] == 0xB1);

constexpr char kGlyphFile[] = "\\zq_opt.fdb";
constexpr char kGlyphArrayFile[] = "\\zq_array.fdb";

// Bytes a message needs before it can be decoded, type byte included.
constexpr size_t DisplayMinLength(uint8_t type) {
    switch (type) {
        case VTA_SUBDEVICE:
        case VTA_HOOK:
            return 2;
        case VTA_LAMP:
        case VTA_DISPLAY_LINE0:
        case VTA_DISPLAY_LINE1:
            return 3;
        case VTA_ICON:
            return 4;
        default:
            return 1;
    }
}

constexpr size_t KeyMinLength(uint8_t type) {
    return type == VTA_DIGIT || type == VTA_KEY_PUSHED ? 2 : 1;
}

bool LongEnough(std::span<const uint8_t> body, size_t needed) {
    if (body.size() >= needed)
        return true;
    TspTrace(TRACE_ERROR, "VTA: Msg %x trop court (%d octets) - ignore", body[0], body.size());
    return false;
}

uint32_t& StateOf(int cref) {
    return g_line.calls.lineCallState[static_cast<size_t>(cref)];
}

// The key offset of the present module at this address, -1 when none.
int ModuleOffset(uint8_t address) {
    for (const AomEntry& aom : g_set.AomTable)
        if (aom.present && aom.address == address)
            return aom.offset;
    return -1;
}

// ---- display

// Copies text from a column, clipped at the end of the line; returns the
// column after the last character written.
int PutText(std::array<uint8_t, DISPLAY_WIDTH + 1>& line, int column, std::span<const uint8_t> text) {
    const int start = std::clamp(column, 0, DISPLAY_WIDTH);
    const int n = std::min(static_cast<int>(text.size()), DISPLAY_WIDTH - start);
    std::copy_n(text.begin(), n, line.begin() + start);
    if (n < static_cast<int>(text.size()))
        TspTrace(TRACE_CALL, "VTA: Display col %d lg %d coupe a %d", column, text.size(), DISPLAY_WIDTH);
    return start + n;
}

void DisplayTextMsg(int line, std::span<const uint8_t> body) {
    const uint8_t mode = body[1];
    const int column = body[2];
    const std::span<const uint8_t> text = body.subspan(3);
    const bool complete = (mode & 0x80) == 0;
    auto& image = g_display.DisplayLine[static_cast<size_t>(line)];
    int& length = g_display.DisplayLen[static_cast<size_t>(line)];
    switch (mode & 0x03) {
        case 0:
            std::fill_n(image.begin(), DISPLAY_WIDTH, ' ');
            [[fallthrough]];
        case 1: {
            const int start = std::clamp(column, 0, DISPLAY_WIDTH);
            length = PutText(image, column, text);
            DisplayChanged(line, start, length, complete);
            break;
        }
        case 2: {
            const int start = std::clamp(length, 0, DISPLAY_WIDTH);
            const int end = PutText(image, start, text);
            DisplayChanged(line, start, end, complete);
            length = end;
            break;
        }
        default:
            break;
    }
}

void ClearDisplay() {
    for (auto& line : g_display.DisplayLine)
        std::fill_n(line.begin(), DISPLAY_WIDTH, ' ');
}

// ---- lamps and icons

uint32_t LampModeOf(uint8_t mode) {
    switch (mode) {
        case 0:
            return PHONELAMPMODE_OFF;
        case 1:
            return PHONELAMPMODE_STEADY;
        case 3:
            return PHONELAMPMODE_FLASH;
        case 4:
            return PHONELAMPMODE_FLUTTER;
        case 6:
            return PHONELAMPMODE_WINK;
        default:
            return 0;
    }
}

void PhoneLamp(uint8_t mode, uint8_t lamp) {
    if (lamp >= PHONE_LAMPS)
        return;
    DoPhoneEvent(PHONESTATE_LAMP, lamp);
    if (const uint32_t lampMode = LampModeOf(mode); lampMode != 0) {
        g_line.LampMode[lamp] = lampMode;
    } else if (mode == 7) {
        for (uint32_t i = 0; i < PHONE_LAMPS; ++i) {
            if (g_line.LampMode[i] == 0)
                continue;
            g_line.LampMode[i] = PHONELAMPMODE_OFF;
            DoPhoneEvent(PHONESTATE_LAMP, i);
        }
    }
}

void IconsReset() {
    for (uint32_t key = 1; key <= MAX_TOUCH; ++key) {
        uint32_t& value = g_line.TouchTable[key].IconValue;
        if (value == 0)
            continue;
        value = 2;
        DoPhoneEvent(PHONESTATE_LAMP, key + KEY_LAMP_BASE);
    }
}

void IconMsg(std::span<const uint8_t> body, bool fromModule, uint8_t moduleAddress) {
    int key = body[1];
    if (fromModule) {
        const int offset = ModuleOffset(moduleAddress);
        if (offset < 0)
            return;
        key += offset;
        TspTrace(TRACE_CALL, "VTA: AOM ICON: %d", key);
    }
    if (!ValidKey(static_cast<uint32_t>(key)))
        return;
    const auto k = static_cast<uint32_t>(key);
    const auto word = static_cast<uint16_t>(body[2] | body[3] << 8);
    g_line.TouchTable[k].IconValue = word;
    DoPhoneEvent(PHONESTATE_LAMP, k + KEY_LAMP_BASE);
    IconChanged(k, word);
}

// ---- glyphs

void WriteSystemFile(std::string_view name, std::span<const uint8_t> bytes) {
    plat::File* file = plat::file_open_write(plat::system_directory() + std::string(name), true);
    if (file == nullptr)
        return;
    plat::file_write(file, AsText(bytes));
    plat::file_close(file);
}

void WriteGlyphFiles() {
    std::array<uint8_t, GLYPH_ENTRIES * sizeof(GlyphEntry)> table{};
    size_t at = 0;
    for (const GlyphEntry& e : g_glyphs.entries) {
        std::copy(e.bitmap.begin(), e.bitmap.end(), table.begin() + static_cast<std::ptrdiff_t>(at));
        table[at + GLYPH_ROWS] = e.character;
        table[at + GLYPH_ROWS + 1] = e.code;
        at += sizeof(GlyphEntry);
    }
    WriteSystemFile(kGlyphFile, table);
    WriteSystemFile(kGlyphArrayFile, g_glyphs.byCode);
}

// A known bitmap keeps its entry and character; a new one takes the first
// free entry, if any.
void LearnGlyph(uint8_t code, std::span<const uint8_t> bitmap) {
    auto& entries = g_glyphs.entries;
    const auto same = std::find_if(entries.begin(), entries.end(), [&](const GlyphEntry& e) {
        return e.character != 0 && std::equal(bitmap.begin(), bitmap.end(), e.bitmap.begin());
    });
    if (same != entries.end()) {
        g_glyphs.byCode[code] = same->character;
        same->code = code;
        return;
    }
    g_glyphs.byCode[code] = ' ';
    const auto free =
        std::find_if(entries.begin(), entries.end(), [](const GlyphEntry& e) { return e.character == 0; });
    if (free == entries.end())
        return;
    std::copy(bitmap.begin(), bitmap.end(), free->bitmap.begin());
    free->character = ' ';
    free->code = code;
}

void GlyphDownload(std::span<const uint8_t> body) {
    for (size_t at = 1; at < body.size(); at += GLYPH_RECORD) {
        const std::span<const uint8_t> record = body.subspan(at, std::min(GLYPH_RECORD, body.size() - at));
        if (record.size() < GLYPH_RECORD) {
            TspTrace(TRACE_ERROR, "VTA: Glyph incomplet (%d octets) - ignore", record.size());
            break;
        }
        if (record[0] >= GLYPH_CODES) {
            TspTrace(TRACE_ERROR, "VTA: Glyph code %d hors borne - ignore", record[0]);
            continue;
        }
        LearnGlyph(record[0], record.subspan(1));
        WriteGlyphFiles();
    }
}

// ---- super message

void SuperMessage(std::span<const uint8_t> body, bool ack, bool fromModule, uint8_t moduleAddress) {
    TspTrace(TRACE_CALL, "VTA: Super Message len %d", body.size());
    size_t idx = 1;
    while (idx < body.size()) {
        const size_t n = body[idx];
        if (idx + 1 + n > body.size()) {
            TspTrace(TRACE_ERROR, "Bad ZQ length in Super Message idx %d data[idx] %d", idx, n);
            break;
        }
        VtaDisplayIconMsg(body.subspan(idx + 1, n), ack, fromModule, moduleAddress);
        idx += 1 + n;
    }
    if (idx != body.size())
        TspTrace(TRACE_ERROR, "End Bad ZQ length in Super Message idx %d data[idx] %d", idx,
                 idx < body.size() ? body[idx] : 0);
}

// ---- keys

bool Offering(int cref) {
    return cref != -1 && StateOf(cref) == LINECALLSTATE_OFFERING;
}

void SupervPickupByOffHook() {
    const KeyList<MAX_SUPERV>& superv = g_line.lists.SupervKeys;
    for (int i = 0; i < std::min(superv.count, MAX_SUPERV); ++i) {
        const uint32_t key = superv.keys[static_cast<size_t>(i)];
        const int cref = SlotCall(key, 0);
        if (!Offering(cref))
            continue;
        TspTrace(TRACE_CALL, "LineStateManagerOffHookPush tou %d interception superv cref %04x OFFERING", key,
                 cref);
        g_calls.SupervPickupCref = cref;
        return;
    }
}

void SupervPickupByKey(uint32_t key) {
    if (!ValidKey(key) || g_line.TouchTable[key].Kind != KEY_SUPERV)
        return;
    const int cref = SlotCall(key, 0);
    if (!Offering(cref))
        return;
    TspTrace(TRACE_CALL, "Appui sur tou superv %d en sonnerie => interception manuelle cref %04x", key, cref);
    g_calls.SupervPickupCref = cref;
}

void DigitKey(uint8_t digit) {
    char c = 0;
    if (digit <= 9)
        c = static_cast<char>('0' + digit);
    else if (digit == 10)
        c = '*';
    else if (digit == 11)
        c = '#';
    auto& number = g_calls.DialedNumber;
    const size_t length = TextOf(number).size();
    if (c != 0 && length < DIALED_NUMBER_MAX) {
        number[length] = c;
        number[length + 1] = '\0';
    }
    TspTrace(TRACE_CALL, "DigitKeyPushed %d DialedNumber %s", digit, number);
}

// The held and the connected call of the active key's double call; false
// unless the key carries exactly one of each.
bool HeldAndConnected(int* held, int* connected) {
    const auto key = static_cast<uint32_t>(g_calls.ActivCallTouch);
    const int a = SlotCall(key, 0), b = SlotCall(key, 1);
    if (a == -1 || b == -1)
        return false;
    for (const auto& [h, c] : {std::pair{a, b}, std::pair{b, a}}) {
        if (StateOf(h) == LINECALLSTATE_ONHOLD && StateOf(c) == LINECALLSTATE_CONNECTED) {
            *held = h;
            *connected = c;
            return true;
        }
    }
    return false;
}

void SwapSoftKey() {
    int held = -1, connected = -1;
    if (!HeldAndConnected(&held, &connected))
        return;
    const int key = g_calls.ActivCallTouch;
    ReportState(connected, LINECALLSTATE_ONHOLD);
    TspTrace(TRACE_CALL, "Icone:%d  - Etat:ONHOLD - Ref:%d", key, connected);
    ReportState(held, LINECALLSTATE_CONNECTED);
    TspTrace(TRACE_CALL, "Icone:%d  - Etat:CONNECTED - Ref:%d cas 15", key, held);
}

// The set's soft keys 1..3 act on a double call only.
void SoftKey(int position) {
    if (!g_calls.DbCall)
        return;
    switch (position) {
        case 1:
            g_calls.DropActiveReq = true;
            break;
        case 2:
            SwapSoftKey();
            break;
        case 3:
            ConferenceSoftKey();
            break;
        default:
            break;
    }
}

void KeyPushed(uint8_t number, bool fromModule, uint8_t moduleAddress) {
    if (fromModule) {
        const int offset = ModuleOffset(moduleAddress);
        if (offset < 0)
            return;
        const int key = (number & 0x7F) + offset;
        TspTrace(TRACE_CALL, "VTA: AOM key pushed: %d", key);
        SupervPickupByKey(static_cast<uint32_t>(key));
        return;
    }
    if (number >= 1 && number <= LAST_SET_KEY)
        SupervPickupByKey(number);
    else if (number >= FIRST_SOFT_KEY && number <= LAST_SOFT_KEY)
        SoftKey(number - FIRST_SOFT_KEY + 1);
}

}  // namespace

void VtaDisplayIconMsg(std::span<const uint8_t> body, bool ack, bool fromModule, uint8_t moduleAddress) {
    if (body.empty())
        return;
    const auto type = static_cast<uint8_t>(body[0] & 0x7F);
    if (!LongEnough(body, DisplayMinLength(type)))
        return;
    switch (type) {
        case VTA_SUBDEVICE: {
            const auto address = static_cast<uint8_t>(body[1] & 0x07);
            TspTrace(TRACE_CALL, "VTA: Subdevice adr (%d) Command", address);
            VtaDisplayIconMsg(body.subspan(2), ack, true, address);
            break;
        }
        case VTA_KEY_REQUEST:
            PostZQMsg(kKeyRequestFrame.span());
            break;
        case VTA_SUPER:
            SuperMessage(body, ack, fromModule, moduleAddress);
            break;
        case VTA_LAMP:
            PhoneLamp(body[1], body[2]);
            break;
        case VTA_CLEAR_DISPLAY:
            ClearDisplay();
            break;
        case VTA_DISPLAY_LINE0:
        case VTA_DISPLAY_LINE1:
            DisplayTextMsg(type == VTA_DISPLAY_LINE0 ? 0 : 1, body);
            break;
        case VTA_HOOK:
            if (body[1] == 1)
                DoPhoneEvent(PHONESTATE_HANDSETHOOKSWITCH, 0);
            break;
        case VTA_POLL_REQUEST:
            if (g_superv.pollPeriod == POLL_PERIOD_CONFIGURED)
                g_superv.pollCounter = 0;
            break;
        case VTA_GLYPHS:
            GlyphDownload(body);
            break;
        case VTA_SPEAKER_VOLUME:
            DoPhoneEvent(PHONESTATE_SPEAKERVOLUME, 0);
            break;
        case VTA_RING_MODE:
            DoPhoneEvent(PHONESTATE_RINGMODE, 0);
            break;
        case VTA_ICONS_RESET:
            IconsReset();
            break;
        case VTA_ICON:
            IconMsg(body, fromModule, moduleAddress);
            break;
        default:
            break;
    }
}

void VtaKeyMsg(std::span<const uint8_t> body, bool fromModule, uint8_t moduleAddress) {
    if (body.empty())
        return;
    const auto type = static_cast<uint8_t>(body[0] & 0x7F);
    if (!LongEnough(body, KeyMinLength(type)))
        return;
    switch (type) {
        case VTA_OFFHOOK:
            TspTrace(TRACE_CALL, "Handset Offhook");
            SupervPickupByOffHook();
            break;
        case VTA_DIGIT:
            DigitKey(body[1]);
            break;
        case VTA_KEY_PUSHED:
            KeyPushed(body[1], fromModule, moduleAddress);
            break;
        default:
            break;
    }
}

}  // namespace zq
