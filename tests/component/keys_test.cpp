// Key presses and digits for the set: the exact frames queued for each kind
// of key, with and without super messages, the 250-byte limit, a queue too
// small for a sequence, and the simulator's set acting on what it receives.
#include <numeric>

#include "callmodel/tables.h"
#include "link/fifo.h"
#include "link/frames.h"
#include "link/setconfig.h"
#include "link/supervision.h"
#include "superv_support.h"
#include "tapi/keys.h"
#include "zq/sim_calls.h"

namespace zq::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Frames = std::vector<Bytes>;

// [L][type][body][checksum], worked out here on its own.
Bytes F(uint8_t type, const Bytes& body) {
    Bytes f;
    f.reserve(body.size() + 3);
    f.push_back(static_cast<uint8_t>(body.size() + 1));
    f.push_back(type);
    f.insert(f.end(), body.begin(), body.end());
    f.push_back(static_cast<uint8_t>(0 - std::accumulate(f.begin(), f.end(), 0u)));
    return f;
}

// Items of a super frame.
Bytes Key(uint8_t k) {
    return {0x03, 0x26, 0x20, k};
}
Bytes Digit(uint8_t d) {
    return {0x03, 0x26, 0x03, d};
}
Bytes Super(std::initializer_list<Bytes> items) {
    Bytes body;
    for (const Bytes& i : items)
        body.insert(body.end(), i.begin(), i.end());
    return F(0x6E, body);
}

// Takes every queued frame, oldest first.
Frames Drain() {
    Frames out;
    std::array<uint8_t, MAX_FRAME> head{};
    while (const uint32_t n = FifoPeek(head)) {
        out.emplace_back(head.begin(), head.begin() + n);
        FifoDrop();
    }
    return out;
}

class KeysTest : public ProviderTest {
protected:
    void SetUp() override {
        ProviderTest::SetUp();
        FifoClear();
        g_superv = Supervision{};
    }
    void TearDown() override {
        FifoClear();
        ProviderTest::TearDown();
    }
};

constexpr AomEntry kNoModule{false, 255, false, 255};

struct Case {
    const char* name;
    std::vector<KeyItem> items;
    bool super;
    std::array<AomEntry, MAX_AOM> modules;
    bool accepted;
    Frames frames;
};

