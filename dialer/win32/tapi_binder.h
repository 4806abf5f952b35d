// The TAPI line functions bound lazily from TAPI32.DLL: the program does
// not import the library, so it starts (and reports) where it is missing.
#pragma once

#include "core/tapi_api.h"

namespace zq::dialer::win32 {

// A table whose every entry loads TAPI32.DLL on its first call (once per
// process; a failed load is remembered) and looks its own function up by
// its exported name (once; a failed look-up is remembered too). While the
// library or the function is missing, the entry answers
// LINEERR_OPERATIONUNAVAIL and does nothing else.
TapiApi LazyTapi32();

}  // namespace zq::dialer::win32
