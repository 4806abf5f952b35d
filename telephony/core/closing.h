// What revoking line opens leaves for the provider: calls without handles
// to close, lines without opens to close, and the status masks to give it
// again. Collected under the state lock, carried out without it.
#pragma once

#include <vector>

#include "state.h"

namespace zq::tapiapp {

struct StatusMasks {
    HDRVLINE hdLine = nullptr;
    DWORD lineStates = 0;
    DWORD addressStates = 0;
};

struct Closing {
    std::vector<HDRVCALL> calls;
    std::vector<HDRVLINE> lines;
    std::vector<StatusMasks> masks;
};

// Revokes an open and its call handles (g_lock held).
void RevokeOpen(size_t open, Closing* closing);

// The union of the live opens' masks of a device; true when it differs
// from what the provider was last given (g_lock held).
bool DeviceMasks(size_t device, StatusMasks* masks);

// The provider calls a revocation left (g_lock not held, a ProviderCall
// held): the calls, then the status masks, then the lines.
void FinishClosing(const ProviderCall& provider, const Closing& closing);

}  // namespace zq::tapiapp
