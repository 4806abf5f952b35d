// The shipped libzq_6232.so against the zqsim program on a pseudo-terminal,
// in real time, as the telephony service would load it: the line goes in
// service with the simulated set, and a simulator that stops answering is
// reported once while the port is opened again at every loss.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "provider_library.h"
#include "zq/tapi.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// TAPI's side: line events as they come, from the provider's worker.
struct Events {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::pair<DWORD, DWORD_PTR>> lineEvents;

    template <typename F>
    bool WaitFor(F cond, std::chrono::milliseconds bound) {
        std::unique_lock lk(m);
        return cv.wait_for(lk, bound, [&] { return cond(lineEvents); });
    }
    int Count(DWORD msg, DWORD_PTR param1) {
        std::lock_guard lk(m);
        int n = 0;
        for (const auto& [m2, p1] : lineEvents)
            n += m2 == msg && p1 == param1 ? 1 : 0;
        return n;
    }
};

Events g_events;

void CALLBACK OnCompletion(DRV_REQUESTID, LONG) {}
void CALLBACK OnLineEvent(HTAPILINE, HTAPICALL, DWORD msg, DWORD_PTR p1, DWORD_PTR, DWORD_PTR) {
    std::lock_guard lk(g_events.m);
    g_events.lineEvents.emplace_back(msg, p1);
    g_events.cv.notify_all();
}

bool HasEvent(const std::vector<std::pair<DWORD, DWORD_PTR>>& events, DWORD msg, DWORD_PTR param1) {
    for (const auto& [m, p1] : events)
        if (m == msg && p1 == param1)
            return true;
    return false;
}

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int Occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

// Polls the condition every 20 ms up to the bound.
template <typename F>
bool Eventually(F cond, std::chrono::milliseconds bound) {
    const auto end = Clock::now() + bound;
    while (!cond()) {
        if (Clock::now() >= end)
            return false;
        ::poll(nullptr, 0, 20);
    }
    return true;
}

class ZqsimProviderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zqsimprov-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        prefix = tmpl;
        setenv("ZQ_PREFIX", prefix.c_str(), 1);
        fs::create_directories(prefix / "registry");
        std::ofstream hive(prefix / "registry" / "hklm.reg");
        hive << "ZQREG 1\n[SOFTWARE\\\\Velmora\\\\TSpi_6200\\\\Provider]\n\"Port\"=sz:\"COM1\"\n"
                "\"Speed\"=sz:\"9600\"\n[SOFTWARE\\\\Velmora\\\\TSpi_6200\\\\Debug_Mode]\n\"DebugOutput\"=sz:"
                "\"1\"\n";
        g_events.lineEvents.clear();
    }

    void TearDown() override {
        if (x.handle != nullptr) {
            if (opened)
                x.lineClose(hdLine);
            x.shutdown(0x20000, 1);
            x.Unload();
        }
        if (sim > 0) {
            ::kill(sim, SIGCONT);
            ::kill(sim, SIGTERM);
            ::waitpid(sim, nullptr, 0);
        }
        if (simOut >= 0)
            ::close(simOut);
        std::error_code ec;
        fs::remove_all(prefix, ec);
    }

    // zqsim with the default set on a new pseudo-terminal, linked as COM1 of
    // the prefix; its first line is the terminal's path.
    void StartSimulator() {
        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        ::posix_spawn_file_actions_addclose(&actions, out[0]);
        std::string program = ZQSIM_PATH;
        std::string link = "--link", com = "COM1", quiet = "--quiet";
        char* argv[] = {program.data(), link.data(), com.data(), quiet.data(), nullptr};
        ASSERT_EQ(::posix_spawn(&sim, program.c_str(), &actions, nullptr, argv, environ), 0);
        ::posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        simOut = out[0];
        std::string line;
        const auto end = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < end) {
            pollfd p{simOut, POLLIN, 0};
            char c = 0;
            if (::poll(&p, 1, 50) <= 0)
                continue;
            if (::read(simOut, &c, 1) != 1 || c == '\n')
                break;
            line += c;
        }
        ASSERT_EQ(line.rfind("/dev/", 0), 0u) << line;
        ASSERT_EQ(fs::read_symlink(prefix / "dosdevices" / "com1"), line);
    }

    void Load() {
        std::string error;
        ASSERT_TRUE(x.Load(ZQ_LIBRARY_PATH, &error)) << error;
        DWORD lines = 0, phones = 0, options = 0;
        ASSERT_EQ(x.enumDevices(1, &lines, &phones, nullptr, nullptr, nullptr), 0);
        ASSERT_EQ(x.init(0x20000, 1, 0, 0, lines, phones, OnCompletion, &options), 0);
    }

    void OpenLine() {
        ASSERT_EQ(x.lineOpen(0, reinterpret_cast<HTAPILINE>(1), &hdLine, 0x20000, OnLineEvent), 0);
        opened = true;
    }

    void CloseLine() {
        ASSERT_EQ(x.lineClose(hdLine), 0);
        opened = false;
    }

    std::string Hive() const { return ReadAll(prefix / "registry" / "hklm.reg"); }
    std::string Trace() const {
        return ReadAll(prefix / "windows" / "spitrace" / "tsptrac0.tr") +
               ReadAll(prefix / "windows" / "spitrace" / "tsptrac1.tr");
    }
    std::string Boxes() const { return ReadAll(prefix / "windows" / "messages.log"); }

    fs::path prefix;
    pid_t sim = -1;
    int simOut = -1;
    zq::test::ProviderLibrary x;
    HDRVLINE hdLine = nullptr;
    bool opened = false;
};

