// Receiving: bytes read from the port, the frame being assembled, the
// adapter's declared state and the reassembly of segmented messages.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace zq {

inline constexpr size_t RX_BUFFER_SIZE = 1024;
inline constexpr size_t REASSEMBLY_SIZE = 2048;

struct ReceiveState {
    std::array<uint8_t, RX_BUFFER_SIZE> rxBuf{};
    uint32_t rxFill = 0;
    std::array<uint8_t, RX_BUFFER_SIZE> frame{};
    bool collecting = false;
    uint32_t expected = 0;
    uint32_t collected = 0;
    int inactivity = 0;
    uint32_t lastReceiveTime = 0;
    bool ready = false;
    bool traceModeSeen = false;
    uint8_t versionMajor = 0;
    uint8_t versionMinor = 0;
    uint8_t adapterParam = 25;
    uint8_t optionByte = 0;
    std::array<uint8_t, REASSEMBLY_SIZE> reasm{};
    uint32_t reasmPos = 0;
    uint32_t reasmExpected = 0;
    uint32_t reasmReceived = 0;
    uint32_t reasmTotal = 0;
    // Link test mode: frames acknowledged before the provider stops
    // answering (-1 off), enquiries let pass, the answer to an enquiry.
    int inputCounter = -1;
    int enquiryCounter = 0;
    bool answerNack = false;
};

extern ReceiveState g_rx;

inline constexpr uint32_t ENQUIRY_SILENCE_MS = 60000;
inline constexpr uint32_t NACK_WAIT_MS = 200;

// Takes the bytes read from the port apart into frames and acts on them.
// Returns how many bytes to keep for the next call: 0, or all of them when
// the end of a frame is awaited.
uint32_t ProcessInput(std::span<const uint8_t> bytes);

// Acts on one message (a whole frame without its checksum, or a message
// from a container); ack tells whether it still needs acknowledging.
int ProcessZQMsg(std::span<const uint8_t> message, bool ack);

// One segment of a long TQLA message: the frame's data bytes from its type.
void Rebuild_ZQ_Segmented_Error_Msg(std::span<const uint8_t> segment, bool ack);

}  // namespace zq
