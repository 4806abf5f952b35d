// The configuration download as the provider performs it, request by
// request, against several sets: every answer's header and payload bytes.
#include "sim_harness.h"

namespace zq::sim::test {
namespace {

struct Step {
    uint16_t code;
    Bytes payload;
    uint16_t answer_code;  // 0: no answer expected
    Bytes answer_payload;
};

struct Download {
    const char* name;
    const char* set_text;  // nullptr: the built-in set
    std::vector<Step> steps;
};

Bytes key_entry(uint8_t id, std::string_view text) {
    return Bytes{id} + label(text) + Bytes{0};
}

Bytes special_entry(uint8_t id, uint8_t kind, std::string_view text) {
    return Bytes{id, kind} + label(text);
}

Bytes text_entry(uint8_t id, std::string_view text) {
    return Bytes{id} + label(text);
}

const Download kDefault{
    "default set",
    nullptr,
    {
        {2, {}, 3, Bytes{0, 2} + label("2001") + Bytes{3, 1, 4, 0}},
        {6, {}, 7, {4}},
        {8,
         {0},
         9,
         Bytes{4} + key_entry(1, "2001") + key_entry(2, "2001") + key_entry(3, "2001") +
             key_entry(4, "2001")},
        {30, {}, 31, {1, 1, 0, 0}},
        {32, {0}, 33, Bytes{2} + special_entry(20, 7, "Superv 2002") + special_entry(21, 8, "Boss")},
        {10, {}, 11, {3}},
        {12,
         {0},
         13,
         Bytes{3} + text_entry(0, "Hang up") + text_entry(1, "Cancel call") + text_entry(2, "Dial")},
        {14, {}, 15, {7}},
        {16,
         {0},
         17,
         Bytes{7} + text_entry(0, "Enq") + text_entry(1, "EndEnq") + text_entry(2, "Swap") +
             text_entry(3, "Conf") + text_entry(4, "DTMF") + text_entry(5, "NoDTMF") +
             text_entry(6, "Transf")},
        {18, {}, 19, {7}},
        {20,
         {0},
         21,
         Bytes{7} + text_entry(0, "*21") + text_entry(1, "*22") + text_entry(2, "*23") +
             text_entry(3, "*24") + text_entry(4, "#21") + text_entry(5, "*77") + text_entry(6, "*8")},
    },
};

const Download kSplit{
    "lists split across answers, forwarded, two modules",
    "mcdu 3100\nlanguage 1\ntqla 3\ndevtype 3\nenquiry 0\nforward 0 123 1\naom 1 1 40\naom 2 0 60\n"
    "key 1 L1\nkey 2 L2\nkey 3 L3\nkey 4 L4\nkey 89 Far\n"
    "special 20 7 S1\nspecial 21 9 Sec\nspecial 22 10 Ovf\n"
    "string 0 Raccrocher\nstring 1 Annul\nstring 2 Num\n"
    "softkey 0 A\nsoftkey 1 B\nsoftkey 2 C\n"
    "code 0 *21\ncode 1 *22\ncode 2 *23\ncode 3 *24\ncode 4 #21\ncode 5 *77\ncode 6 *8\n"
    "per-answer 2\nper-answer code 4\n",
    {
        {2,
         {},
         3,
         Bytes{0, 1} + label("3100") + Bytes{3, 0, 0} + Bytes{3, 1} + text_bytes("123") +
             Bytes{0x11, 40, 0x02, 60, 0}},
        {6, {}, 7, {5}},
        {8, {0}, 9, Bytes{2} + key_entry(1, "L1") + key_entry(2, "L2")},
        {8, {2}, 9, Bytes{2} + key_entry(3, "L3") + key_entry(4, "L4")},
        {8, {4}, 9, Bytes{1} + key_entry(89, "Far")},
        {30, {}, 31, {1, 0, 1, 1}},
        {32, {0}, 33, Bytes{2} + special_entry(20, 7, "S1") + special_entry(21, 9, "Sec")},
        {32, {2}, 33, Bytes{1} + special_entry(22, 10, "Ovf")},
        {10, {}, 11, {3}},
        {12, {0}, 13, Bytes{2} + text_entry(0, "Raccrocher") + text_entry(1, "Annul")},
        {12, {2}, 13, Bytes{1} + text_entry(2, "Num")},
        {14, {}, 15, {3}},
        {16, {0}, 17, Bytes{2} + text_entry(0, "A") + text_entry(1, "B")},
        {16, {2}, 17, Bytes{1} + text_entry(2, "C")},
        {18, {}, 19, {7}},
        {20,
         {0},
         21,
         Bytes{4} + text_entry(0, "*21") + text_entry(1, "*22") + text_entry(2, "*23") +
             text_entry(3, "*24")},
        {20, {4}, 21, Bytes{3} + text_entry(4, "#21") + text_entry(5, "*77") + text_entry(6, "*8")},
        // Past the end of a list: nothing to send.
        {20, {7}, 0, {}},
    },
};

const Download kVersion1{
    "TQLA version 1",
    "mcdu 55\nlanguage 4\ntqla 1\ndevtype 9\nforward 0 77\naom 1 1 40\nkey 3 Line\nstring 0 X\n",
    {
        // Version 1 stops after the directory number.
        {2, {}, 3, Bytes{0, 4} + label("55")},
        {6, {}, 7, {1}},
        {8, {0}, 9, Bytes{1} + key_entry(3, "Line")},
        {10, {}, 11, {1}},
        {14, {}, 15, {0}},
    },
};

const Download kVersion2{
    "TQLA version 2",
    "mcdu 2002\nlanguage 5\ntqla 2\ndevtype 3\nenquiry 1\nforward 2 \"4 5\" 7\nkey 1 2002\n",
    {
        {2, {}, 3, Bytes{0, 5} + label("2002") + Bytes{3, 1, 2} + Bytes{3, 7} + text_bytes("4 5") + Bytes{0}},
        {6, {}, 7, {1}},
        {8, {0}, 9, Bytes{1} + key_entry(1, "2002")},
        {10, {}, 11, {0}},
    },
};

const Download kNoMultiline{
    "no multiline keys",
    "mcdu 2003\ntqla 3\ndevtype 3\nstring 0 X\n",
    {
        {2, {}, 3, Bytes{0, 2} + label("2003") + Bytes{3, 0, 4, 0}},
        {6, {}, 7, {0}},
        {8, {0}, 0, {}},
        {4, {}, 0, {}},
    },
};

class DownloadTest : public ::testing::TestWithParam<Download> {};

TEST_P(DownloadTest, EveryAnswerCarriesTheSetDescription) {
    const Download& download = GetParam();
    SetDescription set = default_set();
    if (download.set_text != nullptr) {
        ParseError error;
        ASSERT_TRUE(parse_set_description(download.set_text, &set, &error))
            << error.line << ": " << error.message;
    }
    Harness h(set);
    h.open_link();
    std::array<uint8_t, 34> sequence{};
    for (const Step& step : download.steps) {
        SCOPED_TRACE("request " + std::to_string(step.code));
        const uint8_t seq = sequence[step.code]++;
        const Answer answer = h.request(step.code, step.payload);
        if (step.answer_code == 0) {
            EXPECT_FALSE(answer.received);
            EXPECT_EQ(answer.frames, 0u);
            continue;
        }
        ASSERT_TRUE(answer.received);
        const size_t length = 6 + step.answer_payload.size();
        const Bytes header{static_cast<uint8_t>(length >> 8),
                           static_cast<uint8_t>(length & 0xFF),
                           set.tqla_version,
                           0,
                           static_cast<uint8_t>(step.answer_code),
                           seq};
        EXPECT_EQ(answer.message, header + step.answer_payload);
        // Messages of 16 bytes or more travel in segments of 16.
        EXPECT_EQ(answer.frames, length < 16 ? 1u : (length + 15) / 16);
    }
    EXPECT_EQ(sim_frames_pending(h.sim()), 0u);
}

INSTANTIATE_TEST_SUITE_P(Sets, DownloadTest,
                         ::testing::Values(kDefault, kSplit, kVersion1, kVersion2, kNoMultiline),
                         [](const auto& param_info) {
                             std::string name = param_info.param.name;
                             for (char& c : name) {
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

TEST(Download, RepeatedRequestIsAcknowledgedButNotAnsweredTwice) {
    Harness h;
    h.open_link();
    const Bytes request = frame(0x12, tqla_request(2, 0));
    const Bytes first = h.send(request);
    ASSERT_EQ(split_frames(first).size(), 2u);  // ACK and the first segment
    EXPECT_EQ(h.send(kAck).size() > 0, true);   // the second segment
    EXPECT_EQ(h.send(kAck), Bytes{});
    // The provider did not see our ACK and sends the request again.
    EXPECT_EQ(h.send(request), kAck);
    EXPECT_TRUE(h.log_has("PBX: repeated request, not answered again"));
    // After a reopening (60 85) the same request is a new one.
    h.open_link();
    EXPECT_EQ(split_frames(h.send(request)).size(), 2u);
}

TEST(Download, LaterAssociationAndCallEvents) {
    Harness h;
    h.open_link();
    sim_set(h.sim()).forward_status = 0;
    sim_set(h.sim()).forward_destination = make_label("123");
    sim_send_device_assoc_ack(h.sim());
    Bytes out = h.advance(0);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out[1], 0x0C);
    EXPECT_EQ(out[2], 0x81);  // 22 bytes: two segments
    EXPECT_FALSE(h.send(kAck).empty());
    EXPECT_TRUE(
        h.log_has("TQLA DEVICE_ASSOC_ACK (version 3) mcdu 2001 language 2 devtype 3 enquiry 1 "
                  "forward 0 type 0 to '123' (sent in segments)"));
    EXPECT_EQ(h.send(kAck), Bytes{});

    // A short call event goes in one TQLA frame with the PBX's next sequence.
    const Bytes payload{0x01, 0x02, 0x03};
    sim_send_tqla(h.sim(), 24, payload);
    EXPECT_EQ(h.advance(0), frame(0x12, Bytes{0, 9, 3, 0, 24, 1, 0x01, 0x02, 0x03}));
}

}  // namespace
}  // namespace zq::sim::test

namespace zq::sim::test {
namespace {

// Answers never grow past what the receiver can reassemble: entries that do
// not fit go in the next answer.
TEST(Download, LongListsAreCutToTheMessageSize) {
    SetDescription set = default_set();
    set.key_count = 88;
    for (uint8_t i = 0; i < 88; ++i) {
        set.keys[i] = SetKey{static_cast<uint8_t>(i + 1), 0, make_label(std::string(60, 'a' + i % 26))};
    }
    Harness h(set);
    h.open_link();
    size_t received = 0;
    std::vector<size_t> per_answer;
    while (received < 88 && per_answer.size() < 10) {
        const Answer answer = h.request(8, {static_cast<uint8_t>(received)});
        ASSERT_TRUE(answer.received);
        ASSERT_LE(answer.message.size(), kMaxTqlaMessage);
        ASSERT_GT(answer.message.size(), 6u);
        per_answer.push_back(answer.message[6]);
        received += answer.message[6];
    }
    EXPECT_EQ(per_answer, (std::vector<size_t>{32, 32, 24}));
}

}  // namespace
}  // namespace zq::sim::test
