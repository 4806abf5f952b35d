// The call model fed as the adapter passes it on: display texts, icons,
// lamps, keys, digits and module messages in their trace headers, and the
// PBX's call events as TQLA messages, each a whole frame with a right
// checksum, mixed with worker ticks so that the timed rules run, and TAPI's
// requests on any call; a request is completed at most once, and never
// after it was refused. Every input
// starts from the same line in service: the configuration download is run
// once against the simulator (line, supervision, boss and secretary keys,
// two add-on modules) and the provider's state is put back before each
// input.
//
// Input: one set-up byte (the bits of Setup), then records, each a kind
// byte (Kind, modulo kKinds), a length byte and that many body bytes (fewer
// at the end of the input). tests/fuzz/make_corpus.py writes the seeds.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "callmodel/calls.h"
#include "callmodel/setmsg.h"
#include "core/lifecycle.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "link/fifo.h"
#include "link/frames.h"
#include "link/receive.h"
#include "link/serial_link.h"
#include "link/setconfig.h"
#include "link/supervision.h"
#include "tapi/events.h"
#include "tapi/makecall.h"
#include "tapi/queries.h"
#include "zq/memplat.h"
#include "zq/sim.h"
#include "zq/tapi_words.h"

namespace {

using namespace zq;

enum Setup : uint8_t {
    kTracing = 0x01,  // every trace level on
    kPhoneClosed = 0x02,
    kNoSupervService = 0x04,
    kNoPrefixes = 0x08,  // no outside-line or operator prefix
    kTqlaVersion1 = 0x10,
    kAdapterSilent = 0x20,  // the provider's frames are never answered
    kStaticConfig = 0x40,
};

enum Kind : uint8_t {
    kDisplayLine0,  // 0x27, then mode, column, text
    kDisplayLine1,  // 0x28, the same
    kIcon,          // 0x47, then key, icon word low and high byte
    kLamp,          // 0x21, then mode, lamp
    kPbxToSet,      // any message to the set, type byte first
    kKey,           // 0x20 from the set, then key
    kDigit,         // 0x03 from the set, then digit
    kSetToPbx,      // any message from the set, type byte first
    kModuleIcon,    // module address, then the body of an icon message to it
    kModuleKey,     // module address, then the key pressed on it
    kPbxToModule,   // module address, then any message to it
    kCallEvent,     // see CallEvent()
    kTicks,         // 1 + the first byte worker ticks of 100 ms
    kTapiRequest,   // request, call, mode, then a number; see TapiRequest()
    kKinds
};

constexpr char kProviderKey[] = "SOFTWARE\\Velmora\\TSpi_6200";
constexpr uintptr_t kCallHandleBase = 0x1000;

// Module 2 carries keys beyond the last key of the line.
constexpr char kSet[] = R"(mcdu 2001
language 2
tqla 3
devtype 3
enquiry 1
forward 4
aom 1 0 40
aom 2 1 80
key 1 2001
key 2 2001
key 3 2001
key 4 2001
special 20 7 Superv 2002
special 21 8 Boss
special 22 9 Secretary
special 23 10 Overflow
special 41 7 Sup 2003
string 0 Hang up
string 1 Cancel call
string 2 Dial
softkey 0 Enq
softkey 1 EndEnq
softkey 2 Swap
softkey 3 Conf
softkey 4 DTMF
softkey 5 NoDTMF
softkey 6 Transf
code 0 *21
code 1 *22
code 2 *23
code 3 *24
code 4 #21
code 5 *77
code 6 *8
per-answer 0
)";

// ZQ_FUZZ_WORDS set: TAPI's events are printed in words, to see what a
// seed does (callmodel_fuzz tests/fuzz/callmodel_corpus/incoming).
bool g_words = false;

