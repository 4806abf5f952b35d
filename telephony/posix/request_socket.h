// Assisted telephony between processes on Linux: the recipient binds the
// Unix datagram socket $ZQ_PREFIX/run/tapi-requests (mode 0600) and a
// thread hands each 240-byte LINEREQMAKECALL that arrives to the core;
// tapiRequestMakeCall of another process sends one there.
#pragma once

#include <string>

#include "core/tapiapp.h"

namespace zq::tapiapp {

RequestTransport RequestSocketTransport();

// The socket's path under the prefix.
std::string RequestSocketPath();

}  // namespace zq::tapiapp