constexpr char kLinkLost[] = "Perte de connexion - Tentative de redemarrage";
constexpr char kHardwareBox[] = "Velmora 6200 SP Error: Hardware Problem - Please check:";

TEST_F(ZqsimProviderTest, TheLineGoesInServiceThenAStoppedSimulatorIsReportedOnceAndThePortReopened) {
    StartSimulator();
    Load();

    // From the open to the line in service: the link, the association.
    const auto start = Clock::now();
    OpenLine();
    ASSERT_TRUE(g_events.WaitFor(
        [](const auto& e) {
            return HasEvent(e, LINE_LINEDEVSTATE, LINEDEVSTATE_CONNECTED | LINEDEVSTATE_INSERVICE);
        },
        std::chrono::seconds(5)));
    const auto inService =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    // The whole download, saved.
    ASSERT_TRUE(Eventually([&] { return Hive().find("\"LastAction\"=sz:\"success\"") != std::string::npos; },
                           std::chrono::seconds(8)));
    const auto downloaded =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    std::printf("line in service after %lld ms, configuration saved after %lld ms\n",
                static_cast<long long>(inService), static_cast<long long>(downloaded));
    RecordProperty("in_service_ms", static_cast<int>(inService));
    RecordProperty("downloaded_ms", static_cast<int>(downloaded));
    EXPECT_LT(inService, 2000);
    EXPECT_NE(Hive().find("\"SetMCDU\"=sz:\"2001\""), std::string::npos);
    CloseLine();

    // The simulator stops answering (its terminal stays): the provider,
    // started again, polls at 3 s and gives the link up at 6.1 s, then
    // every 6.1 s, opening the port again each time.
    ASSERT_EQ(::kill(sim, SIGSTOP), 0);
    const auto stopped = Clock::now();
    OpenLine();
    ASSERT_TRUE(
        g_events.WaitFor([](const auto& e) { return HasEvent(e, LINE_CLOSE, 0); }, std::chrono::seconds(9)));
    const auto lost = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopped).count();
    std::printf("link given up after %lld ms\n", static_cast<long long>(lost));
    EXPECT_GT(lost, 5500);
    EXPECT_EQ(Occurrences(Boxes(), kHardwareBox), 1);
    // Recorded just after TAPI is told.
    EXPECT_TRUE(Eventually(
        [&] { return Hive().find("\"LastAction\"=sz:\"failed :V24 Trouble\"") != std::string::npos; },
        std::chrono::seconds(1)));

    ASSERT_TRUE(Eventually([&] { return Occurrences(Trace(), kLinkLost) >= 2; }, std::chrono::seconds(8)));
    // "* After_L2_timeout = 10 *" at each open of the line, without the
    // stars at each reopening of the port, which follows the loss's trace.
    const auto reopened = [&] {
        return Occurrences(Trace(), "After_L2_timeout = 10") -
               Occurrences(Trace(), "* After_L2_timeout = 10 *");
    };
    EXPECT_TRUE(Eventually([&] { return reopened() >= 2; }, std::chrono::seconds(2)));
    EXPECT_EQ(reopened(), 2) << "the port opened again at each loss";
    EXPECT_EQ(Occurrences(Boxes(), kHardwareBox), 1);
    EXPECT_EQ(g_events.Count(LINE_CLOSE, 0), 1);
    EXPECT_EQ(g_events.Count(LINE_LINEDEVSTATE, LINEDEVSTATE_CONNECTED | LINEDEVSTATE_INSERVICE), 1);
}

}  // namespace
