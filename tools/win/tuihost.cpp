// The provider's setup dialogs as TAPI runs them, without the Telephony
// service (under Wine): tuihost loads the provider, initialises it, asks
// TSPI_providerUIIdentify for its user-interface file, loads a private
// copy of that file (a second module instance, as in another process) and
// calls one TUISPI function. Each record the dialogs send reaches the
// provider's instance through TSPI_providerGenericDialogData as a copy,
// and the answer is copied back. It prints every record, the result and
// the port the provider stored:
//
//   tuihost [--phone | --provider] [--device N] [--open] [--seconds N]
//           [--port COM1] [--speed 9600] [provider.tsp]
//
// --port and --speed write the provider's settings before it is loaded.
// --open opens the line first and waits up to --seconds for it to be in
// service, prints every line event, and after the dialog closes the line
// and tries to open it again (LINEERR_REINIT after a port change).
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host_common.h"
#include "zq/platform.h"
#include "zq/tapi_words.h"

namespace {

using zq::host::kLineDeviceIdBase;
using zq::host::kPermanentProviderId;
using zq::host::kPhoneDeviceIdBase;
using zq::host::Say;

// A record larger than this is no setup record.
constexpr DWORD kMaxDialogRecord = 64 * 1024;

enum class Dialog { Line, Phone, Provider };

struct Options {
    Dialog dialog = Dialog::Line;
    bool deviceGiven = false;
    DWORD device = 0;
    bool open = false;
    zq::host::HostOptions host{.seconds = 20};
};

// The provider's instance the records go to.
decltype(&TSPI_providerGenericDialogData) g_dialogData = nullptr;
std::atomic<bool> g_inService{false};

void CALLBACK OnCompletion(DRV_REQUESTID requestId, LONG result) {
    Say("completion: request %lu %s", static_cast<unsigned long>(requestId),
        zq::words::Result(result).c_str());
}

void CALLBACK OnLineEvent(HTAPILINE, HTAPICALL, DWORD msg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR) {
    if (msg == LINE_LINEDEVSTATE) {
        const auto states = static_cast<uint32_t>(p1);
        Say("event: LINE_LINEDEVSTATE %s", zq::words::Bits(zq::words::kDevStates, states).c_str());
        if ((states & LINEDEVSTATE_INSERVICE) != 0)
            g_inService = true;
        return;
    }
    Say("event: %s", zq::words::LineEvent(-1, msg, p1, p2).c_str());
}

// TAPI's part of the exchange: the user-interface half's record, copied to
// the provider's instance and back.
LONG CALLBACK ExchangeDialogData(DWORD_PTR objectId, DWORD objectType, LPVOID params, DWORD size) {
    if (size > kMaxDialogRecord || (params == nullptr && size != 0)) {
        Say("callback: bad record, size %lu", static_cast<unsigned long>(size));
        return LINEERR_INVALPARAM;
    }
    std::vector<uint8_t> record(size);
    if (size != 0)
        std::memcpy(record.data(), params, size);
    // The command is the first byte of the record's 4-byte header.
    const int command = size >= 4 ? record[0] : -1;
    Say("callback: command %d size %lu", command, static_cast<unsigned long>(size));
    const LONG result = g_dialogData(objectId, objectType, size != 0 ? record.data() : nullptr, size);
    if (size != 0)
        std::memcpy(params, record.data(), size);
    return result;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const zq::host::Took took = zq::host::TakeHostOption(argc, argv, i, options.host);
        if (took == zq::host::Took::Bad)
            return false;
        if (took == zq::host::Took::Yes)
            continue;
        const std::string_view arg = argv[i];
        unsigned long v = 0;
        if (arg == "--phone") {
            options.dialog = Dialog::Phone;
        } else if (arg == "--provider") {
            options.dialog = Dialog::Provider;
        } else if (arg == "--open") {
            options.open = true;
        } else if (arg == "--device" && i + 1 < argc &&
                   zq::host::ParseNumber(argv[i + 1], 0xffffffffUL, &v)) {
            options.deviceGiven = true;
            options.device = static_cast<DWORD>(v);
            ++i;
        } else {
            return false;
        }
    }
    return true;
}

std::string Utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.resize(static_cast<size_t>(size) - 1);
    return out;
}

// The user-interface file the provider names: a bare name lies beside the
// provider's own file, as TAPI finds both in one folder.
std::string UserInterfaceFile(HMODULE provider, const std::wstring& name) {
    if (name.find_first_of(L"\\/:") != std::wstring::npos)
        return Utf8(name.c_str());
    std::array<wchar_t, MAX_PATH + 1> path{};
    const DWORD got = GetModuleFileNameW(provider, path.data(), MAX_PATH);
    if (got == 0 || got >= MAX_PATH)
        return Utf8(name.c_str());
    std::wstring file(path.data(), got);
    file.resize(file.find_last_of(L"\\/") + 1);
    file += name;
    return Utf8(file.c_str());
}

