#include "zq/sim_describe.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "zq/sim_wire.h"

namespace zq::sim {

namespace {

// Reads a byte string front to back; past the end it reads nothing and
// remembers that it ran out.
struct Reader {
    std::span<const uint8_t> bytes;
    size_t at = 0;
    bool short_read = false;

    uint8_t byte() {
        if (at >= bytes.size()) {
            short_read = true;
            return 0;
        }
        return bytes[at++];
    }
    std::span<const uint8_t> take(size_t n) {
        if (n > bytes.size() - at) {
            short_read = true;
            n = bytes.size() - at;
        }
        const auto part = bytes.subspan(at, n);
        at += n;
        return part;
    }
    std::span<const uint8_t> rest() { return take(bytes.size() - std::min(at, bytes.size())); }
    bool done() const { return at >= bytes.size(); }
};

std::string num(unsigned value) {
    return std::to_string(value);
}

// Hexadecimal with `digits` digits, without prefix.
std::string hex_digits(unsigned value, int digits) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%0*X", digits, value);
    return text.data();
}

// "0x1D", "0x0402".
std::string hex(unsigned value, int digits = 2) {
    return "0x" + hex_digits(value, digits);
}

// Printable ASCII as it is, other bytes as \xHH.
std::string plain(std::span<const uint8_t> bytes) {
    std::string text;
    for (const uint8_t b : bytes) {
        if (b >= 0x20 && b < 0x7F) {
            text += static_cast<char>(b);
        } else {
            text += "\\x" + hex_digits(b, 2);
        }
    }
    return text;
}

std::string quoted(std::span<const uint8_t> bytes) {
    return "'" + plain(bytes) + "'";
}

std::string quoted_label(Reader& r) {
    const uint8_t n = r.byte();
    return quoted(r.take(n));
}

struct CodeName {
    uint8_t code;
    const char* from_provider;
    const char* from_adapter;
};

constexpr std::array kLinkControlNames{
    CodeName{kLcAck, "ACK", "ACK"},
    CodeName{kLcPollReady, "POLL", "ACK READY"},
    CodeName{kLcAdapterPoll, "ADAPTER POLL", "ADAPTER POLL"},
    CodeName{kLcAdapterPoll80, "ADAPTER POLL 80", "ADAPTER POLL 80"},
    CodeName{kLcSpecialFunction, "SPECIAL FUNCTION", "SPECIAL FUNCTION ACK"},
    CodeName{kLcConfiguration, "CONFIGURATION REQUEST", "CONFIGURATION RESPONSE"},
    CodeName{kLcTimeoutChange, "TIME-OUT CHANGE", "TIME-OUT CHANGE ACK"},
    CodeName{kLcTimeoutEnquiry, "TIME-OUT ENQUIRY", "TIME-OUT ENQUIRY RESPONSE"},
    CodeName{kLcNackLength, "NACK wrong length", "NACK wrong length"},
    CodeName{kLcNackChecksum, "NACK wrong checksum", "NACK wrong checksum"},
    CodeName{kLcNackSync, "NACK loss of synchronisation", "NACK loss of synchronisation"},
    CodeName{kLcAbort, "ABORT", "ABORT"},
    CodeName{kLcAckEnquiry, "ACK ENQUIRY", "ACK ENQUIRY"},
    CodeName{kLcPortReset, "PORT RESET", "PORT RESET"},
};

std::string describe_link_control(Direction direction, std::span<const uint8_t> body) {
    if (body.empty()) {
        return "link control without a code";
    }
    std::string text = "link control ";
    const char* name = nullptr;
    for (const CodeName& entry : kLinkControlNames) {
        if (entry.code == body[0]) {
            name = direction == Direction::FromProvider ? entry.from_provider : entry.from_adapter;
        }
    }
    text += name != nullptr ? name : "code " + hex(body[0]);
    if (body[0] == kLcConfiguration && body.size() >= 6) {
        const std::string minor = num(body[2]);
        text += " version " + num(body[1]) + (body[2] < 10 ? ".0" : ".") + minor + " parameter " +
                num(body[3]) + " caps " + hex(body[4]) + " option " + num(body[5]);
    } else if (body.size() > 1) {
        text += " " + hex_bytes(body.subspan(1));
    }
    return text;
}

std::string describe_key_message(std::span<const uint8_t> body) {
    if (body.empty()) {
        return "set key message without a body";
    }
    const char* kind = body[0] == 0x20   ? "key"
                       : body[0] == 0x03 ? "digit"
                       : body[0] == 0x04 ? "module key"
                                         : "";
    std::string text = "set key message";
    if (kind[0] != '\0') {
        text += std::string(" ") + kind;
    }
    for (const uint8_t b : body) {
        text += " " + hex(b);
    }
    return text;
}

std::string describe_pbx_to_set(std::span<const uint8_t> body) {
    Reader r{body};
    const uint8_t type = r.byte() & 0x7F;
    std::string text;
    switch (type) {
        case 0x27:
        case 0x28: {
            const uint8_t mode = r.byte();
            const uint8_t column = r.byte();
            const auto rest = r.rest();
            text = "display line " + num(type - 0x27u) + " mode " + hex(mode) + " column " + num(column) +
                   " " + quoted(rest);
            break;
        }
        case 0x47: {
            const uint8_t key = r.byte();
            const uint8_t low = r.byte();
            const uint8_t high = r.byte();
            text = "icon key " + num(key) + " " + hex(static_cast<unsigned>(high << 8 | low), 4);
            break;
        }
        case 0x21: {
            const uint8_t mode = r.byte();
            const uint8_t lamp = r.byte();
            text = "lamp " + num(lamp) + " mode " + num(mode);
            break;
        }
        case 0x26:
            return "clear display";
        default:
            return "message " + hex(body.empty() ? 0u : body[0]) + " " +
                   hex_bytes(body.empty() ? body : body.subspan(1));
    }
    return r.short_read ? text + " (short)" : text;
}

std::string describe_set_to_pbx(std::span<const uint8_t> body) {
    Reader r{body};
    const uint8_t type = r.byte() & 0x7F;
    switch (type) {
        case 0x01:
            return "off-hook";
        case 0x03:
            return r.done() ? "digit (short)" : "digit " + num(r.byte());
        case 0x20:
            return r.done() ? "key press (short)" : "key press " + num(r.byte());
        default:
            return "message " + hex(body.empty() ? 0u : body[0]) + " " +
                   hex_bytes(body.empty() ? body : body.subspan(1));
    }
}

std::string describe_association(Reader& r, uint8_t version) {
    r.byte();
    const uint8_t language = r.byte();
    const uint8_t length = r.byte();
    std::string text = "mcdu " + plain(r.take(length)) + " language " + num(language);
    if (version > 1 && !r.short_read) {
        text += " devtype " + num(r.byte());
        text += " enquiry " + num(r.byte());
        const uint8_t forward = r.byte();
        text += " forward " + num(forward);
        if (forward < 4) {
            const uint8_t n = r.byte();
            const uint8_t type = r.byte();
            const auto destination = r.take(n);
            text += " type " + num(type) + " to " + quoted(destination);
        }
        for (uint8_t entry = r.byte(); entry != 0 && !r.short_read; entry = r.byte()) {
            const uint8_t offset = r.byte();
            text += " aom " + num(entry & 0x07u) + "/" + num((entry >> 4) & 1u) + "/" + num(offset);
        }
    }
    return text;
}

std::string describe_entries(Reader& r, uint16_t code) {
    const uint8_t k = r.byte();
    std::string text = num(k) + " entries:";
    for (uint8_t i = 0; i < k && !r.short_read; ++i) {
        text += " " + num(r.byte());
        if (code == kTqlaKeySpeInfoAck) {
            text += "/kind " + num(r.byte());
        }
        text += " " + quoted_label(r);
        if (code == kTqlaKeyInfoAck) {
            r.byte();
        }
    }
    return text;
}

}  // namespace

