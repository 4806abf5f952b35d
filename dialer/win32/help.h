// The dialer's help: HTML pages beside zqdial32.exe, one anchor per
// context number ("zqdial32.html#context-15"), shown by the program that
// opens web pages.
#pragma once

namespace zq::dialer::win32 {

inline constexpr int kHelpContents = 0;
inline constexpr int kHelpEditSpeedDial = 13;
inline constexpr int kHelpProgramSpeedDial = 14;
inline constexpr int kHelpCallLog = 15;
inline constexpr int kHelpDialingOptions = 21;
inline constexpr int kHelpLogOptions = 22;
inline constexpr int kHelpLineInUse = 26;
inline constexpr int kHelpDialingPrompt = 1001;

// Opens the page beside the program at the context's anchor (kHelpContents:
// the top). Never waits for the browser; a missing page or browser shows
// nothing.
void OpenHelp(int context);

}  // namespace zq::dialer::win32
