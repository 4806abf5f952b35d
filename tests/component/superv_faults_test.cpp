// The simulated adapter misbehaving on purpose, and what the provider does
// about it: wrong checksums, missing acknowledgements, NACKs in place of
// ACKs, frames cut short and acknowledgement enquiries after a silence. (A
// silent adapter is in supervision_test.cpp: lost at tick 61.)
#include "link/receive.h"
#include "link/serial_link.h"
#include "link/setconfig.h"
#include "link/supervision.h"
#include "superv_support.h"

namespace zq::test {
namespace {

const std::vector<uint8_t> kAck{0x02, 0x60, 0x00, 0x9E};
const std::vector<uint8_t> kNackSync{0x02, 0x60, 0x85, 0x19};
// DEVICE_ASSOC, the first request of the download, sequence 1.
const std::vector<uint8_t> kDeviceAssoc{0x07, 0x12, 0x00, 0x06, 0x02, 0x00, 0x02, 0x01, 0xDC};

class FaultTest : public ProviderTest {
protected:
    void SetUp() override {
        ProviderTest::SetUp();
        FreshProcess();
    }

    // The default set downloaded and the link quiet.
    void StartConfigured(SimWire& wire) {
        Init();
        ASSERT_EQ(OpenLine(), 0);
        ASSERT_TRUE(DownloadCompletes(wire));
        ASSERT_TRUE(wire.Ticks(10));
        ASSERT_EQ(sim::sim_frames_pending(wire.sim), 0u);
        wire.writes.clear();
    }
};

TEST_F(FaultTest, FramesWithAWrongChecksumAreRefusedWithANackUntilOneComesRight) {
    SimWire wire(sim::default_set());
    StartConfigured(wire);
    sim::sim_faults(wire.sim).bad_checksum = true;
    sim::sim_show_text(wire.sim, 0, 0, "2002");
    ASSERT_TRUE(wire.Ticks(3));
    // [08][61 27 00 00 32 30 30 32][CS + 1]: the bytes add up to 1.
    EXPECT_TRUE(TraceHas("Process input - CS: Wrong CS Nack cs: 1, msglen: 9"));
    EXPECT_GE(wire.TicksOfWrite(kNackChecksum).size(), 2u) << "each copy is refused";
    EXPECT_TRUE(wire.TicksOfWrite(kAck).empty());
    EXPECT_EQ(sim::sim_frames_pending(wire.sim), 1u);

    sim::sim_faults(wire.sim).bad_checksum = false;
    ASSERT_TRUE(wire.Ticks(3));
    EXPECT_EQ(wire.TicksOfWrite(kAck).size(), 1u);
    EXPECT_EQ(sim::sim_frames_pending(wire.sim), 0u);
    EXPECT_EQ(g_line.lineDevState, 2);
}

TEST_F(FaultTest, AnUnacknowledgedDataFrameIsWrittenAgainEvery31TicksAndTheDownloadGivesUp) {
    SimWire wire(sim::default_set());
    sim::sim_adapter(wire.sim).capabilities = 0;  // no piggy-back: the ACKs go alone
    sim::sim_faults(wire.sim).no_ack = true;
    Init();
    ASSERT_EQ(OpenLine(), 0);
    ASSERT_TRUE(wire.Ticks(140));
    // The PBX answered DEVICE_ASSOC, but the request stays at the head of
    // the queue: KEY waits behind it.
    EXPECT_TRUE(g_dl.AssocAck);
    EXPECT_EQ(wire.TicksOfWrite(kDeviceAssoc), (std::vector<int>{5, 36, 67, 98, 129}));
    ASSERT_EQ(wire.TqlaRequests().size(), 1u);
    EXPECT_EQ(memplat::boxes().size(), 0u);

    ASSERT_TRUE(wire.Ticks(1));
    EXPECT_EQ(CountBoxes(kNoPbxBox), 1);
    EXPECT_EQ(ProviderValue("Dynamic_Set_Conf", "LastAction"), "failed :Config dynamic not received");
}

TEST_F(FaultTest, ANackInPlaceOfAnAckBringsTheLastFrameAgain) {
    struct Case {
        uint8_t nack;
        const char* traced;
    };
    for (const Case c : {Case{0x83, "RX: Wrong length (NACK)"}, Case{0x84, "RX: Wrong CheckSum (NACK)"},
                         Case{0x85, "RX: Physical loss of synchro (NACK)"}}) {
        SCOPED_TRACE(c.nack);
        TearDown();
        SetUp();
        SimWire wire(sim::default_set());
        sim::sim_faults(wire.sim).nack_instead_of_ack = c.nack;
        Init();
        ASSERT_EQ(OpenLine(), 0);
        ASSERT_TRUE(wire.Ticks(10));
        EXPECT_TRUE(TraceHas(c.traced));
        // Every NACK is answered with the same frame; nothing else is sent.
        const std::vector<int> sent = wire.TicksOfWrite(kDeviceAssoc);
        ASSERT_GE(sent.size(), 3u);
        const auto first = std::find_if(wire.writes.begin(), wire.writes.end(),
                                        [](const Written& w) { return w.bytes == kDeviceAssoc; });
        for (auto w = first; w != wire.writes.end(); ++w)
            EXPECT_EQ(w->bytes, kDeviceAssoc) << "tick " << w->tick;
        EXPECT_FALSE(g_dl.AssocAck);

        // The adapter recovers: the next copy goes through and the download
        // runs (after a NACK 85 the adapter waits for the next poll).
        sim::sim_faults(wire.sim).nack_instead_of_ack = 0;
        EXPECT_TRUE(DownloadCompletes(wire, 300));
    }
}

TEST_F(FaultTest, FramesCutShortAreFlushedAfter5TicksAndNackedUntilOneComesWhole) {
    SimWire wire(sim::default_set());
    StartConfigured(wire);
    // The adapter's own resend would come after the provider's flush.
    sim::sim_adapter(wire.sim).ack_wait_ms = 5000;
    sim::sim_faults(wire.sim).cut_frames_after = 3;
    sim::sim_show_text(wire.sim, 0, 0, "2002");
    ASSERT_TRUE(wire.Ticks(1));
    const int read = wire.tick;
    ASSERT_TRUE(g_rx.collecting);
    ASSERT_TRUE(wire.Ticks(20));
    const std::vector<int> nacks = wire.TicksOfWrite(kNackChecksum);
    ASSERT_GE(nacks.size(), 3u);
    EXPECT_EQ(nacks[0], read + 5);
    // The NACK brings the same cut frame, read one tick later.
    EXPECT_EQ(nacks[1], nacks[0] + 6);
    EXPECT_EQ(TraceCount("Inactivity - flush rx queue"), static_cast<int>(nacks.size()));
    EXPECT_TRUE(wire.TicksOfWrite(kAck).empty());

    sim::sim_faults(wire.sim).cut_frames_after = 0;
    ASSERT_TRUE(wire.Ticks(10));
    EXPECT_EQ(wire.TicksOfWrite(kAck).size(), 1u);
    EXPECT_EQ(sim::sim_frames_pending(wire.sim), 0u);
}

TEST_F(FaultTest, AcknowledgementEnquiriesAfterASilenceAreAnsweredAckAloneAndNack85InARow) {
    struct Case {
        uint8_t perWrite;
        const std::vector<uint8_t>* answer;
    };
    for (const Case c : {Case{1, &kAck}, Case{2, &kNackSync}, Case{4, &kNackSync}}) {
        SCOPED_TRACE(static_cast<int>(c.perWrite));
        TearDown();
        SetUp();
        SimWire wire(sim::default_set());
        StartConfigured(wire);
        sim::sim_faults(wire.sim).enquiry_after_silence_ms = 1000;
        sim::sim_faults(wire.sim).enquiries_per_write = c.perWrite;
        ASSERT_TRUE(wire.Ticks(25));
        // The adapter asks again after each second of silence: one answer
        // for each write, however many enquiries it holds.
        int enquiries = 0;
        for (const std::string& line : sim::sim_log(wire.sim))
            enquiries += line == "adapter -> provider: link control ACK ENQUIRY" ? 1 : 0;
        ASSERT_GE(wire.writes.size(), 2u);
        EXPECT_EQ(enquiries, c.perWrite * static_cast<int>(wire.writes.size()));
        for (const Written& w : wire.writes)
            EXPECT_EQ(w.bytes, *c.answer) << "tick " << w.tick;
        // The link goes on: the next poll is answered.
        ASSERT_TRUE(wire.Ticks(200));
        EXPECT_FALSE(TraceHas("Perte de connexion - Tentative de redemarrage"));
        EXPECT_EQ(g_line.lineDevState, 2);
    }
}

}  // namespace
}  // namespace zq::test
