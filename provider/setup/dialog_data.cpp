// The provider's half of the setup dialogs: it names its user-interface
// file, and answers the records the dialogs send through TAPI's dialog-data
// channel, reading or filling each one in place. The records come from
// another process, so the size of every one is checked before a byte of it
// is read or written.
//
// This runs on TAPI's thread without the line mutex. The REINIT event needs
// nothing more: it reads only the line's event procedure, which only TAPI's
// own calls change, and TAPI makes one call at a time into this provider
// (it is declared non-reentrant); TAPI's event procedure may be called from
// any thread.
#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <string_view>

#include "core/config.h"
#include "core/lifecycle.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "link/receive.h"
#include "link/supervision.h"
#include "setup/records.h"
#include "tapi/events.h"
#include "zq/platform.h"

namespace zq::setup {
namespace {

constexpr std::u16string_view kUiFileName = u"zq_6232.tsp";

// The user-interface half enables Advanced when this byte is 1; the
// provider keeps it at the 2 it starts with.
constexpr uint8_t kProviderByte = 2;

// Every reader of the advanced values takes at most 4 characters.
constexpr size_t kAdvancedValueSize = PREFIX_KEPT_CHARS + 1;

struct AdvancedTraces {
    const char* prefix;
    const char* prefixDisplayed;
    const char* maxDigits;
    const char* enquiryMode;
};
constexpr AdvancedTraces kGetTraces = {
    "UI_SPI_EI_CFGDLG_ADV_GET ExtPrefix '%s'", "UI_SPI_EI_CFGDLG_ADV_GET ExtPrefixDisp '%d'",
    "UI_SPI_EI_CFGDLG_ADV_GET MaxDigitLocalCall '%d'", "UI_SPI_EI_CFGDLG_ADV_GET EnqCallMode '%d'"};
constexpr AdvancedTraces kSetTraces = {
    "UI_SPI_EI_CFGDLG_ADV_SET ExtPrefix '%s'", "UI_SPI_EI_CFGDLG_ADV_SET ExtPrefixDisp '%d'",
    "UI_SPI_EI_CFGDLG_ADV_SET MaxDigitLocalCall '%d'", "UI_SPI_EI_CFGDLG_ADV_SET EnqCallMode '%d'"};

// A worker that ended by itself (its port could not be opened) no longer
// runs: the next open starts a new one with the stored configuration.
bool WorkerRuns() {
    return g_provider.serialThread != nullptr &&
           plat::thread_wait(g_provider.serialThread, 0) != plat::Wait::Object0;
}

bool SizeFits(int command, std::span<const uint8_t> record) {
    switch (command) {
        case CMD_TRACE_TEXT:
            return record.size() > RECORD_HEADER_SIZE && record.size() == RECORD_HEADER_SIZE + record[1];
        case CMD_BASIC_GET:
        case CMD_PORT_SET:
            return record.size() == BASIC_RECORD_SIZE;
        case UI_SPI_EI_CFGDLG_ADV_GET:
        case UI_SPI_EI_CFGDLG_ADV_SET:
            return record.size() == ADVANCED_RECORD_SIZE;
        default:
            return false;
    }
}

void Ignored(uint32_t objectType, int command, size_t size) {
    TspTrace(TRACE_ERROR, "GenericDialogData type %lu cmd %d size %lu ignored", objectType, command, size);
}

void BasicGet(uint32_t objectType, std::span<uint8_t> record) {
    BasicConfig config;
    if (objectType == OBJECT_PROVIDER && !WorkerRuns()) {
        LoadIniStrings(g_line.PermanentProviderID);
        config.port = TextOf(g_line.PortName);
    } else if (objectType == OBJECT_PROVIDER) {
        // The running worker reopens its port by name after a link loss:
        // a port stored since waits for the restart, and only the reply
        // shows it.
        std::array<char, PORT_NAME_SIZE> stored{};
        ReadProviderValue("Provider", "Port", TextOf(g_line.PortName), stored);
        config.port = TextOf(stored);
    } else {
        config.port = TextOf(g_line.PortName);
    }
    config.lineDeviceId = g_line.dwDeviceID;
    config.phoneDeviceId = g_line.dwPhoneDeviceID;
    for (const WCHAR c : g_line.LineName) {
        if (c == 0)
            break;
        config.lineName.push_back(static_cast<char16_t>(c));
    }
    config.versionText = kProviderVersionText;
    config.adapterMajor = g_rx.versionMajor;
    config.adapterMinor = g_rx.versionMinor;
    config.tqlaVersion = g_lineSettings.TqlaVersion;
    config.providerByte = kProviderByte;
    const auto reply = EncodeBasic(CMD_BASIC_GET, config);
    std::copy(reply.begin(), reply.end(), record.begin());
}

void PortSet(std::span<const uint8_t> record) {
    BasicConfig config;
    DecodeBasic(record, &config);
    TspTrace(TRACE_TSPI, " Rcv Port '%s'", config.port);
    WriteProviderValue("Provider", "Port", config.port);
    if (!WorkerRuns()) {
        // Nothing uses the port now: the next open takes the new one.
        CopyText(g_line.PortName, config.port);
        return;
    }
    // Marked before TAPI hears of it, so that an open it makes on the
    // event is refused already.
    g_provider.reinitRequired = true;
    DoLineEvent(LINE_LINEDEVSTATE, LINEDEVSTATE_REINIT, 0, -1);
    ErrorBox("Serial Port configuration modified.\n\nClose and restart the application.");
}

AdvancedConfig RunningAdvanced() {
    AdvancedConfig config;
    config.maxDigitLocal = g_lineSettings.MaxDigitLocalCall;
    config.pbxMode = g_line.EnqCallMode != 0;
    config.prefixDisplayed = g_lineSettings.ExtPrefixDisp;
    config.prefix = TextOf(g_lineSettings.ExtPrefix);
    return config;
}

void TraceAdvanced(const AdvancedTraces& traces) {
    TspTrace(TRACE_TSPI, traces.prefix, g_lineSettings.ExtPrefix);
    TspTrace(TRACE_TSPI, traces.prefixDisplayed, g_lineSettings.ExtPrefixDisp ? 1 : 0);
    TspTrace(TRACE_TSPI, traces.maxDigits, g_lineSettings.MaxDigitLocalCall);
    TspTrace(TRACE_TSPI, traces.enquiryMode, g_line.EnqCallMode);
}

bool DigitsInRange(int32_t digits) {
    return digits >= MAX_DIGITS_LOW && digits <= MAX_DIGITS_HIGH;
}

// A value too long for its reader is left as it is stored, and the default
// is used meanwhile.
void ReadAdvancedValues() {
    std::array<char, kAdvancedValueSize> prefix{};
    const int found = ReadProviderValue("Prefix", "ExtPrefix", "", prefix);
    if (found <= 0)
        CopyText(prefix, "0");
    if (found == 0)
        WriteProviderValue("Prefix", "ExtPrefix", "0");
    CopyText(g_lineSettings.ExtPrefix, TextOf(prefix));
    g_lineSettings.ExtPrefixDisp = ReadFlagValue("Prefix", "ExtPrefixDisp", false, true);

    std::array<char, kAdvancedValueSize> digits{};
    const bool fits = ReadProviderValue("SetConfig", "MaxDigitLocal", "", digits) >= 0;
    const int32_t max = DecimalValue(digits.data());
    g_lineSettings.MaxDigitLocalCall = DigitsInRange(max) ? max : MAX_DIGITS_DEFAULT;
    if (!DigitsInRange(max) && fits)
        WriteProviderValue("SetConfig", "MaxDigitLocal", std::to_string(MAX_DIGITS_DEFAULT));
    g_line.EnqCallMode = ReadFlagValue("SetConfig", "EnquiryCallMode", false, true) ? 1 : 0;
}

void AdvancedGet(std::span<uint8_t> record) {
    ReadAdvancedValues();
    const auto reply = EncodeAdvanced(UI_SPI_EI_CFGDLG_ADV_GET, RunningAdvanced());
    std::copy(reply.begin(), reply.end(), record.begin());
    TraceAdvanced(kGetTraces);
}

void WriteFlag(std::string_view subkey, std::string_view name, bool on) {
    WriteProviderValue(subkey, name, on ? "1" : "0");
}

// A prefix or digit count that the provider could not read back is
// refused: the running and the stored value stay as they are.
void AdvancedSet(std::span<const uint8_t> record) {
    TspTrace(TRACE_TSPI, "Rcv UI_SPI_EI_CFGDLG_ADV_SET");
    AdvancedConfig sent;
    DecodeAdvanced(record, &sent);
    if (sent.prefix.size() <= PREFIX_KEPT_CHARS) {
        CopyText(g_lineSettings.ExtPrefix, sent.prefix);
        WriteProviderValue("Prefix", "ExtPrefix", sent.prefix);
    } else {
        TspTrace(TRACE_ERROR, "UI_SPI_EI_CFGDLG_ADV_SET ExtPrefix '%s' longer than %d - refused", sent.prefix,
                 PREFIX_KEPT_CHARS);
    }
    if (sent.prefixDisplayed != g_lineSettings.ExtPrefixDisp) {
        g_lineSettings.ExtPrefixDisp = sent.prefixDisplayed;
        WriteFlag("Prefix", "ExtPrefixDisp", sent.prefixDisplayed);
    }
    if (!DigitsInRange(sent.maxDigitLocal)) {
        TspTrace(TRACE_ERROR, "UI_SPI_EI_CFGDLG_ADV_SET MaxDigitLocalCall %d out of range - refused",
                 sent.maxDigitLocal);
    } else if (sent.maxDigitLocal != g_lineSettings.MaxDigitLocalCall) {
        g_lineSettings.MaxDigitLocalCall = sent.maxDigitLocal;
        const std::array<TraceArg, 1> args{TraceArg(sent.maxDigitLocal)};
        WriteProviderValue("SetConfig", "MaxDigitLocal", FormatTrace("%02d", args));
    }
    const uint8_t mode = sent.pbxMode ? 1 : 0;
    if (mode != g_line.EnqCallMode) {
        g_line.EnqCallMode = mode;
        WriteFlag("SetConfig", "EnquiryCallMode", sent.pbxMode);
    }
    TraceAdvanced(kSetTraces);
}

void TraceText(uint32_t objectType, std::span<const uint8_t> record) {
    std::string text;
    if (!DecodeTraceText(record, &text)) {
        Ignored(objectType, CMD_TRACE_TEXT, record.size());
        return;
    }
    TspTrace(TRACE_TSPI, "%s", text);
}

}  // namespace
}  // namespace zq::setup

