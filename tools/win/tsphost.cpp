// A minimal TSPI host for running the provider without the Telephony
// service (under Wine, whose own telephony is a stub): it writes the
// provider's port settings, loads the .tsp, enumerates, initialises, opens
// the line, keeps it open for a while, closes and shuts down, printing every
// result, event and completion. It can also play TAPI's part in calls, with
// the steps zqhost takes on Linux (tapi_side.h):
//
//   tsphost [--seconds N] [--port COM1] [--speed 9600] [--debug 127] [provider.tsp]
//           [--words] [--call NUMBER] [--answer] [--drop] [--wait STATE|MS] ...
//
// Without steps the line stays open --seconds; with steps the host ends
// after the last one, and --seconds bounds them all. Exit code 0 only when
// the line opened and every step succeeded.
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "host_common.h"

namespace {

using zq::host::Say;

struct Options {
    zq::host::HostOptions host{.seconds = 3, .port = "COM1", .speed = "9600"};
    const char* debugMask = "127";
    std::vector<zq::host::Step> steps;
};

unsigned long long Wide(DWORD_PTR v) {
    return static_cast<unsigned long long>(v);
}

void CALLBACK OnCompletion(DRV_REQUESTID requestId, LONG result) {
    const std::string words = zq::host::Replied(requestId, result);
    if (zq::host::g_tapi.words)
        Say("tapi: %s", words.c_str());
    else
        Say("completion: request %lu result 0x%lx", static_cast<unsigned long>(requestId),
            static_cast<unsigned long>(result));
}

// Printed before TAPI takes the event in: a new call's slot then still
// holds what the provider put there.
void CALLBACK OnLineEvent(HTAPILINE htLine, HTAPICALL htCall, DWORD msg, DWORD_PTR p1, DWORD_PTR p2,
                          DWORD_PTR p3) {
    if (!zq::host::g_tapi.words)
        Say("line event: htLine %p htCall %p msg %lu params 0x%llx 0x%llx 0x%llx",
            static_cast<const void*>(htLine), static_cast<const void*>(htCall),
            static_cast<unsigned long>(msg), Wide(p1), Wide(p2), Wide(p3));
    int call = -1;
    const std::string words = zq::host::Heard(htCall, msg, p1, p2, &call);
    if (zq::host::g_tapi.words)
        Say("tapi: %s", words.c_str());
}

// A result as TSPI returns it, in hexadecimal.
std::string Hex(LONG result) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(result));
    return text;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        zq::host::Took took = zq::host::TakeHostOption(argc, argv, i, options.host);
        if (took == zq::host::Took::No)
            took = zq::host::TakeStep(argc, argv, i, options.steps);
        if (took == zq::host::Took::Bad)
            return false;
        if (took == zq::host::Took::Yes)
            continue;
        const std::string_view arg = argv[i];
        if (arg == "--debug" && i + 1 < argc) {
            options.debugMask = argv[++i];
        } else if (arg == "--words") {
            zq::host::g_tapi.words = true;
        } else {
            return false;
        }
    }
    return true;
}

// The steps within `seconds`, or the line kept open that long; idle calls
// are closed meanwhile. False when a step failed.
bool RunLine(const zq::host::Provider& p, HDRVLINE hdLine, const Options& options) {
    const zq::host::Clock::time_point end =
        zq::host::Clock::now() + std::chrono::seconds(options.host.seconds);
    if (options.steps.empty()) {
        zq::host::WaitUntil([] { return false; }, p.requests, end, nullptr);
        return true;
    }
    if (p.requests.closeCall == nullptr)
        Say("TSPI_lineCloseCall is not exported: idle calls stay open");
    bool ok = zq::host::RunSteps(options.steps, p.requests, hdLine, end, nullptr);
    // A call that went idle at the last step is closed before the line.
    zq::host::CloseIdleCalls(p.requests);
    ok = zq::host::RequestsAnswered() && ok;
    Say("steps: %s", ok ? "done" : "failed");
    return ok;
}

// Runs the provider through its life; returns lineOpen's result (or
// providerInit's when that failed), and in *stepsOk whether the steps
// succeeded.
LONG RunProvider(const zq::host::Provider& p, const Options& o, bool* stepsOk) {
    DWORD options = 0;
    LONG r = zq::host::StartProvider(p, OnCompletion, Hex, &options);
    Say("TSPI_providerInit = 0x%lx, options 0x%lx", static_cast<unsigned long>(r),
        static_cast<unsigned long>(options));
    // TAPI opens no line of a provider that failed to initialise.
    if (r != 0)
        return r;

    HDRVLINE hdLine = nullptr;
    const LONG opened = zq::host::LineOpen(p, 0x7a71, OnLineEvent, &hdLine);
    Say("TSPI_lineOpen = 0x%lx, hdLine %p", static_cast<unsigned long>(opened),
        static_cast<const void*>(hdLine));

    *stepsOk = o.steps.empty();
    if (opened == 0) {
        Say("line open for %u s", o.host.seconds);
        *stepsOk = RunLine(p, hdLine, o);
        r = p.lineClose(hdLine);
        Say("TSPI_lineClose = 0x%lx", static_cast<unsigned long>(r));
    }
    r = zq::host::Shutdown(p);
    Say("TSPI_providerShutdown = 0x%lx", static_cast<unsigned long>(r));
    return opened;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(
            stderr,
            "usage: tsphost [--seconds N] [--port COM1] [--speed 9600] [--debug 127] [provider.tsp]\n"
            "               %s\n",
            zq::host::kStepUsage);
        return 2;
    }
    // The trace mask is read when the library attaches: the settings go in
    // before it is loaded.
    bool written = zq::host::WritePortSettings(options.host);
    written = zq::host::WriteSetting("Debug_Mode", "DebugOutput", options.debugMask) && written;
    if (!written)
        return 1;

    HMODULE module = nullptr;
    zq::host::Provider provider;
    if (!zq::host::LoadProvider(options.host.provider, false, module, provider))
        return 1;
    bool stepsOk = false;
    const LONG opened = RunProvider(provider, options, &stepsOk);
    FreeLibrary(module);
    Say("result: lineOpen %s", opened == 0 ? "succeeded" : "failed");
    return opened == 0 && stepsOk ? 0 : 1;
}
