#include "setup/model.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

#include "core/trace.h"
#include "zq/platform.h"

namespace zq::setup {
namespace {

// The user interface's state in this process: one TUISPI call at a time,
// each starting afresh.
struct UiState {
    TUISPIDLLCALLBACK callback = nullptr;
    DWORD_PTR objectId = 0;
    uint32_t objectType = 0;
    BasicConfig basic;        // the last command 1 reply
    AdvancedConfig advanced;  // the last command 3 reply, then what was sent
    bool portChanged = false;
    bool advancedChanged = false;
};

UiState g_ui;

constexpr std::array<const char*, 4> kPorts{"COM1", "COM2", "COM3", "COM4"};

// A digit count longer than this is no count of digits at all.
constexpr size_t kMaxDigitChars = 4;

template <typename... A>
std::string Format(std::string_view format, const A&... a) {
    const std::array<TraceArg, sizeof...(A) + 1> args{TraceArg(a)..., TraceArg()};
    return FormatTrace(format, std::span<const TraceArg>(args.data(), sizeof...(A)));
}

// Port names as the registry may hold them: "com2" is COM2.
bool SamePort(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
    });
}

LONG Send(std::span<uint8_t> record) {
    if (g_ui.callback == nullptr)
        return LINEERR_OPERATIONFAILED;
    return g_ui.callback(g_ui.objectId, g_ui.objectType, record.data(), static_cast<DWORD>(record.size()));
}

// The digit count typed: a plain decimal number, blanks around it allowed;
// -1 for anything else.
int DigitCount(std::string_view text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return -1;
    text = text.substr(first, text.find_last_not_of(' ') - first + 1);
    if (text.size() > kMaxDigitChars ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    int value = 0;
    for (char c : text)
        value = value * 10 + (c - '0');
    return value;
}

// The Advanced button: command 3, the advanced dialog, command 4 when its
// OK changed something. A provider that does not answer shows no dialog.
void AdvancedSequence(const SetupView& view) {
    auto record = EncodeAdvanced(UI_SPI_EI_CFGDLG_ADV_GET, AdvancedConfig{});
    if (Send(record) != 0 || !DecodeAdvanced(record, &g_ui.advanced))
        return;
    AdvancedDialog dialog = MakeAdvancedDialog(g_ui.advanced);
    if (!view.advanced || view.advanced(dialog) != DIALOG_OK)
        return;
    bool changed = false;
    const AdvancedConfig values = AdvancedDialogValues(g_ui.advanced, dialog, &changed);
    if (!changed)
        return;
    g_ui.advanced = values;
    g_ui.advancedChanged = true;
    auto set = EncodeAdvanced(UI_SPI_EI_CFGDLG_ADV_SET, values);
    Send(set);
}

}  // namespace

std::vector<std::string> OfferedPorts() {
    std::vector<std::string> ports;
    for (const char* name : kPorts) {
        plat::SerialPort* port = nullptr;
        const uint32_t error = plat::serial_open(name, &port);
        if (error == plat::kErrSuccess)
            plat::serial_close(port);
        if (error == plat::kErrSuccess || error == plat::kErrAccessDenied || error == plat::kErrIrqBusy)
            ports.emplace_back(name);
    }
    return ports;
}

MainDialog MakeMainDialog(const BasicConfig& reply, std::vector<std::string> ports) {
    MainDialog dialog;
    const auto current = std::find_if(ports.begin(), ports.end(),
                                      [&](const std::string& p) { return SamePort(p, reply.port); });
    dialog.selected = ports.empty()            ? -1
                      : current != ports.end() ? static_cast<int>(current - ports.begin())
                                               : 0;
    dialog.ports = std::move(ports);
    dialog.lineName = reply.lineName;
    if (!reply.versionText.empty())
        dialog.versionText = reply.versionText;
    dialog.adapterText = Format("%02d.%3d", reply.adapterMajor, reply.adapterMinor);
    dialog.adapterEnabled = reply.adapterMajor != 0 || reply.adapterMinor != 0;
    dialog.advancedEnabled = reply.tqlaVersion <= 1 || reply.providerByte == 1;
    return dialog;
}

