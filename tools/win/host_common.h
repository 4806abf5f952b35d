// What the Windows TSPI hosts (tsphost, tuihost) share: their common
// options, the provider's settings in the registry, its entry points taken
// from its file, and TAPI's start of it.
#pragma once

#include <windows.h>
// windows.h first: the TAPI headers use its types.
#include <tapi.h>
#include <tspi.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tapi_side.h"
#include "zq/platform.h"

namespace zq::host {

inline constexpr DWORD kTspiVersion = 0x00020000;
inline constexpr DWORD kPermanentProviderId = 1;
inline constexpr DWORD kLineDeviceIdBase = 0;
inline constexpr DWORD kPhoneDeviceIdBase = 0;
inline constexpr char kProviderKey[] = "SOFTWARE\\Velmora\\TSpi_6200";

// The options of both hosts: --seconds N, --port and --speed (the
// provider's settings, written before it is loaded: it reads them when it
// initialises) and the provider's file.
struct HostOptions {
    unsigned seconds = 0;
    const char* port = nullptr;  // nullptr: the setting is left as it is
    const char* speed = nullptr;
    const char* provider = "zq_6232.tsp";
};

// A decimal number of at most `limit`, nothing else.
inline bool ParseNumber(const char* text, unsigned long limit, unsigned long* value) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || v > limit)
        return false;
    *value = v;
    return true;
}

// A host option at argv[i] (its value taken too): No when argv[i] is none,
// Bad when its value is missing or wrong.
inline Took TakeHostOption(int argc, char** argv, int& i, HostOptions& o) {
    const std::string_view arg = argv[i];
    if (!arg.empty() && arg[0] != '-') {
        o.provider = argv[i];
        return Took::Yes;
    }
    if (arg != "--seconds" && arg != "--port" && arg != "--speed")
        return Took::No;
    if (i + 1 >= argc)
        return Took::Bad;
    const char* value = argv[++i];
    unsigned long seconds = 0;
    if (arg == "--port")
        o.port = value;
    else if (arg == "--speed")
        o.speed = value;
    else if (ParseNumber(value, 3600, &seconds))
        o.seconds = static_cast<unsigned>(seconds);
    else
        return Took::Bad;
    return Took::Yes;
}

// One REG_SZ value under the provider's key\subkey, in this program's view
// of the registry: a 32-bit host and a 32-bit provider meet under
// Wow6432Node.
inline bool WriteSetting(const char* subkey, const char* name, const char* value) {
    const std::string path = std::string(kProviderKey) + "\\" + subkey;
    plat::RegKey* key = nullptr;
    uint32_t err = plat::reg_create_key(plat::reg_root(plat::RegRoot::LocalMachine), path, &key);
    if (err == 0) {
        err = plat::reg_set_string(key, name, value);
        plat::reg_close_key(key);
    }
    Say("registry %s\\%s = \"%s\": %lu", path.c_str(), name, value, static_cast<unsigned long>(err));
    return err == 0;
}

// The given --port and --speed; every one is tried and said.
inline bool WritePortSettings(const HostOptions& o) {
    const bool port = o.port == nullptr || WriteSetting("Provider", "Port", o.port);
    return (o.speed == nullptr || WriteSetting("Provider", "Speed", o.speed)) && port;
}

// A REG_SZ value as text, or "(no key)" / "(none)".
inline std::string ReadSetting(const char* subkey, const char* name) {
    const std::string path = std::string(kProviderKey) + "\\" + subkey;
    plat::RegKey* key = nullptr;
    if (plat::reg_open_key(plat::reg_root(plat::RegRoot::LocalMachine), path, &key) != 0)
        return "(no key)";
    std::array<uint8_t, 256> data{};
    uint32_t type = 0;
    uint32_t size = 0;
    const uint32_t err = plat::reg_query_value(key, name, &type, data, &size);
    plat::reg_close_key(key);
    if (err != 0 || type != plat::kRegSz)
        return "(none)";
    data.back() = 0;
    return reinterpret_cast<const char*>(data.data());
}

