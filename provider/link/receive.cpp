#include "link/receive.h"

namespace zq {

ReceiveState g_rx;

}  // namespace zq