AdvancedDialog MakeAdvancedDialog(const AdvancedConfig& values) {
    AdvancedDialog dialog;
    dialog.prefix = values.prefix.substr(0, kPrefixEditChars);
    dialog.prefixDisplayed = values.prefixDisplayed;
    dialog.digits = Format("%02d", values.maxDigitLocal);
    dialog.pbxMode = values.pbxMode;
    return dialog;
}

AdvancedDialog AdvancedDefaults() {
    AdvancedDialog dialog;
    dialog.prefix = "0";
    dialog.prefixDisplayed = false;
    dialog.digits = "8";
    dialog.pbxMode = false;
    return dialog;
}

std::string MainDialogPort(const MainDialog& dialog, const std::string& current, bool* changed) {
    const bool chosen = dialog.selected >= 0 && static_cast<size_t>(dialog.selected) < dialog.ports.size();
    const std::string port = chosen ? dialog.ports[static_cast<size_t>(dialog.selected)] : current;
    *changed = !SamePort(port, current);
    return *changed ? port : current;
}

AdvancedConfig AdvancedDialogValues(const AdvancedConfig& current, const AdvancedDialog& entered,
                                    bool* changed) {
    AdvancedConfig values = current;
    const std::string prefix = entered.prefix.substr(0, kPrefixEditChars);
    if (prefix.size() <= PREFIX_KEPT_CHARS)
        values.prefix = prefix;
    values.prefixDisplayed = entered.prefixDisplayed;
    values.pbxMode = entered.pbxMode;
    const int digits = DigitCount(entered.digits);
    if (digits >= MAX_DIGITS_LOW && digits <= MAX_DIGITS_HIGH)
        values.maxDigitLocal = digits;
    *changed = values.prefix != current.prefix || values.prefixDisplayed != current.prefixDisplayed ||
               values.pbxMode != current.pbxMode || values.maxDigitLocal != current.maxDigitLocal;
    return values;
}

LONG RunSetup(const SetupView& view, TUISPIDLLCALLBACK callback, DWORD_PTR objectId, uint32_t objectType,
              uint32_t deviceId, const std::string& traceText) {
    g_ui = UiState{};
    g_ui.callback = callback;
    g_ui.objectId = objectId;
    g_ui.objectType = objectType;
    if (callback == nullptr)
        return objectType == OBJECT_PHONE ? PHONEERR_OPERATIONFAILED : LINEERR_OPERATIONFAILED;
    if (!traceText.empty()) {
        auto trace = EncodeTraceText(UiTraceText(traceText));
        Send(trace);
    }
    auto basic = EncodeBasic(CMD_BASIC_GET, BasicConfig{});
    if (const LONG result = Send(basic); result != 0)
        return result;
    DecodeBasic(basic, &g_ui.basic);
    if (objectType == OBJECT_LINE && deviceId != g_ui.basic.lineDeviceId)
        return LINEERR_BADDEVICEID;
    if (objectType == OBJECT_PHONE && deviceId != g_ui.basic.phoneDeviceId)
        return PHONEERR_BADDEVICEID;

    MainDialog dialog = MakeMainDialog(g_ui.basic, OfferedPorts());
    const std::function<void()> advanced = [&view] { AdvancedSequence(view); };
    if (!view.main || view.main(dialog, advanced) != DIALOG_OK)
        return 0;
    BasicConfig port = g_ui.basic;
    port.port = MainDialogPort(dialog, g_ui.basic.port, &g_ui.portChanged);
    if (g_ui.portChanged) {
        auto record = EncodeBasic(CMD_PORT_SET, port);
        Send(record);
    }
    return 0;
}

std::string UiTraceText(const std::string& message) {
    return Format("TUI DLL:%lu %s", plat::time_ms(), message);
}

std::string HelpTarget(const char* page, uint32_t context) {
    std::string target = page != nullptr ? page : "";
    if (context != HELP_MAIN_CONTEXT)
        target += "#context-" + std::to_string(context);
    return target;
}

}  // namespace zq::setup
