// zqtrace: frames of trace lines in words, a trace recorded from calls with
// the simulator read back against what TAPI heard in the same run, and the
// command on a trace cut short and on a file that is no trace.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "catalogue.h"
#include "core/line_record.h"
#include "frame_words.h"
#include "link/setconfig.h"
#include "output.h"
#include "summary.h"
#include "superv_support.h"
#include "tapi_driver.h"
#include "trace_file.h"

namespace zq::test {
namespace {

namespace fs = std::filesystem;
using trace::FrameDecoder;

struct Decoded {
    const char* message;
    const char* levels;
    std::vector<std::string> words;
};

// One decoder reads the rows in order: a segment is put together with the
// one before it, "Tronquage chaine" tells that the next dump is cut.
const std::vector<Decoded> kDecoded = {
    {"SendL2Msg(02.60.85.19.)", "2", {"provider -> adapter: link control NACK loss of synchronisation"}},
    {"ProcessInput(60.11.03.07.19.03.00.62.)",
     "4",
     {"adapter -> provider: link control CONFIGURATION RESPONSE version 3.07 parameter 25 caps 0x03 option "
      "0"}},
    {"TxZQMsgFromFifo(07.12.00.06.02.00.02.01.DC.)",
     "2",
     {"provider -> adapter: TQLA DEVICE_ASSOC (version 2)"}},
    {"ProcessInput(0C.81.00.12.12.00.11.03.00.03.01.00.02.04.32.30.30.31.03.01.04.51.)",
     "4",
     {"adapter -> provider: segment 0x81 (message of 17 bytes)"}},
    {"ProcessInput(0C.00.00.F1.)",
     "4",
     {"adapter -> provider: segment 0x00",
      "  put together: TQLA DEVICE_ASSOC_ACK (version 3) mcdu 2001 language 2 devtype 3 enquiry 1 forward "
      "4"}},
    {"TAPI_TQLA MSG: 00.07.03.00.07.01.04.", "32", {"adapter -> provider: TQLA KEY_ACK (version 3) count 4"}},
    {"TAPI_TQLA MSG: KEY_ACK", "32", {}},
    {"ProcessInput(61.27.00.00.32.30.30.31.AD.)",
     "4",
     {"adapter -> provider: trace PBX -> set: display line 0 mode 0x00 column 0 '2001'"}},
    {"ProcessInput(61.47.01.20.20.12.)",
     "4",
     {"adapter -> provider: trace PBX -> set: icon key 1 0x2020 (in use, ACTIV_ICON)"}},
    {"ProcessInput(61.47.02.28.28.01.)",
     "4",
     {"adapter -> provider: trace PBX -> set: icon key 2 0x2828 (on hold, HOLD_ICON)"}},
    {"ProcessInput(62.20.1D.5E.)", "4", {"adapter -> provider: trace set -> PBX: key press 29"}},
    {"ProcessInput(63.01.47.03.00.28.24.)",
     "4",
     {"adapter -> provider: trace PBX -> module 1: icon key 3 0x2800 (ringing, INCOM_ICON)"}},
    {"ProcessInput(64.01.20.03.74.)", "4", {"adapter -> provider: trace module 1 -> PBX: key press 3"}},
    {"ProcessInput(64.01.2", "?", {}},
    {"TxZQMsgFromFifo(03.26.20.01.B6.)", "2", {"provider -> adapter: set key message key 0x20 0x01"}},
    {"TxZQMsgFromFifo(0D.6E.03.26.20.01.03.26.03.02.03.26.03.00.E1.)",
     "2",
     {"provider -> adapter: super frame 0x6E of 12 bytes", "  in super frame: set key message key 0x20 0x01",
      "  in super frame: set key message digit 0x03 0x02",
      "  in super frame: set key message digit 0x03 0x00"}},
    {"SendL2Msg(08.6F.02.60.00.03.26.20.29.B5.)",
     "2",
     {"provider -> adapter: piggy-back frame", "  link control part: link control ACK",
      "  data part: set key message key 0x20 0x29"}},
    {"Resend_Last_Msg(02.60.00.9F.)", "2", {"provider -> adapter: link control ACK (wrong checksum)"}},
    {"Tronquage chaine", "6", {}},
    {"TAPI_TQLA MSG: "
     "00.36.03.00.11.01.07.00.03.45.6E.71.01.06.45.6E.64.45.6E.71.02.04.53.77.61.70.03.04.43.6F."
     "6E.66.04.04.44.54.4D.46.05.06.4E.6F.44.54.4D.46.06.06.54.",
     "32",
     {"adapter -> provider: TQLA SK_INFO_ACK (version 3) 7 entries: 0 'Enq' 1 'EndEnq' 2 'Swap' 3 'Conf' 4 "
      "'DTMF' 5 'NoDTMF' 6 'T' (short) (dump cut after 49 of 54 bytes)"}},
    {"LinEv cref=0, ev:2,val8,mod=0", "16", {}},
    {"appCall cref 0 msg 3 reqId 2", "0", {}},
};

TEST(ZqtraceDecoder, FramesOfEveryTypeInWordsWithTheirLevel) {
    FrameDecoder decoder;
    for (const Decoded& row : kDecoded) {
        EXPECT_EQ(decoder.Words(row.message), row.words) << row.message;
        EXPECT_EQ(trace::Classify(row.message).levels.Text(), row.levels) << row.message;
    }
}

// The summary reads the provider's own texts: each must be one a TspTrace
// call of the provider writes.
TEST(ZqtraceDecoder, EveryTextTheSummaryReadsIsAProviderTrace) {
    for (const std::string_view format : trace::SummaryFormats()) {
        const auto catalogue = trace::Catalogue();
        EXPECT_TRUE(std::any_of(catalogue.begin(), catalogue.end(), [&](const trace::CatalogueEntry& e) {
            return e.format == format;
        })) << format;
    }
}

// The provider with the simulator in virtual time, every trace level on.
class ZqtraceRecorded : public ProviderTest {
protected:
    ::testing::AssertionResult Play(SimWire& wire, std::string_view script) {
        std::istringstream in{std::string(script)};
        for (std::string s; std::getline(in, s, ';');) {
            s.erase(0, s.find_first_not_of(' '));
            uint32_t wait = 0;
            std::string error;
            if (s == "silent")
                sim::sim_faults(wire.sim).silent = true;
            else if (s.starts_with("ticks "))
                wire.Ticks(std::stoi(s.substr(6)));
            else if (auto done =
                         s.starts_with("tapi ") ? DriverRun(s.substr(5)) : ::testing::AssertionSuccess();
                     !done)
                return done;
            else if (!s.starts_with("tapi ") && !sim::sim_run_command(wire.sim, s, &wait, &error))
                return ::testing::AssertionFailure() << s << ": " << error;
            wire.Pump();
        }
        return ::testing::AssertionSuccess();
    }

