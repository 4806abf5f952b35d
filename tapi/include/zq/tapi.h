// TAPI and TSPI types: the SDK's own headers on Windows, the same names with
// the same values and layouts elsewhere (UTF-16 strings on every system).
#pragma once

#if defined(_WIN32)
#include <windows.h>
// windows.h first: the TAPI headers use its types.
#include <tapi.h>
#include <tspi.h>
#else
#include "zq/tapi_posix.h"
#endif
