// The POSIX backend's files in a prefix: hives written by several processes
// at once or by a process killed half-way, the registry handles' answers,
// and the private-profile files beside the hives.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "zq/platform.h"
#include "zq/platform_posix.h"
#include "zq/reg_tree.h"

extern char** environ;

namespace zq::plat {
namespace {

namespace fs = std::filesystem;

constexpr const char* kTestKey = "SOFTWARE\\ZqTest\\Hive";

// A fresh prefix for one test, removed afterwards.
class HivePrefix : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "zq_hive_XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        prefix_ = pattern;
        ::setenv("ZQ_PREFIX", prefix_.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("ZQ_PREFIX");
        std::error_code ignored;
        fs::remove_all(prefix_, ignored);
    }

    // The hive file as it is on disk; empty when there is none.
    std::string hive_text() const {
        std::ifstream in(prefix_ / "registry" / "hklm.reg", std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // The hive file loaded as the backend loads it.
    common::RegNode load_hive() const { return common::reg_parse(hive_text()); }

    // name -> value of the test key's REG_DWORD values in the hive file.
    std::map<std::string, uint32_t> hive_values() const {
        common::RegNode tree = load_hive();
        std::map<std::string, uint32_t> values;
        if (const common::RegNode* key = common::reg_find(tree, kTestKey)) {
            for (const common::RegValue& v : key->values) {
                EXPECT_EQ(v.type, kRegDword) << v.name;
                EXPECT_EQ(v.data.size(), 4u) << v.name;
                if (v.data.size() == 4) {
                    values[v.name] =
                        v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (uint32_t{v.data[3]} << 24);
                }
            }
        }
        return values;
    }

    // `stop`, when given, is the writer's STOP argument (see hive_writer.cpp).
    pid_t spawn_writer(const std::string& tag, long count, int stdout_fd, std::string stop = {}) const {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (stdout_fd >= 0) {
            posix_spawn_file_actions_adddup2(&actions, stdout_fd, STDOUT_FILENO);
        } else {
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        }
        std::string program = ZQ_HIVE_WRITER;
        std::string prefix = prefix_.string();
        std::string count_text = std::to_string(count);
        std::string tag_text = tag;
        char* argv[] = {program.data(),
                        prefix.data(),
                        tag_text.data(),
                        count_text.data(),
                        stop.empty() ? nullptr : stop.data(),
                        nullptr};
        pid_t pid = -1;
        const int err = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(err, 0) << program;
        return err == 0 ? pid : -1;
    }

    fs::path prefix_;
};

using Clock = std::chrono::steady_clock;

// The writer's exit status, or -1 when it had to be killed at the deadline.
int wait_exit(pid_t pid, std::chrono::seconds bound) {
    const auto deadline = Clock::now() + bound;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        ::poll(nullptr, 0, 10);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Reads the writer's acknowledgements until `want` of them or the deadline;
// returns how many were read.
long read_acks(int fd, long want, std::chrono::seconds bound) {
    const auto deadline = Clock::now() + bound;
    long acks = 0;
    std::array<char, 4096> buffer{};
    while (acks < want && Clock::now() < deadline) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 100) <= 0) {
            continue;
        }
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n <= 0) {
            break;
        }
        for (ssize_t i = 0; i < n; ++i) {
            acks += buffer[static_cast<size_t>(i)] == '\n' ? 1 : 0;
        }
    }
    return acks;
}

