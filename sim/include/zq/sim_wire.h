// The bytes on the line between the PC and the interface adapter, as the
// simulator builds and reads them: link frames and their checksum, the
// byte-by-byte frame assembly, TQLA messages and their segmentation.
//
// Frame: L (1..255 data bytes), type, body, checksum; all L + 2 bytes add up
// to 0 modulo 256. TQLA message: 16-bit length, version, 16-bit code,
// sequence, payload. A TQLA message of 16 bytes or more travels in segment
// frames (type 0x0C).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace zq::sim {

inline constexpr size_t kMaxFrameData = 255;                 // L
inline constexpr size_t kMaxFrameBytes = kMaxFrameData + 2;  // L, data, checksum
inline constexpr size_t kMaxFrameBody = kMaxFrameData - 1;   // after the type

// Frame types.
inline constexpr uint8_t kTypeAnswer00 = 0x00;  // adapter frame answered by 01 00 FF
inline constexpr uint8_t kTypeAdapter03 = 0x03;
inline constexpr uint8_t kTypeSuperOld = 0x0B;
inline constexpr uint8_t kTypeSegment = 0x0C;
inline constexpr uint8_t kTypeAdapter0E = 0x0E;  // answered with a type 0x30 frame
inline constexpr uint8_t kTypeTqla = 0x12;
inline constexpr uint8_t kTypeAnswer20 = 0x20;  // adapter frame answered by 01 20 DF
inline constexpr uint8_t kTypeKeyMessage = 0x26;
inline constexpr uint8_t kTypeAnswer0E = 0x30;
inline constexpr uint8_t kTypeLinkControl = 0x60;
inline constexpr uint8_t kTypeTracePbxToSet = 0x61;
inline constexpr uint8_t kTypeTraceSetToPbx = 0x62;
inline constexpr uint8_t kTypeTracePbxToModule = 0x63;
inline constexpr uint8_t kTypeTraceModuleToPbx = 0x64;
inline constexpr uint8_t kTypeSuper = 0x6E;
inline constexpr uint8_t kTypePiggyBack = 0x6F;

// Link-control codes (byte 2 of a type 0x60 frame).
inline constexpr uint8_t kLcAck = 0x00;
inline constexpr uint8_t kLcPollReady = 0x01;  // poll from the PC, "ready" ACK from the adapter
inline constexpr uint8_t kLcAdapterPoll = 0x02;
inline constexpr uint8_t kLcSpecialFunction = 0x10;
inline constexpr uint8_t kLcConfiguration = 0x11;
inline constexpr uint8_t kLcTimeoutChange = 0x12;
inline constexpr uint8_t kLcTimeoutEnquiry = 0x13;
inline constexpr uint8_t kLcAdapterPoll80 = 0x80;
inline constexpr uint8_t kLcNackLength = 0x83;
inline constexpr uint8_t kLcNackChecksum = 0x84;
inline constexpr uint8_t kLcNackSync = 0x85;
inline constexpr uint8_t kLcAbort = 0x86;
inline constexpr uint8_t kLcAckEnquiry = 0x87;
inline constexpr uint8_t kLcPortReset = 0x88;

// Capability bits of the configuration response.
inline constexpr uint8_t kCapSuperFrames = 0x01;
inline constexpr uint8_t kCapPiggyBack = 0x02;

// ---------------------------------------------------------------- frames

struct Frame {
    std::array<uint8_t, kMaxFrameBytes> bytes{};
    uint16_t size = 0;

    std::span<const uint8_t> view() const { return {bytes.data(), size}; }
};

// The byte that makes the given bytes add up to 0 modulo 256.
uint8_t frame_checksum(std::span<const uint8_t> bytes);
bool frame_sum_is_zero(std::span<const uint8_t> bytes);

// L, type, body, checksum. false (and an empty frame) when the body is
// longer than kMaxFrameBody.
bool make_frame(uint8_t type, std::span<const uint8_t> body, Frame* out);
Frame link_control_frame(uint8_t code);
Frame link_control_frame(uint8_t code, uint8_t parameter);

// A frame's type and body; empty spans for a frame shorter than 3 bytes.
uint8_t frame_type(std::span<const uint8_t> frame);
std::span<const uint8_t> frame_body(std::span<const uint8_t> frame);

// ------------------------------------------------------ byte-by-byte assembly

enum class FeedResult {
    Pending,      // the byte was taken; the frame is not complete
    Complete,     // a frame with a good checksum is in assembler_frame()
    BadChecksum,  // a complete frame whose bytes do not add up; dropped
    Ignored,      // a length byte of 0 between frames; skipped
};

// Receives bytes one at a time into a fixed buffer that holds the longest
// frame; it cannot be overrun. After Complete or BadChecksum the next byte
// starts a new frame.
struct FrameAssembler {
    std::array<uint8_t, kMaxFrameBytes> bytes{};
    uint16_t have = 0;
    uint16_t need = 0;
    bool done = false;
    uint32_t last_byte_ms = 0;
};