    // The recorded trace, from both files, in short.
    trace::Summary Summarise() {
        std::vector<trace::FileLines> files;
        for (const char* path : {kTrace0, kTrace1}) {
            trace::SplitState state;
            std::vector<trace::Problem> problems;
            const std::string text = memplat::file_text(path).value_or("");
            files.push_back({path, trace::SplitTrace(path, text, true, state, &problems)});
            EXPECT_TRUE(problems.empty()) << trace::ProblemText(problems.front());
        }
        trace::RunTracker tracker;
        trace::Summariser summariser;
        for (const trace::Line& line : trace::InTimeOrder(std::move(files)))
            summariser.Add(line, tracker.Add(line), trace::Classify(line.message));
        trace::Summary s = summariser.Finish(tracker.Runs());
        if (std::getenv("ZQTRACE_SHOW") != nullptr)
            std::printf("%s", trace::SummaryText(s, {}).c_str());
        return s;
    }

    // The summary's events, calls and completions are those TAPI heard;
    // the requests it flags never completed, in words.
    static std::vector<std::string> ExpectAsTapiHeard(const trace::Summary& s) {
        std::vector<std::string> events;  // the driver's notes of replies left out
        for (const std::string& w : DriverWords())
            if (w.starts_with("call ") || w.starts_with("new call ") || w.starts_with("line ") ||
                w.starts_with("address "))
                events.push_back(w);
        EXPECT_EQ(s.tapiEvents, events);
        // Per call number, its calls one after the other.
        std::map<std::string, std::vector<std::string>> heard, summarised;
        for (const std::string& e : events) {
            std::istringstream w(e);
            std::string first, second, third;
            w >> first >> second >> third;
            if (first == "call" || second == "call")
                heard[first == "call" ? second : third].push_back(e);
        }
        for (const trace::Call& c : s.calls) {
            auto& of = summarised[std::to_string(c.cref)];
            of.insert(of.end(), c.events.begin(), c.events.end());
            EXPECT_EQ(c.ended, c.events.back().ends_with(" IDLE")) << c.cref;
        }
        EXPECT_EQ(summarised, heard);
        std::map<uint32_t, int32_t> completed, summarisedCompletions;
        for (const Completion& c : g_tapi.completions)
            completed[c.id] = c.result;
        std::vector<std::string> never;
        for (const trace::Request& q : s.requests) {
            if (q.outcome == trace::Request::Outcome::Completed)
                summarisedCompletions[q.id] = q.result;
            if (q.neverCompleted)
                never.push_back(std::to_string(q.id) + " " + q.name);
        }
        EXPECT_EQ(summarisedCompletions, completed);
        return never;
    }
};

TEST_F(ZqtraceRecorded, TheSummaryTellsTheCallsAndRequestsTapiHeard) {
    Attach();
    DWORD lines = 0, phones = 0, options = 0;
    ASSERT_EQ(
        TSPI_providerEnumDevices(1, &lines, &phones, reinterpret_cast<HPROVIDER>(0x55), nullptr, nullptr), 0);
    ASSERT_EQ(TSPI_providerInit(0x20000, 1, 0, 0, 1, 1, DriverCompletion, &options), 0);
    SimWire wire(sim::default_set());
    ASSERT_EQ(OpenLine(), 0);
    ASSERT_GE(wire.TicksUntil([] { return g_line.lineDevState == 2 && g_dl.ConfigComplete; }, 600), 0);
    DriverStart(hdLine);
    // An incoming call answered by TAPI and ended on the set; a call TAPI
    // makes and drops; a call held through a setup transfer; a drop the set
    // never carries out, as the adapter has fallen silent.
    ASSERT_TRUE(
        Play(wire,
             "ticks 20; call 1 2005; ticks 20; tapi answer 0; ticks 20; onhook; ticks 20; tapi close 0; "
             "tapi make 2010; ticks 70; tapi drop 0; ticks 20; tapi close 0; "
             "call 1 2005; ticks 20; tapi answer 0; ticks 20; tapi setup 0; ticks 30; "
             "silent; tapi drop 1; ticks 5"));
    trace::Summary s = Summarise();
    EXPECT_EQ(ExpectAsTapiHeard(s), std::vector<std::string>{std::to_string(g_driver.lastId) + " drop"});
    ASSERT_EQ(s.calls.size(), 4u);
    EXPECT_EQ(s.calls[0].direction, "incoming");
    EXPECT_EQ(s.calls[0].caller.number, "2005");
    EXPECT_EQ(s.calls[0].caller.name, "Martin Paul");
    EXPECT_EQ(s.calls[1].direction, "outgoing");
    EXPECT_EQ(s.calls[1].called.name, "Blanc Marc");
    EXPECT_EQ(s.calls[1].connected.number, "2010");
    ASSERT_EQ(s.downloads.size(), 1u);
    EXPECT_EQ(s.downloads[0].result, "success");
    EXPECT_EQ(s.downloads[0].mcdu, "2001");

    // The link is lost: the calls are reset, which ends the drop, and the
    // port is opened again.
    ASSERT_TRUE(Play(wire, "ticks 200"));
    s = Summarise();
    EXPECT_TRUE(ExpectAsTapiHeard(s).empty());
    EXPECT_EQ(s.counts.losses, 1);
    EXPECT_TRUE(std::any_of(s.link.begin(), s.link.end(),
                            [](const trace::LinkEvent& e) { return e.what == "TAPI told: line closed"; }));
}

// The command on files: a trace cut in the middle of its last line is read
// up to there and said to be cut; a file that is no trace is refused.
TEST(ZqtraceCommand, ACutTraceIsReadAndAForeignFileRefused) {
    const fs::path dir = fs::temp_directory_path() / ("zqtrace-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "tsptrac0.tr") << "100 TSP VELMORA 6200 DebugFile - date: 10/12/26 - 08:42:47\n"
                                          "100 * OutputTraceMode:127 *\n"
                                          "101 SendL2Msg(02.60.85.19.)\n"
                                          "205 ProcessInput(60.01.9";
    std::ofstream(dir / "notes.txt") << "Site visit, 10 December:\nthe set rang twice\n";
    std::ofstream(dir / "image.bin", std::ios::binary) << std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);

    struct Case {
        const char* args;
        int status;
        const char* out;  // in standard output
        const char* err;  // in standard error
    };
    const Case cases[] = {
        {"tsptrac0.tr", 0, "08:42:47.001     2  SendL2Msg(02.60.85.19.)",
         "tsptrac0.tr:4: the trace ends in the middle of this line"},
        {"tsptrac0.tr", 0,
         "> provider -> adapter: link control NACK loss of synchronisation\n"
         "08:42:47.105     ?  ProcessInput(60.01.9  [cut]",
         ""},
        {"-s tsptrac0.tr", 0, "tsptrac0.tr:4: the trace ends in the middle of this line", ""},
        {"notes.txt", 1, "",
         "notes.txt: not a trace of the provider: its first line does not begin with a clock"},
        {"image.bin", 1, "", "image.bin: not a trace of the provider"},
        {"-s --json image.bin", 1, "\"fatal\":true", "image.bin: not a trace of the provider"},
        {"--level nine tsptrac0.tr", 2, "", "-l wants a trace mask"},
    };
    for (const Case& c : cases) {
        const std::string command =
            "cd " + dir.string() + " && " + ZQTRACE_PATH + " " + c.args + " >out.txt 2>err.txt";
        const int raw = std::system(command.c_str());
        std::ifstream out(dir / "out.txt"), err(dir / "err.txt");
        std::stringstream o, e;
        o << out.rdbuf();
        e << err.rdbuf();
        EXPECT_TRUE(WIFEXITED(raw)) << c.args;
        EXPECT_EQ(WEXITSTATUS(raw), c.status) << c.args << "\n" << e.str();
        EXPECT_NE(o.str().find(c.out), std::string::npos) << c.args << "\n" << o.str();
        EXPECT_NE(e.str().find(c.err), std::string::npos) << c.args << "\n" << e.str();
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace zq::test
