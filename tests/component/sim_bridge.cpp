#include "sim_bridge.h"

#include "zq/platform.h"

namespace zq::test {

SimBridge::SimBridge(const sim::SetDescription& set) : sim(sim::sim_create(set)) {}

SimBridge::~SimBridge() {
    sim::sim_destroy(sim);
}

void SimBridge::Pump() {
    const uint32_t now = plat::time_ms();
    for (const auto& w : memplat::port_take_writes(port))
        sim::sim_receive(sim, w, now);
    sim::sim_tick(sim, now);
    const auto out = sim::sim_take_output(sim);
    if (!out.empty())
        memplat::port_feed(port, out);
}

bool SimBridge::Ticks(int n) {
    for (int i = 0; i < n; ++i) {
        Pump();
        if (!memplat::run_ticks(1))
            return false;
        Pump();
    }
    return true;
}

}  // namespace zq::test
