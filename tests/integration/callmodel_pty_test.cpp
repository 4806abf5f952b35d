// Calls on the set through the shipped libzq_6232.so, in real time: the
// library on the slave side of a pseudo-terminal (COM1 of a temporary
// prefix), the simulator's adapter, PBX and set in this process on the
// master side. TAPI's events are read in words, as the component scenarios
// read them, and timed; TAPI's requests (make call, answer, drop) are
// checked to complete once each.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "provider_library.h"
#include "sim_on_pty.h"
#include "zq/sim.h"
#include "zq/tapi.h"
#include "zq/tapi_words.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// TAPI's handle for a new call: this base plus the provider's handle, so
// that an event's call reads back as the provider numbers it.
constexpr uintptr_t kCallHandleBase = 0x1000;

struct Heard {
    std::string words;
    Clock::time_point at;
};

// TAPI's side: the line events in words, with the time each reached the
// callback (on the provider's worker).
struct Tapi {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Heard> events;
    std::map<DRV_REQUESTID, std::vector<LONG>> replies;

    size_t Mark() {
        const std::lock_guard lock(m);
        return events.size();
    }
    // The first event `word` from index `from` on, waiting up to `bound`.
    std::optional<Heard> WaitFor(const std::string& word, size_t from, milliseconds bound) {
        std::unique_lock lock(m);
        std::optional<Heard> found;
        cv.wait_for(lock, bound, [&] {
            for (size_t i = from; i < events.size() && !found; ++i)
                if (events[i].words == word)
                    found = events[i];
            return found.has_value();
        });
        return found;
    }
    std::map<DRV_REQUESTID, std::vector<LONG>> Replies() {
        const std::lock_guard lock(m);
        return replies;
    }
    std::vector<std::string> WordsFrom(size_t from) {
        const std::lock_guard lock(m);
        std::vector<std::string> words;
        for (size_t i = from; i < events.size(); ++i)
            words.push_back(events[i].words);
        return words;
    }
};

Tapi g_tapi;

void CALLBACK OnCompletion(DRV_REQUESTID id, LONG result) {
    const std::lock_guard lock(g_tapi.m);
    g_tapi.replies[id].push_back(result);
}

void CALLBACK OnLineEvent(HTAPILINE, HTAPICALL htCall, DWORD msg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR) {
    const Clock::time_point at = Clock::now();
    if (msg == LINE_NEWCALL && p2 != 0)
        *reinterpret_cast<HTAPICALL*>(p2) = reinterpret_cast<HTAPICALL>(kCallHandleBase + p1);
    const auto handle = reinterpret_cast<uintptr_t>(htCall);
    const int call = handle != 0 ? static_cast<int>(handle - kCallHandleBase) : -1;
    const std::lock_guard lock(g_tapi.m);
    g_tapi.events.push_back({zq::words::LineEvent(call, msg, p1, p2), at});
    g_tapi.cv.notify_all();
}

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& w : words)
        text += "\"" + w + "\", ";
    return text;
}

// The simulator on the pseudo-terminal. When armed, it keeps the times at
// which an incoming call reached the wire and the next key frame arrived.
class PtySim {
public:
    bool Open(const fs::path& link) { return sim_.Open(link); }
    void Stop() { sim_.Stop(); }

    // One zqsim command, at the simulator's current time.
    ::testing::AssertionResult Command(const std::string& line) {
        return sim_.With([&](zq::sim::Sim* s) -> ::testing::AssertionResult {
            uint32_t wait = 0;
            std::string error;
            if (!zq::sim::sim_run_command(s, line, &wait, &error))
                return ::testing::AssertionFailure() << "'" << line << "': " << error;
            return ::testing::AssertionSuccess();
        });
    }

    void ArmIncomingCall() { sim_.ArmIncomingCall(); }
    zq::test::SimOnPty::IncomingTimes IncomingCallWritten() { return sim_.IncomingCallWritten(); }
    // The time the next key frame from the provider reached the simulator.
    void ArmKeyFrame() {
        const std::lock_guard lock(lock_);
        keyArmed_ = true;
        keyFrame_.reset();
    }
    std::optional<Clock::time_point> KeyFrameSeen() {
        const std::lock_guard lock(lock_);
        return keyFrame_;
    }

    std::string LogTail(size_t lines) {
        const std::vector<std::string> log = sim_.With([](zq::sim::Sim* s) { return zq::sim::sim_log(s); });
        std::string text;
        for (size_t i = log.size() > lines ? log.size() - lines : 0; i < log.size(); ++i)
            text += log[i] + "\n";
        return text;
    }

private:
    void Written(const std::vector<zq::sim::LogEntry>& log, Clock::time_point when) {
        // Keys come alone or in super frames, which are read as one.
        const bool keys = std::any_of(log.begin(), log.end(), [](const zq::sim::LogEntry& e) {
            return e.text.find("set key message") != std::string::npos ||
                   e.text.find("super frame 0x") != std::string::npos;
        });
        const std::lock_guard lock(lock_);
        if (keys && keyArmed_) {
            keyFrame_ = when;
            keyArmed_ = false;
        }
    }

