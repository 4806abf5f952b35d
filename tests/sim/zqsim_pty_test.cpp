// The zqsim command in real time on its pseudo-terminal: the slave path on
// the first line, the COM link in the prefix, answers on the line, and a
// clean end on SIGTERM and after --seconds.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr auto kBound = std::chrono::seconds(3);

struct Child {
    pid_t pid = -1;
    int out = -1;  // its standard output
    int err = -1;  // its standard error
};

Child spawn(const std::vector<std::string>& args) {
    Child child;
    int out[2];
    int err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) {
        return child;
    }
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    ::posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    ::posix_spawn_file_actions_addclose(&actions, out[0]);
    ::posix_spawn_file_actions_addclose(&actions, err[0]);
    std::vector<char*> argv;
    std::string program = ZQSIM_PATH;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (std::string& a : copies) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    if (::posix_spawn(&child.pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        child.pid = -1;
    }
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    child.out = out[0];
    child.err = err[0];
    return child;
}

// Everything up to the first newline, or what came within the bound.
std::string read_line(int fd) {
    std::string line;
    const auto deadline = Clock::now() + kBound;
    while (Clock::now() < deadline) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 50) <= 0) {
            continue;
        }
        char c = 0;
        if (::read(fd, &c, 1) != 1 || c == '\n') {
            break;
        }
        line += c;
    }
    return line;
}

std::string read_all(int fd) {
    std::string text;
    std::array<char, 512> chunk{};
    ssize_t n = 0;
    while ((n = ::read(fd, chunk.data(), chunk.size())) > 0) {
        text.append(chunk.data(), static_cast<size_t>(n));
    }
    return text;
}

// The exit status, or -1 when the process did not end within the bound.
int wait_exit(pid_t pid) {
    const auto deadline = Clock::now() + kBound;
    while (Clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        ::poll(nullptr, 0, 20);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

Bytes exchange(int fd, const Bytes& bytes, size_t expected) {
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    Bytes got;
    const auto deadline = Clock::now() + kBound;
    while (got.size() < expected && Clock::now() < deadline) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 50) <= 0) {
            continue;
        }
        std::array<uint8_t, 256> chunk{};
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n > 0) {
            got.insert(got.end(), chunk.begin(), chunk.begin() + n);
        }
    }
    return got;
}

class ZqsimPty : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "zq_sim_XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        prefix_ = pattern;
        ::setenv("ZQ_PREFIX", prefix_.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("ZQ_PREFIX");
        std::error_code ignored;
        fs::remove_all(prefix_, ignored);
    }
    fs::path prefix_;
};

TEST_F(ZqsimPty, AnswersOnItsTerminalAndEndsOnSigterm) {
    Child child = spawn({"--link", "COM3", "--quiet", "--version", "3.06", "--caps", "0"});
    ASSERT_GT(child.pid, 0);
    const std::string slave = read_line(child.out);
    ASSERT_FALSE(slave.empty());
    const fs::path link = prefix_ / "dosdevices" / "com3";
    EXPECT_EQ(fs::read_symlink(link), slave);

    const int fd = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    EXPECT_EQ(exchange(fd, {0x02, 0x60, 0x85, 0x19, 0x02, 0x60, 0x01, 0x9D}, 4),
              (Bytes{0x02, 0x60, 0x01, 0x9D}));
    const Bytes response = exchange(fd, {0x02, 0x60, 0x11, 0x8D}, 9);
    ASSERT_GE(response.size(), 9u);
    EXPECT_EQ(Bytes(response.begin(), response.begin() + 9),
              (Bytes{0x07, 0x60, 0x11, 0x03, 0x06, 0x19, 0x00, 0x00, 0x66}));
    ::close(fd);

    ASSERT_EQ(::kill(child.pid, SIGTERM), 0);
    EXPECT_EQ(wait_exit(child.pid), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << "the link is removed at the end";
    ::close(child.out);
    ::close(child.err);
}

TEST_F(ZqsimPty, EndsWhenItsSecondsHaveElapsed) {
    const auto start = Clock::now();
    Child child = spawn({"--seconds", "1"});
    ASSERT_GT(child.pid, 0);
    EXPECT_FALSE(read_line(child.out).empty());
    EXPECT_EQ(wait_exit(child.pid), 0);
    EXPECT_LT(Clock::now() - start, kBound);
    ::close(child.out);
    ::close(child.err);
}

TEST_F(ZqsimPty, RefusesABadSetFileWithItsLine) {
    const fs::path file = prefix_ / "bad.set";
    std::ofstream(file) << "mcdu 1\ntqla 9\n";
    Child child = spawn({"--set", file.string(), "--seconds", "1"});
    ASSERT_GT(child.pid, 0);
    EXPECT_EQ(wait_exit(child.pid), 1);
    EXPECT_NE(read_all(child.err).find("bad.set:2: the TQLA version"), std::string::npos);
    Child usage = spawn({"--caps", "300"});
    EXPECT_EQ(wait_exit(usage.pid), 2);
    for (const Child& c : {child, usage}) {
        ::close(c.out);
        ::close(c.err);
    }
}

TEST_F(ZqsimPty, PlaysAScriptAndReportsItsBadLines) {
    const fs::path script = prefix_ / "calls.txt";
    std::ofstream(script) << "# a call comes in\ncall 1 2005\nwait 100\nfly away\nhangup\n";
    Child child = spawn({"--script", script.string(), "--seconds", "1"});
    ASSERT_GT(child.pid, 0);
    EXPECT_EQ(wait_exit(child.pid), 0);
    const std::string out = read_all(child.out);
    EXPECT_NE(out.find("PBX: call 1 (2005 'Martin Paul') rings on key 1"), std::string::npos) << out;
    EXPECT_NE(out.find("PBX: call 1 (2005 'Martin Paul') hangs up"), std::string::npos) << out;
    EXPECT_NE(read_all(child.err).find("calls.txt:4: unknown command 'fly'"), std::string::npos);
    Child missing = spawn({"--script", (prefix_ / "none.txt").string(), "--seconds", "1"});
    EXPECT_EQ(wait_exit(missing.pid), 1);
    for (const Child& c : {child, missing}) {
        ::close(c.out);
        ::close(c.err);
    }
}

}  // namespace
