#include "callmodel/setmsg.h"

namespace zq {

// The display image, icons and keys are decoded by the call model; until it
// is in place the messages are received and acknowledged only.
void VtaDisplayIconMsg(std::span<const uint8_t>, bool, bool, uint8_t) {}
void VtaKeyMsg(std::span<const uint8_t>, bool, uint8_t) {}

}  // namespace zq
