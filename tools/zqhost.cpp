// zqhost: loads the provider library as the telephony service would, opens
// its line and shows what happens: TAPI events (with the parties of a call
// read back through TSPI_lineGetCallInfo), the bytes the provider writes to
// its port, and its trace. It can also play TAPI's part in calls (the steps
// of tapi_side.h; tsphost takes the same ones under Wine):
//
//   zqhost [--pty] [--port COM1] [--seconds 5] [--library path]
//          [--words] [--call NUMBER] [--answer] [--drop] [--wait STATE|MS] ...
//
// With --pty the host creates a pseudo-terminal and links the prefix's
// dosdevices/comN to it, so the provider runs without a serial adapter.
// Without steps the line stays open --seconds; with steps the host ends
// after the last one, and --seconds bounds them all. Exit code 0 when the
// line opened and every step succeeded.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "tapi_side.h"
#include "zq/platform.h"
#include "zq/platform_posix.h"
#include "zq/tapi.h"
#include "zq/tapi_words.h"

namespace {

namespace fs = std::filesystem;

void CALLBACK OnCompletion(DRV_REQUESTID id, LONG result) {
    const std::string words = zq::host::Replied(id, result);
    if (zq::host::g_tapi.words) {
        zq::host::Say("tapi: %s", words.c_str());
    } else {
        std::printf("TAPI: %s\n", words.c_str());
        std::fflush(stdout);
    }
}

decltype(&TSPI_lineGetCallInfo) g_getCallInfo = nullptr;

// A UTF-16 string of the provider as UTF-8 for the terminal.
std::string Utf8(std::u16string_view wide) {
    std::string text;
    for (size_t i = 0; i < wide.size(); ++i) {
        uint32_t c = wide[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00u);
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else if (c < 0x800) {
            text += static_cast<char>(0xC0 | (c >> 6));
            text += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            text += static_cast<char>(0xE0 | (c >> 12));
            text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            text += static_cast<char>(0xF0 | (c >> 18));
            text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return text;
}

// The LINECALLINFO that TSPI_lineGetCallInfo filled, as bytes.
struct CallInfo {
    std::vector<uint8_t> bytes;
    LINECALLINFO fixed{};

    // A string the provider wrote, empty when it wrote none or it lies
    // outside what it says it used.
    std::string Text(DWORD size, DWORD offset) const {
        const size_t used = std::min<size_t>(fixed.dwUsedSize, bytes.size());
        if (size < 2 || offset > used || size > used - offset)
            return "";
        std::u16string wide(size / 2, u'\0');
        std::memcpy(wide.data(), bytes.data() + offset, wide.size() * 2);
        return Utf8(std::u16string_view(wide.c_str()));
    }
    // "Name number", or whichever of the two is known.
    std::string Party(DWORD nameSize, DWORD nameOffset, DWORD size, DWORD offset) const {
        const std::string name = Text(nameSize, nameOffset);
        const std::string number = Text(size, offset);
        return name.empty() || number.empty() ? name + number : name + " " + number;
    }
    std::string Caller() const {
        return Party(fixed.dwCallerIDNameSize, fixed.dwCallerIDNameOffset, fixed.dwCallerIDSize,
                     fixed.dwCallerIDOffset);
    }
    std::string Called() const {
        return Party(fixed.dwCalledIDNameSize, fixed.dwCalledIDNameOffset, fixed.dwCalledIDSize,
                     fixed.dwCalledIDOffset);
    }
    std::string Connected() const {
        return Party(fixed.dwConnectedIDNameSize, fixed.dwConnectedIDNameOffset, fixed.dwConnectedIDSize,
                     fixed.dwConnectedIDOffset);
    }
    std::string Redirecting() const {
        return Party(fixed.dwRedirectingIDNameSize, fixed.dwRedirectingIDNameOffset,
                     fixed.dwRedirectingIDSize, fixed.dwRedirectingIDOffset);
    }
    std::string Redirection() const {
        return Party(fixed.dwRedirectionIDNameSize, fixed.dwRedirectionIDNameOffset,
                     fixed.dwRedirectionIDSize, fixed.dwRedirectionIDOffset);
    }
};

// TAPI 2.0's LINECALLINFO; the strings follow it.
constexpr uint32_t kCallInfoFixedSize = 324;

// Asks the provider as an application's lineGetCallInfo would, once more
// with the size it says it needs.
std::optional<CallInfo> ReadCallInfo(int call) {
    if (g_getCallInfo == nullptr || call < 0)
        return std::nullopt;
    uint32_t total = 1024;
    for (int attempt = 0; attempt < 2; ++attempt) {
        CallInfo info;
        info.bytes.assign(total, 0);
        std::memcpy(info.bytes.data(), &total, sizeof total);
        const LONG result = g_getCallInfo(reinterpret_cast<HDRVCALL>(static_cast<uintptr_t>(call)),
                                          reinterpret_cast<LPLINECALLINFO>(info.bytes.data()));
        if (result != 0)
            return std::nullopt;
        std::memcpy(&info.fixed, info.bytes.data(), kCallInfoFixedSize);
        if (info.fixed.dwNeededSize <= total)
            return info;
        total = info.fixed.dwNeededSize;
    }
    return std::nullopt;
}

const char* OriginWord(uint32_t origin) {
    switch (origin) {
        case LINECALLORIGIN_OUTBOUND:
            return "outgoing";
        case LINECALLORIGIN_INTERNAL:
            return "internal";
        case LINECALLORIGIN_EXTERNAL:
            return "external";
        case LINECALLORIGIN_CONFERENCE:
            return "conference";
        case LINECALLORIGIN_INBOUND:
            return "incoming";
        default:
            return "unknown";
    }
}

const char* ReasonWord(uint32_t reason) {
    switch (reason) {
        case LINECALLREASON_DIRECT:
            return "direct";
        case LINECALLREASON_FWDBUSY:
            return "forwarded on busy";
        case LINECALLREASON_FWDNOANSWER:
            return "forwarded on no answer";
        case LINECALLREASON_FWDUNCOND:
            return "forwarded";
        case LINECALLREASON_PICKUP:
            return "picked up";
        default:
            return "unknown";
    }
}

// What the application would show beside the event: who is calling or
// connected, or the parties and details that a LINE_CALLINFO says changed.
std::string PartyWords(int call, DWORD msg, DWORD_PTR p1) {
    const bool offering = msg == LINE_CALLSTATE && p1 == LINECALLSTATE_OFFERING;
    const bool connected = msg == LINE_CALLSTATE && p1 == LINECALLSTATE_CONNECTED;
    if (!offering && !connected && msg != LINE_CALLINFO)
        return "";
    const std::optional<CallInfo> info = ReadCallInfo(call);
    if (!info)
        return "";
    const bool outgoing = info->fixed.dwOrigin == LINECALLORIGIN_OUTBOUND;
    if (offering || connected) {
        std::string party = connected ? info->Connected() : "";
        if (party.empty())
            party = outgoing ? info->Called() : info->Caller();
        return party.empty() ? "" : (outgoing ? " to " : " from ") + party;
    }
    std::string text;
    const auto add = [&text](const std::string& words) { text += (text.empty() ? ": " : ", ") + words; };
    const auto flags = static_cast<uint32_t>(p1);
    if ((flags & LINECALLINFOSTATE_CALLERID) != 0)
        add("caller " + info->Caller());
    if ((flags & LINECALLINFOSTATE_CALLEDID) != 0)
        add("called " + info->Called());
    if ((flags & LINECALLINFOSTATE_CONNECTEDID) != 0)
        add("connected " + info->Connected());
    if ((flags & LINECALLINFOSTATE_REDIRECTINGID) != 0)
        add("redirected by " + info->Redirecting());
    if ((flags & LINECALLINFOSTATE_REDIRECTIONID) != 0)
        add("redirected to " + info->Redirection());
    if ((flags & LINECALLINFOSTATE_REASON) != 0)
        add(std::string("reason ") + ReasonWord(info->fixed.dwReason));
    if ((flags & LINECALLINFOSTATE_ORIGIN) != 0)
        add(std::string("origin ") + OriginWord(info->fixed.dwOrigin));
    return text;
}

// The call information is read at once, from the event procedure, while
// the call is as the event left it (the provider's line mutex lets its own
// thread in again).
void CALLBACK OnLineEvent(HTAPILINE, HTAPICALL htCall, DWORD msg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR) {
    int call = -1;
    const std::string words = zq::host::Heard(htCall, msg, p1, p2, &call);
    if (zq::host::g_tapi.words) {
        zq::host::Say("tapi: %s", words.c_str());
        return;
    }
    std::printf("TAPI: %s%s\n", words.c_str(), PartyWords(call, msg, p1).c_str());
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

// The bytes the provider wrote to the pseudo-terminal so far, in hex.
void ShowWire(int master, int timeoutMs) {
    pollfd p{master, POLLIN, 0};
    if (master < 0 || poll(&p, 1, timeoutMs) <= 0 || (p.revents & POLLIN) == 0)
        return;
    uint8_t buf[256];
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0)
        return;
    std::printf("wire <-");
    for (ssize_t i = 0; i < n; ++i)
        std::printf(" %02X", buf[i]);
    std::printf("\n");
    std::fflush(stdout);
}

int Usage() {
    std::fprintf(stderr,
                 "usage: zqhost [--pty] [--port COM1] [--seconds 5] [--library path]\n              %s\n",
                 zq::host::kStepUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    bool pty = false;
    std::string port = "COM1";
    int seconds = 5;
    std::string library = ZQ_DEFAULT_LIBRARY;
    std::vector<zq::host::Step> steps;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (const zq::host::Took took = zq::host::TakeStep(argc, argv, i, steps);
            took != zq::host::Took::No) {
            if (took == zq::host::Took::Yes)
                continue;
            return Usage();
        }
        if (a == "--pty") {
            pty = true;
        } else if (a == "--words") {
            zq::host::g_tapi.words = true;
        } else if (a == "--port" && i + 1 < argc) {
            port = argv[++i];
        } else if (a == "--seconds" && i + 1 < argc) {
            seconds = std::clamp(std::atoi(argv[++i]), 0, 3600);
        } else if (a == "--library" && i + 1 < argc) {
            library = argv[++i];
        } else {
            return Usage();
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
    g_getCallInfo = Symbol<decltype(&TSPI_lineGetCallInfo)>(lib, "TSPI_lineGetCallInfo");
    if (!enumDevices || !init || !shutdown || !lineOpen || !lineClose || !g_getCallInfo) {
        std::fprintf(stderr, "zqhost: %s lacks a TSPI entry point\n", library.c_str());
        return 1;
    }
    zq::host::Requests requests;
    requests.makeCall = Symbol<decltype(requests.makeCall)>(lib, "TSPI_lineMakeCall");
    requests.answer = Symbol<decltype(requests.answer)>(lib, "TSPI_lineAnswer");
    requests.drop = Symbol<decltype(requests.drop)>(lib, "TSPI_lineDrop");
    requests.closeCall = Symbol<decltype(requests.closeCall)>(lib, "TSPI_lineCloseCall");

    DWORD lines = 0, phones = 0, options = 0;
    enumDevices(1, &lines, &phones, nullptr, nullptr, nullptr);
    std::printf("TSPI_providerEnumDevices: %u line(s), %u phone(s)\n", lines, phones);
    init(0x00020000, 1, 0, 0, lines, phones, OnCompletion, &options);
    HDRVLINE hdLine = nullptr;
    const LONG opened = lineOpen(0, reinterpret_cast<HTAPILINE>(1), &hdLine, 0x00020000, OnLineEvent);
    std::printf("TSPI_lineOpen: %08x\n", static_cast<unsigned>(opened));

    const auto end = zq::host::Clock::now() + std::chrono::seconds(seconds);
    const std::function<void()> pump = [master] { ShowWire(master, 0); };
    bool stepsOk = true;
    if (opened == 0 && !steps.empty()) {
        stepsOk = zq::host::RunSteps(steps, requests, hdLine, end, pump);
        // A call that went idle at the last step is closed before the line.
        zq::host::CloseIdleCalls(requests);
        stepsOk = zq::host::RequestsAnswered() && stepsOk;
        zq::host::Say("steps: %s", stepsOk ? "done" : "failed");
    } else {
        while (zq::host::Clock::now() < end) {
            zq::host::CloseIdleCalls(requests);
            ShowWire(master, 100);
            if (master < 0)
                usleep(100000);
        }
    }

    if (opened == 0)
        lineClose(hdLine);
    shutdown(0x00020000, 1);
    g_getCallInfo = nullptr;
    dlclose(lib);
    if (master >= 0)
        close(master);

    const fs::path trace = prefix / "windows" / "spitrace" / "tsptrac0.tr";
    std::printf("---- %s\n", trace.c_str());
    std::ifstream in(trace);
    std::cout << in.rdbuf();
    return opened == 0 && stepsOk ? 0 : 1;
}
