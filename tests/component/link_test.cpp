// The terminal link as the adapter sees it: the frames the provider writes
// and when, its answers to every kind of frame, and its survival of bad
// input. The line is open on the in-memory port; the adapter's side is
// scripted byte by byte, read by the worker's tick or handed straight to
// the input framing.
#include <numeric>

#include "callmodel/tables.h"
#include "core/line_record.h"
#include "link/fifo.h"
#include "link/frames.h"
#include "link/receive.h"
#include "link/serial_link.h"
#include "link/supervision.h"
#include "link/tqla.h"
#include "provider_fixture.h"

namespace zq::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Writes = std::vector<Bytes>;

const Bytes kAck{0x02, 0x60, 0x00, 0x9E};
const Bytes kPoll{0x02, 0x60, 0x01, 0x9D};
const Bytes kSpecial{0x03, 0x60, 0x10, 0x03, 0x8A};
const Bytes kConfigRequest{0x02, 0x60, 0x11, 0x8D};
const Bytes kNackChecksum{0x02, 0x60, 0x84, 0x1A};
const Bytes kNackSync{0x02, 0x60, 0x85, 0x19};
const Bytes kAbort{0x02, 0x60, 0x86, 0x18};
const Bytes kK1{0x03, 0x26, 0x20, 0x1D, 0x9A};
const Bytes kK2{0x03, 0x26, 0x20, 0x1E, 0x99};
const Bytes kK3{0x03, 0x26, 0x20, 0x1F, 0x98};
// A frame of type 0x21 from the adapter: acknowledged, nothing else.
const Bytes kPlain21{0x01, 0x21, 0xDE};

// [L][type][body][checksum], the checksum worked out here on its own.
Bytes F(uint8_t type, const Bytes& body) {
    Bytes f;
    f.reserve(body.size() + 3);
    f.push_back(static_cast<uint8_t>(body.size() + 1));
    f.push_back(type);
    for (uint8_t b : body)
        f.push_back(b);
    f.push_back(static_cast<uint8_t>(0 - std::accumulate(f.begin(), f.end(), 0u)));
    return f;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Slice(const Bytes& b, size_t from, size_t n) {
    return {b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(from + n)};
}

// A TQLA message of n bytes (n >= 6) with its own length field, an unknown
// code 0x50 and a payload counting up: dispatched, it shows as a trace line.
Bytes Tqla(size_t n, uint8_t code = 0x50) {
    Bytes m{static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n), 0x02, 0x00, code, 0x07};
    for (size_t i = 6; i < n; ++i)
        m.push_back(static_cast<uint8_t>(i));
    return m;
}

std::string Dump(const Bytes& b) {
    std::string s;
    char hex[4];
    for (uint8_t x : b) {
        std::snprintf(hex, sizeof hex, "%02X.", x);
        s += hex;
    }
    return s;
}

// The segments the adapter sends for message m: 0x80 + following, the
// length with its type byte, 0x12, 16 bytes; then the rest 16 at a time.
std::vector<Bytes> Segments(const Bytes& m) {
    const size_t k = (m.size() + 15) / 16;
    std::vector<Bytes> out;
    for (size_t i = 0; i < k; ++i) {
        const size_t d = std::min<size_t>(16, m.size() - i * 16);
        Bytes body;
        if (i == 0)
            body = {static_cast<uint8_t>(0x80 + k - 1), static_cast<uint8_t>((m.size() + 1) >> 8),
                    static_cast<uint8_t>(m.size() + 1), 0x12};
        else
            body = {static_cast<uint8_t>(k - 1 - i)};
        body.insert(body.end(), m.begin() + static_cast<std::ptrdiff_t>(i * 16),
                    m.begin() + static_cast<std::ptrdiff_t>(i * 16 + d));
        out.push_back(F(0x0C, body));
    }
    return out;
}

class LinkTest : public ProviderTest {
protected:
    void Open() {
        Init();
        ASSERT_EQ(OpenLine(), 0);
    }
    // The line open and the link at rest: the opening frames taken off the
    // queue, nothing awaited, the adapter ready.
    void OpenIdle() {
        ASSERT_NO_FATAL_FAILURE(Open());
        FifoClear();
        g_port.sendHoldOff = 0;
        g_port.l2Sent = false;
        g_rx.ready = true;
        Take();
    }
    // A fresh provider for the next case of a table.
    void Reopen() {
        TearDown();
        SetUp();
        OpenIdle();
    }
    static Writes Take() { return memplat::port_take_writes("COM1"); }
    static void Feed(const Bytes& b) { memplat::port_feed("COM1", b); }
    static void Tick(int n = 1) { ASSERT_TRUE(memplat::run_ticks(n)); }
    // One read handed to the input framing, kept bytes as the tick keeps them.
    static void Read(const Bytes& b) {
        Bytes all(g_rx.rxBuf.begin(), g_rx.rxBuf.begin() + g_rx.rxFill);
        all.insert(all.end(), b.begin(), b.end());
        std::copy(all.begin(), all.end(), g_rx.rxBuf.begin());
        g_rx.rxFill = ProcessInput(all);
    }
    // What the queue lets out, tick by tick, while the adapter acknowledges
    // each frame written, until the queue is empty.
    static Writes Drain(int limit = 20) {
        Writes all = Take();
        bool awaited = !all.empty();
        for (int i = 0; i < limit; ++i) {
            if (awaited)
                Feed(kAck);
            else if (FifoCount() == 0)
                break;
            Tick();
            const Writes w = Take();
            all.insert(all.end(), w.begin(), w.end());
            awaited = !w.empty();
        }
        return all;
    }
};

