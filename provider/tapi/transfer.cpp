#include "tapi/transfer.h"

namespace zq {

LONG DoBlindTransfer(int32_t) {
    return static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
}
LONG DoSetupTransfer(int32_t, int32_t) {
    return static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
}
LONG DoCompleteTransfer(int32_t, int32_t) {
    return static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
}
LONG DoConference(int32_t, int32_t) {
    return static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
}
LONG DoForward(uint32_t) {
    return static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
}
LONG DoCancelForward() {
    return static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
}
LONG DoPickup(int32_t) {
    return static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
}
void TransferWatchTick() {}

}  // namespace zq