using namespace zq;
using namespace zq::setup;

extern "C" {

LONG WINAPI TSPI_providerUIIdentify(LPWSTR lpszUIDLLName) {
    TspTrace(TRACE_TSPI, "TSPI_providerUIIdentify");
    if (lpszUIDLLName == nullptr)
        return static_cast<LONG>(LINEERR_INVALPOINTER);
    // TAPI's buffer holds MAX_PATH characters.
    const std::span<WCHAR> name(lpszUIDLLName, kUiFileName.size() + 1);
    std::transform(kUiFileName.begin(), kUiFileName.end(), name.begin(),
                   [](char16_t c) { return static_cast<WCHAR>(c); });
    name.back() = 0;
    return 0;
}

LONG WINAPI TSPI_providerGenericDialogData(DWORD_PTR /*dwObjectID*/, DWORD dwObjectType, LPVOID lpParams,
                                           DWORD dwSize) {
    const std::span<uint8_t> record = lpParams != nullptr
                                          ? std::span<uint8_t>(static_cast<uint8_t*>(lpParams), dwSize)
                                          : std::span<uint8_t>();
    const int command = RecordCommand(record);
    if (dwObjectType < OBJECT_LINE || dwObjectType > OBJECT_DIALOG_INSTANCE || !SizeFits(command, record)) {
        Ignored(dwObjectType, command, dwSize);
        return 0;
    }
    switch (command) {
        case CMD_TRACE_TEXT:
            TraceText(dwObjectType, record);
            break;
        case CMD_BASIC_GET:
            BasicGet(dwObjectType, record);
            break;
        case CMD_PORT_SET:
            PortSet(record);
            break;
        case UI_SPI_EI_CFGDLG_ADV_GET:
            AdvancedGet(record);
            break;
        default:
            AdvancedSet(record);
            break;
    }
    return 0;
}

}  // extern "C"
