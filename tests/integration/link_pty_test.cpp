// The link of the shipped libzq_6232.so on a pseudo-terminal, in real time:
// the test holds the master side where the adapter would be and reads the
// frames exactly as they go out on the wire.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <vector>

#include "provider_library.h"
#include "zq/tapi.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr auto kBound = std::chrono::seconds(3);

const Bytes kAck{0x02, 0x60, 0x00, 0x9E};

void CALLBACK OnCompletion(DRV_REQUESTID, LONG) {}
void CALLBACK OnLineEvent(HTAPILINE, HTAPICALL, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

class LinkPtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zqlink-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        prefix = tmpl;
        setenv("ZQ_PREFIX", prefix.c_str(), 1);
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        std::array<char, 128> slave{};
        ASSERT_EQ(ptsname_r(master, slave.data(), slave.size()), 0);
        fs::create_directories(prefix / "dosdevices");
        fs::create_symlink(slave.data(), prefix / "dosdevices" / "com1");
        fs::create_directories(prefix / "registry");
        std::ofstream hive(prefix / "registry" / "hklm.reg");
        hive << "ZQREG 1\n[SOFTWARE\\\\Velmora\\\\TSpi_6200\\\\Provider]\n\"Port\"=sz:\"COM1\"\n"
                "\"Speed\"=sz:\"9600\"\n[SOFTWARE\\\\Velmora\\\\TSpi_6200\\\\Debug_Mode]\n\"DebugOutput\"=sz:"
                "\"0\"\n";
    }

    void TearDown() override {
        if (lineClose != nullptr && hdLine != nullptr)
            lineClose(hdLine);
        if (shutdown != nullptr)
            shutdown(0x20000, 4);
        if (lib != nullptr)
            dlclose(lib);
        if (master >= 0)
            close(master);
        unsetenv("ZQ_PREFIX");
        std::error_code ec;
        fs::remove_all(prefix, ec);
    }

    void OpenLine() {
        std::string error;
        ASSERT_TRUE(library.Load(ZQ_LIBRARY_PATH, &error)) << error;
        lib = library.handle;
        const auto enumDevices = library.enumDevices;
        const auto init = library.init;
        const auto lineOpen = library.lineOpen;
        shutdown = library.shutdown;
        lineClose = library.lineClose;
        DWORD lines = 0, phones = 0, options = 0;
        ASSERT_EQ(enumDevices(4, &lines, &phones, nullptr, nullptr, nullptr), 0);
        ASSERT_EQ(init(0x20000, 4, 0, 0, 1, 1, OnCompletion, &options), 0);
        ASSERT_EQ(lineOpen(0, reinterpret_cast<HTAPILINE>(1), &hdLine, 0x20000, OnLineEvent), 0);
    }

    // At least n bytes from the wire, waiting up to kBound for them.
    Bytes ReadBytes(size_t n) {
        const auto deadline = Clock::now() + kBound;
        while (pending.size() < n && Clock::now() < deadline) {
            pollfd pfd{master, POLLIN, 0};
            if (poll(&pfd, 1, 20) <= 0)
                continue;
            std::array<uint8_t, 256> chunk{};
            const ssize_t got = read(master, chunk.data(), chunk.size());
            if (got > 0)
                pending.insert(pending.end(), chunk.begin(), chunk.begin() + got);
        }
        const size_t take = std::min(n, pending.size());
        Bytes out(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(take));
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(take));
        return out;
    }

    // The next whole frame from the wire: its length byte tells its size.
    Bytes NextFrame() {
        Bytes f = ReadBytes(1);
        if (f.empty())
            return f;
        const Bytes rest = ReadBytes(size_t{f[0]} + 1);
        f.insert(f.end(), rest.begin(), rest.end());
        return f;
    }

    void Write(const Bytes& b) {
        ASSERT_EQ(write(master, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    }

    fs::path prefix;
    int master = -1;
    zq::test::ProviderLibrary library;
    void* lib = nullptr;
    HDRVLINE hdLine = nullptr;
    decltype(&TSPI_providerShutdown) shutdown = nullptr;
    decltype(&TSPI_lineClose) lineClose = nullptr;
    Bytes pending;
};

TEST_F(LinkPtyTest, TheOpeningFramesGoOutOneAcknowledgementAtATime) {
    OpenLine();
    EXPECT_EQ(ReadBytes(8), (Bytes{0x02, 0x60, 0x85, 0x19, 0x02, 0x60, 0x01, 0x9D}));
    Write(kAck);
    EXPECT_EQ(NextFrame(), (Bytes{0x03, 0x60, 0x10, 0x03, 0x8A}));
    Write(kAck);
    EXPECT_EQ(NextFrame(), (Bytes{0x02, 0x60, 0x11, 0x8D}));
}

TEST_F(LinkPtyTest, FramesFromTheAdapterAreAcknowledged) {
    OpenLine();
    EXPECT_EQ(ReadBytes(8).size(), 8u);
    // One frame in one write, one split over two.
    Write({0x02, 0x22, 0x00, 0xDC});
    EXPECT_EQ(NextFrame(), kAck);
    Write({0x01, 0x21});
    Write({0xDE});
    EXPECT_EQ(NextFrame(), kAck);
    // A bad checksum is refused.
    Write({0x02, 0x22, 0x00, 0xDD});
    EXPECT_EQ(NextFrame(), (Bytes{0x02, 0x60, 0x84, 0x1A}));
}

}  // namespace