// ---------------------------------------------------------------- sending

TEST_F(LinkTest, TheOpeningFramesLeaveOneAcknowledgementAtATime) {
    Open();
    EXPECT_EQ(Take(), Writes{kNackSync});
    Tick();
    EXPECT_EQ(Take(), Writes{kPoll});
    for (const Bytes& next : {kSpecial, kConfigRequest}) {
        Tick(3);
        EXPECT_EQ(Take(), Writes{}) << "sent before the acknowledgement";
        Feed(kAck);
        Tick();
        EXPECT_EQ(Take(), Writes{next});
    }
    // Then the association request of the configuration download.
    Feed(kAck);
    Tick();
    EXPECT_EQ(Take(), Writes{F(0x12, {0x00, 0x06, 0x02, 0x00, 0x02, 0x01})});
}

TEST_F(LinkTest, SpeedTextGivesTheBaudRate) {
    for (const auto& [text, baud] : {std::pair{"9600", 9600u}, {"19200", 19200u}, {"4800 baud", 4800u}}) {
        SCOPED_TRACE(text);
        TearDown();
        SetUp();
        PutProviderValue("Provider", "Speed", text);
        Open();
        EXPECT_EQ(memplat::port_settings("COM1").baud, baud);
    }
}

TEST_F(LinkTest, AfterL2TimeoutOutsideOneTo150IsTenMilliseconds) {
    for (const auto& [text, ms] :
         {std::pair{"0", 10}, {"200", 10}, {"-5", 10}, {"1", 1}, {"150", 150}, {"35", 35}}) {
        SCOPED_TRACE(text);
        TearDown();
        SetUp();
        PutProviderValue("ZQ_Info", "After_L2_timeout", text);
        OpenIdle();
        EXPECT_TRUE(TraceHas("* After_L2_timeout = " + std::to_string(ms) + " *"));
        // A queued frame waits that long after a link-control frame.
        Read(kPlain21);
        EXPECT_EQ(PostZQMsg(kK1), 0);
        memplat::advance(static_cast<uint32_t>(ms - 1));
        PostZQMsg();
        EXPECT_EQ(Take(), Writes{kAck});
        memplat::advance(1);
        PostZQMsg();
        EXPECT_EQ(Take(), Writes{kK1});
    }
}

TEST_F(LinkTest, AnAckRidesWithTheQueuedFrameInAPiggyBackFrame) {
    OpenIdle();
    g_port.piggyAllowed = true;
    FifoPut(kK1);
    SendL2Msg(kAckFrame.span());
    const Bytes piggy{0x08, 0x6F, 0x02, 0x60, 0x00, 0x03, 0x26, 0x20, 0x1D, 0xC1};
    EXPECT_EQ(Take(), Writes{piggy});
    EXPECT_EQ(FifoCount(), 1) << "the data frame stays queued until acknowledged";
    // A NACK makes the whole piggy-back frame go again.
    Read(F(0x60, {0x84}));
    EXPECT_EQ(Take(), Writes{piggy});
    EXPECT_EQ(FifoCount(), 1);
    Read(kAck);
    EXPECT_EQ(FifoCount(), 0);
}

TEST_F(LinkTest, AnAckGoesAloneWhenItCannotCarryTheQueuedFrame) {
    struct Case {
        const char* name;
        bool piggyAllowed;
        int holdOff;
        bool queued;
    };
    for (const Case& c : {Case{"not allowed", false, 0, true}, Case{"hold-off running", true, 20, true},
                          Case{"queue empty", true, 0, false}}) {
        SCOPED_TRACE(c.name);
        Reopen();
        g_port.piggyAllowed = c.piggyAllowed;
        g_port.sendHoldOff = c.holdOff;
        if (c.queued)
            FifoPut(kK1);
        SendL2Msg(kAckFrame.span());
        EXPECT_EQ(Take(), Writes{kAck});
        EXPECT_EQ(FifoCount(), c.queued ? 1 : 0);
    }
}

TEST_F(LinkTest, KeyMessagesAroundAnotherFrameLeaveInSuperFramesInOrder) {
    OpenIdle();
    g_port.superAllowed = true;
    const Bytes t = F(0x12, Tqla(6));
    for (const Bytes& f : {kK1, kK2, t, kK3})
        FifoPut(f);
    // The next link-control frame written packs the queue.
    Read(kPlain21);
    EXPECT_EQ(Take(), Writes{kAck});
    const Writes expected{F(0x6E, {0x03, 0x26, 0x20, 0x1D, 0x03, 0x26, 0x20, 0x1E}), t,
                          F(0x6E, {0x03, 0x26, 0x20, 0x1F})};
    EXPECT_EQ(Drain(), expected);
}

