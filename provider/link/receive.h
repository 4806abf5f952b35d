// Receiving: bytes read from the port, the frame being assembled, the
// adapter's declared state and the reassembly of segmented messages.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

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

}  // namespace zq
