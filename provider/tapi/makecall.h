// Outgoing calls: the make call that presses a line key and dials, more
// digits on a call in dial tone, and DTMF on a connected call.
#pragma once

#include <cstdint>

#include "zq/tapi.h"

namespace zq {

// Make call (code 1) or dial (code 2) on cref, as the configuration state
// allows: deferred, refused, or done now. The completion's result.
LONG MakeCallRequest(int32_t cref, uint32_t code);
// Presses the key and dials DestAddress of cref; 0 or a LINEERR_ value.
// deferred: TAPI's request was completed already (the timer makes it).
LONG DoMakeCall(int32_t cref, uint32_t code, bool deferred);
// The lowest record a new call from TAPI may take (free, idle or in dial
// tone, and not held for another TAPI call); -1 when none.
int FreeCallRecord();
// DTMF digits of cref on the set's voice-frequency soft keys.
LONG DoGenerateDigits(int32_t cref);

// The dial-tone report of the next make-call progress (a make call, not a
// dial).
extern bool g_dialToneReport;

}  // namespace zq
