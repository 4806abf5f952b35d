// Shared by the supervision and download tests: a clean process, a wire to
// the simulator that keeps what the provider wrote (tick by tick) and can
// drop the PBX's answers, and finders over TAPI's events, the boxes and the
// trace.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "provider_fixture.h"
#include "zq/memplat.h"
#include "zq/sim.h"

namespace zq::test {

inline constexpr char kV24Box[] =
    "Hardware Problem - Please check:\n\n - the cable,\n - the PC serial port,\n - the LXC card.\n\nTrying "
    "to "
    "restart ... Click Ok to abort";
inline constexpr char kNoPbxBox[] =
    "No response from PBX !\nThe Velmora Service Provider cannot run...\n\n- Check your PBX version.\n - "
    "Check "
    "your LXC setup.";
inline constexpr char kBadModeBox[] = "     Set Configuration Error\n\nLXC setup error - Bad VEX/PC mode";
inline constexpr char kNotQr7Box[] =
    "     Set Configuration Error\n\nYour set is not a 3861/3862 Velmora set";
inline constexpr char kMonoBox[] = "     Set Configuration Error\n\nYour set has not a multiline config";

inline const std::vector<uint8_t> kPoll{0x02, 0x60, 0x01, 0x9D};
inline const std::vector<uint8_t> kNackChecksum{0x02, 0x60, 0x84, 0x1A};

struct Written {
    int tick;  // 0: before the first tick (the line open)
    std::vector<uint8_t> bytes;
};

// The simulator on the far end of COM1, pumped around every tick.
struct SimWire {
    sim::Sim* sim;
    int tick = 0;
    std::vector<Written> writes;
    // When set, frames from the adapter for which it returns true are lost
    // on the way (the simulator does not know).
    std::function<bool(std::span<const uint8_t> frame)> drop;
    // When set, writes of the provider for which it returns true never
    // reach the adapter (they are still kept in writes).
    std::function<bool(const std::vector<uint8_t>& bytes)> lose;
    // When set, bytes on their way may be changed, cut or removed: each
    // write of the provider before the adapter reads it (toAdapter), and
    // the adapter's output, after drop, before the provider reads it. The
    // provider's writes are kept in writes as written.
    std::function<void(std::vector<uint8_t>& bytes, bool toAdapter)> mangle;

    explicit SimWire(const sim::SetDescription& set);
    ~SimWire();
    SimWire(const SimWire&) = delete;
    SimWire& operator=(const SimWire&) = delete;

    void Pump();
    bool Ticks(int n);
    // One tick with the worker's timer procedure called on this thread, the
    // wire pumped around it. The worker the open started waits for timer
    // messages that virtual time never sends; handing it each tick would
    // only add thread switches to long runs.
    void TickHere();
    // Ticks until cond() holds; the number of ticks run, -1 when it did not
    // within limit.
    int TicksUntil(const std::function<bool()>& cond, int limit);
    // Ticks at which the provider wrote exactly these bytes.
    std::vector<int> TicksOfWrite(const std::vector<uint8_t>& bytes) const;
    // Every frame the provider wrote, split at frame boundaries.
    std::vector<std::vector<uint8_t>> Frames() const;
    // Writes that hold these bytes one after the other, inside any frame.
    int WritesHolding(const std::vector<uint8_t>& bytes) const;
    // TQLA requests the provider sent (code and payload), whole frames of
    // type 0x12 or 0x0C.
    std::vector<std::vector<uint8_t>> TqlaRequests() const;
};

// A new process: the provider loaded, COM1 configured with the trace mask
// `trace`, the line opened with TAPI's completions going to `completion`,
// then ticked here (TickHere) until it is in service with the set
// configured, and 20 ticks more. false when the open failed or the line was
// not in service within 600 ticks.
bool OpenInServiceHere(SimWire& wire, std::string_view trace, ASYNC_COMPLETION completion, HDRVLINE* hdLine);

// A frame from the adapter carrying a PBX answer (a TQLA message or one of
// its segments).
bool IsPbxAnswer(std::span<const uint8_t> frame);

int CountLineEvents(uint32_t msg, uintptr_t param1);
int CountLineEvents(uint32_t msg);
int CountBoxes(std::string_view text);
// Position of the first trace message equal to `message`, -1 if none.
int TraceIndex(std::string_view message);
// Whether the message was traced after the first `mark` messages.
bool TraceHasAfter(size_t mark, std::string_view message);

// The SetDescription of a set file's text; fails the test on a bad text.
sim::SetDescription SetFrom(std::string_view text);

// Runs the simulator-driven download to its end.
bool DownloadCompletes(SimWire& wire, int limit = 200);

// The provider's subkey as a map of value name to text (all values).
std::vector<std::pair<std::string, std::string>> ProviderValues(std::string_view subkey);

}  // namespace zq::test
