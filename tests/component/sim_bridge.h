// The simulated adapter, PBX and set on the other end of the in-memory
// serial port, in virtual time: what the provider writes reaches the
// simulator, what the simulator sends is read by the provider's next tick.
#pragma once

#include <string_view>

#include "zq/memplat.h"
#include "zq/sim.h"

namespace zq::test {

struct SimBridge {
    sim::Sim* sim = nullptr;
    std::string_view port = "COM1";

    explicit SimBridge(const sim::SetDescription& set);
    ~SimBridge();
    SimBridge(const SimBridge&) = delete;
    SimBridge& operator=(const SimBridge&) = delete;

    // Moves the bytes waiting on either side across the wire.
    void Pump();
    // Runs n worker ticks with the wire pumped before and after each and
    // the simulator's time following the clock. false when a tick did not
    // run (no worker timer).
    bool Ticks(int n);
    // Ticks until cond() holds or limit ticks have run; the ticks run.
    template <typename F>
    int TicksUntil(F cond, int limit) {
        for (int i = 0; i < limit; ++i) {
            if (cond())
                return i;
            if (!Ticks(1))
                return -1;
        }
        return cond() ? limit : -1;
    }
};

}  // namespace zq::test
