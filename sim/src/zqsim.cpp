// zqsim: the adapter, the PBX and the set on a pseudo-terminal, in real
// time. The first line on standard output is the path of the terminal's
// slave side, which the provider opens as its serial port; then every frame
// in words, with the seconds since the start.
//
//   zqsim [--set FILE] [--link COM1] [--version MAJ.MIN] [--caps N]
//         [--no-trace] [--seconds N] [--quiet] [--script FILE|-]
//
// With --script, a person plays the calls: the commands of FILE, or those
// typed on standard input ("-"), act on the set and the PBX as they come;
// "wait MS" holds back the commands after it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "zq/platform_posix.h"
#include "zq/sim.h"

namespace {

namespace fs = std::filesystem;

constexpr int kPollMs = 20;
constexpr int kWriteBoundMs = 1000;

volatile sig_atomic_t g_stop = 0;

void on_signal(int) {
    g_stop = 1;
}

struct Options {
    std::string set_file;
    std::string link;  // "COM1".."COM9" or empty
    int version_major = -1;
    int version_minor = -1;
    int caps = -1;
    bool trace = true;
    long seconds = -1;  // forever
    bool quiet = false;
    std::string script;  // "-": standard input
};

constexpr char kUsage[] =
    "usage: zqsim [--set FILE] [--link COMn] [--version MAJ.MIN] [--caps N] [--no-trace]\n"
    "             [--seconds N] [--quiet] [--script FILE|-]\n";

void usage() {
    std::fputs(kUsage, stderr);
}

void help() {
    std::fputs(kUsage, stdout);
    std::fputs(
        "\n"
        "The adapter, the PBX and the set at the other end of the provider's serial line, on a\n"
        "pseudo-terminal whose path is the first line printed; then every frame in words.\n"
        "\n"
        "  --set FILE         the set description (default: the built-in set)\n"
        "  --link COMn        link the prefix's dosdevices/comn to the pseudo-terminal\n"
        "  --version MAJ.MIN  the adapter version announced (e.g. 3.07)\n"
        "  --caps N           the adapter capabilities: bit 0 super frames, bit 1 piggy-back\n"
        "  --no-trace         trace mode off: no display, icon or key message passed on\n"
        "  --seconds N        stop after N seconds (default: at SIGINT or SIGTERM)\n"
        "  --quiet            print only the pseudo-terminal's path\n"
        "  --script FILE|-    play calls from the commands of FILE, or of standard input\n"
        "\n"
        "man zqsim tells more.\n",
        stdout);
}

// Decimal, or 0x hexadecimal when base is 0.
bool parse_number(const char* text, long min, long max, long* out, int base = 0) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, base);
    if (errno != 0 || end == text || *end != '\0' || value < min || value > max) {
        return false;
    }
    *out = value;
    return true;
}

// "3.07": major 3, minor 7.
bool parse_version(const char* text, Options* options) {
    const char* dot = std::strchr(text, '.');
    if (dot == nullptr) {
        return false;
    }
    const std::string major(text, dot);
    long maj = 0;
    long min = 0;
    if (!parse_number(major.c_str(), 0, 255, &maj, 10) || !parse_number(dot + 1, 0, 255, &min, 10)) {
        return false;
    }
    options->version_major = static_cast<int>(maj);
    options->version_minor = static_cast<int>(min);
    return true;
}

bool valid_com(std::string_view name) {
    return name.size() == 4 && (name.substr(0, 3) == "COM" || name.substr(0, 3) == "com") && name[3] >= '1' &&
           name[3] <= '9';
}

bool parse_options(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        long n = 0;
        if (arg == "--no-trace") {
            options->trace = false;
        } else if (arg == "--quiet") {
            options->quiet = true;
        } else if (value == nullptr) {
            return false;
        } else if (arg == "--set") {
            options->set_file = value;
            ++i;
        } else if (arg == "--script") {
            options->script = value;
            ++i;
        } else if (arg == "--link" && valid_com(value)) {
            options->link = value;
            ++i;
        } else if (arg == "--version" && parse_version(value, options)) {
            ++i;
        } else if (arg == "--caps" && parse_number(value, 0, 255, &n)) {
            options->caps = static_cast<int>(n);
            ++i;
        } else if (arg == "--seconds" && parse_number(value, 0, 1000000, &n)) {
            options->seconds = n;
            ++i;
        } else {
            return false;
        }
    }
    return true;
}

