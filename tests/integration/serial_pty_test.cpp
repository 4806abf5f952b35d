// The serial port of the POSIX backend on a real pseudo-terminal: the test
// holds the master side where the adapter would be, and the prefix's
// dosdevices/com1 points at the slave.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <numeric>
#include <vector>

#include "zq/platform.h"

namespace zq::plat {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kBound = std::chrono::seconds(2);

class SerialPty : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "zq_pty_XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        prefix_ = pattern;
        ::setenv("ZQ_PREFIX", prefix_.c_str(), 1);
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(::grantpt(master_), 0);
        ASSERT_EQ(::unlockpt(master_), 0);
        std::array<char, 128> slave{};
        ASSERT_EQ(::ptsname_r(master_, slave.data(), slave.size()), 0);
        fs::create_directories(prefix_ / "dosdevices");
        fs::create_symlink(slave.data(), prefix_ / "dosdevices" / "com1");
        fs::create_symlink("/dev/zq-no-such-device", prefix_ / "dosdevices" / "com2");
    }

    void TearDown() override {
        serial_close(port_);
        if (master_ >= 0) {
            ::close(master_);
        }
        ::unsetenv("ZQ_PREFIX");
        std::error_code ignored;
        fs::remove_all(prefix_, ignored);
    }

    void open_configured() {
        ASSERT_EQ(serial_open("COM1", &port_), kErrSuccess);
        ASSERT_EQ(serial_configure(port_, SerialSettings{9600, AbortOnError::Keep}), kErrSuccess);
        ASSERT_EQ(serial_set_timeouts(port_), kErrSuccess);
    }

    // What the adapter side receives, waiting up to kBound for `count` bytes.
    std::vector<uint8_t> master_read(size_t count) const {
        std::vector<uint8_t> got;
        const auto deadline = Clock::now() + kBound;
        while (got.size() < count && Clock::now() < deadline) {
            pollfd pfd{master_, POLLIN, 0};
            if (::poll(&pfd, 1, 50) <= 0) {
                continue;
            }
            std::array<uint8_t, 512> chunk{};
            const ssize_t n = ::read(master_, chunk.data(), chunk.size());
            if (n > 0) {
                got.insert(got.end(), chunk.begin(), chunk.begin() + n);
            }
        }
        return got;
    }

    void master_write(const std::vector<uint8_t>& bytes) const {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // The port's input queue once it reaches `count`, or what it is at the bound.
    uint32_t wait_in_queue(uint32_t count) const {
        CommStatus status;
        const auto deadline = Clock::now() + kBound;
        while (serial_clear_error(port_, &status) == kErrSuccess && status.in_queue < count &&
               Clock::now() < deadline) {
            ::poll(nullptr, 0, 2);
        }
        return status.in_queue;
    }

    fs::path prefix_;
    int master_ = -1;
    SerialPort* port_ = nullptr;
};

std::vector<uint8_t> every_byte() {
    std::vector<uint8_t> bytes(256);
    std::iota(bytes.begin(), bytes.end(), 0);
    return bytes;
}

TEST_F(SerialPty, OpensOnlyComPortsThatExist) {
    struct Case {
        const char* name;
        uint32_t result;
    };
    const Case cases[] = {
        {"COM1", kErrSuccess},
        {"com1", kErrSuccess},
        {"\\\\.\\COM1", kErrSuccess},
        {"\\\\.\\cOm1", kErrSuccess},
        {"COM2", kErrFileNotFound},  // dangling link
        {"COM5", kErrFileNotFound},
        {"COM0", kErrFileNotFound},
        {"COM10", kErrFileNotFound},
        {"COM", kErrFileNotFound},
        {"COM1 ", kErrFileNotFound},
        {"LPT1", kErrFileNotFound},
        {"", kErrFileNotFound},
        {"C:\\COM1", kErrFileNotFound},
        {"\\\\.\\COM10", kErrFileNotFound},
        {"../../etc/passwd", kErrFileNotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SerialPort* port = reinterpret_cast<SerialPort*>(&port_);  // must be overwritten
        EXPECT_EQ(serial_open(c.name, &port), c.result);
        EXPECT_EQ(port != nullptr, c.result == kErrSuccess);
        if (c.result == kErrSuccess) {
            serial_close(port);
        }
    }
}

TEST_F(SerialPty, APortHeldIsRefusedUntilClosed) {
    ASSERT_EQ(serial_open("COM1", &port_), kErrSuccess);
    SerialPort* second = nullptr;
    EXPECT_EQ(serial_open("\\\\.\\com1", &second), kErrAccessDenied);
    EXPECT_EQ(second, nullptr);
    serial_close(port_);
    port_ = nullptr;
    EXPECT_EQ(serial_open("COM1", &port_), kErrSuccess);
}

TEST_F(SerialPty, ConfigureSetsTheLine) {
    ASSERT_EQ(serial_open("COM1", &port_), kErrSuccess);
    struct Case {
        uint32_t baud;
        uint32_t result;
        speed_t speed;
    };
    const Case cases[] = {
        {9600, kErrSuccess, B9600},        {1200, kErrSuccess, B1200},    {19200, kErrSuccess, B19200},
        {115200, kErrSuccess, B115200},    {0, kErrInvalidParameter, B0}, {9601, kErrInvalidParameter, B0},
        {12345, kErrInvalidParameter, B0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        EXPECT_EQ(serial_configure(port_, SerialSettings{c.baud, AbortOnError::Set}), c.result);
        if (c.result != kErrSuccess) {
            continue;
        }
        // The master reports the slave's settings.
        termios tio{};
        ASSERT_EQ(::tcgetattr(master_, &tio), 0);
        EXPECT_EQ(::cfgetospeed(&tio), c.speed);
        EXPECT_EQ(::cfgetispeed(&tio), c.speed);
        EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
                  static_cast<tcflag_t>(CSTOPB | CRTSCTS | CREAD | CLOCAL));
        EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK), 0u);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);
        EXPECT_EQ(tio.c_cc[VMIN], 0);
        EXPECT_EQ(tio.c_cc[VTIME], 0);
    }
}

