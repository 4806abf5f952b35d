#include "callmodel/pbxevents.h"

namespace zq {

// Caller, called and connected parties from the PBX: used by the call model.
void TqlaEventIncomingChange(uint8_t, std::span<const uint8_t>) {}
void TqlaEventOutgoingCall(uint8_t, std::span<const uint8_t>) {}
void TqlaEventConnectedCall(uint8_t, std::span<const uint8_t>) {}
void TqlaEventTransferedCall(uint8_t, std::span<const uint8_t>) {}

}  // namespace zq
