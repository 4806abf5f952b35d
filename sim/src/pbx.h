// The PBX's side of the configuration download: the answer to each TQLA
// request, built from the set description.
#pragma once

#include <span>

#include "zq/sim_set.h"
#include "zq/sim_wire.h"

namespace zq::sim {

// The answer to a request, with the request's sequence byte and the set's
// TQLA version. false when none is due: request 4, an unknown code, an INFO
// request that starts past the end of its list, or an answer that cannot be
// built.
bool pbx_answer(const SetDescription& set, const TqlaHeader& request, std::span<const uint8_t> payload,
                TqlaMessage* answer);

// DEVICE_ASSOC_ACK: byte 0, language, MCDU length and characters; from
// version 2 on device type, enquiry mode, forwarding status, destination
// (when forwarded) and the add-on modules, ended by a 0 byte.
bool pbx_device_assoc_ack(const SetDescription& set, uint8_t sequence, TqlaMessage* answer);

}  // namespace zq::sim