    std::mutex lock_;  // the key frame's time
    bool keyArmed_ = false;
    std::optional<Clock::time_point> keyFrame_;
    zq::test::SimOnPty sim_{zq::sim::default_set(),
                            [this](const auto& log, Clock::time_point when) { Written(log, when); }};
};

class CallModelPtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zqcalls-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        prefix = tmpl;
        setenv("ZQ_PREFIX", prefix.c_str(), 1);
        fs::create_directories(prefix / "dosdevices");
        fs::create_directories(prefix / "registry");
        std::ofstream hive(prefix / "registry" / "hklm.reg");
        hive << "ZQREG 1\n[SOFTWARE\\\\Velmora\\\\TSpi_6200\\\\Provider]\n\"Port\"=sz:\"COM1\"\n"
                "\"Speed\"=sz:\"9600\"\n[SOFTWARE\\\\Velmora\\\\TSpi_6200\\\\Debug_Mode]\n\"DebugOutput\"=sz:"
                "\"1\"\n";
        hive.close();
        ASSERT_TRUE(sim.Open(prefix / "dosdevices" / "com1"));
        InService();
    }

    void TearDown() override {
        if (x.handle != nullptr) {
            if (hdLine != nullptr)
                x.lineClose(hdLine);
            x.shutdown(0x20000, 1);
            x.Unload();
        }
        sim.Stop();
        unsetenv("ZQ_PREFIX");
        std::error_code ec;
        fs::remove_all(prefix, ec);
    }

    // The line opened and in service, the set's configuration downloaded
    // and saved.
    void InService() {
        std::string error;
        ASSERT_TRUE(x.Load(ZQ_LIBRARY_PATH, &error)) << error;
        DWORD lines = 0, phones = 0, options = 0;
        ASSERT_EQ(x.enumDevices(1, &lines, &phones, nullptr, nullptr, nullptr), 0);
        ASSERT_EQ(x.init(0x20000, 1, 0, 0, lines, phones, OnCompletion, &options), 0);
        const size_t mark = g_tapi.Mark();
        ASSERT_EQ(x.lineOpen(0, reinterpret_cast<HTAPILINE>(1), &hdLine, 0x20000, OnLineEvent), 0);
        ASSERT_TRUE(g_tapi.WaitFor("line CONNECTED|INSERVICE", mark, milliseconds(5000)))
            << Joined(g_tapi.WordsFrom(mark));
        const Clock::time_point end = Clock::now() + milliseconds(10000);
        while (ReadAll(prefix / "registry" / "hklm.reg").find("\"LastAction\"=sz:\"success\"") ==
                   std::string::npos &&
               Clock::now() < end)
            std::this_thread::sleep_for(milliseconds(20));
        ASSERT_LT(Clock::now(), end) << "the configuration was not saved\n" << sim.LogTail(30);
    }

    // A step of a call: a zqsim command, then `word` heard by TAPI.
    ::testing::AssertionResult Step(const std::string& command, const std::string& word, size_t mark,
                                    milliseconds bound = milliseconds(3000)) {
        if (::testing::AssertionResult done = sim.Command(command); !done)
            return done;
        if (g_tapi.WaitFor(word, mark, bound)) {
            // TAPI lets an ended call go, so its record is free for the next.
            int call = -1;
            if (std::sscanf(word.c_str(), "call %d IDLE", &call) == 1 && word.ends_with(" IDLE"))
                x.Find<decltype(&TSPI_lineCloseCall)>("TSPI_lineCloseCall")(
                    reinterpret_cast<HDRVCALL>(static_cast<uintptr_t>(call)));
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "'" << command << "' never brought '" << word
                                             << "'; TAPI heard " << Joined(g_tapi.WordsFrom(mark)) << "\n"
                                             << sim.LogTail(30);
    }

    fs::path prefix;
    PtySim sim;
    zq::test::ProviderLibrary x;
    HDRVLINE hdLine = nullptr;
};