const char* direction_prefix(Direction direction) {
    return direction == Direction::FromProvider ? "provider -> adapter: " : "adapter -> provider: ";
}

std::string hex_bytes(std::span<const uint8_t> bytes, size_t max_bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size() && i < max_bytes; ++i) {
        text += (i == 0 ? "" : " ") + hex_digits(bytes[i], 2);
    }
    if (bytes.size() > max_bytes) {
        text += " ...";
    }
    return text;
}

std::string describe_tqla(std::span<const uint8_t> message) {
    TqlaHeader header;
    std::span<const uint8_t> payload;
    if (!tqla_parse(message, &header, &payload)) {
        return "TQLA malformed: " + hex_bytes(message);
    }
    const char* name = tqla_code_name(header.code);
    std::string text = "TQLA " + (name != nullptr ? std::string(name) : "code " + num(header.code)) +
                       " (version " + num(header.version) + ")";
    Reader r{payload};
    std::string detail;
    switch (header.code) {
        case kTqlaDeviceAssocAck:
            detail = describe_association(r, header.version);
            break;
        case kTqlaKeyAck:
        case kTqlaStringAck:
        case kTqlaSkAck:
        case kTqlaCodeAck:
            detail = "count " + num(r.byte());
            break;
        case kTqlaKeySpeAck:
            detail = "counts";
            for (int i = 0; i < 4; ++i) {
                detail += " " + num(r.byte());
            }
            break;
        case kTqlaKeyInfo:
        case kTqlaKeySpeInfo:
        case kTqlaStringInfo:
        case kTqlaSkInfo:
        case kTqlaCodeInfo:
            detail = "from entry " + num(r.byte());
            break;
        case kTqlaKeyInfoAck:
        case kTqlaKeySpeInfoAck:
        case kTqlaStringInfoAck:
        case kTqlaSkInfoAck:
        case kTqlaCodeInfoAck:
            detail = describe_entries(r, header.code);
            break;
        default:
            detail = payload.empty() ? "" : "payload " + hex_bytes(payload);
            break;
    }
    if (r.short_read) {
        detail += " (short)";
    }
    return detail.empty() ? text : text + " " + detail;
}

