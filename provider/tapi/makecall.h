// Outgoing calls: the make-call procedure that presses a line key and
// dials.
#pragma once

#include <cstdint>

#include "zq/tapi.h"

namespace zq {

// Performs the make call held by cref; 0 or a LINEERR_ value.
LONG DoMakeCall(int32_t cref);

// The dial-tone report of the next make-call progress (on at load).
extern bool g_dialToneReport;

}  // namespace zq