TEST_F(CallModelPtyTest, AnIncomingCallAndACallMadeOnTheSetAsTheComponentScenariosHearThem) {
    size_t mark = g_tapi.Mark();
    ASSERT_TRUE(Step("call 1 2005", "call 0 info CALLERID|REASON|CALLEDID|ORIGIN", mark));
    ASSERT_TRUE(Step("key 1", "call 0 info CONNECTEDID", mark));
    ASSERT_TRUE(Step("onhook", "call 0 IDLE", mark));
    EXPECT_EQ(
        g_tapi.WordsFrom(mark),
        (std::vector<std::string>{"new call 0", "call 0 OFFERING",
                                  "call 0 info CALLERID|REASON|CALLEDID|ORIGIN", "call 0 CONNECTED",
                                  "call 0 info CONNECTEDID", "call 0 DISCONNECTED NORMAL", "call 0 IDLE"}));

    // 2005 answers by itself after 2 s.
    mark = g_tapi.Mark();
    ASSERT_TRUE(Step("offhook", "call 0 DIALTONE", mark));
    ASSERT_TRUE(Step("dial 2005", "call 0 info CONNECTEDID", mark, milliseconds(6000)));
    ASSERT_TRUE(Step("onhook", "call 0 IDLE", mark));
    EXPECT_EQ(
        g_tapi.WordsFrom(mark),
        (std::vector<std::string>{"new call 0", "call 0 DIALTONE", "call 0 DIALING", "call 0 PROCEEDING",
                                  "call 0 RINGBACK", "call 0 info CALLEDID", "call 0 CONNECTED",
                                  "call 0 info CONNECTEDID", "call 0 DISCONNECTED NORMAL", "call 0 IDLE"}));
}

// TAPI's requests on the shipped library: a call made to 2007 of the set
// file (who answers only when told) and dropped, then an incoming call
// answered, which TAPI drops once the caller has hung up.
TEST_F(CallModelPtyTest, TapiMakesACallAndDropsItThenAnswersAnIncomingOne) {
    const auto makeCall = x.Find<decltype(&TSPI_lineMakeCall)>("TSPI_lineMakeCall");
    const auto answer = x.Find<decltype(&TSPI_lineAnswer)>("TSPI_lineAnswer");
    const auto drop = x.Find<decltype(&TSPI_lineDrop)>("TSPI_lineDrop");
    const auto closeCall = x.Find<decltype(&TSPI_lineCloseCall)>("TSPI_lineCloseCall");
    ASSERT_TRUE(makeCall && answer && drop && closeCall);

    // The timing is of an idle link: the service codes, the download's
    // last answer, come after the configuration is saved.
    const Clock::time_point downloaded = Clock::now() + milliseconds(3000);
    while (sim.LogTail(1000).find("CODE_INFO_ACK") == std::string::npos && Clock::now() < downloaded)
        std::this_thread::sleep_for(milliseconds(20));
    std::this_thread::sleep_for(milliseconds(200));

    // On an idle set the call takes record 0: TAPI's handle for it names
    // it so in the events.
    size_t mark = g_tapi.Mark();
    sim.ArmKeyFrame();
    HDRVCALL made = reinterpret_cast<HDRVCALL>(uintptr_t{99});
    const Clock::time_point asked = Clock::now();
    ASSERT_EQ(makeCall(1, hdLine, reinterpret_cast<HTAPICALL>(kCallHandleBase), &made, u"2007", 0, nullptr),
              1);
    ASSERT_EQ(made, reinterpret_cast<HDRVCALL>(uintptr_t{0}));
    const std::optional<Heard> ringback = g_tapi.WaitFor("call 0 RINGBACK", mark, milliseconds(3000));
    ASSERT_TRUE(ringback) << Joined(g_tapi.WordsFrom(mark)) << "\n" << sim.LogTail(30);
    ASSERT_TRUE(g_tapi.WaitFor("call 0 info CALLEDID", mark, milliseconds(3000))) << sim.LogTail(30);
    ASSERT_TRUE(Step("answer", "call 0 info CONNECTEDID", mark));
    ASSERT_EQ(drop(2, made, nullptr, 0), 2);
    ASSERT_TRUE(g_tapi.WaitFor("call 0 IDLE", mark, milliseconds(3000))) << sim.LogTail(30);
    EXPECT_EQ(closeCall(made), 0);
    EXPECT_EQ(
        g_tapi.WordsFrom(mark),
        (std::vector<std::string>{"call 0 DIALTONE", "call 0 DIALING", "call 0 PROCEEDING", "call 0 RINGBACK",
                                  "call 0 info CALLEDID", "call 0 CONNECTED", "call 0 info CONNECTEDID",
                                  "call 0 DISCONNECTED NORMAL", "call 0 IDLE"}));
    const std::optional<Clock::time_point> keys = sim.KeyFrameSeen();
    ASSERT_TRUE(keys);
    const auto since = [asked](Clock::time_point t) {
        return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(t - asked).count()) /
               1000;
    };
    std::printf("TSPI_lineMakeCall to the first key frame at the simulator %.1f ms, to RINGBACK %.1f ms\n",
                since(*keys), since(ringback->at));

    mark = g_tapi.Mark();
    ASSERT_TRUE(Step("call 1 2005", "call 0 info CALLERID|REASON|CALLEDID|ORIGIN", mark));
    ASSERT_EQ(answer(3, reinterpret_cast<HDRVCALL>(uintptr_t{0}), nullptr, 0), 3);
    ASSERT_TRUE(g_tapi.WaitFor("call 0 info CONNECTEDID", mark, milliseconds(3000))) << sim.LogTail(30);
    // The caller hangs up; the set keeps the key until TAPI drops the call.
    ASSERT_TRUE(Step("hangup", "call 0 DISCONNECTED NORMAL", mark));
    ASSERT_EQ(drop(4, reinterpret_cast<HDRVCALL>(uintptr_t{0}), nullptr, 0), 4);
    ASSERT_TRUE(g_tapi.WaitFor("call 0 IDLE", mark, milliseconds(3000))) << sim.LogTail(30);
    EXPECT_EQ(closeCall(reinterpret_cast<HDRVCALL>(uintptr_t{0})), 0);
    EXPECT_EQ(
        g_tapi.WordsFrom(mark),
        (std::vector<std::string>{"new call 0", "call 0 OFFERING",
                                  "call 0 info CALLERID|REASON|CALLEDID|ORIGIN", "call 0 CONNECTED",
                                  "call 0 info CONNECTEDID", "call 0 DISCONNECTED NORMAL", "call 0 IDLE"}));
    EXPECT_EQ(g_tapi.Replies(),
              (std::map<DRV_REQUESTID, std::vector<LONG>>{{1, {0}}, {2, {0}}, {3, {0}}, {4, {0}}}));
}

