// Frames and messages in words, as the simulator's log prints them; also
// used by the tools that read frames elsewhere (the trace reader).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace zq::sim {

enum class Direction { FromProvider, FromAdapter };

// "provider -> adapter: " or "adapter -> provider: ".
const char* direction_prefix(Direction direction);

// Bytes as "02 60 00", at most max_bytes of them, then "…".
std::string hex_bytes(std::span<const uint8_t> bytes, size_t max_bytes = 24);

// One message from its type byte's body: the bytes after the type.
std::string describe_message(Direction direction, uint8_t type, std::span<const uint8_t> body);
// A TQLA message from its length field on.
std::string describe_tqla(std::span<const uint8_t> message);

}  // namespace zq::sim
