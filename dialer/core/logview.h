// The Call Log window's model: the newest part of the log file, newest line
// first, never more than 32000 bytes of the file; the window's commands on
// it; the layout of its owner-drawn rows. The Win32 shell draws the rows and
// owns the clipboard, the menu and the options dialog.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/intl.h"
#include "zq/platform.h"

namespace zq::dialer {

inline constexpr size_t kLogViewBytes = 32000;  // of the file, at most
inline constexpr size_t kLogLineChars = 255;    // shown of a line, at most
inline constexpr char kLogFileName[] = "zqcallog.txt";

// Window menu and accelerator commands.
inline constexpr int kLogCmdCut = 1001;
inline constexpr int kLogCmdCopy = 1002;
inline constexpr int kLogCmdDelete = 1004;
inline constexpr int kLogCmdOptions = 1008;
inline constexpr int kLogCmdHelpContents = 1012;
inline constexpr int kLogCmdDial = 1014;
inline constexpr int kLogCmdHelpCallLog = 1017;
inline constexpr int kLogCmdClearAll = 1019;
inline constexpr int kLogHelpTopic = 15;         // the window, also F1
inline constexpr int kLogOptionsHelpTopic = 22;  // "Call Log Options"

// The log file: the Windows directory with a separator, then the name.
std::string LogFilePath();

struct LogLine {
    uint64_t offset = 0;  // of its first byte in the file
    uint64_t length = 0;  // its bytes in the file without the line end
    std::string text;     // its first 255 bytes, NUL shown as a blank
};

struct LogView {
    std::vector<LogLine> lines;  // row 0 is the newest line
    uint64_t bytesRead = 0;      // the file has been read up to here
    bool visible = false;
    bool reloadPending = true;  // reload entirely when next shown
};

// The window's one view, which WriteLogRecord brings up to date.
LogView& CallLogView();
// Called after a written line has changed the rows of CallLogView(), so
// the window can show them; nullptr for none.
void SetCallLogListener(void (*changed)());
// WriteLogRecord's last step: LogViewAfterWrite on CallLogView(), then the
// listener when the rows changed.
void CallLogWritten();

// Bytes of the file the rows cover: from the oldest row to the end read.
uint64_t LogHeldBytes(const LogView& view);

// Brings the rows up to date with the file. Full: the lines of the file's
// last 32000 bytes. Otherwise what the file gained since the last read,
// dropping rows that fall out of the last 32000 bytes. The rows are thus
// always every line that starts in the last 32000 bytes read, and there is
// never room for older ones. A read that starts inside a line skips that
// line; a file that shrank is reloaded entirely. false when the file could
// not be read; the rows are then as they were.
bool LoadLogView(LogView& view, bool full);

// "View Log" and the start-up: shown and reloaded entirely (false: "An
// internal error occurred..."); hidden.
bool LogViewOpen(LogView& view);
void LogViewClose(LogView& view);
// After a line was appended: read at once when shown, else reload when
// next shown. true when the rows changed.
bool LogViewAfterWrite(LogView& view);

// Copy: the rows' texts, top to bottom, each followed by CR LF. Rows out
// of range are ignored.
std::string LogCopyText(const LogView& view, std::span<const size_t> rows);

// Delete: removes the rows' lines (each with its line end) from the file
// and reloads. Every other byte of the file stays, older text and the full
// length of long lines included. A file that no longer holds a row's line
// where it was read is left alone (false, reloaded). false also when the
// file could not be read or written.
bool LogDeleteLines(LogView& view, std::span<const size_t> rows);

// Clear All: deletes the file and reloads (false: the error box).
bool LogClearAll(LogView& view);

// Dial: the third field of the one selected row, unless it is empty,
// "Unknown" or starts with a blank (then empty: nothing to dial). The caller
// checks that the line may make a call and dials with no name or message.
std::string LogDialNumber(const LogView& view, std::span<const size_t> rows);
// The same for one line of the log.
std::string LogLineNumber(std::string_view line);

// Which commands of the window are enabled.
struct LogMenuState {
    bool cut = false;
    bool copy = false;
    bool del = false;
    bool clearAll = false;
    bool dial = false;
};
LogMenuState LogMenuEnabling(size_t rowCount, size_t selectedCount);

// ---- drawing

inline constexpr size_t kLogColumns = 8;
inline constexpr int kLogScrollExtent = 2500;  // horizontal, in pixels
// Pixel width of a text in the window's font.
using LogTextWidth = std::function<int(std::string_view)>;
using LogColumnWidths = std::array<int, kLogColumns>;

// At creation and resizing, from the window's font, today's date and the
// current time.
LogColumnWidths ComputeLogColumns(const LogTextWidth& width, const IntlSettings& intl,
                                  const plat::LocalTime& now);

// A row's non-empty TAB-separated fields, left to right.
std::vector<std::string_view> LogRowFields(std::string_view line);

// A field that is wider than its column loses characters from its end,
// which is replaced by "...", until it fits ("..." at the least).
std::string FitLogField(std::string_view field, int columnWidth, const LogTextWidth& width);

// Where and what to draw of one row: each field in its column from x = 0
// (fields past the eighth take the eighth's width).
struct LogCell {
    int x = 0;
    std::string text;
};
std::vector<LogCell> LayoutLogRow(std::string_view line, const LogColumnWidths& columns,
                                  const LogTextWidth& width);

}  // namespace zq::dialer
