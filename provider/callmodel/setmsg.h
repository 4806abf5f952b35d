// Messages between the PBX and the set, as the adapter's trace headers
// carry them: display texts, icons and lamps one way, keys the other.
#pragma once

#include <cstdint>
#include <span>

namespace zq {

// A message from the PBX to the set, or to an add-on module (module
// address given); body starts at the message type.
void VtaDisplayIconMsg(std::span<const uint8_t> body, bool ack, bool fromModule, uint8_t moduleAddress);
// A message from the set, or from an add-on module, to the PBX.
void VtaKeyMsg(std::span<const uint8_t> body, bool fromModule, uint8_t moduleAddress);

}  // namespace zq