// The offer waits for the caller's details (at most 1 s), which the PBX
// sends just after the icon in three segments. The worker reads the line
// and acknowledges at its 100 ms tick and the adapter sends one frame per
// acknowledgement, so the icon and the segments take four ticks: 400 ms.
// From the details' last byte on the wire to the event is at most a tick.
TEST_F(CallModelPtyTest, EveryIncomingCallIsOfferedSoonAfterTheRingingIcon) {
    constexpr int kCalls = 20;
    std::vector<long long> fromIcon;
    std::vector<long long> fromDetails;
    for (int i = 0; i < kCalls; ++i) {
        const size_t mark = g_tapi.Mark();
        sim.ArmIncomingCall();
        ASSERT_TRUE(Step("call 1 2005", "call 0 OFFERING", mark)) << "call " << i;
        const std::optional<Heard> offering = g_tapi.WaitFor("call 0 OFFERING", mark, milliseconds(0));
        const zq::test::SimOnPty::IncomingTimes wire = sim.IncomingCallWritten();
        ASSERT_TRUE(offering && wire.icon && wire.details) << "call " << i << "\n" << sim.LogTail(20);
        const auto since = [&](Clock::time_point t) {
            return std::chrono::duration_cast<std::chrono::microseconds>(offering->at - t).count();
        };
        fromIcon.push_back(since(*wire.icon));
        fromDetails.push_back(since(*wire.details));
        // The caller gives up.
        ASSERT_TRUE(Step("hangup", "call 0 IDLE", mark)) << "call " << i;
        EXPECT_EQ(g_tapi.WordsFrom(mark),
                  (std::vector<std::string>{"new call 0", "call 0 OFFERING",
                                            "call 0 info CALLERID|REASON|CALLEDID|ORIGIN",
                                            "call 0 DISCONNECTED NORMAL", "call 0 IDLE"}))
            << "call " << i;
    }
    // Nearest rank.
    const auto percentile = [](std::vector<long long> v, int p) {
        std::sort(v.begin(), v.end());
        return v[(v.size() * p + 99) / 100 - 1];
    };
    const auto ms = [](long long us) { return static_cast<double>(us) / 1000; };
    std::printf("ringing icon written to LINE_CALLSTATE OFFERING, %d calls: p50 %.1f ms, p99 %.1f ms\n",
                kCalls, ms(percentile(fromIcon, 50)), ms(percentile(fromIcon, 99)));
    std::printf("caller's details written to LINE_CALLSTATE OFFERING, %d calls: p50 %.1f ms, p99 %.1f ms\n",
                kCalls, ms(percentile(fromDetails, 50)), ms(percentile(fromDetails, 99)));
    EXPECT_GT(*std::min_element(fromIcon.begin(), fromIcon.end()), 0);
    EXPECT_LT(percentile(fromIcon, 99), 600'000);
    // A lost wake-up would show as whole ticks more.
    EXPECT_LT(percentile(fromDetails, 99), 300'000);
}

}  // namespace
