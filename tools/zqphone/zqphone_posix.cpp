// zqphone's waiting on POSIX: poll() on the eventfd of libzqtapi.so, on
// standard input and on a pipe that the signal handler writes to (the
// provider's worker thread may be the one a signal lands on, so poll would
// not always see EINTR).
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>

#include "zq/zqtapi.h"
#include "zqphone.h"

namespace zq::phone {

namespace {

std::array<int, 2> g_signalPipe{-1, -1};
std::string g_input;
bool g_inputEnded = false;
// A line longer than this is no command; it is dropped.
constexpr size_t kMaxInputLine = 1024;

extern "C" void OnSignal(int) {
    const int saved = errno;
    const char byte = 1;
    // A full pipe already holds enough interruptions.
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

int TakeInterrupts() {
    int count = 0;
    std::array<char, 16> bytes{};
    for (ssize_t n; (n = ::read(g_signalPipe[0], bytes.data(), bytes.size())) > 0;)
        count += static_cast<int>(n);
    return count;
}

void ReadInput() {
    std::array<char, 512> bytes{};
    const ssize_t n = ::read(STDIN_FILENO, bytes.data(), bytes.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        g_inputEnded = true;
        return;
    }
    g_input.append(bytes.data(), static_cast<size_t>(n));
    if (g_input.size() > kMaxInputLine && g_input.find('\n') == std::string::npos)
        g_input.clear();
}

}  // namespace

bool SystemStart() {
    if (::pipe2(g_signalPipe.data(), O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    // A reader of the output that goes away ends the writes, not zqphone.
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0 &&
           ::sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

Woke SystemWait(HLINEAPP app, HANDLE, bool input, int timeoutMs) {
    std::array<pollfd, 3> fds{};
    fds[0] = {g_signalPipe[0], POLLIN, 0};
    fds[1] = {zqtapiEventFd(app), POLLIN, 0};
    fds[2] = {input && !g_inputEnded ? STDIN_FILENO : -1, POLLIN, 0};
    Woke woke;
    if (::poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR)
        std::perror("zqphone: poll");
    if ((fds[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        ReadInput();
        woke.input = true;
    }
    woke.interrupts = TakeInterrupts();
    return woke;
}

std::optional<std::string> InputLine() {
    const size_t end = g_input.find('\n');
    if (end == std::string::npos) {
        if (!g_inputEnded || g_input.empty())
            return std::nullopt;
        std::string last = std::move(g_input);
        g_input.clear();
        return last;
    }
    std::string line = g_input.substr(0, end);
    g_input.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

bool InputEnded() {
    return g_inputEnded && g_input.empty();
}

std::string ClockText() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min, local.tm_sec,
                  now.tv_nsec / 1000000);
    return text.data();
}

}  // namespace zq::phone
