#include "core/logview.h"

#include <algorithm>

namespace zq::dialer {
namespace {

LogView g_view;
void (*g_listener)() = nullptr;

bool IsLineEnd(uint8_t b) {
    return b == '\r' || b == '\n';
}

std::string HeldText(std::span<const uint8_t> bytes) {
    const std::span<const uint8_t> shown = bytes.first(std::min(bytes.size(), kLogLineChars));
    std::string text(shown.begin(), shown.end());
    // The window's list and the clipboard take texts up to a NUL.
    std::replace(text.begin(), text.end(), '\0', ' ');
    return text;
}

// The non-empty lines of bytes from pos, oldest first; base is the file
// offset of bytes[0].
void SplitLines(std::span<const uint8_t> bytes, size_t pos, uint64_t base, std::vector<LogLine>& out) {
    while (pos < bytes.size()) {
        if (IsLineEnd(bytes[pos])) {
            ++pos;
            continue;
        }
        size_t end = pos;
        while (end < bytes.size() && !IsLineEnd(bytes[end]))
            ++end;
        out.push_back({base + pos, end - pos, HeldText(bytes.subspan(pos, end - pos))});
        pos = end;
    }
}

// The lines of [start, end) of the file, oldest first; *reached is where
// the read ended (short when the file shrank meanwhile). A read from inside
// the file (skipPartial, start > 0) drops its first line unless the byte
// before start ends a line.
bool ReadLines(const std::string& path, uint64_t start, uint64_t end, bool skipPartial,
               std::vector<LogLine>& out, uint64_t* reached) {
    const uint64_t from = skipPartial ? start - 1 : start;
    std::vector<uint8_t> buffer(static_cast<size_t>(end - from));
    size_t got = 0;
    if (plat::file_read_at(path, from, buffer, &got) != plat::kErrSuccess)
        return false;
    const std::span<const uint8_t> bytes =
        std::span<const uint8_t>(buffer).first(std::min(got, buffer.size()));
    size_t pos = 0;
    if (skipPartial && !bytes.empty()) {
        pos = 1;
        if (!IsLineEnd(bytes[0]))
            while (pos < bytes.size() && !IsLineEnd(bytes[pos]))
                ++pos;
    }
    SplitLines(bytes, pos, from, out);
    *reached = from + bytes.size();
    return true;
}

// The rows asked for that exist, top to bottom, each once.
std::vector<size_t> ValidRows(const LogView& view, std::span<const size_t> rows) {
    std::vector<size_t> valid;
    for (size_t row : rows)
        if (row < view.lines.size())
            valid.push_back(row);
    std::sort(valid.begin(), valid.end());
    valid.erase(std::unique(valid.begin(), valid.end()), valid.end());
    return valid;
}

// Whether bytes (the file from `first`) still hold the line where it was
// read: the same length, a line end after it, the same text.
bool LineStillThere(std::span<const uint8_t> bytes, uint64_t first, const LogLine& line) {
    if (line.offset < first || line.offset - first > bytes.size() ||
        line.length > bytes.size() - (line.offset - first))
        return false;
    const size_t rel = static_cast<size_t>(line.offset - first);
    const std::span<const uint8_t> text = bytes.subspan(rel, static_cast<size_t>(line.length));
    if (text.empty() || std::any_of(text.begin(), text.end(), IsLineEnd))
        return false;
    const size_t after = rel + text.size();
    if (after < bytes.size() && !IsLineEnd(bytes[after]))
        return false;
    return HeldText(text) == line.text;
}

}  // namespace

std::string LogFilePath() {
    std::string path = plat::windows_directory();
    // Without a Windows directory there is no log: every access fails.
    if (path.empty())
        return path;
    if (path.back() != '\\' && path.back() != '/')
        path += '\\';
    return path + kLogFileName;
}

LogView& CallLogView() {
    return g_view;
}

void SetCallLogListener(void (*changed)()) {
    g_listener = changed;
}

void CallLogWritten() {
    if (LogViewAfterWrite(g_view) && g_listener != nullptr)
        g_listener();
}

uint64_t LogHeldBytes(const LogView& view) {
    return view.lines.empty() ? 0 : view.bytesRead - view.lines.back().offset;
}

bool LoadLogView(LogView& view, bool full) {
    const std::string path = LogFilePath();
    uint64_t size = 0;
    const uint32_t err = plat::file_size(path, &size);
    if (err == plat::kErrFileNotFound)
        size = 0;  // no log yet: an empty one
    else if (err != plat::kErrSuccess)
        return false;
    // A file shorter than what was read has been replaced or cut: the
    // offsets held no longer mean anything.
    if (size < view.bytesRead)
        full = true;
    const uint64_t base = full ? 0 : view.bytesRead;
    std::vector<LogLine> fresh;
    if (size > base) {
        const uint64_t start = size - std::min<uint64_t>(size - base, kLogViewBytes);
        uint64_t reached = 0;
        if (!ReadLines(path, start, size, start != 0 && start != base, fresh, &reached))
            return false;
        if (full)
            view.lines.clear();
        view.lines.insert(view.lines.begin(), fresh.rbegin(), fresh.rend());
        view.bytesRead = reached;
        if (reached > kLogViewBytes)
            while (!view.lines.empty() && view.lines.back().offset < reached - kLogViewBytes)
                view.lines.pop_back();
    } else if (full) {
        view.lines.clear();
        view.bytesRead = size;
    }
    if (full)
        view.reloadPending = false;
    return true;
}

bool LogViewOpen(LogView& view) {
    view.visible = true;
    return LoadLogView(view, true);
}

void LogViewClose(LogView& view) {
    view.visible = false;
}

bool LogViewAfterWrite(LogView& view) {
    if (!view.visible) {
        view.reloadPending = true;
        return false;
    }
    return LoadLogView(view, view.reloadPending);
}

std::string LogCopyText(const LogView& view, std::span<const size_t> rows) {
    std::string text;
    for (size_t row : ValidRows(view, rows))
        text += view.lines[row].text + "\r\n";
    return text;
}

bool LogDeleteLines(LogView& view, std::span<const size_t> rows) {
    std::vector<const LogLine*> doomed;
    for (size_t row : ValidRows(view, rows))
        doomed.push_back(&view.lines[row]);
    if (doomed.empty())
        return true;
    std::sort(doomed.begin(), doomed.end(),
              [](const LogLine* a, const LogLine* b) { return a->offset < b->offset; });

    // Only the file from the oldest deleted line on is rewritten: at most
    // the window's bytes and what was appended since it last read.
    const std::string path = LogFilePath();
    const uint64_t first = doomed.front()->offset;
    uint64_t size = 0;
    bool done = plat::file_size(path, &size) == plat::kErrSuccess && size >= view.bytesRead &&
                size >= first && size - first <= 2 * kLogViewBytes;
    std::vector<uint8_t> buffer(done ? static_cast<size_t>(size - first) : 0);
    size_t got = 0;
    done = done && plat::file_read_at(path, first, buffer, &got) == plat::kErrSuccess && got == buffer.size();
    const std::span<const uint8_t> bytes(buffer);
    for (const LogLine* line : doomed)
        done = done && LineStillThere(bytes, first, *line);
    std::string tail;
    size_t cursor = 0;
    for (const LogLine* line : doomed) {
        if (!done)
            break;
        // Everything up to the line, then the line and its line end go.
        const auto rel = static_cast<size_t>(line->offset - first);
        if (rel < cursor) {
            done = false;
            break;
        }
        const std::span<const uint8_t> kept = bytes.subspan(cursor, rel - cursor);
        tail.append(kept.begin(), kept.end());
        cursor = rel + static_cast<size_t>(line->length);
        if (cursor < bytes.size() && bytes[cursor] == '\r')
            ++cursor;
        if (cursor < bytes.size() && bytes[cursor] == '\n')
            ++cursor;
    }
    if (done) {
        const std::span<const uint8_t> rest = bytes.subspan(cursor);
        tail.append(rest.begin(), rest.end());
        done = plat::file_write_tail(path, first, tail) == plat::kErrSuccess;
    }
    // The offsets after the first deleted line have moved.
    const bool loaded = LoadLogView(view, true);
    return done && loaded;
}

bool LogClearAll(LogView& view) {
    const uint32_t err = plat::file_delete(LogFilePath());
    if (err != plat::kErrSuccess && err != plat::kErrFileNotFound) {
        LoadLogView(view, true);
        return false;
    }
    view.lines.clear();
    view.bytesRead = 0;
    return LoadLogView(view, true);
}

std::string LogLineNumber(std::string_view line) {
    const size_t nameTab = line.find('\t');
    if (nameTab == std::string_view::npos)
        return {};
    const size_t numberTab = line.find('\t', nameTab + 1);
    if (numberTab == std::string_view::npos)
        return {};
    std::string_view number = line.substr(numberTab + 1);
    number = number.substr(0, number.find('\t'));
    if (number.empty() || number == "Unknown" || number.front() == ' ')
        return {};
    return std::string(number);
}

std::string LogDialNumber(const LogView& view, std::span<const size_t> rows) {
    const std::vector<size_t> valid = ValidRows(view, rows);
    return valid.size() == 1 ? LogLineNumber(view.lines[valid.front()].text) : std::string();
}

LogMenuState LogMenuEnabling(size_t rowCount, size_t selectedCount) {
    LogMenuState state;
    state.cut = state.copy = state.del = selectedCount > 0;
    state.clearAll = rowCount > 0;
    state.dial = selectedCount == 1;
    return state;
}

LogColumnWidths ComputeLogColumns(const LogTextWidth& width, const IntlSettings& intl,
                                  const plat::LocalTime& now) {
    // The widest direction, so that "Trans:" is not shortened.
    const int direction = std::max({width("From:"), width("To:"), width("Trans:")});
    return {direction + 2,
            150,
            width("+00-000-000-0000") + 6,
            width("On:") + 2,
            width("+0000000000") + 2,
            width(FormatLogDate(intl, now)) + 6,
            width(FormatLogTime(intl, now)) + 20,
            width("60 min")};
}

std::vector<std::string_view> LogRowFields(std::string_view line) {
    std::vector<std::string_view> fields;
    while (!line.empty()) {
        const size_t tab = line.find('\t');
        const std::string_view field = line.substr(0, tab);
        if (!field.empty())
            fields.push_back(field);
        if (tab == std::string_view::npos)
            break;
        line.remove_prefix(tab + 1);
    }
    return fields;
}

std::string FitLogField(std::string_view field, int columnWidth, const LogTextWidth& width) {
    if (width(field) <= columnWidth)
        return std::string(field);
    for (size_t keep = field.size(); keep-- > 0;) {
        std::string shortened = std::string(field.substr(0, keep)) + "...";
        if (width(shortened) <= columnWidth)
            return shortened;
    }
    return "...";
}

std::vector<LogCell> LayoutLogRow(std::string_view line, const LogColumnWidths& columns,
                                  const LogTextWidth& width) {
    std::vector<LogCell> cells;
    int x = 0;
    for (std::string_view field : LogRowFields(line)) {
        const int column = columns[std::min(cells.size(), kLogColumns - 1)];
        cells.push_back({x, FitLogField(field, column, width)});
        x += column;
    }
    return cells;
}

}  // namespace zq::dialer
