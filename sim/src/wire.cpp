// Frames, their assembly and TQLA segmentation, written against the byte
// layout alone so that the simulator checks the provider rather than
// sharing its mistakes.
#include <algorithm>

#include "zq/sim_wire.h"

namespace zq::sim {

uint8_t frame_checksum(std::span<const uint8_t> bytes) {
    unsigned sum = 0;
    for (const uint8_t b : bytes) {
        sum += b;
    }
    return static_cast<uint8_t>(0x100 - (sum & 0xFF));
}

bool frame_sum_is_zero(std::span<const uint8_t> bytes) {
    return frame_checksum(bytes) == 0;
}

bool make_frame(uint8_t type, std::span<const uint8_t> body, Frame* out) {
    *out = Frame{};
    if (body.size() > kMaxFrameBody) {
        return false;
    }
    const size_t data = body.size() + 1;
    out->bytes[0] = static_cast<uint8_t>(data);
    out->bytes[1] = type;
    std::copy(body.begin(), body.end(), out->bytes.begin() + 2);
    out->bytes[data + 1] = frame_checksum({out->bytes.data(), data + 1});
    out->size = static_cast<uint16_t>(data + 2);
    return true;
}

Frame link_control_frame(uint8_t code) {
    Frame frame;
    const std::array<uint8_t, 1> body{code};
    make_frame(kTypeLinkControl, body, &frame);
    return frame;
}

Frame link_control_frame(uint8_t code, uint8_t parameter) {
    Frame frame;
    const std::array<uint8_t, 2> body{code, parameter};
    make_frame(kTypeLinkControl, body, &frame);
    return frame;
}

uint8_t frame_type(std::span<const uint8_t> frame) {
    return frame.size() >= 3 ? frame[1] : 0;
}

std::span<const uint8_t> frame_body(std::span<const uint8_t> frame) {
    return frame.size() >= 3 ? frame.subspan(2, frame.size() - 3) : std::span<const uint8_t>{};
}

// ------------------------------------------------------------------ assembly

FeedResult assembler_feed(FrameAssembler& a, uint8_t byte, uint32_t now_ms) {
    if (a.done) {
        assembler_reset(a);
    }
    a.last_byte_ms = now_ms;
    if (a.have == 0) {
        if (byte == 0) {
            return FeedResult::Ignored;
        }
        a.need = static_cast<uint16_t>(byte + 2);
    }
    // need is at most 257, the buffer's size.
    a.bytes[a.have++] = byte;
    if (a.have < a.need) {
        return FeedResult::Pending;
    }
    a.done = true;
    return frame_sum_is_zero(assembler_frame(a)) ? FeedResult::Complete : FeedResult::BadChecksum;
}

bool assembler_collecting(const FrameAssembler& a) {
    return a.have > 0 && !a.done;
}

std::span<const uint8_t> assembler_frame(const FrameAssembler& a) {
    return {a.bytes.data(), a.have};
}

void assembler_reset(FrameAssembler& a) {
    a.have = 0;
    a.need = 0;
    a.done = false;
}

// ---------------------------------------------------------------------- TQLA

namespace {

struct CodeName {
    uint16_t code;
    const char* name;
};

constexpr std::array kCodeNames{
    CodeName{kTqlaDeviceAssoc, "DEVICE_ASSOC"},
    CodeName{kTqlaDeviceAssocAck, "DEVICE_ASSOC_ACK"},
    CodeName{kTqlaNoMultiline, "REQUEST_4"},
    CodeName{kTqlaKey, "KEY"},
    CodeName{kTqlaKeyAck, "KEY_ACK"},
    CodeName{kTqlaKeyInfo, "KEY_INFO"},
    CodeName{kTqlaKeyInfoAck, "KEY_INFO_ACK"},
    CodeName{kTqlaString, "STRING"},
    CodeName{kTqlaStringAck, "STRING_ACK"},
    CodeName{kTqlaStringInfo, "STRING_INFO"},
    CodeName{kTqlaStringInfoAck, "STRING_INFO_ACK"},
    CodeName{kTqlaSk, "SK"},
    CodeName{kTqlaSkAck, "SK_ACK"},
    CodeName{kTqlaSkInfo, "SK_INFO"},
    CodeName{kTqlaSkInfoAck, "SK_INFO_ACK"},
    CodeName{kTqlaCode, "CODE"},
    CodeName{kTqlaCodeAck, "CODE_ACK"},
    CodeName{kTqlaCodeInfo, "CODE_INFO"},
    CodeName{kTqlaCodeInfoAck, "CODE_INFO_ACK"},
    CodeName{kTqlaEventIncomingChange, "EVENT_INCOMING_CHANGE"},
    CodeName{kTqlaEventOutgoingCall, "EVENT_OUTGOING_CALL"},
    CodeName{kTqlaEventConnectedCall, "EVENT_CONNECTED_CALL"},
    CodeName{kTqlaEventTransferedCall, "TA_M_EVENT_TRANSFERED_CALL"},
    CodeName{kTqlaKeySpe, "KEY_SPE"},
    CodeName{kTqlaKeySpeAck, "KEY_SPE_ACK"},
    CodeName{kTqlaKeySpeInfo, "KEY_SPE_INFO"},
    CodeName{kTqlaKeySpeInfoAck, "KEY_SPE_INFO_ACK"},
};

}  // namespace

const char* tqla_code_name(uint16_t code) {
    for (const CodeName& entry : kCodeNames) {
        if (entry.code == code) {
            return entry.name;
        }
    }
    return nullptr;
}

bool tqla_parse(std::span<const uint8_t> message, TqlaHeader* header, std::span<const uint8_t>* payload) {
    if (message.size() < kTqlaHeader) {
        return false;
    }
    const uint16_t length = static_cast<uint16_t>(message[0] << 8 | message[1]);
    if (length < kTqlaHeader || length > message.size()) {
        return false;
    }
    header->length = length;
    header->version = message[2];
    header->code = static_cast<uint16_t>(message[3] << 8 | message[4]);
    header->sequence = message[5];
    *payload = message.subspan(kTqlaHeader, length - kTqlaHeader);
    return true;
}

void tqla_begin(TqlaMessage& m, uint8_t version, uint16_t code, uint8_t sequence) {
    m = TqlaMessage{};
    tqla_put(m, 0);
    tqla_put(m, 0);
    tqla_put(m, version);
    tqla_put(m, static_cast<uint8_t>(code >> 8));
    tqla_put(m, static_cast<uint8_t>(code & 0xFF));
    tqla_put(m, sequence);
}

void tqla_put(TqlaMessage& m, uint8_t byte) {
    if (m.size >= m.bytes.size()) {
        m.overflow = true;
        return;
    }
    m.bytes[m.size++] = byte;
}

void tqla_put_bytes(TqlaMessage& m, std::span<const uint8_t> bytes) {
    if (bytes.size() > tqla_room(m)) {
        m.overflow = true;
        return;
    }
    std::copy(bytes.begin(), bytes.end(), m.bytes.begin() + m.size);
    m.size = static_cast<uint16_t>(m.size + bytes.size());
}

size_t tqla_room(const TqlaMessage& m) {
    return m.bytes.size() - m.size;
}

bool tqla_finish(TqlaMessage& m) {
    if (m.overflow || m.size < kTqlaHeader) {
        return false;
    }
    m.bytes[0] = static_cast<uint8_t>(m.size >> 8);
    m.bytes[1] = static_cast<uint8_t>(m.size & 0xFF);
    return true;
}

size_t tqla_frame_count(size_t size) {
    if (size == 0 || size > kMaxTqlaMessage) {
        return 0;
    }
    if (size < kSegmentThreshold) {
        return 1;
    }
    return (size + kSegmentData - 1) / kSegmentData;
}

bool tqla_frame(std::span<const uint8_t> message, size_t index, Frame* out) {
    const size_t count = tqla_frame_count(message.size());
    if (index >= count) {
        *out = Frame{};
        return false;
    }
    if (message.size() < kSegmentThreshold) {
        return make_frame(kTypeTqla, message, out);
    }
    const auto follow = static_cast<uint8_t>(count - 1 - index);
    std::array<uint8_t, 4 + kSegmentData> body{};
    size_t n = 0;
    if (index == 0) {
        const size_t total = message.size() + 1;  // counted with the type byte
        body[n++] = static_cast<uint8_t>(0x80 | follow);
        body[n++] = static_cast<uint8_t>(total >> 8);
        body[n++] = static_cast<uint8_t>(total & 0xFF);
        body[n++] = kTypeTqla;
    } else {
        body[n++] = follow;
    }
    const size_t start = index * kSegmentData;
    const size_t data = std::min(kSegmentData, message.size() - start);
    std::copy_n(message.begin() + static_cast<std::ptrdiff_t>(start), data, body.begin() + n);
    n += data;
    return make_frame(kTypeSegment, {body.data(), n}, out);
}

// ---------------------------------------------------------------- reassembly

namespace {

bool store(Reassembler& r, std::span<const uint8_t> data) {
    if (data.size() > static_cast<size_t>(r.total - r.fill)) {
        return false;
    }
    std::copy(data.begin(), data.end(), r.bytes.begin() + r.fill);
    r.fill = static_cast<uint16_t>(r.fill + data.size());
    return true;
}

SegmentResult fail(Reassembler& r, SegmentResult result) {
    reassembler_reset(r);
    return result;
}

}  // namespace

SegmentResult reassembler_add(Reassembler& r, std::span<const uint8_t> segment) {
    if (!r.active && r.fill > 0) {
        reassembler_reset(r);  // the message completed last time has been read
    }
    if (segment.empty()) {
        return fail(r, SegmentResult::Malformed);
    }
    const uint8_t header = segment[0];
    if ((header & 0x80) != 0) {
        reassembler_reset(r);
        if (segment.size() < 4) {
            return fail(r, SegmentResult::Malformed);
        }
        const size_t total = static_cast<size_t>(segment[1] << 8 | segment[2]);
        if (total == 0 || total > r.bytes.size()) {
            return fail(r, SegmentResult::Malformed);
        }
        r.total = static_cast<uint16_t>(total);
        r.active = true;
        r.to_follow = header & 0x7F;
        if (!store(r, segment.subspan(3))) {
            return fail(r, SegmentResult::Malformed);
        }
    } else {
        if (!r.active || r.to_follow == 0 || header != r.to_follow - 1) {
            return fail(r, SegmentResult::OutOfOrder);
        }
        r.to_follow = header;
        if (!store(r, segment.subspan(1))) {
            return fail(r, SegmentResult::Malformed);
        }
    }
    if (r.to_follow > 0) {
        return SegmentResult::Pending;
    }
    if (r.fill != r.total) {
        return fail(r, SegmentResult::Malformed);
    }
    r.active = false;
    return SegmentResult::Complete;
}

std::span<const uint8_t> reassembled_message(const Reassembler& r) {
    if (r.active) {
        return {};
    }
    return {r.bytes.data(), r.fill};
}

void reassembler_reset(Reassembler& r) {
    r.fill = 0;
    r.total = 0;
    r.to_follow = 0;
    r.active = false;
}

}  // namespace zq::sim
