// What the dialer's logic needs of its window, as a table of hooks. The
// Win32 shell fills it with its dialogs and controls, the tests with
// recorders. A hook left empty does nothing (and answers 0, an empty text
// or the current time). The user's answers to the secondary windows come
// back through the core's functions named beside each hook.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/redial.h"
#include "zq/tapi.h"

namespace zq::dialer {

// Message-box styles and answers, with the Win32 values.
inline constexpr uint32_t kMbOk = 0x0;
inline constexpr uint32_t kMbOkCancel = 0x1;
inline constexpr uint32_t kMbRetryCancel = 0x5;
inline constexpr uint32_t kMbIconHand = 0x10;
inline constexpr uint32_t kMbIconExclamation = 0x30;
inline constexpr uint32_t kMbDefButton2 = 0x100;
inline constexpr uint32_t kMbTaskModal = 0x2000;
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdRetry = 4;

// The "Transfer" / "Conference" choice window.
struct TransferChoice {
    std::string title;              // "Transfer" or "Conference"
    std::string label;              // "Transfer:" or "Conference:", over the active call
    std::string active;             // the active call's name or number
    std::vector<std::string> held;  // the "to:" list, by name or number
    int preselected = -1;           // the most recently held call
    std::string button;             // "Transfer" or "Conf"
};

struct DialerView {
    // Modal message box (text, caption, kMb* flags); the kId* button pressed.
    std::function<int(std::string_view, std::string_view, uint32_t)> messageBox;
    // MessageBeep with the given type (0: the default sound).
    std::function<void(uint32_t)> beep;

    // Call list (2024): append a row, change row r's text (its selection
    // stays), delete row r, select row r (-1: no selection).
    std::function<void(std::string_view)> addRow;
    std::function<void(int, std::string_view)> setRowText;
    std::function<void(int)> removeRow;
    std::function<void(int)> selectRow;
    // Width in pixels of a text in the list's font; the party column is
    // partyColumnWidth wide (0: texts are not shortened).
    std::function<int(std::string_view)> textWidth;
    int partyColumnWidth = 0;

    // Controls by ID: enable or disable, set the text (a drop-down list
    // combo selects the item of that text), read the text.
    std::function<void(int, bool)> enableControl;
    std::function<void(int, std::string_view)> setControlText;
    std::function<std::string(int)> controlText;
    // Number combo 201: show the redial list and select its first entry.
    std::function<void(const RedialList&)> showRedialList;

    // Hourglass cursor on (true) or off; keep it while ReplyPending().
    std::function<void(bool)> hourglass;
    // PostMessage(main window, WM_USER): IdleWork() runs when it arrives.
    std::function<void()> postIdleWork;
    // Take one pending window message of this thread, if any, and dispatch it.
    std::function<void()> pumpOneMessage;
    // PostMessage(window, TAPI_REPLY, wParam, lParam), only while the
    // window exists.
    std::function<void(HWND, WPARAM, LPARAM)> postTapiReply;
    // Restore the main window when it is minimised.
    std::function<void()> restoreMainWindow;
    // After a fatal error: destroy the Call Log window, free brushes, pens,
    // icon and fonts.
    std::function<void()> releaseWindows;
    // OutputDebugString.
    std::function<void(std::string_view)> debugOutput;

    // "Line In Use" window with its two texts (OK and Help close it).
    std::function<void(std::string_view, std::string_view)> showLineInUse;
    // "Dialing Prompt" window with the prompt; answer: DialingPromptAnswer().
    std::function<void(std::string_view)> showDialingPrompt;
    std::function<void()> closeDialingPrompt;
    // Transfer/Conference choice: shown again when its list changes;
    // answer: TransferChoiceAnswer().
    std::function<void(const TransferChoice&)> showTransferChoice;
    std::function<void()> closeTransferChoice;
    // "Conference" window with the "With:" and "And:" parties; answers:
    // ConferenceCancelAll(), ConferenceDisconnect().
    std::function<void(std::string_view, std::string_view)> showConference;
    std::function<void()> closeConference;
    // "DTMF" window; keys: DtmfKey(), Quit: DtmfQuit(). dtmfAppend adds a
    // sent digit to its edit line.
    std::function<void()> showDtmf;
    std::function<void(char)> dtmfAppend;
    std::function<void()> closeDtmf;

    // Wall-clock seconds for call start and end times.
    std::function<std::time_t()> now;
    // UTF-16 text to the ANSI code page (WideCharToMultiByte CP_ACP); when
    // empty, UTF-8.
    std::function<std::string(std::u16string_view)> toAnsi;
};

// The view the core talks to; set once at start, before any other call.
// Empty hooks are replaced by ones that do nothing.
const DialerView& View();
void SetView(const DialerView& view);

}  // namespace zq::dialer
