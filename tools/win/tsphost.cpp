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
#include <windows.h>
// windows.h first: the TAPI headers use its types.
#include <tapi.h>
#include <tspi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "tapi_side.h"

namespace {

using zq::host::Say;

constexpr DWORD kTspiVersion = 0x00020000;
constexpr DWORD kPermanentProviderId = 1;
constexpr DWORD kLineDeviceIdBase = 0;
constexpr DWORD kPhoneDeviceIdBase = 0;

struct Options {
    unsigned seconds = 3;
    const char* port = "COM1";
    const char* speed = "9600";
    const char* debugMask = "127";
    const char* provider = "zq_6232.tsp";
    std::vector<zq::host::Step> steps;
};

// The entry points, typed from the SDK's own declarations.
struct Provider {
    decltype(&TSPI_providerEnumDevices) enumDevices = nullptr;
    decltype(&TSPI_providerInit) init = nullptr;
    decltype(&TSPI_lineOpen) lineOpen = nullptr;
    decltype(&TSPI_lineClose) lineClose = nullptr;
    decltype(&TSPI_providerShutdown) shutdown = nullptr;
    zq::host::Requests requests;  // optional: only the steps need them
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

void CALLBACK OnLineCreate(HTAPILINE, HTAPICALL, DWORD msg, DWORD_PTR p1, DWORD_PTR, DWORD_PTR) {
    Say("line create event: msg %lu param 0x%llx", static_cast<unsigned long>(msg), Wide(p1));
}

void CALLBACK OnPhoneCreate(HTAPIPHONE, DWORD msg, DWORD_PTR p1, DWORD_PTR, DWORD_PTR) {
    Say("phone create event: msg %lu param 0x%llx", static_cast<unsigned long>(msg), Wide(p1));
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        if (const zq::host::Took took = zq::host::TakeStep(argc, argv, i, options.steps);
            took != zq::host::Took::No) {
            if (took == zq::host::Took::Bad)
                return false;
            continue;
        }
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--seconds" && hasValue) {
            char* end = nullptr;
            const unsigned long v = std::strtoul(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || v > 3600)
                return false;
            options.seconds = static_cast<unsigned>(v);
        } else if (arg == "--port" && hasValue) {
            options.port = argv[++i];
        } else if (arg == "--speed" && hasValue) {
            options.speed = argv[++i];
        } else if (arg == "--debug" && hasValue) {
            options.debugMask = argv[++i];
        } else if (arg == "--words") {
            zq::host::g_tapi.words = true;
        } else if (!arg.empty() && arg[0] != '-') {
            options.provider = argv[i];
        } else {
            return false;
        }
    }
    return true;
}

// Writes one REG_SZ value under HKLM\SOFTWARE\Velmora\TSpi_6200\<subkey>.
// Written by this program, so that a 32-bit host and a 32-bit provider
// meet in the same (redirected) view of the registry.
bool WriteSetting(const char* subkey, const char* name, const char* value) {
    char path[128];
    std::snprintf(path, sizeof path, "SOFTWARE\\Velmora\\TSpi_6200\\%s", subkey);
    HKEY key = nullptr;
    LONG err =
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (err == ERROR_SUCCESS) {
        err = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                             static_cast<DWORD>(std::strlen(value) + 1));
        RegCloseKey(key);
    }
    Say("registry %s\\%s = \"%s\": %ld", path, name, value, static_cast<long>(err));
    return err == ERROR_SUCCESS;
}

template <typename F>
bool Resolve(HMODULE module, const char* name, F& entry, bool required = true) {
    // The exported names are undecorated on both architectures.
    entry = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (entry == nullptr && required)
        Say("missing export %s (error %lu)", name, GetLastError());
    return entry != nullptr;
}

bool LoadProvider(const char* path, HMODULE& module, Provider& p) {
    module = LoadLibraryA(path);
    if (module == nullptr) {
        Say("LoadLibrary(%s) failed, error %lu", path, GetLastError());
        return false;
    }
    Say("loaded %s", path);
    // Not &&: every missing export is reported, not only the first.
    const bool all =
        Resolve(module, "TSPI_providerEnumDevices", p.enumDevices) &
        Resolve(module, "TSPI_providerInit", p.init) & Resolve(module, "TSPI_lineOpen", p.lineOpen) &
        Resolve(module, "TSPI_lineClose", p.lineClose) & Resolve(module, "TSPI_providerShutdown", p.shutdown);
    Resolve(module, "TSPI_lineMakeCall", p.requests.makeCall, false);
    Resolve(module, "TSPI_lineAnswer", p.requests.answer, false);
    Resolve(module, "TSPI_lineDrop", p.requests.drop, false);
    Resolve(module, "TSPI_lineCloseCall", p.requests.closeCall, false);
    return all;
}

// The steps within `seconds`, or the line kept open that long; idle calls
// are closed meanwhile. False when a step failed.
bool RunLine(const Provider& p, HDRVLINE hdLine, const Options& options) {
    const zq::host::Clock::time_point end = zq::host::Clock::now() + std::chrono::seconds(options.seconds);
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
LONG RunProvider(const Provider& p, const Options& o, bool* stepsOk) {
    DWORD lines = 0, phones = 0;
    const HPROVIDER hProvider = reinterpret_cast<HPROVIDER>(static_cast<ULONG_PTR>(0x5150));
    LONG r = p.enumDevices(kPermanentProviderId, &lines, &phones, hProvider, OnLineCreate, OnPhoneCreate);
    Say("TSPI_providerEnumDevices = 0x%lx, lines %lu phones %lu", static_cast<unsigned long>(r),
        static_cast<unsigned long>(lines), static_cast<unsigned long>(phones));

    DWORD options = 0;
    r = p.init(kTspiVersion, kPermanentProviderId, kLineDeviceIdBase, kPhoneDeviceIdBase, lines, phones,
               OnCompletion, &options);
    Say("TSPI_providerInit = 0x%lx, options 0x%lx", static_cast<unsigned long>(r),
        static_cast<unsigned long>(options));
    // TAPI opens no line of a provider that failed to initialise.
    if (r != 0)
        return r;

    HDRVLINE hdLine = nullptr;
    const HTAPILINE htLine = reinterpret_cast<HTAPILINE>(static_cast<ULONG_PTR>(0x7a71));
    const LONG opened = p.lineOpen(kLineDeviceIdBase, htLine, &hdLine, kTspiVersion, OnLineEvent);
    Say("TSPI_lineOpen = 0x%lx, hdLine %p", static_cast<unsigned long>(opened),
        static_cast<const void*>(hdLine));

    *stepsOk = o.steps.empty();
    if (opened == 0) {
        Say("line open for %u s", o.seconds);
        *stepsOk = RunLine(p, hdLine, o);
        r = p.lineClose(hdLine);
        Say("TSPI_lineClose = 0x%lx", static_cast<unsigned long>(r));
    }
    r = p.shutdown(kTspiVersion, kPermanentProviderId);
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
    const bool written = WriteSetting("Provider", "Port", options.port) &
                         WriteSetting("Provider", "Speed", options.speed) &
                         WriteSetting("Debug_Mode", "DebugOutput", options.debugMask);
    if (!written)
        return 1;

    HMODULE module = nullptr;
    Provider provider;
    if (!LoadProvider(options.provider, module, provider))
        return 1;
    bool stepsOk = false;
    const LONG opened = RunProvider(provider, options, &stepsOk);
    FreeLibrary(module);
    Say("result: lineOpen %s", opened == 0 ? "succeeded" : "failed");
    return opened == 0 && stepsOk ? 0 : 1;
}