uint32_t now_ms() {
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// The master side of a new pseudo-terminal in raw mode, and the slave's path.
int open_pty(std::string* slave) {
    const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    std::array<char, 128> name{};
    termios tio{};
    if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || ::ptsname_r(fd, name.data(), name.size()) != 0 ||
        ::tcgetattr(fd, &tio) != 0) {
        ::close(fd);
        return -1;
    }
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    *slave = name.data();
    return fd;
}

// <prefix>/dosdevices/comN -> slave; replaces only a symbolic link.
bool make_link(const std::string& com, const std::string& slave, fs::path* link) {
    std::string lower = com;
    for (char& c : lower) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    const fs::path dir = fs::path(zq::plat::prefix_directory()) / "dosdevices";
    *link = dir / lower;
    std::error_code error;
    fs::create_directories(dir, error);
    if (fs::exists(fs::symlink_status(*link, error))) {
        if (!fs::is_symlink(fs::symlink_status(*link, error))) {
            std::fprintf(stderr, "zqsim: %s exists and is not a symbolic link\n", link->c_str());
            return false;
        }
        fs::remove(*link, error);
    }
    fs::create_symlink(slave, *link, error);
    if (error) {
        std::fprintf(stderr, "zqsim: cannot link %s: %s\n", link->c_str(), error.message().c_str());
        return false;
    }
    return true;
}

void remove_link(const fs::path& link, const std::string& slave) {
    std::error_code error;
    if (!link.empty() && fs::is_symlink(fs::symlink_status(link, error)) &&
        fs::read_symlink(link, error) == slave) {
        fs::remove(link, error);
    }
}

// Everything, within a bound: the provider may not read for a while.
void write_all(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    const uint32_t start = now_ms();
    while (done < bytes.size() && now_ms() - start < kWriteBoundMs && g_stop == 0) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd pfd{fd, POLLOUT, 0};
            ::poll(&pfd, 1, kPollMs);
        } else {
            break;  // no slave open: the bytes are lost, as on an unplugged line
        }
    }
}

void print_log(zq::sim::Sim* sim, uint32_t start, bool quiet) {
    for (const zq::sim::LogEntry& entry : zq::sim::sim_take_log(sim)) {
        if (!quiet) {
            const uint32_t ms = entry.ms - start;
            std::printf("[%6u.%03u] %s\n", ms / 1000, ms % 1000, entry.text.c_str());
        }
    }
    std::fflush(stdout);
}

// Commands from a script or standard input, run as their time comes.
struct Commands {
    std::string name;                               // for error messages
    std::deque<std::pair<int, std::string>> lines;  // line number, text
    int read = 0;
    bool from_stdin = false;
    bool stdin_open = false;
    std::string partial;
    uint32_t next_ms = 0;
};

bool load_script(const std::string& path, Commands* commands) {
    commands->name = path == "-" ? "stdin" : path;
    if (path == "-") {
        commands->from_stdin = true;
        commands->stdin_open = true;
        return true;
    }
    std::ifstream file(path);
    if (!file) {
        std::fprintf(stderr, "zqsim: cannot read %s\n", path.c_str());
        return false;
    }
    std::string line;
    while (std::getline(file, line)) {
        commands->lines.emplace_back(++commands->read, line);
    }
    return true;
}

