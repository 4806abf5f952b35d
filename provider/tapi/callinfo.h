// The call information TAPI reads for a call: the parties as the PBX's call
// events and the set's display gave them, origin, reason and the line's
// fixed values (TSPI_lineGetCallInfo).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tapi/varpart.h"
#include "zq/tapi.h"

namespace zq {

// TAPI 2.0's LINECALLINFO: the variable part starts here, whatever size the
// SDK headers give the structure.
inline constexpr uint32_t LINECALLINFO_FIXED_SIZE = 324;

// The cref in a call handle (its low 16 bits); the caller checks it.
int32_t CrefOfHandle(HDRVCALL hdCall);

}  // namespace zq
