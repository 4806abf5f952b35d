#include "frame_words.h"

#include <array>
#include <numeric>
#include <span>

#include "format_match.h"
#include "zq/sim_describe.h"

namespace zq::trace {

namespace {

enum class Dump { Frame, FrameAfterLength, Tqla };

struct DumpFormat {
    std::string_view format;
    Dump dump;
    sim::Direction direction;
};

// The provider's traces of frames (sent, sent from the queue, sent again,
// received) and of whole TQLA messages.
constexpr std::array kDumps{
    DumpFormat{"SendL2Msg(%s)", Dump::Frame, sim::Direction::FromProvider},
    DumpFormat{"TxZQMsgFromFifo(%s)", Dump::Frame, sim::Direction::FromProvider},
    DumpFormat{"Resend_Last_Msg(%s)", Dump::Frame, sim::Direction::FromProvider},
    // The receiver dumps a frame from its type byte on: the length byte is
    // not kept.
    DumpFormat{"ProcessInput(%s)", Dump::FrameAfterLength, sim::Direction::FromAdapter},
    DumpFormat{"TAPI_TQLA MSG: %s", Dump::Tqla, sim::Direction::FromAdapter},
    DumpFormat{"Unknown TAPI-TQLA msg received: %s", Dump::Tqla, sim::Direction::FromAdapter},
};

constexpr std::string_view kCutTrace = "Tronquage chaine";
constexpr uint8_t kTypeTqla = 0x12;

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

uint8_t Sum(std::span<const uint8_t> bytes) {
    return static_cast<uint8_t>(std::accumulate(bytes.begin(), bytes.end(), 0u));
}

// "icon key 3 0x2828" gains the word's meaning.
std::string WithIconMeaning(std::string words) {
    constexpr std::string_view kIcon = "icon key ";
    const size_t at = words.find(kIcon);
    if (at == std::string::npos)
        return words;
    size_t p = at + kIcon.size();
    while (p < words.size() && words[p] >= '0' && words[p] <= '9')
        ++p;
    if (words.compare(p, 3, " 0x") != 0 || p + 7 > words.size())
        return words;
    unsigned word = 0;
    for (size_t i = p + 3; i < p + 7; ++i) {
        const int v = HexValue(words[i]);
        if (v < 0)
            return words;
        word = word << 4 | static_cast<unsigned>(v);
    }
    const std::string_view meaning = IconMeaning(static_cast<uint16_t>(word));
    if (!meaning.empty())
        words.insert(p + 7, " (" + std::string(meaning) + ")");
    return words;
}

std::string Describe(sim::Direction direction, uint8_t type, std::span<const uint8_t> body) {
    return WithIconMeaning(sim::describe_message(direction, type, body));
}

// The messages of a super frame: [length][type][length - 1 bytes] each.
void SuperFrameWords(sim::Direction direction, std::span<const uint8_t> items, bool cut,
                     std::string_view indent, std::vector<std::string>& words) {
    size_t at = 0;
    while (at < items.size()) {
        const size_t s = items[at];
        if (s == 0) {
            ++at;  // an empty message is stepped over
            continue;
        }
        if (s + 1 > items.size() - at) {
            words.push_back(std::string(indent) +
                            (cut ? "(the rest is cut from the dump)"
                                 : "super frame malformed at byte " + std::to_string(at) + ", rest dropped"));
            return;
        }
        words.push_back(std::string(indent) + "in super frame: " +
                        Describe(direction, items[at + 1], items.subspan(at + 2, s - 1)));
        at += s + 1;
    }
}

// [L 0x60 code] of a link-control frame, then a data frame without its
// checksum [L type body].
void PiggyBackWords(sim::Direction direction, std::span<const uint8_t> body, bool cut,
                    std::vector<std::string>& words) {
    const bool fits = body.size() >= 5 && body[1] == sim::kTypeLinkControl && body[3] != 0 &&
                      (cut ? size_t{body[3]} + 4 >= body.size() : size_t{body[3]} + 4 == body.size());
    if (!fits) {
        words.push_back("  piggy-back frame malformed");
        return;
    }
    words.push_back("  link control part: " + Describe(direction, sim::kTypeLinkControl, body.subspan(2, 1)));
    const uint8_t type = body[4];
    const auto data = body.subspan(5);
    words.push_back("  data part: " + Describe(direction, type, data));
    if (type == sim::kTypeSuper || type == sim::kTypeSuperOld)
        SuperFrameWords(direction, data, cut, "    ", words);
}

std::vector<std::string> TqlaWords(std::span<const uint8_t> message, bool cut) {
    const std::string prefix = sim::direction_prefix(sim::Direction::FromAdapter);
    const size_t length = message.size() >= 2 ? size_t{message[0]} << 8 | message[1] : 0;
    if (cut && message.size() >= sim::kTqlaHeader && length > message.size()) {
        // What the dump shows, read as if it were the whole message.
        std::vector<uint8_t> shown(message.begin(), message.end());
        shown[0] = static_cast<uint8_t>(shown.size() >> 8);
        shown[1] = static_cast<uint8_t>(shown.size());
        return {prefix + sim::describe_tqla(shown) + " (dump cut after " + std::to_string(message.size()) +
                " of " + std::to_string(length) + " bytes)"};
    }
    return {prefix + sim::describe_tqla(message)};
}

}  // namespace

std::optional<std::vector<uint8_t>> ParseHexDump(std::string_view text) {
    if (text.empty() || text.size() % 3 != 0)
        return std::nullopt;
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size(); i += 3) {
        const int high = HexValue(text[i]), low = HexValue(text[i + 1]);
        if (high < 0 || low < 0 || text[i + 2] != '.')
            return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return bytes;
}

std::string_view IconMeaning(uint16_t word) {
    switch (word & 0xA8A8) {
        case 0x2020:
            return "in use, ACTIV_ICON";
        case 0x2800:
        case 0xA000:
        case 0xA020:
        case 0xA0A0:
            return "ringing, INCOM_ICON";
        case 0x2828:
            return "on hold, HOLD_ICON";
        case 0:
            return (word & 0xFCFC) == 0 ? "no call, IDLE_ICON" : "reserved, RESERVED_ICON";
        default:
            return {};
    }
}

std::vector<std::string> FrameDecoder::Words(std::string_view message) {
    if (message == kCutTrace) {
        cutAnnounced_ = true;
        return {};
    }
    const bool cut = cutAnnounced_;
    cutAnnounced_ = false;
    std::vector<Capture> captures;
    for (const DumpFormat& d : kDumps) {
        if (!MatchFormat(d.format, message, &captures))
            continue;
        const std::optional<std::vector<uint8_t>> bytes = ParseHexDump(captures.at(0).text);
        if (!bytes)
            return {};
        if (d.dump == Dump::Tqla)
            return TqlaWords(*bytes, cut);
        return FrameWords(*bytes, d.dump == Dump::Frame, d.direction == sim::Direction::FromProvider, cut);
    }
    return {};
}

std::vector<std::string> FrameDecoder::FrameWords(std::span<const uint8_t> dump, bool withLength,
                                                  bool fromProvider, bool cut) {
    const sim::Direction direction =
        fromProvider ? sim::Direction::FromProvider : sim::Direction::FromAdapter;
    const std::string prefix = sim::direction_prefix(direction);
    const size_t typeAt = withLength ? 1 : 0;
    if (dump.size() < typeAt + 2)
        return {prefix + "frame too short to read: " + sim::hex_bytes(dump)};
    // Frame bytes: [L] type body CS, L + 2 of them with the length byte.
    const size_t length = withLength ? size_t{dump[0]} + 2 : dump.size() + 1;
    const size_t shown = dump.size() + (withLength ? 0 : 1);
    cut = cut || shown < length;
    std::string notes;
    if (cut) {
        notes = " (dump cut after " + std::to_string(dump.size()) + " bytes" +
                (withLength ? " of " + std::to_string(length) : std::string()) + ")";
    } else {
        const uint8_t sum = static_cast<uint8_t>(Sum(dump.subspan(0, length - (withLength ? 0 : 1))) +
                                                 (withLength ? 0 : length - 2));
        if (sum != 0)
            notes += " (wrong checksum)";
        if (shown > length)
            notes += " (" + std::to_string(shown - length) + " bytes after the frame)";
    }
    const uint8_t type = dump[typeAt];
    // The body ends before the checksum, or where a cut dump ends.
    const size_t checksumAt = length - 1 - (withLength ? 0 : 1);
    const size_t bodyEnd = cut && !withLength ? dump.size() : std::min(dump.size(), checksumAt);
    const auto body =
        bodyEnd > typeAt + 1 ? dump.subspan(typeAt + 1, bodyEnd - typeAt - 1) : std::span<const uint8_t>();
    std::vector<std::string> words{prefix + Describe(direction, type, body) + notes};
    switch (type) {
        case sim::kTypeSuper:
        case sim::kTypeSuperOld:
            SuperFrameWords(direction, body, cut, "  ", words);
            break;
        case sim::kTypePiggyBack:
            PiggyBackWords(direction, body, cut, words);
            break;
        case sim::kTypeSegment: {
            if (cut || !notes.empty())
                break;
            sim::Reassembler& r = fromProvider ? toAdapter_ : fromAdapter_;
            const sim::SegmentResult result = sim::reassembler_add(r, body);
            const auto message = sim::reassembled_message(r);
            if (result == sim::SegmentResult::Complete && !message.empty() && message[0] == kTypeTqla)
                words.push_back("  put together: " + sim::describe_tqla(message.subspan(1)));
            else if (result == sim::SegmentResult::OutOfOrder || result == sim::SegmentResult::Malformed)
                words.push_back(
                    "  segment out of turn: the message is put together again from the next first segment");
            break;
        }
        default:
            break;
    }
    return words;
}

}  // namespace zq::trace