// A result in words: "ok", LINEERR_REINIT, or hexadecimal.
std::string Words(LONG result) {
    const std::string words = zq::words::Result(result);
    return result == 0 || words.rfind("0x", 0) == 0 ? words : "LINEERR_" + words;
}

// Loads the private copy and runs the dialog; false when the TUISPI
// function could not be called, else its result in *result.
bool RunDialog(HMODULE module, const zq::host::Provider& p, const Options& o, LONG* result) {
    std::array<wchar_t, MAX_PATH + 1> name{};
    const LONG identified = p.uiIdentify(name.data());
    name.back() = L'\0';
    const std::string file = UserInterfaceFile(module, name.data());
    Say("TSPI_providerUIIdentify = %s, \"%s\"", Words(identified).c_str(), Utf8(name.data()).c_str());
    if (identified != 0 || name[0] == L'\0')
        return false;
    zq::plat::Module* ui = nullptr;
    if (zq::plat::module_load_copy(file, &ui) != 0) {
        Say("the user-interface file %s could not be loaded", file.c_str());
        return false;
    }
    const auto separate = reinterpret_cast<void*>(zq::plat::module_symbol(ui, "TSPI_providerUIIdentify")) !=
                          reinterpret_cast<void*>(p.uiIdentify);
    Say("user-interface module loaded from a copy of %s (%s)", file.c_str(),
        separate ? "separate" : "SHARED");

    const HWND owner = nullptr;
    const bool phone = o.dialog == Dialog::Phone;
    const char* called = o.dialog == Dialog::Provider ? "TUISPI_providerConfig"
                         : phone                      ? "TUISPI_phoneConfigDialog"
                                                      : "TUISPI_lineConfigDialog";
    const zq::plat::ModuleProc entry = zq::plat::module_symbol(ui, called);
    if (entry == nullptr) {
        Say("%s is not exported", called);
    } else if (o.dialog == Dialog::Provider) {
        const auto f = reinterpret_cast<decltype(&TUISPI_providerConfig)>(entry);
        *result = f(ExchangeDialogData, owner, o.deviceGiven ? o.device : kPermanentProviderId);
    } else {
        const auto f = reinterpret_cast<decltype(&TUISPI_lineConfigDialog)>(entry);
        const DWORD device = o.deviceGiven ? o.device : phone ? kPhoneDeviceIdBase : kLineDeviceIdBase;
        *result = f(ExchangeDialogData, device, owner, phone ? L"tapi/phone" : L"tapi/line");
    }
    if (entry != nullptr)
        Say("%s = %s", called, *result == 0 ? "0" : Words(*result).c_str());
    zq::plat::module_free(ui);
    return entry != nullptr;
}

// The line opened before the dialog: in service within `seconds`, or
// the dialog runs without.
HDRVLINE OpenLine(const zq::host::Provider& p, unsigned seconds) {
    HDRVLINE hdLine = nullptr;
    const LONG opened = zq::host::LineOpen(p, 0x7a71, OnLineEvent, &hdLine);
    Say("TSPI_lineOpen = %s", Words(opened).c_str());
    if (opened != 0)
        return nullptr;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!g_inService && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Say("line %s", g_inService ? "in service" : "not in service");
    return hdLine;
}

// After the dialog: the line closed and opened again.
void ReopenLine(const zq::host::Provider& p, HDRVLINE hdLine) {
    Say("TSPI_lineClose = %s", Words(p.lineClose(hdLine)).c_str());
    HDRVLINE again = nullptr;
    const LONG opened = zq::host::LineOpen(p, 0x7a72, OnLineEvent, &again);
    Say("TSPI_lineOpen again = %s", Words(opened).c_str());
    if (opened == 0)
        Say("TSPI_lineClose = %s", Words(p.lineClose(again)).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: tuihost [--phone | --provider] [--device N] [--open] [--seconds N]\n"
                     "               [--port COM1] [--speed 9600] [provider.tsp]\n");
        return 2;
    }
    // Read when the provider initialises: written before it is loaded.
    if (!zq::host::WritePortSettings(options.host))
        return 1;

    HMODULE module = nullptr;
    zq::host::Provider p;
    if (!zq::host::LoadProvider(options.host.provider, true, module, p))
        return 1;
    g_dialogData = p.dialogData;

    DWORD providerOptions = 0;
    const LONG r = zq::host::StartProvider(p, OnCompletion, Words, &providerOptions);
    Say("TSPI_providerInit = %s", Words(r).c_str());
    if (r != 0) {
        FreeLibrary(module);
        return 1;
    }

    const HDRVLINE hdLine = options.open ? OpenLine(p, options.host.seconds) : nullptr;
    LONG result = 0;
    const bool ran = RunDialog(module, p, options, &result);
    Say("registry Provider\\Port = \"%s\"", zq::host::ReadSetting("Provider", "Port").c_str());
    if (hdLine != nullptr)
        ReopenLine(p, hdLine);

    Say("TSPI_providerShutdown = %s", Words(zq::host::Shutdown(p)).c_str());
    FreeLibrary(module);
    return ran && result == 0 ? 0 : 1;
}
