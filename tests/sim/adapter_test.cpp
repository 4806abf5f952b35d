// The adapter's link layer as the provider meets it: answers to the
// opening, acknowledgements, stop-and-wait with resends, and the faults.
#include <functional>

#include "sim_harness.h"

namespace zq::sim::test {
namespace {

TEST(Opening, EachFrameGetsItsAnswer) {
    struct Case {
        const char* name;
        Bytes from_provider;
        Bytes answer;
    };
    const Case cases[] = {
        {"NACK 85 with nothing in flight: no answer", {0x02, 0x60, 0x85, 0x19}, {}},
        {"poll: ready", {0x02, 0x60, 0x01, 0x9D}, {0x02, 0x60, 0x01, 0x9D}},
        {"special function 3", {0x03, 0x60, 0x10, 0x03, 0x8A}, {0x02, 0x60, 0x10, 0x8E}},
        {"configuration request", {0x02, 0x60, 0x11, 0x8D}, frame(0x60, {0x11, 3, 7, 25, 3, 0})},
        {"time-out change 50", {0x03, 0x60, 0x12, 0x32, 0x59}, {0x03, 0x60, 0x12, 0x32, 0x59}},
    };
    Harness h;
    sim_adapter(h.sim()).idle_display = false;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(h.send(c.from_provider), c.answer);
    }
    EXPECT_TRUE(sim_link_up(h.sim()));
    EXPECT_EQ(sim_adapter(h.sim()).ack_wait_ms, 500u);
    EXPECT_TRUE(h.log_has("provider -> adapter: link control POLL"));
    EXPECT_TRUE(
        h.log_has("adapter -> provider: link control CONFIGURATION RESPONSE version 3.07 parameter 25 "
                  "caps 0x03 option 0"));
}

TEST(Opening, ConfigurationResponseFollowsTheSettings) {
    struct Case {
        uint8_t major, minor, parameter, caps, option;
    };
    const Case cases[] = {{3, 7, 25, 3, 0}, {2, 1, 25, 0, 0}, {3, 5, 40, 1, 9}, {4, 0, 0, 2, 255}};
    for (const Case& c : cases) {
        Harness h;
        AdapterConfig& config = sim_adapter(h.sim());
        config = AdapterConfig{c.major, c.minor, c.parameter, c.caps, c.option};
        config.idle_display = false;
        EXPECT_EQ(h.send({0x02, 0x60, 0x11, 0x8D}),
                  frame(0x60, {0x11, c.major, c.minor, c.parameter, c.caps, c.option}));
    }
}

TEST(Opening, IdleDisplayShowsTraceModeAfterTheConfiguration) {
    Harness h;
    h.send(kPoll);
    EXPECT_EQ(
        h.send({0x02, 0x60, 0x11, 0x8D}),
        frame(0x60, {0x11, 3, 7, 25, 3, 0}) + frame(0x61, Bytes{0x27, 0x00, 0x00} + text_bytes("2001")));
    EXPECT_TRUE(h.log_has("adapter -> provider: trace PBX -> set: display line 0 mode 0x00 column 0 '2001'"));

    Harness no_trace;
    sim_adapter(no_trace.sim()).trace_mode = false;
    no_trace.send(kPoll);
    EXPECT_EQ(no_trace.send({0x02, 0x60, 0x11, 0x8D}), frame(0x60, {0x11, 3, 7, 25, 3, 0}));
}

TEST(DataFrames, EveryDataFrameFromTheProviderIsAcknowledged) {
    struct Case {
        const char* name;
        Bytes from_provider;
        const char* logged;
    };
    const Case cases[] = {
        {"key message", {0x03, 0x26, 0x20, 0x1D, 0x9A}, "provider -> adapter: set key message key 0x20 0x1D"},
        {"digit", frame(0x26, {0x03, 0x05}), "set key message digit 0x03 0x05"},
        {"super frame", frame(0x6E, {0x03, 0x26, 0x20, 0x1D, 0x03, 0x26, 0x03, 0x0B}),
         "  in super frame: set key message digit 0x03 0x0B"},
        {"answer to 0x0E",
         {0x05, 0x30, 0x02, 0x03, 0x03, 0x02, 0xC1},
         "answer to frame type 0x0E: 02 03 03 02"},
        {"TQLA request 4", frame(0x12, tqla_request(4, 0)), "PBX: no answer to TQLA REQUEST_4 (version 2)"},
        {"lone segment", frame(0x0C, {0x00, 1, 2}), "segment out of order"},
        {"malformed super frame", frame(0x6E, {0x05, 0x26, 0x20}), "super frame malformed at byte 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.open_link();
        // The acknowledgement comes first; a key may make the set show
        // something after it.
        const std::vector<Bytes> frames = split_frames(h.send(c.from_provider));
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames[0], kAck);
        EXPECT_TRUE(h.log_has(c.logged));
    }
}

TEST(DataFrames, FramesThatAreNotDataGetNoAcknowledgement) {
    Harness h;
    h.open_link();
    EXPECT_EQ(h.send(frame(0x55, {1, 2})), Bytes{});
    EXPECT_TRUE(h.log_has("unknown frame type, not acknowledged"));
    EXPECT_EQ(h.send({0x02, 0x60, 0x86, 0x18}), Bytes{});                          // ABORT
    EXPECT_EQ(h.send({0x02, 0x60, 0x00, 0x9F}), (Bytes{0x02, 0x60, 0x84, 0x1A}));  // wrong checksum
}

TEST(DataFrames, SegmentedRequestIsReassembledAndAnswered) {
    Harness h;
    h.open_link();
    Bytes request = tqla_request(2, 0, Bytes(14, 0));  // 20 bytes: two segments
    Frame first;
    Frame second;
    ASSERT_TRUE(tqla_frame(request, 0, &first));
    ASSERT_TRUE(tqla_frame(request, 1, &second));
    EXPECT_EQ(h.send(Bytes(first.view().begin(), first.view().end())), kAck);
    const Bytes out = h.send(Bytes(second.view().begin(), second.view().end()));
    ASSERT_EQ(split_frames(out).size(), 2u);
    EXPECT_EQ(split_frames(out)[1][1], 0x0C);  // the DEVICE_ASSOC_ACK
    EXPECT_TRUE(h.log_has("provider -> adapter: TQLA DEVICE_ASSOC (version 2) payload 00 00"));
}

TEST(DataFrames, PiggyBackCarriesAnAckAndAFrame) {
    Harness h;
    h.open_link();
    sim_show_icon(h.sim(), 5, 0x0002);
    sim_show_icon(h.sim(), 6, 0x0003);
    EXPECT_EQ(h.advance(0), frame(0x61, {0x47, 5, 0x02, 0x00}));
    // The provider acknowledges the icon and sends a key message with it.
    const Bytes piggy{0x08, 0x6F, 0x02, 0x60, 0x00, 0x03, 0x26, 0x20, 0x1D, 0xC1};
    EXPECT_EQ(h.send(piggy), kAck + frame(0x61, {0x47, 6, 0x03, 0x00}));
    EXPECT_TRUE(h.log_has("  data part: set key message key 0x20 0x1D"));
    EXPECT_EQ(sim_frames_pending(h.sim()), 1u);
}

TEST(DataFrames, PiggyBackedLinkControlGetsItsOwnAnswer) {
    Harness h;
    h.open_link();
    // ACK with a queued time-out change: answered 60 12 32, no 60 00.
    const Bytes piggy = frame(0x6F, {0x02, 0x60, 0x00, 0x03, 0x60, 0x12, 0x32});
    EXPECT_EQ(h.send(piggy), (Bytes{0x03, 0x60, 0x12, 0x32, 0x59}));
    EXPECT_EQ(h.send(frame(0x6F, {0x02, 0x60, 0x00, 0x02, 0x60, 0x01})), kPoll);
    EXPECT_EQ(h.send(frame(0x6F, {0x02, 0x60, 0x00, 0x09, 0x60})), Bytes{});
    EXPECT_TRUE(h.log_has("piggy-back frame malformed"));
}

TEST(StopAndWait, OneFrameOutstandingUntilAcknowledged) {
    Harness h;
    h.open_link();
    sim_press_key(h.sim(), 0x1D);
    sim_press_digit(h.sim(), 11);
    EXPECT_EQ(h.advance(0), frame(0x62, {0x20, 0x1D}));
    EXPECT_EQ(h.advance(100), Bytes{});
    EXPECT_EQ(h.send(kAck), frame(0x62, {0x03, 0x0B}));
    EXPECT_EQ(h.send(kAck), Bytes{});
    EXPECT_EQ(h.send(kAck), Bytes{});  // an ACK with nothing outstanding changes nothing
    EXPECT_EQ(sim_frames_pending(h.sim()), 0u);
}

TEST(StopAndWait, UnacknowledgedFrameIsResentThenGivenUp) {
    Harness h;
    h.open_link();
    sim_adapter(h.sim()).max_resends = 2;
    sim_show_text(h.sim(), 1, 3, "Hi");
    const Bytes f = frame(0x61, {0x28, 0x00, 0x03, 'H', 'i'});
    EXPECT_EQ(h.advance(0), f);
    EXPECT_EQ(h.advance(299), Bytes{});
    EXPECT_EQ(h.advance(1), f);
    EXPECT_EQ(h.advance(300), f);
    EXPECT_EQ(h.advance(300), Bytes{});
    EXPECT_TRUE(h.log_has("adapter: frame given up after 2 resends"));
    EXPECT_EQ(sim_frames_pending(h.sim()), 0u);
}

TEST(StopAndWait, NackFromTheProviderBringsTheLastFrameAgain) {
    Harness h;
    h.open_link();
    sim_show_icon(h.sim(), 1, 0x0100);
    sim_show_icon(h.sim(), 2, 0x0100);
    const Bytes f = frame(0x61, {0x47, 1, 0x00, 0x01});
    EXPECT_EQ(h.advance(0), f);
    EXPECT_EQ(h.send({0x02, 0x60, 0x84, 0x1A}), f);
    EXPECT_EQ(h.send({0x02, 0x60, 0x83, 0x1B}), f);
    // 60 85: the provider took none of it (a segment it already had): the
    // frame is given up and the next one goes.
    EXPECT_EQ(h.send({0x02, 0x60, 0x85, 0x19}), frame(0x61, {0x47, 2, 0x00, 0x01}));
    EXPECT_TRUE(sim_link_up(h.sim()));
    EXPECT_EQ(h.send(kAck), Bytes{});
    EXPECT_EQ(sim_frames_pending(h.sim()), 0u);
    // A NACK for our own NACK is not answered, or both ends would go on
    // for ever: the provider sends its frame again.
    EXPECT_EQ(h.send({0x02, 0x60, 0x00, 0x9F}), Bytes({0x02, 0x60, 0x84, 0x1A}));
    EXPECT_EQ(h.send({0x02, 0x60, 0x84, 0x1A}), Bytes{});
}

TEST(StopAndWait, FramesWithDirectAnswers) {
    const Bytes key = frame(0x62, {0x20, 3});
    struct Case {
        uint8_t type;
        Bytes answer;   // what the provider sends back
        Bytes adapter;  // what the adapter writes then
    };
    const Case cases[] = {
        {0x00, {0x01, 0x00, 0xFF}, key},
        {0x20, kAck + Bytes{0x01, 0x20, 0xDF}, key},
        {0x03, kAck, key},
        // The ACK lets the key press go; the 0x30 answer is acknowledged.
        {0x0E, kAck + Bytes{0x05, 0x30, 0x02, 0x03, 0x03, 0x02, 0xC1}, key + kAck},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int{c.type});
        Harness h;
        h.open_link();
        sim_queue_frame(h.sim(), c.type, {});
        sim_press_key(h.sim(), 3);
        EXPECT_EQ(h.advance(0), frame(c.type, {}));
        // Acknowledged once: the key press follows, exactly once.
        EXPECT_EQ(h.send(c.answer), c.adapter);
        EXPECT_EQ(h.send(kAck), Bytes{});
    }
}

