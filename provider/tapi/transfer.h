// Transfers, conferences, forwarding and pickup, done on the set as a user
// would: soft keys found by their labels, call keys and service codes.
// Each returns 0 or a LINEERR_ value.
#pragma once

#include <cstdint>

#include "zq/tapi.h"

namespace zq {

// Ticks a blind or setup transfer may wait for the set to show it done
// (10 s) before it is failed.
inline constexpr int TRANSFER_WATCH_TICKS = 100;

// Accepted (0), these two stay running until the set shows them done.
LONG DoBlindTransfer(int32_t cref);
LONG DoSetupTransfer(int32_t cref, int32_t consultcref);
LONG DoCompleteTransfer(int32_t cref, int32_t consultcref);
LONG DoConference(int32_t cref, int32_t consultcref);
// Forwarding of the mode of a request code, to ForwardAddress.
LONG DoForward(uint32_t code);
LONG DoCancelForward();
// Picks up the call ringing at PickupAddress into record cref.
LONG DoPickup(int32_t cref);
// Each tick: a running transfer the set never shows done is failed; TAPI's
// call for a conference or a pickup the set never shows ends.
void TransferWatchTick();

}  // namespace zq