TEST_F(KeysTest, EachKindOfKeyQueuesItsExactFrames) {
    const std::array<AomEntry, MAX_AOM> none{kNoModule, kNoModule, kNoModule};
    const std::array<AomEntry, MAX_AOM> oneAt28{AomEntry{true, 2, false, 28}, kNoModule, kNoModule};
    const std::array<AomEntry, MAX_AOM> oneAt40{AomEntry{true, 2, false, 40}, kNoModule, kNoModule};
    const std::array<AomEntry, MAX_AOM> two{AomEntry{true, 1, false, 28}, AomEntry{true, 3, false, 52},
                                            kNoModule};
    Frames tenDigits{F(0x26, {0x20, 0x01})};
    for (uint8_t d : {0, 6, 1, 2, 3, 4, 5, 6, 7, 8})
        tenDigits.push_back(F(0x26, {0x03, d}));
    const Case cases[] = {
        {"line key", {KeyPress(1)}, false, none, true, {{0x03, 0x26, 0x20, 0x01, 0xB6}}},
        {"soft key 2", {SoftKeyPress(2)}, false, none, true, {{0x03, 0x26, 0x20, 0x1E, 0x99}}},
        {"module key", {KeyPress(30)}, false, oneAt28, true, {F(0x26, {0x04, 0x1A, 0x20, 0x02})}},
        {"second module", {KeyPress(60)}, false, two, true, {F(0x26, {0x04, 0x1B, 0x20, 0x08})}},
        // One press is never wrapped in a super frame.
        {"module key, super", {KeyPress(30)}, true, oneAt28, true, {F(0x26, {4, 0x1A, 0x20, 2})}},
        {"module key, no module", {KeyPress(30)}, false, none, false, {}},
        {"module above the key", {KeyPress(30)}, false, oneAt40, false, {}},
        {"key 0", {KeyPress(0)}, false, none, false, {}},
        {"key 89", {KeyPress(89)}, false, oneAt28, false, {}},
        {"soft key 6", {SoftKeyPress(6)}, true, none, false, {}},
        // A bad key anywhere keeps the whole sequence back.
        {"digits then key 0", {DialDigits("123"), KeyPress(0)}, false, none, false, {}},
        {"1*#a-",
         {DialDigits("1*#a-")},
         false,
         none,
         true,
         {F(0x26, {0x03, 0x01}), F(0x26, {0x03, 0x0A}), F(0x26, {0x03, 0x0B}), F(0x26, {0x20, 0x61})}},
        {"ten digits", {KeyPress(1), DialDigits("0612345678")}, false, none, true, tenDigits},
        {"ten digits, super",
         {KeyPress(1), DialDigits("0612345678")},
         true,
         none,
         true,
         {Super({Key(1), Digit(0), Digit(6), Digit(1), Digit(2), Digit(3), Digit(4), Digit(5), Digit(6),
                 Digit(7), Digit(8)})}},
        {"transfer",
         {KeyPress(2), SoftKeyPress(5), KeyPress(1)},
         true,
         none,
         true,
         {Super({Key(2), Key(0x21), Key(1)})}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_set.AomTable = c.modules;
        EXPECT_EQ(SendKeySequence(c.items, c.super), c.accepted);
        EXPECT_EQ(Drain(), c.frames);
    }
    // The plain senders take the same paths.
    g_set.AomTable = oneAt28;
    EXPECT_TRUE(SendZQNondigitKey(30));
    EXPECT_FALSE(SendZQNondigitKey(0));
    EXPECT_EQ(PressSoftKey(0), 0);
    EXPECT_EQ(Drain(), Frames{F(0x26, {0x04, 0x1A, 0x20, 0x02})});
}

TEST_F(KeysTest, ALongSequenceIsSplitInOrderBelow250Bytes) {
    // 85 characters, of which 80 are dialled: with the key 81 items of 4
    // bytes, 61 to a super frame.
    std::string digits;
    for (int i = 0; i < 85; ++i)
        digits += static_cast<char>('0' + i % 10);
    const std::vector<KeyItem> items{KeyPress(1), DialDigits(digits)};
    ASSERT_TRUE(SendKeySequence(items, true));
    const Frames sent = Drain();
    ASSERT_EQ(sent.size(), 2u);
    Bytes joined;
    for (const Bytes& f : sent) {
        EXPECT_EQ(f[1], 0x6E);
        EXPECT_LE(f.size(), 250u);
        EXPECT_EQ(f[0] + 2u, f.size());
        EXPECT_EQ(std::accumulate(f.begin(), f.end(), 0u) % 256, 0u);
        joined.insert(joined.end(), f.begin() + 2, f.end() - 1);
    }
    EXPECT_EQ(sent[0].size(), 2 + 61 * 4 + 1u);
    Bytes expected = Key(1);
    for (int i = 0; i < 80; ++i) {
        const Bytes d = Digit(static_cast<uint8_t>(i % 10));
        expected.insert(expected.end(), d.begin(), d.end());
    }
    EXPECT_EQ(joined, expected);
}

TEST_F(KeysTest, ASequenceTheQueueCannotTakeWholeIsNotStarted) {
    struct Room {
        int queued;  // frames already waiting (the queue holds 29)
        bool super;
        bool stopped;
        bool accepted;
    };
    const Room cases[] = {
        {18, false, false, true},                            // 11 frames fit exactly
        {19, false, false, false}, {28, true, false, true},  // one super frame
        {29, true, false, false},  {0, false, true, false},  // the link is stopped: nothing would be queued
    };
    const std::vector<KeyItem> items{KeyPress(1), DialDigits("0612345678")};
    for (const Room& c : cases) {
        SCOPED_TRACE(testing::Message() << c.queued << " queued, super " << c.super);
        FifoClear();
        g_superv.stoppedConfigError = c.stopped;
        for (int i = 0; i < c.queued; ++i)
            ASSERT_EQ(FifoPut(F(0x12, {0x00})), 1);
        EXPECT_EQ(SendKeySequence(items, c.super), c.accepted);
        EXPECT_EQ(FifoCount(), c.accepted ? c.queued + (c.super ? 1 : 11) : c.queued);
    }
}

TEST_F(KeysTest, OnlyDialledCharactersAreKept) {
    const std::pair<std::string, std::string> cases[] = {
        {"12-34", "1234"}, {"(0) 6-1#", "061#"}, {"", ""}, {"-- ", ""}};
    for (const auto& [in, out] : cases) {
        std::array<char, 16> text{};
        std::copy(in.begin(), in.end(), text.begin());
        EXPECT_EQ(CleanDialString(text), out.size());
        EXPECT_EQ(std::string(text.data()), out);
    }
}

TEST_F(KeysTest, TheSetSeizesTheKeyAndDialsTheDigits) {
    SimWire wire(sim::calls_set());
    Init();
    ASSERT_EQ(OpenLine(), 0);
    ASSERT_GE(wire.TicksUntil([] { return g_line.lineDevState == 2 && g_dl.ConfigComplete; }, 600), 0);
    ASSERT_TRUE(wire.Ticks(20));

    const std::vector<KeyItem> items{KeyPress(1), DialDigits("2005")};
    ASSERT_TRUE(SendKeySequence(items));
    const auto dialling = [&] {
        const sim::SetState s = sim::sim_set_state(wire.sim);
        const sim::CallView* call = s.on_key(1);
        return s.active_key == 1 && call != nullptr && call->dialled == "2005";
    };
    EXPECT_GE(wire.TicksUntil(dialling, 50), 0);
}

}  // namespace
}  // namespace zq::test
