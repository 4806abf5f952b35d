// The simulator at the adapter's end of a pseudo-terminal whose slave side
// is a COM port of the prefix, on a thread of its own, in real time: the
// shipped library (or the provider on the POSIX backend) talks to it as to
// a real adapter.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "zq/sim.h"

namespace zq::test {

class SimOnPty {
public:
    using Clock = std::chrono::steady_clock;
    // Called on the simulator's thread after each round, outside the lock,
    // with that round's log and the time its output was written.
    using Written = std::function<void(const std::vector<sim::LogEntry>& log, Clock::time_point when)>;

    // Changes the bytes of one direction on the line (faults), on the
    // simulator's thread: toAdapter for what the provider wrote.
    using Mangle = std::function<void(std::vector<uint8_t>& bytes, bool toAdapter)>;

    explicit SimOnPty(const sim::SetDescription& set = sim::default_set(), Written written = {})
        : sim_(sim::sim_create(set)), written_(std::move(written)) {}
    ~SimOnPty() {
        Stop();
        if (master_ >= 0)
            ::close(master_);
        sim::sim_destroy(sim_);
    }
    SimOnPty(const SimOnPty&) = delete;
    SimOnPty& operator=(const SimOnPty&) = delete;

    // Before Open.
    void SetMangle(Mangle mangle) { mangle_ = std::move(mangle); }

    // Makes the pseudo-terminal, links its slave side as `link` and starts.
    bool Open(const std::filesystem::path& link) {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        std::array<char, 128> slave{};
        termios tio{};
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
            ::ptsname_r(master_, slave.data(), slave.size()) != 0 || ::tcgetattr(master_, &tio) != 0)
            return false;
        ::cfmakeraw(&tio);
        ::tcsetattr(master_, TCSANOW, &tio);
        std::error_code error;
        std::filesystem::create_symlink(slave.data(), link, error);
        thread_ = std::thread([this] { Run(); });
        return !error;
    }

    void Stop() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }

    // The times an incoming call reaches the wire: the ringing icon of key 1,
    // then the last segment of the PBX's event after it (the caller's
    // details, which the offer waits for).
    struct IncomingTimes {
        std::optional<Clock::time_point> icon;
        std::optional<Clock::time_point> details;
    };
    // Watches for the next incoming call from now on.
    void ArmIncomingCall() {
        const std::lock_guard lock(timesLock_);
        incoming_ = {};
        watching_ = Watch::Icon;
    }
    IncomingTimes IncomingCallWritten() {
        const std::lock_guard lock(timesLock_);
        return incoming_;
    }

    // Runs f(sim) under the simulator's lock: commands, faults, state.
    template <typename F>
    auto With(F f) {
        const std::lock_guard lock(lock_);
        return f(sim_);
    }

private:
    void Run() {
        const Clock::time_point start = Clock::now();
        std::array<uint8_t, 1024> in{};
        while (!stop_) {
            pollfd pfd{master_, POLLIN, 0};
            const int ready = ::poll(&pfd, 1, 5);
            // POLLHUP: nobody holds the port; what is sent is lost.
            const bool portOpen = ready <= 0 || (pfd.revents & POLLHUP) == 0;
            const ssize_t got =
                ready > 0 && (pfd.revents & POLLIN) != 0 ? ::read(master_, in.data(), in.size()) : 0;
            if (!portOpen && got <= 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::vector<uint8_t> out;
            std::vector<sim::LogEntry> log;
            {
                const std::lock_guard lock(lock_);
                const auto now = static_cast<uint32_t>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
                if (got > 0 && mangle_) {
                    std::vector<uint8_t> bytes(in.begin(), in.begin() + got);
                    mangle_(bytes, true);
                    sim::sim_receive(sim_, bytes, now);
                } else if (got > 0) {
                    sim::sim_receive(sim_, {in.data(), static_cast<size_t>(got)}, now);
                }
                sim::sim_tick(sim_, now);
                out = sim::sim_take_output(sim_);
                log = sim::sim_take_log(sim_);
            }
            if (mangle_ && !out.empty())
                mangle_(out, false);
            // Noted just before the write: the provider may act on the
            // bytes before this thread runs again.
            const Clock::time_point when = Clock::now();
            if (!log.empty())
                NoteIncoming(log, when);
            for (size_t done = 0, tries = 0; portOpen && done < out.size() && tries < 100; ++tries) {
                const ssize_t n = ::write(master_, out.data() + done, out.size() - done);
                done += n > 0 ? static_cast<size_t>(n) : 0;
                if (n <= 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            if (!log.empty() && written_)
                written_(log, when);
        }
    }

    void NoteIncoming(const std::vector<sim::LogEntry>& log, Clock::time_point when) {
        const std::lock_guard lock(timesLock_);
        for (const sim::LogEntry& e : log) {
            if (watching_ == Watch::Icon &&
                e.text == "adapter -> provider: trace PBX -> set: icon key 1 0x2800") {
                incoming_.icon = when;
                watching_ = Watch::Details;
            } else if (watching_ == Watch::Details &&
                       e.text.find("(sent in segments)") != std::string::npos) {
                incoming_.details = when;
                watching_ = Watch::None;
            }
        }
    }

    enum class Watch { None, Icon, Details };
    std::mutex timesLock_;
    Watch watching_ = Watch::None;
    IncomingTimes incoming_;

    sim::Sim* sim_;
    Written written_;
    Mangle mangle_;
    int master_ = -1;
    std::mutex lock_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace zq::test