void CALLBACK LineEvent(HTAPILINE, HTAPICALL htCall, DWORD msg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR) {
    if (g_words) {
        const int call =
            htCall != nullptr ? static_cast<int>(reinterpret_cast<uintptr_t>(htCall) - kCallHandleBase) : -1;
        std::fprintf(stderr, "%s\n", words::LineEvent(call, msg, p1, p2).c_str());
    }
    // TAPI gives every new call a handle of its own.
    if (msg == LINE_NEWCALL && p2 != 0)
        *reinterpret_cast<HTAPICALL*>(p2) = reinterpret_cast<HTAPICALL>(kCallHandleBase + p1);
}
void CALLBACK PhoneEvent(HTAPIPHONE, DWORD msg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR) {
    if (g_words && msg == PHONE_STATE)
        std::fprintf(stderr, "%s\n",
                     words::PhoneState(static_cast<uint32_t>(p1), static_cast<uint32_t>(p2)).c_str());
}
// TAPI's view of its requests in this input: returned (accepted or the
// error) and completions, by request ID.
struct Request {
    bool accepted = false;
    int completions = 0;
};
std::array<Request, 256> g_requests;
DRV_REQUESTID g_lastRequest = 0;

void CALLBACK Completion(DRV_REQUESTID id, LONG result) {
    if (id == 0 || id > g_lastRequest || id >= g_requests.size() || result > 0 ||
        ++g_requests[id].completions > 1 || (!g_requests[id].accepted && id != g_lastRequest)) {
        std::fprintf(stderr, "callmodel_fuzz: request %u completed wrongly (%ld)\n",
                     static_cast<unsigned>(id), static_cast<long>(result));
        std::abort();
    }
}

// The provider's state once the line is in service.
struct Saved {
    LineRecord line;
    SetTables set;
    LineSettings settings;
    DownloadState dl;
    CallMarkers calls;
    DisplayState display;
    GlyphTables glyphs;
    RunningOp running;
    bool dialToneReport;
    ReceiveState rx;
    PortState port;
    Supervision superv;
    int fifoWrite, fifoRead;
    uint32_t time;
};
Saved g_saved;

void Save() {
    g_saved = {g_line,       g_set,       g_lineSettings,   g_dl, g_calls, g_display,
               g_glyphs,     g_running,   g_dialToneReport, g_rx, g_port,  g_superv,
               g_fifo.write, g_fifo.read, plat::time_ms()};
}

void Restore() {
    // A link restarted by the last input reopened the port: the handle
    // noted in the saved state is closed, the live one stays.
    plat::SerialPort* live = g_port.hcd;
    if (live == nullptr) {
        g_line = g_saved.line;
        RestartSerialLink();
        live = g_port.hcd;
        if (live == nullptr) {
            std::fputs("callmodel_fuzz: COM1 cannot be opened again\n", stderr);
            std::abort();
        }
    }
    FifoClear();
    g_line = g_saved.line;
    g_set = g_saved.set;
    g_lineSettings = g_saved.settings;
    g_dl = g_saved.dl;
    g_calls = g_saved.calls;
    g_display = g_saved.display;
    g_glyphs = g_saved.glyphs;
    g_running = g_saved.running;
    g_dialToneReport = g_saved.dialToneReport;
    g_rx = g_saved.rx;
    g_port = g_saved.port;
    g_port.hcd = live;
    g_superv = g_saved.superv;
    g_fifo.write = g_saved.fifoWrite;
    g_fifo.read = g_saved.fifoRead;
    memplat::set_time(g_saved.time);
    memplat::port_take_writes("COM1");
}

// As the worker's read hands bytes over.
void Receive(std::span<const uint8_t> bytes) {
    const size_t n = std::min(bytes.size(), RX_BUFFER_SIZE - g_rx.rxFill);
    std::copy_n(bytes.begin(), n, g_rx.rxBuf.begin() + g_rx.rxFill);
    g_rx.rxFill += static_cast<uint32_t>(n);
    if (g_rx.rxFill > 0)
        g_rx.rxFill = ProcessInput({g_rx.rxBuf.data(), g_rx.rxFill});
    g_rx.lastReceiveTime = plat::time_ms();
}

