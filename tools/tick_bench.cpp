// Measures the worker's 100 ms tick on this machine: runs a 100 ms timer for
// 100 ticks and prints how far the 100th tick lands from 10 s after the
// timer was started (the drift) and the shortest and longest period.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "zq/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTicks = 100;
constexpr uint32_t kPeriodMs = 100;

Clock::time_point g_ticks[kTicks];
int g_count = 0;

void on_tick() {
    if (g_count < kTicks) {
        g_ticks[g_count++] = Clock::now();
    }
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

int main() {
    const Clock::time_point start = Clock::now();
    if (zq::plat::timer_start(kPeriodMs, on_tick) == 0) {
        std::fprintf(stderr, "tick_bench: timer_start failed\n");
        return 1;
    }
    while (g_count < kTicks && zq::plat::message_dispatch_next()) {
    }
    double min_period = 1e9;
    double max_period = 0;
    for (int i = 1; i < kTicks; ++i) {
        const double period = ms(g_ticks[i] - g_ticks[i - 1]);
        min_period = std::min(min_period, period);
        max_period = std::max(max_period, period);
    }
    const auto expected = std::chrono::milliseconds(kPeriodMs * kTicks);
    const double drift = ms(g_ticks[kTicks - 1] - start - expected);
    std::printf("ticks %d, period %u ms\n", kTicks, kPeriodMs);
    std::printf("tick %d is %+.3f ms from %u ms after the start\n", kTicks, drift, kPeriodMs * kTicks);
    std::printf("period min %.3f ms, max %.3f ms\n", min_period, max_period);
    return 0;
}