// Raw both ways: no byte is translated, eaten as XON/XOFF or taken as a
// signal.
TEST_F(SerialPty, EveryByteValuePassesBothWays) {
    open_configured();
    const std::vector<uint8_t> bytes = every_byte();
    EXPECT_EQ(serial_write(port_, bytes), kErrSuccess);
    EXPECT_EQ(master_read(bytes.size()), bytes);
    CommStatus status;
    ASSERT_EQ(serial_clear_error(port_, &status), kErrSuccess);
    EXPECT_EQ(status.out_queue, 0u);  // a pseudo-terminal passes bytes on at once
    EXPECT_EQ(serial_flush(port_), kErrSuccess);

    master_write(bytes);
    EXPECT_EQ(wait_in_queue(256), 256u);
    std::array<uint8_t, 300> got{};
    uint32_t n = 0;
    EXPECT_EQ(serial_read(port_, got, &n), kErrSuccess);
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + n), bytes);
}

TEST_F(SerialPty, ReadReturnsAtOnceWithWhatHasArrived) {
    open_configured();
    std::array<uint8_t, 4> small{};
    uint32_t n = 99;
    const auto start = Clock::now();
    EXPECT_EQ(serial_read(port_, small, &n), kErrSuccess);
    EXPECT_EQ(n, 0u);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));

    master_write({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    EXPECT_EQ(wait_in_queue(10), 10u);
    EXPECT_EQ(serial_read(port_, small, &n), kErrSuccess);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(small, (std::array<uint8_t, 4>{1, 2, 3, 4}));
    CommStatus status;
    ASSERT_EQ(serial_clear_error(port_, &status), kErrSuccess);
    EXPECT_EQ(status.in_queue, 6u);
    std::array<uint8_t, 16> rest{};
    EXPECT_EQ(serial_read(port_, rest, &n), kErrSuccess);
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(rest[5], 10);
    EXPECT_EQ(serial_read(port_, rest, &n), kErrSuccess);
    EXPECT_EQ(n, 0u);
}

// What came for an earlier holder of the port is not the new one's.
TEST_F(SerialPty, AReopenedPortStartsEmpty) {
    open_configured();
    master_write({0x02, 0x60, 0x00, 0x9E});
    EXPECT_EQ(wait_in_queue(4), 4u);
    serial_close(port_);
    port_ = nullptr;
    open_configured();
    std::array<uint8_t, 8> got{};
    uint32_t n = 99;
    EXPECT_EQ(serial_read(port_, got, &n), kErrSuccess);
    EXPECT_EQ(n, 0u);
    master_write({7});
    EXPECT_EQ(wait_in_queue(1), 1u);
}

TEST_F(SerialPty, RtsOnAPseudoTerminalIsReportedNotFatal) {
    open_configured();
    for (const bool raised : {true, false}) {
        const uint32_t result = serial_set_rts(port_, raised);
        EXPECT_TRUE(result == kErrSuccess || result == kErrNotSupported) << result;
    }
    // The port still works.
    EXPECT_EQ(serial_write(port_, std::vector<uint8_t>{0x42}), kErrSuccess);
    EXPECT_EQ(master_read(1), std::vector<uint8_t>{0x42});
}

// Nobody reads the other side: the write gives up after its bound rather
// than holding the worker.
TEST_F(SerialPty, WriteThatCannotGoOutFailsWithinItsBound) {
    open_configured();
    const std::vector<uint8_t> lots(1 << 20, 0x55);
    const auto start = Clock::now();
    EXPECT_EQ(serial_write(port_, lots), kErrWriteFault);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::milliseconds(3000));
}

TEST_F(SerialPty, NoPortIsAnInvalidHandle) {
    CommStatus status;
    uint32_t n = 0;
    std::array<uint8_t, 4> buffer{};
    EXPECT_EQ(serial_configure(nullptr, SerialSettings{}), kErrInvalidHandle);
    EXPECT_EQ(serial_clear_error(nullptr, &status), kErrInvalidHandle);
    EXPECT_EQ(serial_read(nullptr, buffer, &n), kErrInvalidHandle);
    EXPECT_EQ(serial_write(nullptr, buffer), kErrInvalidHandle);
    EXPECT_EQ(serial_set_rts(nullptr, true), kErrInvalidHandle);
    EXPECT_EQ(serial_flush(nullptr), kErrInvalidHandle);
    serial_close(nullptr);
}

}  // namespace
}  // namespace zq::plat
