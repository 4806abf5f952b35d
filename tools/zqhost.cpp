// zqhost: loads the provider library as the telephony service would, opens
// its line and shows what happens: TAPI events, the bytes the provider
// writes to its port, and its trace.
//
//   zqhost [--pty] [--port COM1] [--seconds 5] [--library path]
//
// With --pty the host creates a pseudo-terminal and links the prefix's
// dosdevices/comN to it, so the provider runs without a serial adapter.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "zq/platform.h"
#include "zq/platform_posix.h"
#include "zq/tapi.h"
#include "zq/tapi_words.h"

namespace {

namespace fs = std::filesystem;

void CALLBACK OnCompletion(DRV_REQUESTID id, LONG result) {
    std::printf("TAPI: completion of request %u: %08x\n", id, static_cast<unsigned>(result));
}

// TAPI's handle of a call is this base plus the provider's, so the events
// name the calls as the provider numbers them.
constexpr uintptr_t kCallHandleBase = 0x1000;

void CALLBACK OnLineEvent(HTAPILINE, HTAPICALL htCall, DWORD msg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR) {
    if (msg == LINE_NEWCALL && p2 != 0)
        *reinterpret_cast<HTAPICALL*>(p2) = reinterpret_cast<HTAPICALL>(kCallHandleBase + p1);
    const int call =
        htCall != nullptr ? static_cast<int>(reinterpret_cast<uintptr_t>(htCall) - kCallHandleBase) : -1;
    std::printf("TAPI: %s\n", zq::words::LineEvent(call, msg, p1, p2).c_str());
    std::fflush(stdout);
}

bool SetProviderValue(std::string_view subkey, std::string_view name, std::string_view value,
                      bool onlyIfMissing) {
    zq::plat::RegKey* key = nullptr;
    const std::string path = "SOFTWARE\\Velmora\\TSpi_6200\\" + std::string(subkey);
    if (zq::plat::reg_create_key(zq::plat::reg_root(zq::plat::RegRoot::LocalMachine), path, &key) != 0)
        return false;
    bool ok = true;
    uint32_t type = 0, size = 0;
    std::array<uint8_t, 64> buf{};
    if (!onlyIfMissing ||
        zq::plat::reg_query_value(key, name, &type, buf, &size) == zq::plat::kErrFileNotFound)
        ok = zq::plat::reg_set_string(key, name, value) == 0;
    zq::plat::reg_close_key(key);
    return ok;
}

template <typename F>
F Symbol(void* lib, const char* name) {
    return reinterpret_cast<F>(dlsym(lib, name));
}

}  // namespace

int main(int argc, char** argv) {
    bool pty = false;
    std::string port = "COM1";
    int seconds = 5;
    std::string library = ZQ_DEFAULT_LIBRARY;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--pty") {
            pty = true;
        } else if (a == "--port" && i + 1 < argc) {
            port = argv[++i];
        } else if (a == "--seconds" && i + 1 < argc) {
            seconds = std::max(0, std::atoi(argv[++i]));
        } else if (a == "--library" && i + 1 < argc) {
            library = argv[++i];
        } else {
            std::fprintf(stderr, "usage: zqhost [--pty] [--port COM1] [--seconds 5] [--library path]\n");
            return 2;
        }
    }
    const fs::path prefix = zq::plat::prefix_directory();
    std::printf("prefix: %s\n", prefix.c_str());

    int master = -1;
    if (pty) {
        if (port.size() != 4 || port.rfind("COM", 0) != 0) {
            std::fprintf(stderr, "zqhost: --pty needs a port COM1 to COM9\n");
            return 2;
        }
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            std::perror("zqhost: pseudo-terminal");
            return 1;
        }
        const fs::path link = prefix / "dosdevices" / ("com" + port.substr(3));
        std::error_code ec;
        fs::create_directories(link.parent_path(), ec);
        fs::remove(link, ec);
        fs::create_symlink(ptsname(master), link, ec);
        if (ec) {
            std::fprintf(stderr, "zqhost: cannot link %s: %s\n", link.c_str(), ec.message().c_str());
            return 1;
        }
        std::printf("%s -> %s\n", link.c_str(), ptsname(master));
    }
    if (!SetProviderValue("Provider", "Port", port, false) ||
        !SetProviderValue("Provider", "Speed", "9600", true) ||
        !SetProviderValue("Debug_Mode", "DebugOutput", "127", true)) {
        std::fprintf(stderr, "zqhost: cannot write the registry of %s\n", prefix.c_str());
        return 1;
    }

    void* lib = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        std::fprintf(stderr, "zqhost: %s\n", dlerror());
        return 1;
    }
    auto enumDevices = Symbol<decltype(&TSPI_providerEnumDevices)>(lib, "TSPI_providerEnumDevices");
    auto init = Symbol<decltype(&TSPI_providerInit)>(lib, "TSPI_providerInit");
    auto shutdown = Symbol<decltype(&TSPI_providerShutdown)>(lib, "TSPI_providerShutdown");
    auto lineOpen = Symbol<decltype(&TSPI_lineOpen)>(lib, "TSPI_lineOpen");
    auto lineClose = Symbol<decltype(&TSPI_lineClose)>(lib, "TSPI_lineClose");
    if (!enumDevices || !init || !shutdown || !lineOpen || !lineClose) {
        std::fprintf(stderr, "zqhost: %s lacks a TSPI entry point\n", library.c_str());
        return 1;
    }

    DWORD lines = 0, phones = 0, options = 0;
    enumDevices(1, &lines, &phones, nullptr, nullptr, nullptr);
    std::printf("TSPI_providerEnumDevices: %u line(s), %u phone(s)\n", lines, phones);
    init(0x00020000, 1, 0, 0, lines, phones, OnCompletion, &options);
    HDRVLINE hdLine = nullptr;
    const LONG opened = lineOpen(0, reinterpret_cast<HTAPILINE>(1), &hdLine, 0x00020000, OnLineEvent);
    std::printf("TSPI_lineOpen: %08x\n", static_cast<unsigned>(opened));

    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (master < 0) {
            usleep(100000);
            continue;
        }
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0 || (p.revents & POLLIN) == 0)
            continue;
        uint8_t buf[256];
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            continue;
        std::printf("wire <-");
        for (ssize_t i = 0; i < n; ++i)
            std::printf(" %02X", buf[i]);
        std::printf("\n");
    }

    if (opened == 0)
        lineClose(hdLine);
    shutdown(0x00020000, 1);
    dlclose(lib);
    if (master >= 0)
        close(master);

    const fs::path trace = prefix / "windows" / "spitrace" / "tsptrac0.tr";
    std::printf("---- %s\n", trace.c_str());
    std::ifstream in(trace);
    std::cout << in.rdbuf();
    return opened == 0 ? 0 : 1;
}