TEST(StopAndWait, DataWaitsForTheLink) {
    Harness h;
    sim_press_key(h.sim(), 3);
    EXPECT_EQ(h.advance(1000), Bytes{});
    EXPECT_EQ(h.send(kPoll), kPoll + frame(0x62, {0x20, 3}));
}

TEST(StopAndWait, PartialFrameFromTheProviderIsDropped) {
    Harness h;
    h.open_link();
    EXPECT_EQ(h.send({0x02, 0x60}), Bytes{});
    EXPECT_EQ(h.advance(299), Bytes{});
    EXPECT_EQ(h.advance(1), (Bytes{0x02, 0x60, 0x83, 0x1B}));
    EXPECT_EQ(h.send(kPoll), kPoll);  // in step again
    // The rest of a frame arriving late starts a new frame instead.
    EXPECT_EQ(h.send({0x02, 0x60}), Bytes{});
    h.advance(400);
    EXPECT_EQ(h.send({0x01, 0x9D}), Bytes{});  // 01 9D: a frame of one byte, incomplete
}

struct FaultCase {
    const char* name;
    std::function<void(Faults&)> set;
    std::function<Bytes(Harness&)> act;
    Bytes expected;
};

TEST(Faults, EachFaultWritesWhatItShould) {
    const FaultCase cases[] = {
        {"silent", [](Faults& f) { f.silent = true; }, [](Harness& h) { return h.send(kPoll); }, {}},
        {"silent keeps its frames",
         [](Faults& f) { f.silent = true; },
         [](Harness& h) {
             sim_press_key(h.sim(), 1);
             return h.advance(1000);
         },
         {}},
        {"wrong checksum",
         [](Faults& f) { f.bad_checksum = true; },
         [](Harness& h) { return h.send(kPoll); },
         {0x02, 0x60, 0x01, 0x9E}},
        {"no acknowledgement",
         [](Faults& f) { f.no_ack = true; },
         [](Harness& h) {
             return h.send({0x03, 0x26, 0x20, 0x1D, 0x9A});
         },
         {}},
        {"NACK 83",
         [](Faults& f) { f.nack_instead_of_ack = 0x83; },
         [](Harness& h) {
             return h.send({0x03, 0x26, 0x20, 0x1D, 0x9A});
         },
         {0x02, 0x60, 0x83, 0x1B}},
        {"NACK 84",
         [](Faults& f) { f.nack_instead_of_ack = 0x84; },
         [](Harness& h) {
             return h.send({0x03, 0x26, 0x20, 0x1D, 0x9A});
         },
         {0x02, 0x60, 0x84, 0x1A}},
        {"NACK 85 rejects the request",
         [](Faults& f) { f.nack_instead_of_ack = 0x85; },
         [](Harness& h) { return h.send(frame(0x12, tqla_request(2, 0))); },
         {0x02, 0x60, 0x85, 0x19}},
        {"partial frames",
         [](Faults& f) { f.cut_frames_after = 2; },
         [](Harness& h) { return h.send(kPoll); },
         {0x02, 0x60}},
        {"enquiries after silence",
         [](Faults& f) {
             f.enquiry_after_silence_ms = 5000;
             f.enquiries_per_write = 3;
         },
         [](Harness& h) {
             EXPECT_EQ(h.advance(4999), Bytes{});
             Bytes out = h.advance(1);
             EXPECT_EQ(h.advance(10000), Bytes{});  // once per silence
             return out;
         },
         {0x02, 0x60, 0x87, 0x17, 0x02, 0x60, 0x87, 0x17, 0x02, 0x60, 0x87, 0x17}},
        {"abort",
         [](Faults&) {},
         [](Harness& h) {
             sim_write_link_control(h.sim(), kLcAbort);
             return h.advance(0);
         },
         {0x02, 0x60, 0x86, 0x18}},
        {"unknown frame type, never resent",
         [](Faults&) {},
         [](Harness& h) {
             sim_write_frame(h.sim(), 0x55, Bytes{0x01});
             return h.advance(0) + h.advance(5000);
         },
         {0x02, 0x55, 0x01, 0xA8}},
        {"bytes as they are",
         [](Faults&) {},
         [](Harness& h) {
             sim_write_bytes(h.sim(), Bytes{0x05, 0x61, 0x47});
             return h.advance(0);
         },
         {0x05, 0x61, 0x47}},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.open_link();
        c.set(sim_faults(h.sim()));
        EXPECT_EQ(c.act(h), c.expected);
    }
}

