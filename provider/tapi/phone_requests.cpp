#include "tapi/phone_requests.h"

namespace zq {

void DoGetDisplay() {}
LONG DoPressButton() {
    return static_cast<LONG>(PHONEERR_OPERATIONUNAVAIL);
}

}  // namespace zq
