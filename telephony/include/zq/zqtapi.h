// What libzqtapi.so offers beyond the TAPI line functions of zq/tapi.h.
#pragma once

#include "zq/tapi.h"

extern "C" {

// The file descriptor that is readable while an application initialised
// with LINEINITIALIZEEXOPTION_USEEVENT has messages to take with
// lineGetMessage, for poll() or select(); -1 for a handle that is not an
// initialised application's. It belongs to the library: never read or
// close it.
ZQ_TAPI_EXPORT int zqtapiEventFd(HLINEAPP hLineApp);

}  // extern "C"
