// The dialer's secondary windows, each a thin shell over the core: the
// values come from the core's models, the user's answers go back to it.
#pragma once

#include <windows.h>

#include <string_view>

#include "core/view.h"

namespace zq::dialer::win32 {

// Modal.
void ShowAbout(HWND owner);
void ShowLineInUse(HWND owner, std::string_view text, std::string_view text2);
// The main window's speed-dial captions follow what is saved.
void ShowProgramSpeedDial(HWND owner, int index);
void ShowEditSpeedDial(HWND owner);
// true when the application must end for the new line to be used.
bool ShowDialingOptions(HWND owner);

// Modeless, owned by the main window. The dialing prompt keeps the main
// window disabled while it is open.
void OpenDialingPrompt(HWND owner, std::string_view prompt);
// Closed without an answer (the call went on or ended meanwhile).
void CloseDialingPrompt();
void OpenDtmf(HWND owner);
void DtmfAppend(char digit);
void CloseDtmf();
void OpenTransferChoice(HWND owner, const TransferChoice& choice);
void CloseTransferChoice();
void OpenConference(HWND owner, std::string_view with, std::string_view withToo);
void CloseConference();
// The modeless windows' keyboard handling; true when msg was theirs.
bool ModelessDialogMessage(MSG* msg);
void CloseModelessWindows();

}  // namespace zq::dialer::win32
