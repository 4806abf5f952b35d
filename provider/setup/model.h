// The setup dialogs as values, without any window: what each control
// shows, which are enabled, and what the user's OK changes. The Win32
// dialogs and the terminal dialogs of zqphone are thin shells over it, and
// RunSetup is the one sequence every TUISPI function runs.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "setup/records.h"
#include "zq/tapi.h"

namespace zq::setup {

// Dialog results, as the Win32 dialogs end.
inline constexpr int DIALOG_OK = 0;
inline constexpr int DIALOG_CANCEL = -1;

// The help pages shipped beside the provider, and the anchors of the
// dialogs' contexts: the main dialog opens the contents (no anchor), the
// advanced dialog context 3. (Not HELP_CONTENTS: windows.h defines that
// name as a macro.)
inline constexpr char kHelpMain[] = "zq_spi.html";
inline constexpr char kHelpAdvanced[] = "zq_spi62.html";
inline constexpr uint32_t HELP_MAIN_CONTEXT = 0;
inline constexpr uint32_t HELP_ADVANCED_CONTEXT = 3;

// The main dialog (resource 101).
struct MainDialog {
    std::vector<std::string> ports;       // the COM ports offered, in order
    int selected = 0;                     // index into ports; -1 when none
    std::string language = "0: English";  // shown, disabled
    std::string system = "6200";
    std::string terminal = "3861";
    std::u16string lineName;  // formatted into the control's own "%S"
    std::string versionText = "Unknown";
    std::string adapterText;      // "%02d.%3d"
    bool adapterEnabled = false;  // false when the version is 0.0
    bool advancedEnabled = false;
};

// The advanced dialog (resource 102): the texts as the controls hold them.
struct AdvancedDialog {
    std::string prefix;            // edit 1043, up to kPrefixEditChars
    bool prefixDisplayed = false;  // check box 1042
    std::string digits;            // edit 1044, "%02d"
    bool pbxMode = false;          // radio 1045 checked; 1046 otherwise
};
inline constexpr size_t kPrefixEditChars = 40;

// The ports COM1..COM4 that can be opened (then closed again) or are in
// use by another program (access denied, IRQ busy).
std::vector<std::string> OfferedPorts();

// The main dialog of a command 1 reply, with the ports offered; the
// current port is selected, else the first.
MainDialog MakeMainDialog(const BasicConfig& reply, std::vector<std::string> ports);
AdvancedDialog MakeAdvancedDialog(const AdvancedConfig& values);
// What the Defaults button puts into the controls; nothing is stored.
AdvancedDialog AdvancedDefaults();

// OK in the main dialog: the chosen port, and whether it differs from the
// current one.
std::string MainDialogPort(const MainDialog& dialog, const std::string& current, bool* changed);
// OK in the advanced dialog: the values to send. A digit count outside
// 2..19 or not a number keeps the current one without a message; a prefix
// that does not fit the exchange record keeps the current prefix. *changed
// tells whether any value differs.
AdvancedConfig AdvancedDialogValues(const AdvancedConfig& current, const AdvancedDialog& entered,
                                    bool* changed);

// How the dialogs are shown. main runs the main dialog modally and returns
// DIALOG_OK (dialog.selected holds the choice) or DIALOG_CANCEL; while it is
// open its Advanced button calls `advanced`, which runs the advanced
// dialog sequence. advanced shows the advanced dialog and returns DIALOG_OK
// with the entered texts, or DIALOG_CANCEL. help opens a help page at a
// context. owner is the TUISPI function's hwndOwner.
struct SetupView {
    std::function<int(MainDialog& dialog, const std::function<void()>& advanced)> main;
    std::function<int(AdvancedDialog& dialog)> advanced;
    std::function<void(const char* page, uint32_t context)> help;
    HWND owner = nullptr;
};

// One TUISPI call: command 0 first when traceText is not empty (the
// message, sent as UiTraceText makes it), command 1 and the device check
// (objectType line or phone: deviceId must match the reply, else
// LINEERR_BADDEVICEID or PHONEERR_BADDEVICEID before any dialog), the main
// dialog, the advanced dialog with commands 3 and 4, and command 2 when OK
// changed the port. Returns 0, the device error, or the callback's error
// when command 1 fails (then no dialog is shown).
LONG RunSetup(const SetupView& view, TUISPIDLLCALLBACK callback, DWORD_PTR objectId, uint32_t objectType,
              uint32_t deviceId, const std::string& traceText);

// "TUI DLL:%lu %s": a trace text of the user-interface half, with the
// millisecond clock.
std::string UiTraceText(const std::string& message);

// The help page and its anchor: "zq_spi62.html#context-3", or the page
// alone for HELP_MAIN_CONTEXT.
std::string HelpTarget(const char* page, uint32_t context);

// The view of this build: the Win32 dialogs in the Windows provider, the
// terminal on other systems.
SetupView PlatformView(HWND owner);

}  // namespace zq::setup