// The entry points, typed from the SDK's own declarations.
struct Provider {
    decltype(&TSPI_providerEnumDevices) enumDevices = nullptr;
    decltype(&TSPI_providerInit) init = nullptr;
    decltype(&TSPI_lineOpen) lineOpen = nullptr;
    decltype(&TSPI_lineClose) lineClose = nullptr;
    decltype(&TSPI_providerShutdown) shutdown = nullptr;
    decltype(&TSPI_providerUIIdentify) uiIdentify = nullptr;
    decltype(&TSPI_providerGenericDialogData) dialogData = nullptr;
    Requests requests;  // only the call steps need them
};

template <typename F>
bool Resolve(HMODULE module, const char* name, F& entry, bool required) {
    // The exported names are undecorated on both architectures.
    entry = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (entry == nullptr && required)
        Say("missing export %s (error %lu)", name, GetLastError());
    return entry != nullptr;
}

// Loads the provider and takes its entry points; false when it could not
// be loaded or lacks one the host needs: the line's always, the setup
// dialogs' when `dialogs`.
inline bool LoadProvider(const char* path, bool dialogs, HMODULE& module, Provider& p) {
    module = LoadLibraryA(path);
    if (module == nullptr) {
        Say("LoadLibrary(%s) failed, error %lu", path, GetLastError());
        return false;
    }
    Say("loaded %s", path);
    // Not &&: every missing export is reported, not only the first.
    const bool line = Resolve(module, "TSPI_providerEnumDevices", p.enumDevices, true) &
                      Resolve(module, "TSPI_providerInit", p.init, true) &
                      Resolve(module, "TSPI_lineOpen", p.lineOpen, true) &
                      Resolve(module, "TSPI_lineClose", p.lineClose, true) &
                      Resolve(module, "TSPI_providerShutdown", p.shutdown, true);
    const bool ui = Resolve(module, "TSPI_providerUIIdentify", p.uiIdentify, dialogs) &
                    Resolve(module, "TSPI_providerGenericDialogData", p.dialogData, dialogs);
    Resolve(module, "TSPI_lineMakeCall", p.requests.makeCall, false);
    Resolve(module, "TSPI_lineAnswer", p.requests.answer, false);
    Resolve(module, "TSPI_lineDrop", p.requests.drop, false);
    Resolve(module, "TSPI_lineCloseCall", p.requests.closeCall, false);
    return line && (ui || !dialogs);
}

inline void CALLBACK OnLineCreate(HTAPILINE, HTAPICALL, DWORD msg, DWORD_PTR p1, DWORD_PTR, DWORD_PTR) {
    Say("line create event: msg %lu param 0x%llx", static_cast<unsigned long>(msg),
        static_cast<unsigned long long>(p1));
}

inline void CALLBACK OnPhoneCreate(HTAPIPHONE, DWORD msg, DWORD_PTR p1, DWORD_PTR, DWORD_PTR) {
    Say("phone create event: msg %lu param 0x%llx", static_cast<unsigned long>(msg),
        static_cast<unsigned long long>(p1));
}

// TAPI's start of a provider: its devices counted (said with the result in
// `words`), then the provider initialised with them. Returns
// TSPI_providerInit's result, the options it set in *options.
inline LONG StartProvider(const Provider& p, ASYNC_COMPLETION completion, std::string (*words)(LONG),
                          DWORD* options) {
    DWORD lines = 0, phones = 0;
    const HPROVIDER hProvider = reinterpret_cast<HPROVIDER>(static_cast<ULONG_PTR>(0x5150));
    const LONG r =
        p.enumDevices(kPermanentProviderId, &lines, &phones, hProvider, OnLineCreate, OnPhoneCreate);
    Say("TSPI_providerEnumDevices = %s, lines %lu phones %lu", words(r).c_str(),
        static_cast<unsigned long>(lines), static_cast<unsigned long>(phones));
    return p.init(kTspiVersion, kPermanentProviderId, kLineDeviceIdBase, kPhoneDeviceIdBase, lines, phones,
                  completion, options);
}

// TSPI_lineOpen of the first line, with TAPI's handle `htLine`.
inline LONG LineOpen(const Provider& p, ULONG_PTR htLine, LINEEVENT events, HDRVLINE* hdLine) {
    return p.lineOpen(kLineDeviceIdBase, reinterpret_cast<HTAPILINE>(htLine), hdLine, kTspiVersion, events);
}

inline LONG Shutdown(const Provider& p) {
    return p.shutdown(kTspiVersion, kPermanentProviderId);
}

}  // namespace zq::host
