// Frames, their assembly byte by byte, TQLA segmentation and reassembly.
#include <random>

#include "sim_harness.h"

namespace zq::sim::test {
namespace {

Bytes to_bytes(std::span<const uint8_t> span) {
    return Bytes(span.begin(), span.end());
}

TEST(Frame, KnownFramesAreByteExact) {
    struct Case {
        Frame frame;
        Bytes expected;
    };
    const Case cases[] = {
        {link_control_frame(kLcAck), {0x02, 0x60, 0x00, 0x9E}},
        {link_control_frame(kLcPollReady), {0x02, 0x60, 0x01, 0x9D}},
        {link_control_frame(kLcNackSync), {0x02, 0x60, 0x85, 0x19}},
        {link_control_frame(kLcNackChecksum), {0x02, 0x60, 0x84, 0x1A}},
        {link_control_frame(kLcAbort), {0x02, 0x60, 0x86, 0x18}},
        {link_control_frame(kLcSpecialFunction, 3), {0x03, 0x60, 0x10, 0x03, 0x8A}},
        {link_control_frame(kLcTimeoutChange, 0x32), {0x03, 0x60, 0x12, 0x32, 0x59}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(to_bytes(c.frame.view()), c.expected);
    }
    Frame key;
    ASSERT_TRUE(make_frame(kTypeKeyMessage, Bytes{0x20, 0x1D}, &key));
    EXPECT_EQ(to_bytes(key.view()), (Bytes{0x03, 0x26, 0x20, 0x1D, 0x9A}));
}

TEST(Frame, LongestBodyFitsAndOneMoreIsRefused) {
    Frame frame;
    ASSERT_TRUE(make_frame(0x12, Bytes(kMaxFrameBody, 0xAB), &frame));
    EXPECT_EQ(frame.size, kMaxFrameBytes);
    EXPECT_EQ(frame.bytes[0], 255);
    EXPECT_TRUE(frame_sum_is_zero(frame.view()));
    EXPECT_FALSE(make_frame(0x12, Bytes(kMaxFrameBody + 1, 0xAB), &frame));
    EXPECT_EQ(frame.size, 0);
}

// Feeds bytes one by one and lists what came out.
std::vector<std::string> assemble(FrameAssembler& a, const Bytes& bytes) {
    std::vector<std::string> events;
    for (const uint8_t b : bytes) {
        switch (assembler_feed(a, b, 0)) {
            case FeedResult::Complete:
                events.push_back("frame " + std::to_string(assembler_frame(a).size()));
                break;
            case FeedResult::BadChecksum:
                events.push_back("bad checksum");
                break;
            case FeedResult::Ignored:
                events.push_back("skipped");
                break;
            case FeedResult::Pending:
                break;
        }
    }
    return events;
}

TEST(Assembler, CutsStreamsIntoFrames) {
    struct Case {
        const char* name;
        Bytes bytes;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {"ack", {0x02, 0x60, 0x00, 0x9E}, {"frame 4"}},
        {"two frames back to back", {0x02, 0x60, 0x00, 0x9E, 0x02, 0x60, 0x01, 0x9D}, {"frame 4", "frame 4"}},
        {"bad checksum, then a good frame",
         {0x02, 0x60, 0x00, 0x9F, 0x02, 0x60, 0x01, 0x9D},
         {"bad checksum", "frame 4"}},
        {"zero length bytes between frames",
         {0x00, 0x00, 0x02, 0x60, 0x00, 0x9E},
         {"skipped", "skipped", "frame 4"}},
        {"incomplete", {0x05, 0x61, 0x47}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FrameAssembler a;
        EXPECT_EQ(assemble(a, c.bytes), c.events);
    }
}

TEST(Assembler, FrameSplitAcrossReadsAtEveryPoint) {
    const Bytes f = frame(0x61, Bytes{0x27, 0x00, 0x00, 'H', 'e', 'l', 'l', 'o'});
    for (size_t cut = 1; cut < f.size(); ++cut) {
        FrameAssembler a;
        EXPECT_TRUE(assemble(a, Bytes(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(cut))).empty());
        EXPECT_TRUE(assembler_collecting(a));
        EXPECT_EQ(assemble(a, Bytes(f.begin() + static_cast<std::ptrdiff_t>(cut), f.end())),
                  std::vector<std::string>{"frame " + std::to_string(f.size())});
        EXPECT_EQ(to_bytes(assembler_frame(a)), f);
    }
}

TEST(Assembler, RandomBytesNeverOverrun) {
    std::mt19937 random(7);
    FrameAssembler a;
    for (int i = 0; i < 200000; ++i) {
        assembler_feed(a, static_cast<uint8_t>(random()), 0);
        ASSERT_LE(assembler_frame(a).size(), kMaxFrameBytes);
    }
}

TEST(Segments, FortyByteMessageGoesInThreeSegments) {
    Bytes message(40);
    for (size_t i = 0; i < message.size(); ++i) {
        message[i] = static_cast<uint8_t>(i);
    }
    message[0] = 0;
    message[1] = 40;
    ASSERT_EQ(tqla_frame_count(message.size()), 3u);
    std::vector<Bytes> frames;
    for (size_t i = 0; i < 3; ++i) {
        Frame f;
        ASSERT_TRUE(tqla_frame(message, i, &f));
        frames.push_back(to_bytes(f.view()));
    }
    const auto part = [&](size_t from, size_t n) {
        return Bytes(message.begin() + static_cast<std::ptrdiff_t>(from),
                     message.begin() + static_cast<std::ptrdiff_t>(from + n));
    };
    EXPECT_EQ(frames[0], frame(0x0C, Bytes{0x82, 0x00, 41, 0x12} + part(0, 16)));
    EXPECT_EQ(frames[0][0], 21);
    EXPECT_EQ(frames[1], frame(0x0C, Bytes{0x01} + part(16, 16)));
    EXPECT_EQ(frames[2], frame(0x0C, Bytes{0x00} + part(32, 8)));
}

TEST(Segments, ThresholdAndLimits) {
    struct Case {
        size_t size;
        size_t frames;
    };
    const Case cases[] = {{0, 0},  {6, 1},  {15, 1},     {16, 1},  {17, 2},
                          {32, 2}, {33, 3}, {2047, 128}, {2048, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(tqla_frame_count(c.size), c.frames) << c.size;
    }
    // 15 bytes: a plain TQLA frame; 16 bytes: one segment.
    Frame f;
    ASSERT_TRUE(tqla_frame(Bytes(15, 1), 0, &f));
    EXPECT_EQ(f.bytes[1], kTypeTqla);
    ASSERT_TRUE(tqla_frame(Bytes(16, 1), 0, &f));
    EXPECT_EQ(to_bytes(f.view()), frame(0x0C, Bytes{0x80, 0x00, 17, 0x12} + Bytes(16, 1)));
    EXPECT_FALSE(tqla_frame(Bytes(16, 1), 1, &f));
}

TEST(Segments, ReassemblyRoundTrip) {
    for (const size_t size : {16u, 17u, 31u, 32u, 33u, 200u, 2047u}) {
        Bytes message(size);
        for (size_t i = 0; i < size; ++i) {
            message[i] = static_cast<uint8_t>(i * 7);
        }
        Reassembler r;
        const size_t count = tqla_frame_count(size);
        for (size_t i = 0; i < count; ++i) {
            Frame f;
            ASSERT_TRUE(tqla_frame(message, i, &f));
            const SegmentResult result = reassembler_add(r, frame_body(f.view()));
            EXPECT_EQ(result, i + 1 == count ? SegmentResult::Complete : SegmentResult::Pending) << size;
        }
        EXPECT_EQ(to_bytes(reassembled_message(r)), Bytes{0x12} + message) << size;
    }
}

TEST(Segments, BrokenSequencesAreRefused) {
    struct Case {
        const char* name;
        std::vector<Bytes> segments;
        SegmentResult last;
    };
    const Case cases[] = {
        {"following segment without a first", {{0x00, 1, 2}}, SegmentResult::OutOfOrder},
        {"segment skipped", {{0x82, 0, 41, 0x12, 1}, {0x00, 1}}, SegmentResult::OutOfOrder},
        {"total shorter than the data", {{0x80, 0, 2, 0x12, 1, 2, 3}}, SegmentResult::Malformed},
        {"total longer than the data", {{0x80, 0, 9, 0x12, 1, 2, 3}}, SegmentResult::Malformed},
        {"total past the buffer", {{0x81, 0x08, 0x01, 0x12}}, SegmentResult::Malformed},
        {"first segment too short", {{0x81, 0x00}}, SegmentResult::Malformed},
        {"empty", {{}}, SegmentResult::Malformed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reassembler r;
        SegmentResult result = SegmentResult::Pending;
        for (const Bytes& s : c.segments) {
            result = reassembler_add(r, s);
        }
        EXPECT_EQ(result, c.last);
        EXPECT_TRUE(reassembled_message(r).empty());
    }
}

TEST(Segments, RandomSegmentsStayInsideTheBuffer) {
    std::mt19937 random(11);
    Reassembler r;
    for (int i = 0; i < 20000; ++i) {
        Bytes s(random() % 40);
        for (uint8_t& b : s) {
            b = static_cast<uint8_t>(random());
        }
        reassembler_add(r, s);
        ASSERT_LE(r.fill, r.bytes.size());
    }
}

TEST(Tqla, ParseChecksTheLengthField) {
    TqlaHeader header;
    std::span<const uint8_t> payload;
    const Bytes good{0, 7, 2, 0, 8, 3, 5, 0xEE};  // one byte after the message
    ASSERT_TRUE(tqla_parse(good, &header, &payload));
    EXPECT_EQ(header.code, 8);
    EXPECT_EQ(header.sequence, 3);
    EXPECT_EQ(to_bytes(payload), Bytes{5});
    EXPECT_FALSE(tqla_parse(Bytes{0, 9, 2, 0, 8, 3, 5}, &header, &payload));  // longer than the bytes
    EXPECT_FALSE(tqla_parse(Bytes{0, 5, 2, 0, 8, 3}, &header, &payload));     // shorter than a header
    EXPECT_FALSE(tqla_parse(Bytes{0, 6, 2}, &header, &payload));
}

}  // namespace
}  // namespace zq::sim::test