TEST_F(HivePrefix, TwoProcessesWritingAtOnceLoseNothing) {
    constexpr long kEach = 1000;
    const pid_t first = spawn_writer("first", kEach, -1);
    const pid_t second = spawn_writer("second", kEach, -1);
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    EXPECT_EQ(wait_exit(first, std::chrono::seconds(90)), 0);
    EXPECT_EQ(wait_exit(second, std::chrono::seconds(90)), 0);

    const std::map<std::string, uint32_t> values = hive_values();
    EXPECT_EQ(values.size(), static_cast<size_t>(2 * kEach));
    for (const char* tag : {"first", "second"}) {
        for (long i = 0; i < kEach; ++i) {
            const auto it = values.find(std::string(tag) + "_" + std::to_string(i));
            ASSERT_NE(it, values.end()) << tag << "_" << i;
            EXPECT_EQ(it->second, static_cast<uint32_t>(i));
        }
    }
    // And the registry calls see the same.
    RegKey* key = nullptr;
    ASSERT_EQ(reg_open_key(reg_root(RegRoot::LocalMachine), kTestKey, &key), kErrSuccess);
    std::array<char, 32> name{};
    uint32_t name_len = 0;
    EXPECT_EQ(reg_enum_value(key, 2 * kEach - 1, name, &name_len, nullptr, {}, nullptr), kErrSuccess);
    EXPECT_EQ(reg_enum_value(key, 2 * kEach, name, &name_len, nullptr, {}, nullptr), kErrNoMoreItems);
    reg_close_key(key);
}

// The writer is stopped in the middle of a hive write, killed there or with
// the write failing: once the new hive file is created, before its first
// byte, and once half of it is written. Every write acknowledged before is
// in the hive, the hive file is the whole one from before the stopped write,
// the registry calls read it so, and the hive takes writes again.
TEST_F(HivePrefix, WriterStoppedMidWriteLeavesTheWholeHiveBeforeIt) {
    struct Case {
        const char* stop;
        int exit_status;  // hive_writer's: 3 died at the point, 4 failed there
    };
    const Case cases[] = {
        {"die-empty", 3},
        {"die-half", 3},
        {"fail-empty", 4},
        {"fail-half", 4},
    };
    constexpr long kAcked = 40;
    RegKey* const hklm = reg_root(RegRoot::LocalMachine);
    std::map<std::string, long> written;
    uint32_t value_count = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stop);
        const std::string tag = c.stop;
        RegKey* key = nullptr;
        ASSERT_EQ(reg_create_key(hklm, kTestKey, &key), kErrSuccess);
        reg_close_key(key);
        // The hive the stopped write started from: the one now plus the
        // acknowledged writes.
        common::RegNode before = load_hive();
        common::RegNode* node = common::reg_find(before, kTestKey);
        ASSERT_NE(node, nullptr);
        for (long i = 0; i < kAcked; ++i) {
            const std::array<uint8_t, 4> data{static_cast<uint8_t>(i), 0, 0, 0};
            ASSERT_EQ(common::reg_tree_set(*node, tag + "_" + std::to_string(i), kRegDword, data),
                      kErrSuccess);
        }
        const std::string whole = common::reg_serialize(before);

        int pipe_fds[2];
        ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
        const pid_t pid = spawn_writer(tag, kAcked, pipe_fds[1], c.stop);
        ::close(pipe_fds[1]);
        ASSERT_GT(pid, 0);
        const long acks = read_acks(pipe_fds[0], kAcked + 1, std::chrono::seconds(30));
        ::close(pipe_fds[0]);
        EXPECT_EQ(wait_exit(pid, std::chrono::seconds(30)), c.exit_status);
        ASSERT_EQ(acks, kAcked);
        written[tag] = acks;
        value_count += static_cast<uint32_t>(acks);

        const std::string text = hive_text();
        EXPECT_TRUE(text == whole) << "the hive file has " << text.size() << " bytes, not the "
                                   << whole.size() << " of the whole hive before the stopped write";
        const std::map<std::string, uint32_t> values = hive_values();
        for (const auto& [done_tag, done] : written) {
            long present = 0;
            while (values.count(done_tag + "_" + std::to_string(present)) != 0) {
                ++present;
            }
            EXPECT_GE(present, done) << done_tag << " lost acknowledged writes";
            long total = 0;
            for (const auto& entry : values) {
                total += entry.first.starts_with(done_tag + "_") ? 1 : 0;
            }
            EXPECT_EQ(total, present) << done_tag << " has a value out of sequence";
        }

        // The registry calls read the same hive.
        EXPECT_EQ(reg_open_key(hklm, kTestKey, &key), kErrSuccess);
        std::array<uint8_t, 4> data{};
        uint32_t type = 0;
        uint32_t size = 0;
        EXPECT_EQ(reg_query_value(key, tag + "_" + std::to_string(kAcked - 1), &type, data, &size),
                  kErrSuccess);
        EXPECT_EQ(data[0], kAcked - 1);
        EXPECT_EQ(reg_query_value(key, tag + "_" + std::to_string(kAcked), &type, data, &size),
                  kErrFileNotFound);
        std::array<char, 32> name{};
        uint32_t name_len = 0;
        EXPECT_EQ(reg_enum_value(key, value_count - 1, name, &name_len, nullptr, {}, nullptr), kErrSuccess);
        EXPECT_EQ(reg_enum_value(key, value_count, name, &name_len, nullptr, {}, nullptr), kErrNoMoreItems);
        reg_close_key(key);
    }
    RegKey* key = nullptr;
    ASSERT_EQ(reg_open_key(hklm, kTestKey, &key), kErrSuccess);
    EXPECT_EQ(reg_set_dword(key, "after", 1), kErrSuccess);
    reg_close_key(key);
    EXPECT_EQ(hive_values().count("after"), 1u);
}

