// Call control on the set: answer, drop, hold and unhold done as a user
// would, with the call's key, the release key and the soft keys. Each
// returns 0 or a LINEERR_ value; the new states come from the icons.
#pragma once

#include <cstdint>

#include "zq/tapi.h"

namespace zq {

LONG DoAnswerCall(int32_t cref);
// 0 or positive: the drop runs until the call is idle.
LONG DoClearCall(int32_t cref);
LONG DoHoldCall(int32_t cref);
LONG DoUnholdCall(int32_t cref);

}  // namespace zq