void ReceiveFrame(uint8_t type, std::span<const uint8_t> body) {
    const Frame f = BuildFrame(type, body.first(std::min<size_t>(body.size(), MAX_FRAME - 3)));
    Receive(f.span());
}

// The adapter at once answers what the provider wrote: its link-control
// requests as the adapter does, its data frames with an acknowledgement.
void AnswerProvider(bool silent) {
    for (int round = 0; round < 8; ++round) {
        const std::vector<std::vector<uint8_t>> writes = memplat::port_take_writes("COM1");
        if (writes.empty() || silent)
            return;
        std::vector<Frame> answers;
        for (const std::vector<uint8_t>& w : writes) {
            for (size_t at = 0; at + 2 < w.size(); at += size_t{w[at]} + 2) {
                const uint8_t type = w[at + 1];
                const uint8_t code = w[at + 2];
                if (type == FT_ANSWER_00 || type == FT_ANSWER_20)
                    continue;
                if (type != FT_LINK)
                    answers.push_back(kAckFrame);
                else if (code == L2_READY || code == L2_SPECIAL)
                    answers.push_back(LinkFrame(code));
                else if (code == L2_CONFIG)
                    answers.push_back(BuildFrame(FT_LINK, std::array<uint8_t, 6>{L2_CONFIG, 3, 7, 25, 3, 0}));
                else if (code == L2_TIMEOUT_CHANGE && at + 3 < w.size())
                    answers.push_back(LinkFrame(code, w[at + 3]));
            }
        }
        for (const Frame& f : answers)
            Receive(f.span());
    }
    memplat::port_take_writes("COM1");
}

void Ticks(int n, bool silent) {
    for (int i = 0; i < n; ++i) {
        memplat::advance(100);
        SerialTimerProc();
        AnswerProvider(silent);
    }
}

// A trace header with a fixed head before the body.
void TraceHeader(uint8_t type, std::initializer_list<uint8_t> head, std::span<const uint8_t> body) {
    std::vector<uint8_t> m(head);
    m.insert(m.end(), body.begin(), body.end());
    ReceiveFrame(type, m);
}

// A module message: the address, then a fixed type when given, then the rest.
void ModuleHeader(uint8_t type, int messageType, std::span<const uint8_t> body) {
    if (body.empty())
        return;
    std::vector<uint8_t> m{body[0]};
    if (messageType >= 0)
        m.push_back(static_cast<uint8_t>(messageType));
    m.insert(m.end(), body.begin() + 1, body.end());
    ReceiveFrame(type, m);
}

// A TQLA call event. First byte: bits 0-1 the code (23, 24, 25 or 28), bit 6
// sends it in segments as the adapter sends long messages, bit 7 takes the
// next byte as the length field in place of the true length. The rest is
// the payload.
void CallEvent(std::span<const uint8_t> body, uint8_t seq) {
    if (body.empty())
        return;
    constexpr std::array<uint8_t, 4> kCodes{23, 24, 25, 28};
    const uint8_t how = body[0];
    std::span<const uint8_t> payload = body.subspan(1);
    std::vector<uint8_t> m(6);
    size_t claimed = 0;
    if ((how & 0x80) != 0 && !payload.empty()) {
        claimed = payload[0];
        payload = payload.subspan(1);
    }
    const std::span<const uint8_t> kept = payload.first(std::min<size_t>(payload.size(), MAX_FRAME - 3 - 6));
    m.insert(m.end(), kept.begin(), kept.end());
    if (claimed == 0)
        claimed = m.size();
    m[0] = static_cast<uint8_t>(claimed >> 8);
    m[1] = static_cast<uint8_t>(claimed);
    m[2] = 3;
    m[3] = 0;
    m[4] = kCodes[how & 3];
    m[5] = seq;
    if ((how & 0x40) == 0) {
        ReceiveFrame(FT_TQLA, m);
        return;
    }
    constexpr size_t kSegment = 16;
    const size_t count = (m.size() + kSegment - 1) / kSegment;
    for (size_t i = 0; i < count; ++i) {
        const auto data =
            std::span<const uint8_t>(m).subspan(i * kSegment, std::min(kSegment, m.size() - i * kSegment));
        std::vector<uint8_t> s;
        if (i == 0)
            s = {static_cast<uint8_t>(0x80 + count - 1), static_cast<uint8_t>((m.size() + 1) >> 8),
                 static_cast<uint8_t>(m.size() + 1), FT_TQLA};
        else
            s = {static_cast<uint8_t>(count - 1 - i)};
        s.insert(s.end(), data.begin(), data.end());
        ReceiveFrame(FT_SEGMENT, s);
    }
}

