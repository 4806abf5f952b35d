// The frames a trace shows as hex dumps ("SendL2Msg(02.60.00.9E.)",
// "ProcessInput(60.00.9E.)", "TAPI_TQLA MSG: 00.07.03.…") in words, by
// the simulator's own decoder.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zq/sim_wire.h"

namespace zq::trace {

// The bytes of a hex dump "02.60.00." (each byte two hexadecimal digits and
// a dot); nullopt for any other text.
std::optional<std::vector<uint8_t>> ParseHexDump(std::string_view text);

// The icon word's meaning as the provider classifies it (mask 0xA8A8):
// "active", "ringing", "held", "idle", "reserved", or empty.
std::string_view IconMeaning(uint16_t word);

// Decodes the frames of the messages given one after the other. Long TQLA
// messages are put together again from their segments, one direction each.
class FrameDecoder {
public:
    // The words of a message, empty when it carries no frame. A dump the
    // provider cut short ("Tronquage chaine" before it, or fewer bytes than
    // the frame's length) is decoded as far as it goes and says so.
    std::vector<std::string> Words(std::string_view message);

private:
    std::vector<std::string> FrameWords(std::span<const uint8_t> dump, bool withLength, bool fromProvider,
                                        bool cut);
    sim::Reassembler toAdapter_;
    sim::Reassembler fromAdapter_;
    bool cutAnnounced_ = false;
};

}  // namespace zq::trace
