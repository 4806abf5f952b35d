// Call events that the PBX sends as TQLA messages.
#pragma once

#include <cstdint>
#include <span>

namespace zq {

void TqlaEventIncomingChange(uint8_t seq, std::span<const uint8_t> payload);
void TqlaEventOutgoingCall(uint8_t seq, std::span<const uint8_t> payload);
void TqlaEventConnectedCall(uint8_t seq, std::span<const uint8_t> payload);
void TqlaEventTransferedCall(uint8_t seq, std::span<const uint8_t> payload);

}  // namespace zq