// One TAPI request: body[0] the function, body[1] the call (any value, so
// bad handles too), body[2] a mode, the rest a number or digits.
void TapiRequest(std::span<const uint8_t> body) {
    if (body.size() < 3 || g_lastRequest + 1 >= g_requests.size())
        return;
    const DRV_REQUESTID id = ++g_lastRequest;
    const auto call = reinterpret_cast<HDRVCALL>(static_cast<uintptr_t>(body[1]));
    const uint8_t mode = body[2];
    std::u16string text;
    for (const uint8_t b : body.subspan(3))
        text.push_back(b);
    const auto* number = reinterpret_cast<LPCWSTR>(text.c_str());
    const auto htCall = reinterpret_cast<HTAPICALL>(kCallHandleBase + 0x100 + id);
    HDRVCALL made = nullptr;
    LONG result = -1;
    switch (body[0] % 16) {
        case 0:
            result = TSPI_lineMakeCall(id, LineHandle(), htCall, &made, number, 0, nullptr);
            break;
        case 1:
            result = TSPI_lineDial(id, call, number, 0);
            break;
        case 2:
            result = TSPI_lineAnswer(id, call, nullptr, 0);
            break;
        case 3:
            result = TSPI_lineDrop(id, call, nullptr, 0);
            break;
        case 4:
            result = TSPI_lineHold(id, call);
            break;
        case 5:
            result = TSPI_lineUnhold(id, call);
            break;
        case 6:
            TSPI_lineGenerateDigits(call, 0, (mode & 1) != 0 ? LINEDIGITMODE_DTMF : LINEDIGITMODE_PULSE,
                                    number, 0);
            break;
        case 7:
            result = TSPI_lineBlindTransfer(id, call, number, 0);
            break;
        case 8:
            result = TSPI_lineSetupTransfer(id, call, htCall, &made, nullptr);
            break;
        case 9:
            result = TSPI_lineCompleteTransfer(
                id, call, reinterpret_cast<HDRVCALL>(static_cast<uintptr_t>(mode)), htCall, &made,
                (mode & 0x80) != 0 ? LINETRANSFERMODE_CONFERENCE : LINETRANSFERMODE_TRANSFER);
            break;
        case 10:
            result = TSPI_lineRemoveFromConference(id, call);
            break;
        case 11: {
            // A forward list of one entry to the number, in any mode.
            std::array<uint8_t, 8 + LINEFORWARD_SIZE + 160> list{};
            const uint32_t total = 8 + LINEFORWARD_SIZE + static_cast<uint32_t>((text.size() + 1) * 2);
            const uint32_t entries = mode & 1;
            const uint32_t fwdMode = 1u << (mode >> 1 & 0x0F);
            const uint32_t size = static_cast<uint32_t>((text.size() + 1) * 2);
            const uint32_t offset = 8 + LINEFORWARD_SIZE;
            if (total > list.size())
                break;
            std::memcpy(list.data(), &total, 4);
            std::memcpy(list.data() + 4, &entries, 4);
            std::memcpy(list.data() + 8, &fwdMode, 4);
            std::memcpy(list.data() + 8 + 16, &size, 4);
            std::memcpy(list.data() + 8 + 20, &offset, 4);
            std::memcpy(list.data() + offset, text.c_str(), size);
            result =
                TSPI_lineForward(id, LineHandle(), 1, 0, reinterpret_cast<LPLINEFORWARDLIST>(list.data()), 0,
                                 nullptr, &made, nullptr);
            break;
        }
        case 12:
            result = TSPI_linePickup(id, LineHandle(), 0, htCall, &made, number, nullptr);
            break;
        case 13:
            TSPI_lineCloseCall(call);
            break;
        case 14: {
            PHONEBUTTONINFO info{};
            info.dwTotalSize = sizeof info;
            info.dwButtonMode = 1u << (mode & 7);
            result = TSPI_phoneSetButtonInfo(id, PhoneHandle(), body[1], &info);
            break;
        }
        default:
            result = TSPI_phoneSetHookSwitch(id, PhoneHandle(), PHONEHOOKSWITCHDEV_HANDSET, 1u << (mode & 3));
            break;
    }
    g_requests[id].accepted = result == static_cast<LONG>(id);
    if (result < 0 && g_requests[id].completions != 0) {
        std::fprintf(stderr, "callmodel_fuzz: request %u refused (%ld) and completed\n",
                     static_cast<unsigned>(id), static_cast<long>(result));
        std::abort();
    }
}

