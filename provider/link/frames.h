// Link frames: [L][type][body][CS], L counting the type and body, the
// checksum making all bytes add up to 0 modulo 256. One builder and one
// checksum serve every sender.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace zq {

// Frame types.
inline constexpr uint8_t FT_ANSWER_00 = 0x00;
inline constexpr uint8_t FT_03 = 0x03;
inline constexpr uint8_t FT_SUPER_OLD = 0x0B;
inline constexpr uint8_t FT_SEGMENT = 0x0C;
inline constexpr uint8_t FT_0E = 0x0E;
inline constexpr uint8_t FT_10 = 0x10;
inline constexpr uint8_t FT_11 = 0x11;
inline constexpr uint8_t FT_TQLA = 0x12;
inline constexpr uint8_t FT_1F = 0x1F;
inline constexpr uint8_t FT_ANSWER_20 = 0x20;
inline constexpr uint8_t FT_21 = 0x21;
inline constexpr uint8_t FT_22 = 0x22;
inline constexpr uint8_t FT_KEY = 0x26;
inline constexpr uint8_t FT_0E_ANSWER = 0x30;
inline constexpr uint8_t FT_LINK = 0x60;
inline constexpr uint8_t FT_SYS_TRACE = 0x61;
inline constexpr uint8_t FT_VTA_TRACE = 0x62;
inline constexpr uint8_t FT_SYS_OPT_TRACE = 0x63;
inline constexpr uint8_t FT_OPT_SYS_TRACE = 0x64;
inline constexpr uint8_t FT_SUPER = 0x6E;
inline constexpr uint8_t FT_PIGGY = 0x6F;

// Link-control codes (byte 2 of a type 0x60 frame).
inline constexpr uint8_t L2_ACK = 0x00;
inline constexpr uint8_t L2_READY = 0x01;
inline constexpr uint8_t L2_POLL_02 = 0x02;
inline constexpr uint8_t L2_POLL_80 = 0x80;
inline constexpr uint8_t L2_SPECIAL = 0x10;
inline constexpr uint8_t L2_CONFIG = 0x11;
inline constexpr uint8_t L2_TIMEOUT_CHANGE = 0x12;
inline constexpr uint8_t L2_TIMEOUT_ENQUIRY = 0x13;
inline constexpr uint8_t L2_NACK_LENGTH = 0x83;
inline constexpr uint8_t L2_NACK_CHECKSUM = 0x84;
inline constexpr uint8_t L2_NACK_SYNC = 0x85;
inline constexpr uint8_t L2_ABORT = 0x86;
inline constexpr uint8_t L2_ENQUIRY = 0x87;
inline constexpr uint8_t L2_RESET = 0x88;

inline constexpr size_t MAX_FRAME = 257;  // L up to 255, plus L and CS

// 0 - the 8-bit sum of the bytes.
constexpr uint8_t Checksum(std::span<const uint8_t> bytes) {
    uint8_t sum = 0;
    for (uint8_t b : bytes)
        sum = static_cast<uint8_t>(sum + b);
    return static_cast<uint8_t>(0 - sum);
}

struct Frame {
    std::array<uint8_t, MAX_FRAME> bytes{};
    size_t size = 0;
    constexpr std::span<const uint8_t> span() const { return {bytes.data(), size}; }
};

// Appends bytes to a fixed buffer; what does not fit is refused and marks
// the writer as overflowed.
struct FrameWriter {
    std::span<uint8_t> out;
    size_t n = 0;
    bool overflow = false;
    constexpr void Put(uint8_t b) {
        if (n < out.size())
            out[n++] = b;
        else
            overflow = true;
    }
    constexpr void Put(std::span<const uint8_t> bytes) {
        for (uint8_t b : bytes)
            Put(b);
    }
};

// The one frame builder: L, type, body, checksum. An empty frame (size 0)
// when the body is longer than a frame can carry.
constexpr Frame BuildFrame(uint8_t type, std::span<const uint8_t> body) {
    Frame f;
    if (body.size() > 254)
        return f;
    FrameWriter w{f.bytes};
    w.Put(static_cast<uint8_t>(body.size() + 1));
    w.Put(type);
    w.Put(body);
    w.Put(Checksum({f.bytes.data(), w.n}));
    f.size = w.n;
    return f;
}

constexpr Frame LinkFrame(uint8_t code) {
    const std::array<uint8_t, 1> body{code};
    return BuildFrame(FT_LINK, body);
}

constexpr Frame LinkFrame(uint8_t code, uint8_t parameter) {
    const std::array<uint8_t, 2> body{code, parameter};
    return BuildFrame(FT_LINK, body);
}

inline constexpr Frame kAckFrame = LinkFrame(L2_ACK);
inline constexpr Frame kPollFrame = LinkFrame(L2_READY);
inline constexpr Frame kSpecialFrame = LinkFrame(L2_SPECIAL, 3);
inline constexpr Frame kConfigRequestFrame = LinkFrame(L2_CONFIG);
inline constexpr Frame kTimeoutChangeFrame = LinkFrame(L2_TIMEOUT_CHANGE, 50);
inline constexpr Frame kNackChecksumFrame = LinkFrame(L2_NACK_CHECKSUM);
inline constexpr Frame kNackSyncFrame = LinkFrame(L2_NACK_SYNC);
inline constexpr Frame kAbortFrame = LinkFrame(L2_ABORT);
inline constexpr Frame kAnswer00Frame = BuildFrame(FT_ANSWER_00, {});
inline constexpr Frame kAnswer20Frame = BuildFrame(FT_ANSWER_20, {});
inline constexpr std::array<uint8_t, 4> k0EAnswerBody{0x02, 0x03, 0x03, 0x02};
inline constexpr Frame k0EAnswerFrame = BuildFrame(FT_0E_ANSWER, k0EAnswerBody);

static_assert(kAckFrame.size == 4 && kAckFrame.bytes[3] == 0x9E);
static_assert(kPollFrame.bytes[3] == 0x9D && kSpecialFrame.bytes[4] == 0x8A &&
              kConfigRequestFrame.bytes[3] == 0x8D);
static_assert(kNackSyncFrame.bytes[3] == 0x19 && kNackChecksumFrame.bytes[3] == 0x1A &&
              kAbortFrame.bytes[3] == 0x18);
static_assert(kTimeoutChangeFrame.bytes[4] == 0x59 && kAnswer00Frame.bytes[1] == 0x00 &&
              kAnswer00Frame.bytes[2] == 0xFF);
static_assert(kAnswer20Frame.bytes[2] == 0xDF && k0EAnswerFrame.bytes[6] == 0xC1);

inline constexpr size_t HEXDUMP_CAPACITY = 150;

// Each byte as two capital hex digits and '.', as far as the capacity
// allows; "Tronquage chaine" is traced when the bytes do not all fit.
std::string HexDump(std::span<const uint8_t> bytes, size_t capacity = HEXDUMP_CAPACITY);

}  // namespace zq