std::string describe_message(Direction direction, uint8_t type, std::span<const uint8_t> body) {
    switch (type) {
        case kTypeLinkControl:
            return describe_link_control(direction, body);
        case kTypeTqla:
            return describe_tqla(body);
        case kTypeSegment:
            if (body.empty()) {
                return "segment without a header";
            }
            if ((body[0] & 0x80) != 0 && body.size() >= 3) {
                // The length is counted with the carried message's type byte.
                const unsigned total = static_cast<unsigned>(body[1] << 8 | body[2]);
                return "segment " + hex(body[0]) + " (message of " + num(total > 0 ? total - 1 : 0) +
                       " bytes)";
            }
            return "segment " + hex(body[0]);
        case kTypeKeyMessage:
            return describe_key_message(body);
        case kTypeSuper:
        case kTypeSuperOld:
            return "super frame " + hex(type) + " of " + num(static_cast<unsigned>(body.size())) + " bytes";
        case kTypePiggyBack:
            return "piggy-back frame";
        case kTypeTracePbxToSet:
            return "trace PBX -> set: " + describe_pbx_to_set(body);
        case kTypeTraceSetToPbx:
            return "trace set -> PBX: " + describe_set_to_pbx(body);
        case kTypeTracePbxToModule:
            return body.empty() ? "trace PBX -> module (short)"
                                : "trace PBX -> module " + num(body[0] & 0x07u) + ": " +
                                      describe_pbx_to_set(body.subspan(1));
        case kTypeTraceModuleToPbx:
            return body.empty() ? "trace module -> PBX (short)"
                                : "trace module " + num(body[0] & 0x07u) +
                                      " -> PBX: " + describe_set_to_pbx(body.subspan(1));
        case kTypeAnswer0E:
            return "answer to frame type 0x0E: " + hex_bytes(body);
        default:
            if (direction == Direction::FromProvider && (type == kTypeAnswer00 || type == kTypeAnswer20)) {
                return "answer to frame type " + hex(type);
            }
            return "frame type " + hex(type) + (body.empty() ? "" : ": " + hex_bytes(body));
    }
}

}  // namespace zq::sim