TEST(Faults, NoAckStillAnswersTheRequest) {
    Harness h;
    h.open_link();
    sim_faults(h.sim()).no_ack = true;
    const Bytes out = h.send(frame(0x12, tqla_request(6, 0)));
    EXPECT_EQ(out, frame(0x12, {0, 7, 3, 0, 7, 0, 4}));  // KEY_ACK, no ACK before it
}

TEST(SetMessages, FramesAndTraceHeaders) {
    struct Case {
        const char* name;
        std::function<void(Sim*)> act;
        Bytes expected;
        const char* logged;
    };
    const Case cases[] = {
        {"display line 0", [](Sim* s) { sim_show_text(s, 0, 5, "Hello"); },
         frame(0x61, Bytes{0x27, 0x00, 0x05} + text_bytes("Hello")),
         "trace PBX -> set: display line 0 mode 0x00 column 5 'Hello'"},
        {"display line 1, append, more", [](Sim* s) { sim_show_text(s, 1, 0, "ab", 0x82); },
         frame(0x61, {0x28, 0x82, 0x00, 'a', 'b'}), "display line 1 mode 0x82 column 0 'ab'"},
        {"icon", [](Sim* s) { sim_show_icon(s, 12, 0x0402); }, frame(0x61, {0x47, 12, 0x02, 0x04}),
         "trace PBX -> set: icon key 12 0x0402"},
        {"module icon", [](Sim* s) { sim_show_module_icon(s, 1, 3, 0x0002); },
         frame(0x63, {0x01, 0x47, 3, 0x02, 0x00}), "trace PBX -> module 1: icon key 3 0x0002"},
        {"key press", [](Sim* s) { sim_press_key(s, 0x1D); }, frame(0x62, {0x20, 0x1D}),
         "trace set -> PBX: key press 29"},
        {"digit", [](Sim* s) { sim_press_digit(s, 10); }, frame(0x62, {0x03, 10}),
         "trace set -> PBX: digit 10"},
        {"module key", [](Sim* s) { sim_press_module_key(s, 2, 4); }, frame(0x64, {0x02, 0x20, 4}),
         "trace module 2 -> PBX: key press 4"},
        {"raw PBX message", [](Sim* s) { sim_pbx_to_set(s, Bytes{0x26}); }, frame(0x61, {0x26}),
         "trace PBX -> set: clear display"},
        {"raw set message", [](Sim* s) { sim_set_to_pbx(s, Bytes{0x01}); }, frame(0x62, {0x01}),
         "trace set -> PBX: off-hook"},
        {"no line 2", [](Sim* s) { sim_show_text(s, 2, 0, "x"); }, {}, "display line 2 does not exist"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.open_link();
        c.act(h.sim());
        EXPECT_EQ(h.advance(0), c.expected);
        EXPECT_TRUE(h.log_has(c.logged));
    }
}

TEST(SetMessages, NothingPassesWithoutTraceMode) {
    Harness h;
    h.open_link();
    sim_adapter(h.sim()).trace_mode = false;
    sim_show_icon(h.sim(), 1, 2);
    sim_press_key(h.sim(), 1);
    EXPECT_EQ(h.advance(0), Bytes{});
    EXPECT_EQ(sim_frames_pending(h.sim()), 0u);
    EXPECT_TRUE(h.log_has("adapter: trace mode off, not passed on: trace PBX -> set: icon key 1 0x0002"));
}

}  // namespace
}  // namespace zq::sim::test
