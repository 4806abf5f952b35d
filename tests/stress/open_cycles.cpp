// Opens and closes the line of the shipped provider library many times in
// one process, on a pseudo-terminal, and prints the open file descriptors,
// threads and resident memory before and after: a leak of any of them in
// the open/close path shows as a difference.
//
//   zq_open_cycles LIBRARY [CYCLES]
//
// Exits 1 when the descriptors or threads at the end differ from the start.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "provider_library.h"
#include "zq/tapi.h"

namespace {

namespace fs = std::filesystem;

void CALLBACK OnCompletion(DRV_REQUESTID, LONG) {}
void CALLBACK OnLineEvent(HTAPILINE, HTAPICALL, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

size_t Entries(const char* dir) {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir))
        ++n;
    return n;
}

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

struct Usage {
    size_t fds, threads;
    long rssKiB;
};

Usage Now() {
    return {Entries("/proc/self/fd"), Entries("/proc/self/task"), ResidentKiB()};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: zq_open_cycles LIBRARY [CYCLES]\n");
        return 2;
    }
    const int cycles = argc > 2 ? std::atoi(argv[2]) : 1000;
    char tmpl[] = "/tmp/zqcycles-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        return 2;
    const fs::path prefix = tmpl;
    setenv("ZQ_PREFIX", prefix.c_str(), 1);
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return 2;
    fs::create_directories(prefix / "dosdevices");
    fs::create_symlink(ptsname(master), prefix / "dosdevices" / "com1");
    fs::create_directories(prefix / "registry");
    std::ofstream(prefix / "registry" / "hklm.reg")
        << "ZQREG 1\n[SOFTWARE\\\\Velmora\\\\TSpi_6200\\\\Provider]\n\"Port\"=sz:\"COM1\"\n";

    zq::test::ProviderLibrary x;
    std::string error;
    if (!x.Load(argv[1], &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    DWORD options = 0;
    x.init(0x20000, 1, 0, 0, 1, 1, OnCompletion, &options);
    // The first open creates what lives as long as the library (the line
    // mutex); the cycles are counted from after it.
    HDRVLINE hdLine = nullptr;
    x.lineOpen(0, reinterpret_cast<HTAPILINE>(1), &hdLine, 0x20000, OnLineEvent);
    x.lineClose(hdLine);
    const Usage start = Now();
    int failed = 0;
    const auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < cycles; ++i) {
        if (x.lineOpen(0, reinterpret_cast<HTAPILINE>(1), &hdLine, 0x20000, OnLineEvent) != 0)
            ++failed;
        // Let the worker run a tick or two, as a real open would.
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
        x.lineClose(hdLine);
        char drain[4096];
        while (read(master, drain, sizeof drain) > 0) {
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const Usage end = Now();
    x.shutdown(0x20000, 1);
    x.Unload();
    std::printf("cycles %d (failed opens %d) in %.1f s\n", cycles, failed, seconds);
    std::printf("open file descriptors: %zu at the start, %zu at the end\n", start.fds, end.fds);
    std::printf("threads:               %zu at the start, %zu at the end\n", start.threads, end.threads);
    std::printf("resident memory:       %ld KiB at the start, %ld KiB at the end\n", start.rssKiB,
                end.rssKiB);
    close(master);
    std::error_code ec;
    fs::remove_all(prefix, ec);
    return (start.fds == end.fds && start.threads == end.threads && failed == 0) ? 0 : 1;
}
