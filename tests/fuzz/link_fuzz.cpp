// Arbitrary adapter bytes through the provider's input framing and
// everything it dispatches to (link control, containers, segments, TQLA
// answers of the configuration download, trace headers), cut into
// arbitrary reads and mixed with worker ticks, passing time and frames the
// provider sends. The provider runs on the in-memory backend with its port
// open; every input starts from a freshly opened line.
//
// Input: one set-up byte (the bits of Setup), then operations, each a
// control byte (kind in bits 6-7, count - 1 in bits 0-5) and count bytes.
// tests/fuzz/make_corpus.py writes the seeds in this form.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/lifecycle.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "link/fifo.h"
#include "link/frames.h"
#include "link/receive.h"
#include "link/serial_link.h"
#include "link/setconfig.h"
#include "link/supervision.h"
#include "link/tqla.h"
#include "zq/memplat.h"

namespace {

using namespace zq;

// What the adapter and the PBX declared before the stream starts.
enum Setup : uint8_t {
    kReady = 0x01,
    kSuperFrames = 0x02,
    kPiggyBack = 0x04,
    kTestMode = 0x08,
    kAnswerNack = 0x10,
    kConfigured = 0x20,  // download done: the supervision does not give up
    kTqlaVersion2 = 0x40,
    kTracing = 0x80,  // every trace level on, hex dumps included
};

enum Kind : uint8_t {
    kRead = 0,            // the bytes are one read of the port
    kReadMended = 1,      // one read, the checksum of every whole frame in it made right
    kReadAndTick = 2,     // the bytes arrive, then one worker tick reads them
    kProviderOrTime = 3,  // by the first byte, see Act()
};

constexpr char kProviderKey[] = "SOFTWARE\\Velmora\\TSpi_6200\\Provider";

void CALLBACK IgnoreLineEvent(HTAPILINE, HTAPICALL, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

void OpenLine(uint8_t setup) {
    memplat::reset();
    memplat::port_add("COM1");
    memplat::reg_put_string(plat::RegRoot::LocalMachine, kProviderKey, "Port", "COM1");
    memplat::reg_put_string(plat::RegRoot::LocalMachine, kProviderKey, "Speed", "9600");
    TraceResetForTest((setup & kTracing) != 0 ? 0x7F : 0);
    InitLineRecord(1, nullptr, 0, 0, nullptr);
    g_line.lpfnEventProc = IgnoreLineEvent;
    ResetLinkState();
    SerialOpenComms("COM1", "9600");

    g_rx.ready = (setup & kReady) != 0;
    g_port.superAllowed = (setup & kSuperFrames) != 0;
    g_port.piggyAllowed = (setup & kPiggyBack) != 0;
    if ((setup & kTestMode) != 0) {
        g_rx.inputCounter = 3;
        g_rx.enquiryCounter = 1;
    }
    g_rx.answerNack = (setup & kAnswerNack) != 0;
    if ((setup & kConfigured) != 0) {
        g_dl.AssocAck = true;
        g_dl.ConfigComplete = true;
        g_superv.traceWaitArmed = false;
    }
    g_lineSettings.TqlaVersion = (setup & kTqlaVersion2) != 0 ? 2 : 1;
}

// As the worker's read does it: after the bytes kept, what the buffer has
// room for.
void Read(std::span<const uint8_t> bytes) {
    const size_t n = std::min(bytes.size(), RX_BUFFER_SIZE - g_rx.rxFill);
    std::copy_n(bytes.begin(), n, g_rx.rxBuf.begin() + g_rx.rxFill);
    g_rx.rxFill += static_cast<uint32_t>(n);
    if (g_rx.rxFill > 0)
        g_rx.rxFill = ProcessInput({g_rx.rxBuf.data(), g_rx.rxFill});
    if (n > 0)
        g_rx.lastReceiveTime = plat::time_ms();
}

void Tick() {
    memplat::advance(100);
    SerialTimerProc();
}

// Lets the mutations reach past the checksum: the frames of a read walked
// by their length bytes, each whole one given its right checksum.
void MendChecksums(std::span<uint8_t> bytes) {
    size_t pos = 0;
    while (pos < bytes.size() && pos + bytes[pos] + 1 < bytes.size()) {
        const size_t cs = pos + bytes[pos] + 1;
        bytes[cs] = Checksum(bytes.subspan(pos, cs - pos));
        pos = cs + 1;
    }
}

// The provider's side or the clock: a key message queued, a TQLA message
// sent, a kick, a minute of silence, or 100 ms per byte.
void Act(std::span<const uint8_t> bytes) {
    const std::span<const uint8_t> rest = bytes.subspan(1);
    switch (bytes[0] % 5) {
        case 0: {
            const std::array<uint8_t, 2> key{0x20, rest.empty() ? uint8_t{0x1D} : rest[0]};
            PostZQMsg(BuildFrame(FT_KEY, key).span());
            break;
        }
        case 1:
            SendTQLAMsg(rest);
            break;
        case 2:
            PostZQMsg();
            break;
        case 3:
            memplat::advance(ENQUIRY_SILENCE_MS + 1000);
            break;
        default:
            memplat::advance(static_cast<uint32_t>(bytes.size()) * 100);
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ProviderAttach(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const std::span<const uint8_t> input(data, size);
    OpenLine(input[0]);
    size_t i = 1;
    while (i < input.size()) {
        const uint8_t control = input[i++];
        const size_t count = std::min<size_t>((control & 0x3F) + 1, input.size() - i);
        const std::span<const uint8_t> bytes = input.subspan(i, count);
        i += count;
        switch (control >> 6) {
            case kRead:
                Read(bytes);
                break;
            case kReadMended: {
                std::array<uint8_t, 64> mended{};
                std::copy(bytes.begin(), bytes.end(), mended.begin());
                MendChecksums({mended.data(), bytes.size()});
                Read({mended.data(), bytes.size()});
                break;
            }
            case kReadAndTick:
                memplat::port_feed("COM1", {bytes.begin(), bytes.end()});
                Tick();
                break;
            case kProviderOrTime:
                if (!bytes.empty())
                    Act(bytes);
                break;
        }
        memplat::port_take_writes("COM1");
    }
    SerialCloseComms();
    return 0;
}
