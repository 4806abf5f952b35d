// How fast the input framing takes a realistic stream from the adapter:
// system trace headers carrying display and icon messages, acknowledgements
// of the provider's frames and segmented TQLA call events, as the simulator
// sends them, cut into reads of what 100 ms bring on the line. The provider
// runs on the in-memory backend with its port open and answers as it would
// (every data frame is acknowledged on the port). The line itself carries
// about 873 bytes/s.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "core/lifecycle.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "link/receive.h"
#include "link/serial_link.h"
#include "link/supervision.h"
#include "zq/memplat.h"
#include "zq/sim.h"

namespace {

using namespace zq;
using Bytes = std::vector<uint8_t>;

constexpr size_t kReadSize = 87;  // 100 ms at 9600 baud, 8 data and 2 stop bits
const Bytes kAck{0x02, 0x60, 0x00, 0x9E};
const Bytes kPoll{0x02, 0x60, 0x01, 0x9D};

// The simulator's output for a busy minute of the set: every data frame it
// sends is acknowledged on its side, as the provider would.
Bytes MixedStream() {
    sim::Sim* s = sim::sim_create(sim::default_set());
    uint32_t now = 0;
    sim::sim_receive(s, kPoll, now);
    sim::sim_take_output(s);
    Bytes stream;
    const auto collect = [&] {
        for (int i = 0; i < 64; ++i) {
            now += 10;
            sim::sim_tick(s, now);
            const Bytes out = sim::sim_take_output(s);
            if (out.empty())
                return;
            stream.insert(stream.end(), out.begin(), out.end());
            sim::sim_receive(s, kAck, now);
        }
    };
    // A connected-call event as the PBX sends it: key 1, the number and
    // the name of the party.
    Bytes event{0x01, 0x00, 0x04, 0x01, '2', '0', '0', '5', 0x0B};
    for (const char c : std::string_view("Martin Paul"))
        event.push_back(static_cast<uint8_t>(c));
    for (int round = 0; round < 40; ++round) {
        const std::string n = std::to_string(4100 + round);
        sim::sim_show_text(s, 0, 0, "Appel de " + n + "   Dupont J.");
        collect();
        sim::sim_show_text(s, 1, 0, "Renvoi  Transf  Conf   Parking", 1);
        collect();
        sim::sim_show_icon(s, static_cast<uint8_t>(1 + round % 8), round % 2 == 0 ? 0x0101 : 0x0000);
        collect();
        // The adapter acknowledges a frame of the provider.
        stream.insert(stream.end(), kAck.begin(), kAck.end());
        sim::sim_send_tqla(s, 25, event);
        collect();
    }
    sim::sim_destroy(s);
    return stream;
}

void OpenLine(uint32_t traceMask) {
    memplat::reset();
    memplat::port_add("COM1");
    static bool attached = false;
    if (!attached)
        ProviderAttach(nullptr);
    attached = true;
    TraceResetForTest(traceMask);
    ResetLinkState();
    SerialOpenComms("COM1", "9600");
    g_rx.ready = true;
    g_rx.traceModeSeen = true;
    g_lineSettings.TqlaVersion = 2;
    // The set's line keys, as its download declares them.
    for (size_t key = 1; key <= 8; ++key)
        g_line.TouchTable[key].Kind = KEY_MULTILIGNE;
    memplat::port_take_writes("COM1");
}

// As the worker reads: what came after the bytes kept.
void Read(const uint8_t* bytes, size_t n) {
    std::copy_n(bytes, n, g_rx.rxBuf.begin() + g_rx.rxFill);
    g_rx.rxFill += static_cast<uint32_t>(n);
    g_rx.rxFill = ProcessInput({g_rx.rxBuf.data(), g_rx.rxFill});
}

void Run(benchmark::State& state, uint32_t traceMask) {
    const Bytes stream = MixedStream();
    OpenLine(traceMask);
    size_t written = 0;
    for (auto _ : state) {
        for (size_t at = 0; at < stream.size(); at += kReadSize)
            Read(stream.data() + at, std::min(kReadSize, stream.size() - at));
        written += memplat::port_take_writes("COM1").size();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
    state.counters["stream_bytes"] = static_cast<double>(stream.size());
    state.counters["frames_written"] =
        benchmark::Counter(static_cast<double>(written), benchmark::Counter::kAvgIterations);
    state.counters["x_line_rate"] = benchmark::Counter(static_cast<double>(stream.size()) / 873.0,
                                                       benchmark::Counter::kIsIterationInvariantRate);
    SerialCloseComms();
}

void ProcessInputMixedStream(benchmark::State& state) {
    Run(state, 0);
}
void ProcessInputMixedStreamTraced(benchmark::State& state) {
    Run(state, 0x7F);
}

BENCHMARK(ProcessInputMixedStream);
// Every trace level on: each frame traced with its hex dump.
BENCHMARK(ProcessInputMixedStreamTraced);

}  // namespace

BENCHMARK_MAIN();
