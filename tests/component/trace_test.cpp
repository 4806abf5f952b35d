// The trace files: what is written at which mask, the header, the switch
// between the two files and the files of the previous run.
#include "core/trace.h"
#include "provider_fixture.h"

namespace zq::test {
namespace {

class TraceTest : public ProviderTest {
protected:
    void StartTrace(const char* mask) {
        PutProviderValue("Debug_Mode", "DebugOutput", mask);
        Attach();
    }
};

TEST_F(TraceTest, MaskZeroWritesOnlyLevelZeroAfterTheHeader) {
    StartTrace("0");
    TspTrace(TRACE_TSPI, "not written");
    TspTrace(TRACE_ERROR, "always %d", 1);
    const auto lines = TraceMessages();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "TSP VELMORA 6200 DebugFile - date: 08/12/26 - 10:20:30");
    EXPECT_EQ(lines[1], "* OutputTraceMode:0 *");
    EXPECT_EQ(lines[2], "always 1");
}

TEST_F(TraceTest, LevelsFollowTheMaskBits) {
    StartTrace("2");
    TspTrace(TRACE_TX, "sent");
    TspTrace(TRACE_RX, "received");
    TspTrace(TRACE_CUT, "Tronquage chaine");
    TspTrace(TRACE_CONFIG, "config");
    EXPECT_TRUE(TraceHas("sent"));
    EXPECT_FALSE(TraceHas("received"));
    EXPECT_TRUE(TraceHas("Tronquage chaine"));
    EXPECT_FALSE(TraceHas("config"));
}

TEST_F(TraceTest, LinesCarryTheClock) {
    StartTrace("0");
    memplat::set_time(123456);
    TspTrace(TRACE_ERROR, "hello");
    const std::string text = memplat::file_text(kTrace0).value_or("");
    EXPECT_NE(text.find("\n123456 hello\n"), std::string::npos);
}

TEST_F(TraceTest, TheLogSwitchesFilesEvery2000Lines) {
    StartTrace("0");
    for (int i = 1; i <= 4100; ++i)
        TspTrace(TRACE_ERROR, "line %d", i);
    const std::string f0 = memplat::file_text(kTrace0).value_or("");
    const std::string f1 = memplat::file_text(kTrace1).value_or("");
    // File 0 held the header and lines 1..1999, file 1 the next 2001, then
    // file 0 was truncated and written again.
    EXPECT_EQ(f0.find("DebugFile"), std::string::npos);
    EXPECT_NE(f1.find(" line 2000\n"), std::string::npos);
    EXPECT_NE(f1.find(" line 4000\n"), std::string::npos);
    EXPECT_EQ(f0.find(" line 1999\n"), std::string::npos);
    EXPECT_NE(f0.find(" line 4001\n"), std::string::npos);
    EXPECT_NE(f0.find(" line 4100\n"), std::string::npos);
    EXPECT_EQ(std::count(f1.begin(), f1.end(), '\n'), 2001);
}

TEST_F(TraceTest, ThePreviousRunIsKeptAsOldFiles) {
    memplat::file_put(kTrace0, "run A file 0\n");
    memplat::file_put(kTrace1, "run A file 1\n");
    memplat::file_put("C:\\WINDOWS\\spitrace\\tsptrac0.old", "older\n");
    StartTrace("0");
    TspTrace(TRACE_ERROR, "run B");
    EXPECT_EQ(memplat::file_text("C:\\WINDOWS\\spitrace\\tsptrac0.old"), "run A file 0\n");
    EXPECT_EQ(memplat::file_text("C:\\WINDOWS\\spitrace\\tsptrac1.old"), "run A file 1\n");
    EXPECT_FALSE(memplat::file_text(kTrace1).has_value());
    EXPECT_TRUE(TraceHas("run B"));
}

TEST_F(TraceTest, AFileThatCannotBeOpenedDropsLinesAndIsTriedAgain) {
    StartTrace("0");
    memplat::file_fail_open(true);
    TspTrace(TRACE_ERROR, "lost");
    memplat::file_fail_open(false);
    TspTrace(TRACE_ERROR, "kept");
    EXPECT_FALSE(TraceHas("lost"));
    EXPECT_TRUE(TraceHas("kept"));
}

TEST_F(TraceTest, MessagesAreWrittenUnchanged) {
    StartTrace("0");
    TspTrace(TRACE_ERROR, "%s", "100% %d %s sure");
    EXPECT_TRUE(TraceHas("100% %d %s sure"));
}

}  // namespace
}  // namespace zq::test