TEST_F(HivePrefix, RegistryHandlesAnswerAsWin32) {
    RegKey* hklm = reg_root(RegRoot::LocalMachine);
    RegKey* key = nullptr;
    EXPECT_EQ(reg_open_key(hklm, "SOFTWARE\\Velmora", &key), kErrFileNotFound);
    EXPECT_EQ(key, nullptr);

    RegKey* provider = nullptr;
    ASSERT_EQ(reg_create_key(hklm, "SOFTWARE\\Velmora\\TSpi_6200\\Provider", &provider), kErrSuccess);
    EXPECT_EQ(reg_set_string(provider, "Port", "COM1"), kErrSuccess);
    EXPECT_EQ(reg_set_dword(provider, "Speed", 9600), kErrSuccess);
    ASSERT_EQ(reg_open_key(hklm, "software/VELMORA", &key), kErrSuccess);

    std::array<uint8_t, 8> data{};
    uint32_t type = 0;
    uint32_t size = 0;
    RegKey* again = nullptr;
    ASSERT_EQ(reg_open_key(key, "tspi_6200\\provider", &again), kErrSuccess);
    EXPECT_EQ(reg_query_value(again, "PORT", &type, data, &size), kErrSuccess);
    EXPECT_EQ(type, kRegSz);
    EXPECT_EQ(size, 5u);
    EXPECT_STREQ(reinterpret_cast<const char*>(data.data()), "COM1");
    reg_close_key(again);
    EXPECT_EQ(reg_create_key(key, "Bad\\\\Level", &again), kErrBadPathname);

    // The two roots are two hives.
    RegKey* user = nullptr;
    EXPECT_EQ(reg_open_key(reg_root(RegRoot::CurrentUser), "SOFTWARE\\Velmora", &user), kErrFileNotFound);

    // A handle whose key is deleted fails from then on.
    EXPECT_EQ(reg_delete_key(key, "TSpi_6200"), kErrAccessDenied);
    EXPECT_EQ(reg_delete_key(key, "TSpi_6200\\Provider"), kErrSuccess);
    EXPECT_EQ(reg_query_value(provider, "Port", &type, data, &size), kErrFileNotFound);
    EXPECT_EQ(reg_set_dword(provider, "Speed", 1), kErrFileNotFound);
    EXPECT_EQ(reg_create_key(provider, "Child", &again), kErrFileNotFound);
    EXPECT_EQ(reg_open_key(hklm, "SOFTWARE\\Velmora\\TSpi_6200\\Provider", &again), kErrFileNotFound);
    reg_close_key(provider);
    reg_close_key(key);
    reg_close_key(hklm);  // a root is never closed
    EXPECT_EQ(reg_create_key(hklm, "SOFTWARE", &key), kErrSuccess);
    reg_close_key(key);
}