void Record(uint8_t kind, std::span<const uint8_t> body, bool silent, uint8_t seq) {
    switch (kind % kKinds) {
        case kDisplayLine0:
            TraceHeader(FT_SYS_TRACE, {0x27}, body);
            break;
        case kDisplayLine1:
            TraceHeader(FT_SYS_TRACE, {0x28}, body);
            break;
        case kIcon:
            TraceHeader(FT_SYS_TRACE, {0x47}, body);
            break;
        case kLamp:
            TraceHeader(FT_SYS_TRACE, {0x21}, body);
            break;
        case kPbxToSet:
            TraceHeader(FT_SYS_TRACE, {}, body);
            break;
        case kKey:
            TraceHeader(FT_VTA_TRACE, {0x20}, body);
            break;
        case kDigit:
            TraceHeader(FT_VTA_TRACE, {0x03}, body);
            break;
        case kSetToPbx:
            TraceHeader(FT_VTA_TRACE, {}, body);
            break;
        case kModuleIcon:
            ModuleHeader(FT_SYS_OPT_TRACE, 0x47, body);
            break;
        case kModuleKey:
            ModuleHeader(FT_OPT_SYS_TRACE, 0x20, body);
            break;
        case kPbxToModule:
            ModuleHeader(FT_SYS_OPT_TRACE, -1, body);
            break;
        case kCallEvent:
            CallEvent(body, seq);
            break;
        case kTicks:
            Ticks(1 + (body.empty() ? 0 : body[0]), silent);
            return;
        case kTapiRequest:
            TapiRequest(body);
            break;
    }
    AnswerProvider(silent);
}