TEST_F(LinkTest, SuperFramesStopAt250Bytes) {
    OpenIdle();
    g_port.superAllowed = true;
    // 29 key messages of 20 bytes each: 19 bytes apiece in a super frame.
    for (int i = 0; i < 29; ++i)
        FifoPut(F(0x26, Bytes(18, static_cast<uint8_t>(i))));
    Read(kPlain21);
    Take();
    const Writes sent = Drain(20);
    ASSERT_EQ(sent.size(), 3u);
    size_t messages = 0;
    for (const Bytes& f : sent) {
        EXPECT_EQ(f[1], 0x6E);
        EXPECT_LE(f.size() - 1, 250u);
        EXPECT_EQ(std::accumulate(f.begin(), f.end(), 0u) % 256, 0u);
        messages += (f.size() - 3) / 19;
    }
    EXPECT_EQ(messages, 29u);
}

TEST_F(LinkTest, TqlaMessagesFromSixteenBytesLeaveInSegments) {
    struct Case {
        size_t n;
        std::vector<std::pair<uint8_t, size_t>> segments;  // header, data bytes; none: one 0x12 frame
    };
    const Case cases[] = {{15, {}},
                          {16, {{0x80, 16}}},
                          {32, {{0x81, 16}, {0x00, 16}}},
                          {40, {{0x82, 16}, {0x01, 16}, {0x00, 8}}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        Reopen();
        const Bytes m = Tqla(c.n, TQLA_KEY);
        SendTQLAMsg(m);
        const Writes sent = Drain();
        if (c.segments.empty()) {
            EXPECT_EQ(sent, Writes{F(0x12, m)});
            continue;
        }
        ASSERT_EQ(sent.size(), c.segments.size());
        size_t at = 0;
        for (size_t i = 0; i < sent.size(); ++i) {
            const auto [header, d] = c.segments[i];
            Bytes body{header};
            if (i == 0)
                body.insert(body.end(), {0x00, static_cast<uint8_t>(c.n + 1), 0x12});
            const Bytes data = Slice(m, at, d);
            body.insert(body.end(), data.begin(), data.end());
            at += d;
            EXPECT_EQ(sent[i], F(0x0C, body)) << "segment " << i;
        }
    }
}

TEST_F(LinkTest, TheQueueHoldsTwentyNineFrames) {
    OpenIdle();
    int stored = 0;
    for (int i = 0; i < 30; ++i)
        stored += FifoPut(F(0x26, {0x20, static_cast<uint8_t>(i)}));
    EXPECT_EQ(stored, 29);
    EXPECT_EQ(FifoCount(), 29);
    EXPECT_EQ(FifoPut(kK1), 0);
    // The oldest goes first.
    std::array<uint8_t, MAX_FRAME> head{};
    ASSERT_EQ(FifoPeek(head), 5u);
    EXPECT_EQ(head[3], 0);
}

TEST_F(LinkTest, AHeadNeverAcknowledgedIsAbortedEvery151Kicks) {
    OpenIdle();
    g_port.sendHoldOff = 20;  // the head was written and is awaited
    for (int i = 0; i < 4; ++i)
        FifoPut(kK1);
    // The kicks until something is written, which must be the ABORT.
    const auto kicksUntilWrite = [] {
        for (int k = 1; k <= 400; ++k) {
            PostZQMsg();
            const Writes w = Take();
            if (!w.empty())
                return w == Writes{kAbort} ? k : -k;
        }
        return 0;
    };
    EXPECT_EQ(kicksUntilWrite(), 151);
    EXPECT_EQ(FifoCount(), 3);
    EXPECT_EQ(kicksUntilWrite(), 151);
    EXPECT_EQ(FifoCount(), 2);
    // After two ABORTs only the drops go on.
    for (int k = 0; k < 151; ++k)
        PostZQMsg();
    EXPECT_EQ(Take(), Writes{});
    EXPECT_EQ(FifoCount(), 1);
    // An acknowledgement starts both counts again; its own kick counts.
    Read(kAck);
    FifoPut(kK1);
    FifoPut(kK2);
    EXPECT_EQ(kicksUntilWrite(), 150);
    EXPECT_EQ(g_fifo.aborts, 1);
}

TEST_F(LinkTest, AFrameWaitsUntilTheBytesInTheInputQueueAreRead) {
    OpenIdle();
    Feed(kPlain21);
    EXPECT_EQ(PostZQMsg(kK1), 0);
    EXPECT_EQ(Take(), Writes{});
    EXPECT_TRUE(TraceHas("InQueue not empty - exiting TxZQMsgFromFifo"));
    Tick(2);
    EXPECT_EQ(Take(), (Writes{kAck, kK1}));
}

TEST_F(LinkTest, TestModeSuspendsAcknowledgementsAndTransmission) {
    struct Case {
        int counter;
        std::vector<bool> acked;  // per frame received
    };
    for (const Case& c : {Case{0, {false, false}}, Case{-2, {false, false}}, Case{2, {true, false, false}}}) {
        SCOPED_TRACE(c.counter);
        Reopen();
        g_rx.inputCounter = c.counter;
        for (bool acked : c.acked) {
            Read(kPlain21);
            EXPECT_EQ(Take(), acked ? Writes{kAck} : Writes{});
        }
        // Frames are queued but never leave.
        PostZQMsg(kK1);
        Tick(40);
        EXPECT_EQ(Take(), Writes{});
        EXPECT_EQ(FifoCount(), 1);
        g_rx.inputCounter = -1;
        Tick();
        EXPECT_EQ(Take(), Writes{kK1});
    }
}

TEST_F(LinkTest, AnUnacknowledgedDataFrameIsWrittenAgainEvery31Ticks) {
    OpenIdle();
    g_superv.pollPeriod = POLL_PERIOD_CONFIGURED;
    PostZQMsg(kK1);
    EXPECT_EQ(Take(), Writes{kK1});
    for (int round = 0; round < 2; ++round) {
        Tick(30);
        EXPECT_EQ(Take(), Writes{});
        Tick();
        EXPECT_EQ(Take(), Writes{kK1});
    }
    // Acknowledged, it leaves the queue: nothing more goes out.
    Feed(kAck);
    Tick(10);
    EXPECT_EQ(Take(), Writes{});
}

TEST_F(LinkTest, AFailedWriteOfALinkControlFrameIsResentByTheNextTick) {
    OpenIdle();
    memplat::port_set_write_error("COM1", 31);
    Read(kPlain21);
    EXPECT_EQ(Take(), Writes{});
    EXPECT_TRUE(TraceHas("SendL2Msg - WriteCommResult :31"));
    memplat::port_set_write_error("COM1", 0);
    Tick();
    EXPECT_TRUE(TraceHas("Try to resend last l2"));
    EXPECT_EQ(Take(), Writes{kAck});
    Tick();
    EXPECT_EQ(TraceCount("Try to resend last l2"), 1);
}

// ---------------------------------------------------------------- receiving

TEST_F(LinkTest, ABadChecksumIsAnsweredWithNack84) {
    OpenIdle();
    Read({0x02, 0x60, 0x00, 0x9F});
    EXPECT_EQ(Take(), Writes{kNackChecksum});
    EXPECT_TRUE(TraceHas("Process input - CS: Wrong CS Nack cs: 1, msglen: 3"));
    EXPECT_TRUE(TraceHas("ResetComPort:3"));
    // The next byte starts a new frame.
    Read(kPlain21);
    EXPECT_EQ(Take(), Writes{kAck});
}

TEST_F(LinkTest, ASuperFrameIsAcknowledgedOnceAndItsAckCountsForTheHead) {
    OpenIdle();
    PostZQMsg(kK1);
    FifoPut(kK2);
    EXPECT_EQ(Take(), Writes{kK1});
    Read({0x06, 0x6E, 0x02, 0x60, 0x00, 0x01, 0x21, 0x08});
    EXPECT_EQ(Take(), Writes{kAck});
    EXPECT_EQ(FifoCount(), 1);
    // The next frame follows at the end of the tick.
    Tick();
    EXPECT_EQ(Take(), Writes{kK2});
}

TEST_F(LinkTest, AFrameSplitOverReadsIsAssembled) {
    OpenIdle();
    const Bytes frame = F(0x61, {0x10, 0x41, 0x42, 0x43, 0x44});
    Feed(Slice(frame, 0, 2));
    Tick();
    Tick(3);  // silent: the next tick without a byte flushes
    Feed(Slice(frame, 2, 2));
    Tick();
    Tick(3);
    EXPECT_EQ(Take(), Writes{});
    Feed(Slice(frame, 4, frame.size() - 4));
    Tick();
    EXPECT_EQ(Take(), Writes{kAck});
    EXPECT_FALSE(TraceHas("Inactivity - flush rx queue"));
}

TEST_F(LinkTest, APartialFrameIsFlushedAfterFiveSilentTicks) {
    OpenIdle();
    Feed({0x05, 0x61, 0x10});
    Tick();
    Tick(4);
    EXPECT_EQ(Take(), Writes{});
    Tick();
    EXPECT_TRUE(TraceHas("Inactivity - flush rx queue"));
    EXPECT_EQ(Take(), Writes{kNackChecksum});
    Feed(kPlain21);
    Tick();
    EXPECT_EQ(Take(), Writes{kAck});
}

TEST_F(LinkTest, MessagesOfThePbxWaitUntilTheAdapterIsReady) {
    const Bytes m = Tqla(8);
    const std::string dispatched = "Unknown TAPI-TQLA msg received: " + Dump(m);
    for (bool ready : {false, true}) {
        SCOPED_TRACE(ready);
        Reopen();
        g_rx.ready = ready;
        Read(F(0x12, m));
        EXPECT_EQ(Take(), Writes{kAck});
        EXPECT_EQ(TraceHas(dispatched), ready);
        // Segments too are acknowledged and not rebuilt.
        const Bytes long_ = Tqla(20);
        for (const Bytes& s : Segments(long_))
            Read(s);
        EXPECT_EQ(Take(), (Writes{kAck, kAck}));
        EXPECT_EQ(TraceHas("Unknown TAPI-TQLA msg received: " + Dump(long_)), ready);
    }
}

TEST_F(LinkTest, TraceHeadersAreAcknowledgedAndShowTraceMode) {
    struct Case {
        Bytes frame;
        const char* firstTrace;
    };
    const Case cases[] = {
        {F(0x62, {0x22, 0x05}), "RX: First TRACEMODE VTA Trace Header WaitTrace 0"},
        {F(0x62, {0xA2, 0x05}), "RX: First TRACEMODE VTA Trace Header WaitTrace 0"},
        {F(0x62, {0x20, 0x05}), "RX: First TRACEMODE VTA Trace Header WaitTrace 0"},
        {F(0x61, {0x10, 0x41}), "RX: First TRACEMODE System Trace Header WaitTrace 0 - ProcessData:1"},
        {F(0x63, {0x01, 0x46, 0x00}), "RX: System to Option Trace Header(address 1) OP 46"},
        {F(0x64, {0x09, 0x20, 0x00}), "RX: Option to System Trace Header(address 1) OP 20"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Dump(c.frame));
        Reopen();
        g_superv.pollCounter = 12;
        Read(c.frame);
        EXPECT_EQ(Take(), Writes{kAck});
        EXPECT_TRUE(g_rx.traceModeSeen);
        EXPECT_EQ(g_superv.pollCounter, c.frame[1] >= 0x63 ? 12 : 0) << "a sign of life";
        EXPECT_TRUE(TraceHas(c.firstTrace));
        Read(c.frame);
        EXPECT_EQ(TraceCount(c.firstTrace), c.frame[1] >= 0x63 ? 2 : 1);
    }
}

TEST_F(LinkTest, AdapterFrameTypesGetTheirAnswers) {
    struct Case {
        Bytes frame;
        Writes written;
        Writes queued;
    };
    const Bytes answer0E{0x05, 0x30, 0x02, 0x03, 0x03, 0x02, 0xC1};
    const Case cases[] = {
        {{0x01, 0x00, 0xFF}, {{0x01, 0x00, 0xFF}}, {}},
        {{0x01, 0x20, 0xDF}, {kAck, {0x01, 0x20, 0xDF}}, {}},
        {{0x01, 0x0E, 0xF1}, {kAck}, {answer0E}},
        {F(0x03, {}), {kAck}, {}},
        {F(0x0B, {}), {kAck}, {}},
        {F(0x10, {0x01}), {kAck}, {}},
        {F(0x11, {}), {kAck}, {}},
        {F(0x1F, {0x05, 0x06}), {kAck}, {}},
        {F(0x21, {}), {kAck}, {}},
        {F(0x22, {0x00}), {kAck}, {}},
        {F(0x40, {0x01}), {}, {}},
        {F(0xFF, {}), {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Dump(c.frame));
        Reopen();
        Read(c.frame);
        EXPECT_EQ(Take(), c.written);
        EXPECT_EQ(FifoCount(), static_cast<int>(c.queued.size()));
        if (!c.queued.empty()) {
            Tick();
            EXPECT_EQ(Take(), c.queued);
        }
    }
}

TEST_F(LinkTest, LinkControlFromTheAdapter) {
    struct Case {
        uint8_t code;
        Writes written;  // kK1 stands for the last frame written again
        bool reset;      // the port reset first
        const char* trace;
    };
    const Case cases[] = {
        {0x83, {kK1}, false, "RX: Wrong length (NACK)"},
        {0x84, {kK1}, false, "RX: Wrong CheckSum (NACK)"},
        {0x85, {kK1}, true, "RX: Physical loss of synchro (NACK)"},
        {0x86, {kAck}, true, "RX: ABORT - ResetCommPort(3)"},
        {0x88, {kAck}, true, nullptr},
        {0x87, {kAck}, true, nullptr},
        {0x02, {kAck}, false, nullptr},
        {0x80, {kAck}, false, nullptr},
        {0x55, {}, true, nullptr},
    };
    const auto resets = [] { return TraceCount("ResetComPort:1") + TraceCount("ResetComPort:3"); };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        Reopen();
        PostZQMsg(kK1);
        Take();
        const int before = resets();
        Read(F(0x60, {c.code}));
        EXPECT_EQ(Take(), c.written);
        EXPECT_EQ(resets() - before, c.reset ? 1 : 0);
        if (c.trace != nullptr) {
            EXPECT_TRUE(TraceHas(c.trace));
        }
    }
}

TEST_F(LinkTest, TheAnswerToAnEnquiryCanBeANack) {
    OpenIdle();
    g_rx.answerNack = true;
    Read(F(0x60, {0x87}));
    EXPECT_EQ(Take(), Writes{kNackChecksum});
}

TEST_F(LinkTest, TheConfigurationResponseSetsWhatTheAdapterAllows) {
    struct Case {
        Bytes response;
        const char* version;
        bool super, piggy;
        Writes after;  // written at the end of the tick
    };
    const Bytes timeoutChange{0x03, 0x60, 0x12, 0x32, 0x59};
    const Case cases[] = {
        {F(0x60, {0x11, 3, 7, 25, 0x03, 0}), "* Subdevice Vex/pc 3.07 *", true, true, {timeoutChange}},
        {F(0x60, {0x11, 3, 5, 25, 0x01, 0}), "* Subdevice Vex/pc 3.05 *", true, false, {}},
        {F(0x60, {0x11, 2, 9, 25, 0x02, 0}), "* Subdevice Vex/pc 2.09 *", false, true, {}},
        // Shorter responses: what is missing counts as 0.
        {F(0x60, {0x11, 3, 7, 25}), "* Subdevice Vex/pc 3.07 *", false, false, {timeoutChange}},
        {F(0x60, {0x11, 3, 7}), "* Subdevice Vex/pc 0.00 *", false, false, {}},
        {F(0x60, {0x11}), "* Subdevice Vex/pc 0.00 *", false, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        Reopen();
        g_rx.ready = false;
        g_superv.pollCounter = 9;
        Feed(c.response);
        Tick();
        EXPECT_TRUE(TraceHas("RX: Config Response "));
        EXPECT_TRUE(TraceHas(c.version));
        EXPECT_TRUE(g_rx.ready);
        EXPECT_EQ(g_port.superAllowed, c.super);
        EXPECT_EQ(g_port.piggyAllowed, c.piggy);
        EXPECT_EQ(g_superv.pollPeriod, POLL_PERIOD_CONFIGURED);
        EXPECT_EQ(g_superv.pollCounter, 0);
        EXPECT_EQ(Take(), c.after);
    }
}

TEST_F(LinkTest, TwoNacksInOneReadSendTheLastFrameOnce) {
    OpenIdle();
    PostZQMsg(kK1);
    Take();
    Read(Cat({kNackChecksum, kNackChecksum}));
    EXPECT_EQ(Take(), Writes{kK1});
    EXPECT_TRUE(TraceHas("Deux msgs type 60.8x détectés dans la trame !!!"));
    EXPECT_FALSE(TraceHas("RX: Wrong CheckSum (NACK)"));
}

TEST_F(LinkTest, TwoNacksAndAFrameCutShortWaitAtMost200Milliseconds) {
    for (bool rest : {false, true}) {
        SCOPED_TRACE(rest ? "the rest comes" : "the rest never comes");
        Reopen();
        PostZQMsg(kK1);
        // The wait counts from the read before (a frame left unanswered).
        Feed(F(0x40, {0x01}));
        Tick();
        EXPECT_EQ(Take(), Writes{kK1});
        Feed(Cat({kNackSync, kNackChecksum, {0x02, 0x60}}));
        Tick();
        EXPECT_TRUE(TraceHas("Deux msgs type 60.8x détectés - Dernier msg incomplet - Attente "));
        EXPECT_EQ(Take(), Writes{});
        if (rest) {
            Feed({0x84, 0x1A});
            Tick();
            EXPECT_TRUE(TraceHas("Deux msgs type 60.8x détectés dans la trame !!!"));
        } else {
            Tick();
            EXPECT_EQ(Take(), Writes{});
            Tick();
            EXPECT_TRUE(
                TraceHas("Deux msgs type 60.8x détectés - dernier msg incomplet - Tempo atteinte !!!"));
        }
        EXPECT_EQ(Take(), Writes{kK1});
        // Nothing of the read is left over.
        Feed(kPlain21);
        Tick();
        EXPECT_EQ(Take(), Writes{kAck});
    }
}

TEST_F(LinkTest, AnEnquiryAmongSeveralFramesIsRefusedOrRestartsTheLink) {
    for (bool silentMinute : {false, true}) {
        SCOPED_TRACE(silentMinute ? "after 60 s of silence" : "within 60 s");
        Reopen();
        g_line.calls.lineCallState[3] = LINECALLSTATE_CONNECTED;
        g_line.calls.lineCallState[5] = LINECALLSTATE_IDLE;
        FifoPut(kK1);
        g_port.sendHoldOff = 20;
        g_port.lastSendTime = plat::time_ms();
        memplat::advance(silentMinute ? ENQUIRY_SILENCE_MS : ENQUIRY_SILENCE_MS - 1);
        g_port.sendHoldOff = 0;
        Read(Cat({kPlain21, F(0x60, {0x87})}));
        int idle = 0;
        for (const auto& e : g_tapi.lineEvents)
            idle += e.msg == LINE_CALLSTATE && e.param1 == LINECALLSTATE_IDLE;
        if (!silentMinute) {
            EXPECT_EQ(Take(), Writes{kNackSync});
            EXPECT_EQ(FifoCount(), 1);
            EXPECT_EQ(idle, 0);
            continue;
        }
        // The opening frames again, in place of whatever was queued.
        EXPECT_EQ(Take(), Writes{kPoll});
        EXPECT_TRUE(TraceHas("Çontact rompu avec le subdevice -> Redemarrage"));
        EXPECT_EQ(idle, 1);
        EXPECT_EQ(FifoCount(), 3);
        for (const Bytes& next : {kSpecial, kConfigRequest}) {
            Feed(kAck);
            Tick();
            EXPECT_EQ(Take(), Writes{next});
        }
    }
}

// A read continuing a frame starts inside it: bytes there that look like
// link-control frames are data; the frames after it are looked at.
TEST_F(LinkTest, LinkControlLookalikesInsideAContinuedFrameAreData) {
    struct Case {
        Bytes inside, after;
        Writes written;
    };
    const Case cases[] = {
        {F(0x60, {0x87}), kPlain21, {kAck, kAck}},
        {Cat({kNackChecksum, kNackSync}), kPlain21, {kAck, kAck}},
        {{0x41, 0x42}, F(0x60, {0x87}), {kNackSync}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Dump(c.inside));
        Reopen();
        PostZQMsg(kK1);
        Take();
        const Bytes frame = F(0x61, c.inside);
        Read(Slice(frame, 0, 2));
        Read(Cat({Slice(frame, 2, frame.size() - 2), c.after}));
        EXPECT_EQ(Take(), c.written);
        // Whatever was dropped, the next frame stands on its own.
        Read(kPlain21);
        EXPECT_EQ(Take(), Writes{kAck});
    }
}

TEST_F(LinkTest, SegmentedMessagesAreRebuilt) {
    struct Case {
        const char* name;
        std::vector<Bytes> segments;
        Writes answers;
        std::string trace;
    };
    const Bytes m = Tqla(40);
    const std::vector<Bytes> s = Segments(m);
    // Announces 41 bytes but carries 25.
    const Bytes shortM = Tqla(24);
    Bytes first = Segments(shortM)[0];
    first[4] = 41;
    first.back() = static_cast<uint8_t>(first.back() - 16);
    const Case cases[] = {
        {"in order", s, {kAck, kAck, kAck}, "Unknown TAPI-TQLA msg received: " + Dump(m)},
        {"one skipped",
         {s[0], s[2]},
         {kAck, kNackSync},
         "Rebuild_ZQ_Segmented_Error_Msg - segment non attendu"},
        {"no first", {s[1]}, {kNackSync}, "Rebuild_ZQ_Segmented_Error_Msg - segment non attendu"},
        {"length mismatch",
         {first, Segments(shortM)[1]},
         {kAck, kAck},
         "Rebuild_ZQ_Segmented_Error_Msg - Pb de longueur - Message reconstruit errone"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reopen();
        for (const Bytes& seg : c.segments)
            Read(seg);
        EXPECT_EQ(Take(), c.answers);
        EXPECT_TRUE(TraceHas(c.trace));
        if (std::string(c.name) != "in order") {
            EXPECT_FALSE(TraceHas("Unknown TAPI-TQLA msg received: " + Dump(m)));
        }
    }
}

// The adapter gave up a message half-way: the next one is whole.
TEST_F(LinkTest, AFirstSegmentStartsANewMessage) {
    OpenIdle();
    const Bytes m = Tqla(40);
    const std::vector<Bytes> s = Segments(m);
    Read(s[0]);
    Take();
    for (const Bytes& seg : s)
        Read(seg);
    EXPECT_EQ(Take(), (Writes{kAck, kAck, kAck}));
    EXPECT_TRUE(TraceHas("Unknown TAPI-TQLA msg received: " + Dump(m)));
}

// ---------------------------------------------------------------- bad input

// Each case is followed by a good frame, which must be acknowledged: the
// link goes on whatever came before.
TEST_F(LinkTest, MalformedFramesAreDroppedAndTheLinkGoesOn) {
    struct Case {
        const char* name;
        Bytes bytes;
        Writes answers;
        const char* trace;
    };
    const Case cases[] = {
        {"length 0", {0x00}, {}, nullptr},
        {"length 0 twice", {0x00, 0x00}, {}, nullptr},
        {"super item past its frame",
         F(0x6E, {0x09, 0x60, 0x00}),
         {kAck},
         "ProcessInput - super message length 9 at 1 out of frame"},
        {"super item of length 0 stepped over", F(0x6E, {0x00, 0x01, 0x21}), {kAck}, nullptr},
        {"super with a lone length",
         F(0x6E, {0x01, 0x21, 0x03}),
         {kAck},
         "ProcessInput - super message length 3 at 3 out of frame"},
        {"piggy-back item past its frame",
         F(0x6F, {0x02, 0x60, 0x00, 0x09, 0x21}),
         {kAck},
         "ProcessInput - piggy-back length 9 out of frame"},
        {"piggy-back item of length 0",
         F(0x6F, {0x02, 0x60, 0x00, 0x00, 0x21}),
         {kAck},
         "ProcessInput - piggy-back length 0 out of frame"},
        {"piggy-back without its data frame", F(0x6F, {0x02, 0x60}), {kAck}, nullptr},
        {"piggy-back alone", F(0x6F, {}), {kAck}, nullptr},
        {"piggy-back super item past",
         F(0x6F, {0x02, 0x60, 0x00, 0x05, 0x6E, 0x07, 0x21}),
         {kAck},
         "ProcessInput - super message length 7 at 6 out of frame"},
        {"TQLA longer than its frame",
         F(0x12, {0x00, 0x40, 0x02, 0x00, 0x50, 0x01, 0xAA, 0xBB}),
         {kAck},
         "TAPI_TQLA MSG length 64 carried in 8 bytes - dropped"},
        {"TQLA length below its header",
         F(0x12, {0x00, 0x02, 0x02, 0x00, 0x50, 0x01, 0xAA, 0xBB}),
         {kAck},
         "TAPI_TQLA MSG length 2 carried in 8 bytes - dropped"},
        // The length field decides: the association answer sees no payload.
        {"TQLA shorter than its frame",
         F(0x12, {0x00, 0x06, 0x02, 0x00, 0x03, 0x01, 0x00, 0x01, 0x00}),
         {kAck},
         "DEVICE_ASSOC_ACK too short (0 bytes) - ignored"},
        {"TQLA too short for its header",
         F(0x12, {0x00, 0x03, 0x02}),
         {kAck},
         "TAPI_TQLA MSG too short: 3 bytes"},
        {"TQLA empty", F(0x12, {}), {kAck}, "TAPI_TQLA MSG too short: 0 bytes"},
        {"link control without code", F(0x60, {}), {}, "ProcessZQMsg - link control without code"},
        {"segment without header",
         F(0x0C, {}),
         {kAck},
         "Rebuild_ZQ_Segmented_Error_Msg - segment sans en-tete"},
        {"first segment without length", F(0x0C, {0x81, 0x00}), {kAck}, nullptr},
        {"first segment without data", F(0x0C, {0x80, 0x00, 0x01}), {kAck}, nullptr},
        {"system to option without address",
         F(0x63, {}),
         {kAck},
         "RX: System to Option Trace Header(address 0) OP 0"},
        {"option to system without operation",
         F(0x64, {0x01}),
         {kAck},
         "RX: Option to System Trace Header(address 1) OP 0"},
        {"VTA trace header without message", F(0x62, {}), {kAck}, nullptr},
        {"system trace header without message", F(0x61, {}), {kAck}, nullptr},
        {"255 data bytes of noise", F(0x61, Bytes(254, 0xFF)), {kAck}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reopen();
        Read(c.bytes);
        EXPECT_EQ(Take(), c.answers);
        if (c.trace != nullptr) {
            EXPECT_TRUE(TraceHas(c.trace));
        }
        Read(kPlain21);
        EXPECT_EQ(Take(), Writes{kAck}) << "the link stopped";
    }
}

TEST_F(LinkTest, SegmentsBeyondTheReassemblyBufferAreGivenUp) {
    OpenIdle();
    // 12 segments of 253 data bytes announced: about 3000 bytes.
    Bytes body{0x8B, 0x0B, 0xB8, 0x12};
    body.resize(254, 0x41);
    std::vector<Bytes> segs{F(0x0C, body)};
    for (int i = 10; i >= 0; --i) {
        Bytes b{static_cast<uint8_t>(i)};
        b.resize(254, 0x42);
        segs.push_back(F(0x0C, b));
    }
    Writes answers;
    for (const Bytes& s : segs) {
        Read(s);
        const Writes w = Take();
        answers.insert(answers.end(), w.begin(), w.end());
    }
    EXPECT_TRUE(TraceHas("Rebuild_ZQ_Segmented_Error_Msg - message trop long (2275) - abandonne"));
    ASSERT_EQ(answers.size(), segs.size());
    for (size_t i = 0; i < 9; ++i)
        EXPECT_EQ(answers[i], kAck) << i;
    for (size_t i = 9; i < answers.size(); ++i)
        EXPECT_EQ(answers[i], kNackSync) << i;
    // The next message is rebuilt whole.
    const Bytes m = Tqla(40);
    for (const Bytes& s : Segments(m))
        Read(s);
    EXPECT_TRUE(TraceHas("Unknown TAPI-TQLA msg received: " + Dump(m)));
    Read(kPlain21);
    EXPECT_EQ(Take().back(), kAck);
}

TEST_F(LinkTest, FrameTracesShowAtMost49Bytes) {
    OpenIdle();
    const Bytes frame = F(0x61, Bytes(59, 0x41));
    Read(frame);
    EXPECT_TRUE(TraceHas("ProcessInput(" + Dump(Slice(frame, 1, 49)) + ")"));
    EXPECT_TRUE(TraceHas("Tronquage chaine"));
    Read(kPlain21);
    EXPECT_TRUE(TraceHas("ProcessInput(21.DE.)"));
}

}  // namespace
}  // namespace zq::test
