// The simulator driven from a test in virtual time, with a scripted
// provider on the other side of the line.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "zq/sim.h"

namespace zq::sim::test {

using Bytes = std::vector<uint8_t>;

// L, type, body, checksum.
Bytes frame(uint8_t type, const Bytes& body);
// [length][text].
Bytes label(std::string_view text);
Bytes operator+(Bytes a, const Bytes& b);
Bytes text_bytes(std::string_view text);

// Cuts a byte stream at its length bytes; a last, incomplete frame is kept
// as it is.
std::vector<Bytes> split_frames(const Bytes& bytes);

inline const Bytes kAck{0x02, 0x60, 0x00, 0x9E};
inline const Bytes kPoll{0x02, 0x60, 0x01, 0x9D};

// A TQLA request as the provider builds it: version 2.
Bytes tqla_request(uint16_t code, uint8_t sequence, const Bytes& payload = {});

struct Answer {
    bool received = false;
    Bytes message;  // from its length field on
    size_t frames = 0;
};

class Harness {
public:
    explicit Harness(const SetDescription& set = default_set());
    ~Harness();
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    Sim* sim() const { return sim_; }
    uint32_t now() const { return now_; }

    // Bytes from the provider now; what the adapter wrote in answer.
    Bytes send(const Bytes& bytes);
    // Time passes; what the adapter wrote meanwhile.
    Bytes advance(uint32_t ms);
    // The provider's opening: 60 85, poll, special function, configuration
    // request (idle display off), each answered.
    void open_link();
    // A TQLA request; the provider acknowledges every frame of the answer
    // and reassembles its segments as the provider does.
    Answer request(uint16_t code, const Bytes& payload = {});
    bool log_has(std::string_view text) const;
    // What the adapter sends from `out` on (its own ACKs skipped), each data
    // frame acknowledged as the provider does, in the notation of the set's
    // conventions: "I 1=2020", "D0 'Dial'", "D1 [Back,-,-,Transf]",
    // "M 1:3=2800" (module icon), "U 20 1D" (set to PBX), "ICI 1 2005/01
    // 'Martin Paul' to 2001", "OCI ...", "CCI ...", "TRANSFERED 21",
    // "DEVICE_ASSOC_ACK forward 0 '2005'".
    std::vector<std::string> shown(Bytes out);

private:
    Sim* sim_;
    uint32_t now_ = 1000;
    std::array<uint8_t, 34> sequence_{};
};

}  // namespace zq::sim::test