FeedResult assembler_feed(FrameAssembler& assembler, uint8_t byte, uint32_t now_ms);
bool assembler_collecting(const FrameAssembler& assembler);
// The bytes of the frame being collected or just completed (L to checksum).
std::span<const uint8_t> assembler_frame(const FrameAssembler& assembler);
void assembler_reset(FrameAssembler& assembler);

// ---------------------------------------------------------------- TQLA

inline constexpr size_t kTqlaHeader = 6;
// The receiver reassembles into 2048 bytes counted with the 0x12 type byte.
inline constexpr size_t kMaxTqlaMessage = 2047;
inline constexpr size_t kSegmentThreshold = 16;
inline constexpr size_t kSegmentData = 16;

// TQLA codes.
inline constexpr uint16_t kTqlaDeviceAssoc = 2;
inline constexpr uint16_t kTqlaDeviceAssocAck = 3;
inline constexpr uint16_t kTqlaNoMultiline = 4;
inline constexpr uint16_t kTqlaKey = 6;
inline constexpr uint16_t kTqlaKeyAck = 7;
inline constexpr uint16_t kTqlaKeyInfo = 8;
inline constexpr uint16_t kTqlaKeyInfoAck = 9;
inline constexpr uint16_t kTqlaString = 10;
inline constexpr uint16_t kTqlaStringAck = 11;
inline constexpr uint16_t kTqlaStringInfo = 12;
inline constexpr uint16_t kTqlaStringInfoAck = 13;
inline constexpr uint16_t kTqlaSk = 14;
inline constexpr uint16_t kTqlaSkAck = 15;
inline constexpr uint16_t kTqlaSkInfo = 16;
inline constexpr uint16_t kTqlaSkInfoAck = 17;
inline constexpr uint16_t kTqlaCode = 18;
inline constexpr uint16_t kTqlaCodeAck = 19;
inline constexpr uint16_t kTqlaCodeInfo = 20;
inline constexpr uint16_t kTqlaCodeInfoAck = 21;
inline constexpr uint16_t kTqlaEventIncomingChange = 23;
inline constexpr uint16_t kTqlaEventOutgoingCall = 24;
inline constexpr uint16_t kTqlaEventConnectedCall = 25;
inline constexpr uint16_t kTqlaEventTransferedCall = 28;
inline constexpr uint16_t kTqlaKeySpe = 30;
inline constexpr uint16_t kTqlaKeySpeAck = 31;
inline constexpr uint16_t kTqlaKeySpeInfo = 32;
inline constexpr uint16_t kTqlaKeySpeInfoAck = 33;

// The name of a code as the traces print it ("REQUEST_4" for the request
// that has none); nullptr for an unknown code.
const char* tqla_code_name(uint16_t code);

struct TqlaHeader {
    uint16_t length = 0;
    uint8_t version = 0;
    uint16_t code = 0;
    uint8_t sequence = 0;
};

// Reads the header; the payload is what the length field covers after it.
// false when the bytes are shorter than the header or than the length field
// says, or the length field is below the header's size.
bool tqla_parse(std::span<const uint8_t> message, TqlaHeader* header, std::span<const uint8_t>* payload);

// A TQLA message being written; appends past the capacity set the overflow
// flag instead of writing.
struct TqlaMessage {
    std::array<uint8_t, kMaxTqlaMessage> bytes{};
    uint16_t size = 0;
    bool overflow = false;

    std::span<const uint8_t> view() const { return {bytes.data(), size}; }
};

void tqla_begin(TqlaMessage& message, uint8_t version, uint16_t code, uint8_t sequence);
void tqla_put(TqlaMessage& message, uint8_t byte);
void tqla_put_bytes(TqlaMessage& message, std::span<const uint8_t> bytes);
size_t tqla_room(const TqlaMessage& message);
// Writes the length field; false when something did not fit.
bool tqla_finish(TqlaMessage& message);

// The frames that carry a message of `size` bytes: 1 under 16 bytes, else
// one segment per 16 bytes begun; 0 for an empty or oversized message.
size_t tqla_frame_count(size_t size);
// Frame number `index` of the message: a type 0x12 frame, or a segment
// (first: 0x80 + segments that follow, the length counted with the type
// byte, 0x12, 16 bytes; then: segments that follow, up to 16 bytes).
bool tqla_frame(std::span<const uint8_t> message, size_t index, Frame* out);

// ---------------------------------------------------------- reassembly

enum class SegmentResult {
    Pending,     // stored; more segments to come
    Complete,    // reassembled_message() holds the type byte and the message
    OutOfOrder,  // not the segment expected; reassembly restarted
    Malformed,   // too short, too long for the buffer, or a length mismatch
};

struct Reassembler {
    std::array<uint8_t, kMaxTqlaMessage + 1> bytes{};
    uint16_t fill = 0;
    uint16_t total = 0;
    uint8_t to_follow = 0;
    bool active = false;
};

// One segment, given from its header byte on (the bytes after the 0x0C).
SegmentResult reassembler_add(Reassembler& reassembler, std::span<const uint8_t> segment);
// After Complete: the carried message from its type byte on.
std::span<const uint8_t> reassembled_message(const Reassembler& reassembler);
void reassembler_reset(Reassembler& reassembler);

}  // namespace zq::sim
