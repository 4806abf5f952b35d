#include "tapi/makecall.h"

namespace zq {

bool g_dialToneReport = true;

// Key presses and digits for the set come with the call-control procedures.
LONG DoMakeCall(int32_t) {
    return 0;
}

}  // namespace zq