TEST_F(HivePrefix, ProfilesLiveInTheWindowsDirectory) {
    EXPECT_EQ(windows_directory(), (prefix_ / "windows").string());
    EXPECT_EQ(system_directory(), (prefix_ / "windows" / "system32").string());
    EXPECT_TRUE(fs::is_directory(prefix_ / "windows" / "system32"));

    EXPECT_TRUE(profile_write_string("zq62cfg.ini", "Config", "Port", "COM2"));
    EXPECT_TRUE(profile_write_string("zq62cfg.ini", "Other", "Key", "gone soon"));
    EXPECT_TRUE(profile_delete_section("zq62cfg.ini", "other"));
    EXPECT_FALSE(profile_write_string("zq62cfg.ini", "Config", "Port", "COM2\r\n[Injected]"));
    std::ifstream in(prefix_ / "windows" / "zq62cfg.ini", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "[Config]\r\nPort=COM2\r\n");

    struct Case {
        const char* key;
        const char* dflt;
        size_t room;
        const char* got;
    };
    const Case cases[] = {
        {"port", "x", 16, "COM2"},
        {"Port", "x", 4, "COM"},  // cut to fit, with its NUL
        {"Port", "x", 1, ""},
        {"Missing", "default  ", 16, "default"},
        {"Missing", "default", 3, "de"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        std::array<char, 16> dest;
        dest.fill('#');
        const uint32_t n =
            profile_read_string("zq62cfg.ini", "CONFIG", c.key, c.dflt, std::span(dest).first(c.room));
        EXPECT_STREQ(dest.data(), c.got);
        EXPECT_EQ(n, std::string_view(c.got).size());
        if (c.room < dest.size()) {
            EXPECT_EQ(dest[c.room], '#');
        }
    }
}

// A prefix that cannot be made is an error for each call, never a crash.
TEST_F(HivePrefix, UnusablePrefixFailsEachCall) {
    const fs::path blocker = prefix_ / "a_file";
    std::ofstream(blocker) << "not a directory";
    ::setenv("ZQ_PREFIX", (blocker / "prefix").c_str(), 1);

    RegKey* key = nullptr;
    EXPECT_NE(reg_create_key(reg_root(RegRoot::LocalMachine), "SOFTWARE", &key), kErrSuccess);
    EXPECT_EQ(key, nullptr);
    EXPECT_NE(reg_set_dword(reg_root(RegRoot::CurrentUser), "x", 1), kErrSuccess);
    EXPECT_FALSE(profile_write_string("zq62cfg.ini", "Config", "Port", "COM1"));
    std::array<char, 8> dest{};
    EXPECT_EQ(profile_read_string("zq62cfg.ini", "Config", "Port", "dflt", dest), 4u);
    SerialPort* port = nullptr;
    EXPECT_EQ(serial_open("COM1", &port), kErrFileNotFound);
    EXPECT_EQ(file_open_write(windows_directory() + "\\spitrace\\trace.txt", true), nullptr);
}

TEST_F(HivePrefix, MissingPrefixIsCreated) {
    const fs::path nested = prefix_ / "new" / "deeper";
    ::setenv("ZQ_PREFIX", nested.c_str(), 1);
    RegKey* key = nullptr;
    ASSERT_EQ(reg_create_key(reg_root(RegRoot::CurrentUser), "SOFTWARE", &key), kErrSuccess);
    reg_close_key(key);
    EXPECT_TRUE(fs::is_regular_file(nested / "registry" / "hkcu.reg"));
    EXPECT_FALSE(fs::exists(nested / "registry" / "hklm.reg"));
}

}  // namespace
}  // namespace zq::plat
