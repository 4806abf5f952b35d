#include "superv_support.h"

#include <algorithm>
#include <array>

#include "callmodel/calls.h"
#include "callmodel/tables.h"
#include "core/lifecycle.h"
#include "link/setconfig.h"
#include "link/supervision.h"
#include "zq/platform.h"

namespace zq::test {

SimWire::SimWire(const sim::SetDescription& set) : sim(sim::sim_create(set)) {}

SimWire::~SimWire() {
    sim::sim_destroy(sim);
}

void SimWire::Pump() {
    const uint32_t now = plat::time_ms();
    for (auto& w : memplat::port_take_writes("COM1")) {
        if (mangle && (!lose || !lose(w))) {
            std::vector<uint8_t> changed = w;
            mangle(changed, true);
            sim::sim_receive(sim, changed, now);
        } else if (!mangle && (!lose || !lose(w))) {
            sim::sim_receive(sim, w, now);
        }
        writes.push_back({tick, std::move(w)});
    }
    sim::sim_tick(sim, now);
    std::vector<uint8_t> out = sim::sim_take_output(sim);
    if (drop) {
        // Whole frames only: a cut frame goes through as it is.
        std::vector<uint8_t> kept;
        size_t at = 0;
        while (at < out.size()) {
            const size_t end = std::min(out.size(), at + out[at] + 2);
            const std::span<const uint8_t> frame(out.data() + at, end - at);
            if (!drop(frame))
                kept.insert(kept.end(), frame.begin(), frame.end());
            at = end;
        }
        out.swap(kept);
    }
    if (mangle)
        mangle(out, false);
    if (!out.empty())
        memplat::port_feed("COM1", out);
}

bool SimWire::Ticks(int n) {
    for (int i = 0; i < n; ++i) {
        Pump();
        ++tick;
        if (!memplat::run_ticks(1))
            return false;
        Pump();
    }
    return true;
}

void SimWire::TickHere() {
    Pump();
    ++tick;
    memplat::advance(100);
    SerialTimerProc();
    Pump();
}

int SimWire::TicksUntil(const std::function<bool()>& cond, int limit) {
    for (int i = 0; i < limit; ++i) {
        if (cond())
            return i;
        if (!Ticks(1))
            return -1;
    }
    return cond() ? limit : -1;
}

std::vector<int> SimWire::TicksOfWrite(const std::vector<uint8_t>& bytes) const {
    std::vector<int> ticks;
    for (const Written& w : writes)
        if (w.bytes == bytes)
            ticks.push_back(w.tick);
    return ticks;
}

int SimWire::WritesHolding(const std::vector<uint8_t>& bytes) const {
    int n = 0;
    for (const Written& w : writes)
        n += std::search(w.bytes.begin(), w.bytes.end(), bytes.begin(), bytes.end()) != w.bytes.end() ? 1 : 0;
    return n;
}

std::vector<std::vector<uint8_t>> SimWire::Frames() const {
    std::vector<std::vector<uint8_t>> frames;
    for (const Written& w : writes) {
        size_t at = 0;
        while (at < w.bytes.size()) {
            const size_t end = std::min(w.bytes.size(), at + w.bytes[at] + 2);
            frames.emplace_back(w.bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                w.bytes.begin() + static_cast<std::ptrdiff_t>(end));
            at = end;
        }
    }
    return frames;
}

std::vector<std::vector<uint8_t>> SimWire::TqlaRequests() const {
    std::vector<std::vector<uint8_t>> requests;
    const auto add = [&](std::span<const uint8_t> message) {
        std::vector<uint8_t> m(message.begin(), message.end());
        // A frame written again is the same request.
        if (requests.empty() || requests.back() != m)
            requests.push_back(std::move(m));
    };
    for (const auto& f : Frames()) {
        if (f.size() < 4)
            continue;
        if (f[1] == sim::kTypeTqla)
            add({f.data() + 2, f.size() - 3});
        // Piggy-back: [L][6F][02 60 code][L'][type][body][CS].
        if (f[1] == sim::kTypePiggyBack && f.size() > 8 && f[6] == sim::kTypeTqla)
            add({f.data() + 7, f.size() - 8});
    }
    return requests;
}

bool OpenInServiceHere(SimWire& wire, std::string_view trace, ASYNC_COMPLETION completion, HDRVLINE* hdLine) {
    FreshProcess();
    memplat::reset();
    memplat::port_add("COM1");
    // At the line's pace, as a UART sends: a frame just written is still in
    // the output queue, which holds the transmit queue back.
    memplat::port_set_line_rate("COM1", 873);
    PutProviderValue("Provider", "Port", "COM1");
    PutProviderValue("Provider", "Speed", "9600");
    PutProviderValue("Debug_Mode", "DebugOutput", trace);
    static int instance;
    ProviderAttach(&instance);
    DWORD lines = 0, phones = 0, options = 0;
    if (TSPI_providerEnumDevices(1, &lines, &phones, reinterpret_cast<HPROVIDER>(0x55), nullptr, nullptr) !=
            0 ||
        TSPI_providerInit(0x20000, 1, 0, 0, 1, 1, completion, &options) != 0 ||
        TSPI_lineOpen(0, reinterpret_cast<HTAPILINE>(0x1234), hdLine, 0x20000, RecordLineEvent) != 0)
        return false;
    for (int i = 0; i < 600 && !(g_line.lineDevState == 2 && g_dl.ConfigComplete); ++i)
        wire.TickHere();
    for (int i = 0; i < 20; ++i)
        wire.TickHere();
    return g_line.lineDevState == 2 && g_dl.ConfigComplete;
}

bool IsPbxAnswer(std::span<const uint8_t> frame) {
    return frame.size() >= 2 && (frame[1] == sim::kTypeTqla || frame[1] == sim::kTypeSegment);
}

int CountLineEvents(uint32_t msg, uintptr_t param1) {
    return static_cast<int>(
        std::count_if(g_tapi.lineEvents.begin(), g_tapi.lineEvents.end(),
                      [&](const LineEventRecord& e) { return e.msg == msg && e.param1 == param1; }));
}

int CountLineEvents(uint32_t msg) {
    return static_cast<int>(std::count_if(g_tapi.lineEvents.begin(), g_tapi.lineEvents.end(),
                                          [&](const LineEventRecord& e) { return e.msg == msg; }));
}

int CountBoxes(std::string_view text) {
    const auto all = memplat::boxes();
    return static_cast<int>(
        std::count_if(all.begin(), all.end(), [&](const memplat::Box& b) { return b.text == text; }));
}

int TraceIndex(std::string_view message) {
    const auto lines = TraceMessages();
    const auto it = std::find(lines.begin(), lines.end(), message);
    return it == lines.end() ? -1 : static_cast<int>(it - lines.begin());
}

bool TraceHasAfter(size_t mark, std::string_view message) {
    const auto lines = TraceMessages();
    return mark < lines.size() &&
           std::find(lines.begin() + static_cast<std::ptrdiff_t>(mark), lines.end(), message) != lines.end();
}

sim::SetDescription SetFrom(std::string_view text) {
    sim::SetDescription set;
    sim::ParseError error;
    EXPECT_TRUE(sim::parse_set_description(text, &set, &error)) << error.line << ": " << error.message;
    return set;
}

bool DownloadCompletes(SimWire& wire, int limit) {
    return wire.TicksUntil([] { return g_dl.ConfigComplete; }, limit) >= 0;
}

std::vector<std::pair<std::string, std::string>> ProviderValues(std::string_view subkey) {
    std::vector<std::pair<std::string, std::string>> values;
    plat::RegKey* key = nullptr;
    const std::string path = std::string(kProviderKey) + "\\" + std::string(subkey);
    if (plat::reg_open_key(plat::reg_root(plat::RegRoot::LocalMachine), path, &key) != plat::kErrSuccess)
        return values;
    for (uint32_t i = 0;; ++i) {
        std::array<char, 64> name{};
        std::array<uint8_t, 256> data{};
        uint32_t nameLen = 0, type = 0, dataLen = 0;
        if (plat::reg_enum_value(key, i, name, &nameLen, &type, data, &dataLen) != plat::kErrSuccess)
            break;
        std::string text(reinterpret_cast<const char*>(data.data()), std::min<size_t>(dataLen, data.size()));
        if (!text.empty() && text.back() == '\0')
            text.pop_back();
        values.emplace_back(std::string(name.data(), nameLen), text);
    }
    plat::reg_close_key(key);
    return values;
}

}  // namespace zq::test
