// Assisted telephony: the queue of MAKECALL requests for this process's
// registered recipient. Internal to telephony/core.
#pragma once

#include <cstddef>

namespace zq::tapiapp {

// Unregisters an application that shuts down (g_lock held); true when it
// was the last MAKECALL recipient, so that StopListening must follow once
// the lock is released.
bool ForgetRecipient(size_t app);
void StopListening();

}  // namespace zq::tapiapp