// What standard input holds now, without waiting (it stays a blocking
// descriptor: the terminal is the shell's too).
void read_stdin(Commands* commands) {
    pollfd pfd{0, POLLIN, 0};
    if (::poll(&pfd, 1, 0) <= 0 || (pfd.revents & (POLLIN | POLLHUP)) == 0) {
        return;
    }
    std::array<char, 512> chunk{};
    const ssize_t n = ::read(0, chunk.data(), chunk.size());
    if (n <= 0) {
        if (n == 0 || errno != EINTR) {
            commands->stdin_open = false;  // the end of the commands, not of zqsim
        }
        return;
    }
    commands->partial.append(chunk.data(), static_cast<size_t>(n));
    size_t end = 0;
    while ((end = commands->partial.find('\n')) != std::string::npos) {
        commands->lines.emplace_back(++commands->read, commands->partial.substr(0, end));
        commands->partial.erase(0, end + 1);
    }
}

void run_commands(zq::sim::Sim* sim, Commands* commands, uint32_t now) {
    while (!commands->lines.empty() && static_cast<int32_t>(now - commands->next_ms) >= 0) {
        const auto [number, line] = commands->lines.front();
        commands->lines.pop_front();
        uint32_t wait = 0;
        std::string error;
        if (!zq::sim::sim_run_command(sim, line, &wait, &error)) {
            std::fprintf(stderr, "zqsim: %s:%d: %s\n", commands->name.c_str(), number, error.c_str());
        }
        commands->next_ms = now + wait;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        help();
        return 0;
    }
    if (!parse_options(argc, argv, &options)) {
        usage();
        return 2;
    }
    zq::sim::SetDescription set = zq::sim::default_set();
    if (!options.set_file.empty()) {
        zq::sim::ParseError error;
        if (!zq::sim::load_set_description(options.set_file, &set, &error)) {
            std::fprintf(stderr, "zqsim: %s:%d: %s\n", options.set_file.c_str(), error.line,
                         error.message.c_str());
            return 1;
        }
    }

    Commands commands;
    if (!options.script.empty() && !load_script(options.script, &commands)) {
        return 1;
    }

    std::string slave;
    const int master = open_pty(&slave);
    if (master < 0) {
        std::fprintf(stderr, "zqsim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    fs::path link;
    if (!options.link.empty() && !make_link(options.link, slave, &link)) {
        ::close(master);
        return 1;
    }

    struct sigaction action {};
    action.sa_handler = on_signal;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    std::printf("%s\n", slave.c_str());
    std::fflush(stdout);

    zq::sim::Sim* sim = zq::sim::sim_create(set);
    zq::sim::AdapterConfig& config = zq::sim::sim_adapter(sim);
    if (options.version_major >= 0) {
        config.version_major = static_cast<uint8_t>(options.version_major);
        config.version_minor = static_cast<uint8_t>(options.version_minor);
    }
    if (options.caps >= 0) {
        config.capabilities = static_cast<uint8_t>(options.caps);
    }
    config.trace_mode = options.trace;

    const uint32_t start = now_ms();
    commands.next_ms = start;
    std::array<uint8_t, 1024> buffer{};
    while (g_stop == 0) {
        if (options.seconds >= 0 && now_ms() - start >= static_cast<uint32_t>(options.seconds) * 1000u) {
            break;
        }
        pollfd pfd{master, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, kPollMs);
        if (ready > 0 && (pfd.revents & POLLIN) != 0) {
            const ssize_t n = ::read(master, buffer.data(), buffer.size());
            if (n > 0) {
                zq::sim::sim_receive(sim, {buffer.data(), static_cast<size_t>(n)}, now_ms());
            }
        } else if (ready > 0) {
            // No slave open (POLLHUP): nothing to read; wait as a poll would.
            ::poll(nullptr, 0, kPollMs);
        }
        zq::sim::sim_tick(sim, now_ms());
        if (commands.stdin_open) {
            read_stdin(&commands);
        }
        run_commands(sim, &commands, now_ms());
        const std::vector<uint8_t> out = zq::sim::sim_take_output(sim);
        if (!out.empty()) {
            write_all(master, out);
        }
        print_log(sim, start, options.quiet);
    }

    print_log(sim, start, options.quiet);
    zq::sim::sim_destroy(sim);
    remove_link(link, slave);
    ::close(master);
    return 0;
}