// The worker the line's open starts: here it only waits, the harness runs
// the ticks itself; TAPI's requests need it running.
uint32_t IdleWorker(void*) {
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

// The line opened and the configuration downloaded from the simulator, as
// at the worker's start; false when the line is not in service in time.
bool BringInService() {
    memplat::reset();
    memplat::port_add("COM1");
    const std::string provider = std::string(kProviderKey) + "\\Provider";
    const std::string prefix = std::string(kProviderKey) + "\\Prefix";
    memplat::reg_put_string(plat::RegRoot::LocalMachine, provider, "Port", "COM1");
    memplat::reg_put_string(plat::RegRoot::LocalMachine, provider, "Speed", "9600");
    memplat::reg_put_string(plat::RegRoot::LocalMachine, prefix, "ExtPrefix", "0");
    memplat::reg_put_string(plat::RegRoot::LocalMachine, prefix, "PublicOperator", "00");
    TraceResetForTest(0);
    InitLineRecord(1, nullptr, 0, 0, Completion);
    g_line.htLine = reinterpret_cast<HTAPILINE>(0x1234);
    g_line.lpfnEventProc = LineEvent;
    g_line.htPhone = reinterpret_cast<HTAPIPHONE>(0x77);
    g_line.lpfnPhoneEventProc = PhoneEvent;
    ResetLinkState();
    if (SerialOpenComms("COM1", "9600") == nullptr)
        return false;

    sim::SetDescription set;
    sim::ParseError error;
    if (!sim::parse_set_description(kSet, &set, &error)) {
        std::fprintf(stderr, "callmodel_fuzz: set line %d: %s\n", error.line, error.message.c_str());
        return false;
    }
    sim::Sim* s = sim::sim_create(set);
    const auto pump = [s] {
        const uint32_t now = plat::time_ms();
        for (const std::vector<uint8_t>& w : memplat::port_take_writes("COM1"))
            sim::sim_receive(s, w, now);
        sim::sim_tick(s, now);
        if (const std::vector<uint8_t> out = sim::sim_take_output(s); !out.empty())
            memplat::port_feed("COM1", out);
    };
    // Until the download is done and both ends have nothing more to say.
    int quiet = 0;
    for (int tick = 0; tick < 1000 && quiet < 20; ++tick) {
        pump();
        memplat::advance(100);
        SerialTimerProc();
        const bool done = g_dl.ConfigComplete && g_line.lineDevState == 2 && FifoCount() == 0 &&
                          sim::sim_frames_pending(s) == 0 && !g_rx.collecting && g_rx.rxFill == 0;
        quiet = done ? quiet + 1 : 0;
    }
    sim::sim_destroy(s);
    memplat::port_take_writes("COM1");
    if (quiet < 20)
        return false;
    // The display and lamps of the set as the tests start from them.
    g_line.phoneOpen = true;
    if (plat::thread_create(IdleWorker, nullptr, &g_provider.serialThread, &g_provider.serialThreadId) != 0)
        return false;
    return g_rx.traceModeSeen && g_line.lists.MultiLineKeys.count == 4 && g_line.lists.SupervKeys.count == 2;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ProviderAttach(nullptr);
    if (!BringInService()) {
        std::fprintf(stderr, "callmodel_fuzz: the line did not go in service (download %d, state %d)\n",
                     g_dl.ConfigComplete ? 1 : 0, g_line.lineDevState);
        std::abort();
    }
    Save();
    g_words = std::getenv("ZQ_FUZZ_WORDS") != nullptr;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const std::span<const uint8_t> input(data, size);
    const uint8_t setup = input[0];
    Restore();
    g_requests = {};
    g_lastRequest = 0;
    TraceResetForTest((setup & kTracing) != 0 ? 0x7F : 0);
    g_line.phoneOpen = (setup & kPhoneClosed) == 0;
    g_lineSettings.SupervService = (setup & kNoSupervService) == 0;
    if ((setup & kNoPrefixes) != 0) {
        g_lineSettings.ExtPrefix = {};
        g_lineSettings.OperatorPrefix = {};
    }
    if ((setup & kTqlaVersion1) != 0)
        g_lineSettings.TqlaVersion = 1;
    g_lineSettings.StaticConfig = (setup & kStaticConfig) != 0;
    const bool silent = (setup & kAdapterSilent) != 0;

    uint8_t seq = 0;
    size_t i = 1;
    while (i + 1 < input.size()) {
        const uint8_t kind = input[i];
        const size_t n = std::min<size_t>(input[i + 1], input.size() - i - 2);
        Record(kind, input.subspan(i + 2, n), silent, seq++);
        i += 2 + n;
    }
    return 0;
}
