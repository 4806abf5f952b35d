// The call log: its lines as written, the switches, and the Call Log
// window's view of the file on the in-memory backend.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "core/calllog.h"
#include "core/logview.h"
#include "core/settings.h"
#include "zq/memplat.h"

namespace zq::dialer {
namespace {

constexpr plat::LocalTime kNow{2026, 12, 8, 10, 20, 30};

class CallLog : public ::testing::Test {
protected:
    void SetUp() override {
        memplat::reset();
        LoadIntlSettings();
        LoadLogSwitches();
        CallLogView() = LogView{};
    }
    static std::string File() { return memplat::file_text(LogFilePath()).value_or("<none>"); }
    static std::vector<std::string> Rows(const LogView& view) {
        std::vector<std::string> rows;
        for (const LogLine& line : view.lines)
            rows.push_back(line.text);
        return rows;
    }
};

// A call as the call window hands it over.
LoggedCall Call(bool incoming, bool transferred, std::string name, std::string number,
                std::string called = "", std::time_t start = 0, std::time_t end = 0,
                std::string callback = "") {
    return {incoming, transferred, std::move(name),    std::move(number), std::move(called),
            start,    end,         std::move(callback)};
}

// "To:<TAB>Name00042<TAB>00042..." lines of one length, up to `size` bytes.
std::string NumberedLog(size_t size, std::vector<std::string>* lines) {
    std::string text;
    for (int i = 0; text.size() < size; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "To:\tName%05d\t%05d\t \t \t\t12/08/26\t10:20am", i, i);
        lines->push_back(line);
        text += std::string(line) + "\r\n";
    }
    return text;
}

// The lines of a CR LF file that start in its last 32000 bytes, newest first.
std::vector<std::string> LastLines(const std::string& text) {
    std::vector<std::string> rows;
    for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        if (start + kLogViewBytes >= text.size())
            rows.insert(rows.begin(), text.substr(start, end - start));
    return rows;
}

TEST_F(CallLog, RecordShapes) {
    const std::string name300(300, 'n'), number300(300, '5');
    struct Case {
        LoggedCall call;
        std::string line;
    } cases[] = {
        {Call(true, false, "Alice", "0612", "201", 1000, 1061),
         "From:\tAlice\t0612\tOn:\t201\t12/08/26\t10:20am\t2 min"},
        {Call(false, false, "", "555", "", 0, 0), "To:\t \t555\t \t \t\t12/08/26\t10:20am"},
        {Call(true, false, "Bob", "", "7", 0, 0), "From:\tBob\t \t \t \t\t12/08/26\t10:20am"},
        {Call(true, true, "Carl", "33", "2001", 10, 70),
         "Trans:\tCarl\t33\tOn:\t2001\t12/08/26\t10:20am\t1 min"},
        {Call(false, false, "D", "0612", "", 50, 50, "00612"),
         "To:\tD\t00612\t \t \t\t12/08/26\t10:20am\t0 min"},
        // A clock that went back; fields that would break the columns.
        {Call(false, false, "A\tB\r\nC", "1\t2", "", 100, 40),
         "To:\tA B  C\t1 2\t \t \t\t12/08/26\t10:20am\t0 min"},
        // Cut to 253: the number before the name; date, time, minutes kept.
        {Call(false, false, name300, number300, "", 1, 3600),
         "To:\tn\t" + number300.substr(0, 218) + "\t \t \t\t12/08/26\t10:20am\t60 min"},
    };
    for (const Case& c : cases) {
        const std::string line = FormatLogRecord(c.call, Intl(), kNow);
        EXPECT_EQ(line, c.line);
        EXPECT_LE(line.size(), kLogRecordChars);
    }
}

TEST_F(CallLog, DateAndTimeFollowIntl) {
    struct Case {
        std::string shortDate, sep, timeSep;
        int iTime, year, hour, minute;
        std::string date, time;
    } cases[] = {
        {"mm/dd/yy", "/", ":", 0, 2026, 12, 5, "12/08/26", "12:05pm"},
        {"mm/dd/yy", "/", ":", 0, 2026, 0, 30, "12/08/26", "00:30am"},
        {"mm/dd/yy", "/", ":", 0, 2000, 13, 7, "12/08/00", "01:07pm"},
        {"dd.MM.yyyy", ".", ".", 1, 2026, 13, 7, "08.12.2026", "13.07pm"},
        {"yy-M-d", "-", ":", 1, 1998, 0, 30, "98-12-08", "00:30pm"},
        {"'d' M", "", ":", 0, 2026, 11, 59, "0812", "11:59am"},
    };
    for (const Case& c : cases) {
        IntlSettings intl;
        intl.sShortDate = c.shortDate;
        intl.sDate = c.sep;
        intl.sTime = c.timeSep;
        intl.iTime = c.iTime;
        const plat::LocalTime t{c.year, 12, 8, c.hour, c.minute, 0};
        EXPECT_EQ(FormatLogDate(intl, t), c.date) << c.shortDate;
        EXPECT_EQ(FormatLogTime(intl, t), c.time) << c.hour;
    }
}

TEST_F(CallLog, IntlReadFromWinIniWithinLimits) {
    for (auto [key, value] : {std::pair{"s1159", "morning"},
                              {"s2359", "PM"},
                              {"sDate", "--"},
                              {"sTime", ""},
                              {"sShortDate", "dd/MM/yyyy dd/MM/yyyy"},
                              {"iTime", " 1x"}})
        plat::profile_write_string("win.ini", "Intl", key, value);
    const IntlSettings intl = ReadIntlSettings();
    EXPECT_EQ(intl.s1159 + "|" + intl.s2359 + "|" + intl.sDate + "|" + intl.sTime + "|" + intl.sShortDate,
              "morni|PM|-||dd/MM/yyyy dd/MM/yy");
    EXPECT_EQ(intl.iTime, 1);
    plat::profile_write_string("win.ini", "Intl", "iTime", "x");
    EXPECT_EQ(ReadIntlSettings().iTime, 0);
}

TEST_F(CallLog, WrittenOnlyWhenLoggedAndKnown) {
    struct Case {
        bool incoming, transferred;
        std::string name, number;
        LogSwitches switches;
        bool failOpen, written;
    } cases[] = {
        {true, false, "", "", {true, true}, false, false},  // nobody to log
        {true, false, "Ann", "", {true, true}, false, true},
        {false, false, "", "12", {true, true}, false, true},
        {true, false, "Ann", "1", {false, true}, false, false},
        {true, true, "Ann", "1", {false, true}, false, false},  // a transferred part is incoming
        {false, false, "Ann", "1", {true, false}, false, false},
        {false, false, "Ann", "1", {true, true}, true, false},  // the file cannot be opened
    };
    for (const Case& c : cases) {
        memplat::reset();
        SetLogSwitches(c.switches);
        LoadLogSwitches();
        memplat::file_fail_open(c.failOpen);
        EXPECT_EQ(WriteLogRecord(Call(c.incoming, c.transferred, c.name, c.number)), c.written)
            << c.name << c.number;
        memplat::file_fail_open(false);
        EXPECT_EQ(memplat::file_text(LogFilePath()).has_value(), c.written);
        EXPECT_EQ(memplat::reg_get_string(plat::RegRoot::CurrentUser, kCallLoggingKey, "Log Incoming Calls"),
                  c.switches.incoming ? "1" : "0");
    }
}

TEST_F(CallLog, AppendsAfterALastLineWithoutLineEnd) {
    memplat::file_put(LogFilePath(), "old line");
    ASSERT_TRUE(WriteLogRecord(Call(false, false, "", "12")));
    EXPECT_EQ(File(), "old line\r\nTo:\t \t12\t \t \t\t12/08/26\t10:20am\r\n");
}

TEST_F(CallLog, WindowShowsTheLastBytesNewestFirst) {
    std::vector<std::string> lines;
    const std::string text = NumberedLog(100000, &lines);
    memplat::file_put(LogFilePath(), text);
    LogView& view = CallLogView();
    ASSERT_TRUE(LogViewOpen(view));
    const std::vector<std::string> shown = LastLines(text);
    EXPECT_EQ(Rows(view), shown);
    EXPECT_EQ(view.bytesRead, text.size());

    // A call written while the window is shown: on top, the oldest dropped.
    ASSERT_TRUE(WriteLogRecord(Call(true, false, std::string(40, 'N'), std::string(80, '9'))));
    EXPECT_EQ(Rows(view), LastLines(File()));
    EXPECT_EQ(view.lines[1].text, shown.front());
    EXPECT_LT(view.lines.size(), shown.size());
    EXPECT_EQ(view.bytesRead, File().size());
    EXPECT_LE(LogHeldBytes(view), kLogViewBytes);

    // Hidden, the window only notes that it must reload.
    LogViewClose(view);
    ASSERT_TRUE(WriteLogRecord(Call(true, false, "Later", "98")));
    EXPECT_TRUE(view.reloadPending);
    EXPECT_EQ(view.lines.front().text.substr(0, 7), "From:\tN");
    ASSERT_TRUE(LogViewOpen(view));
    EXPECT_EQ(view.lines.front().text.substr(0, 11), "From:\tLater");
}

TEST_F(CallLog, OddFilesAreShownWithoutLoss) {
    struct Case {
        std::string file;
        std::vector<std::string> rows;
    } cases[] = {
        {std::string(300, 'x') + "\r\nB\r\n", {"B", std::string(255, 'x')}},
        {std::string("a\0b\rc\n\n\r\nd", 10), {"d", "c", "a b"}},  // NUL, lone CR and LF, no last CR LF
        {"\xff\xfe\x01\r\n", {"\xff\xfe\x01"}},
        {std::string(40000, 'z'), {}},  // one line longer than the window: its start is not in it
        // A line that starts right at the window's first byte is whole.
        {"old\r\n" + std::string(31998, 'k') + "\r\n", {std::string(255, 'k')}},
        {"", {}},
    };
    for (const Case& c : cases) {
        memplat::file_put(LogFilePath(), c.file);
        LogView view;
        ASSERT_TRUE(LogViewOpen(view));
        EXPECT_EQ(Rows(view), c.rows);
    }
}

TEST_F(CallLog, ShrunkOrClearedFileIsReloaded) {
    memplat::file_put(LogFilePath(), "A\r\nB\r\nC\r\n");
    LogView& view = CallLogView();
    ASSERT_TRUE(LogViewOpen(view));
    memplat::file_put(LogFilePath(), "Z\r\n");
    ASSERT_TRUE(LoadLogView(view, false));
    EXPECT_EQ(Rows(view), std::vector<std::string>{"Z"});

    ASSERT_TRUE(LogClearAll(view));
    EXPECT_FALSE(memplat::file_text(LogFilePath()).has_value());
    EXPECT_TRUE(view.lines.empty());
    ASSERT_TRUE(WriteLogRecord(Call(false, false, "", "5")));
    EXPECT_EQ(view.lines.size(), 1u);

    memplat::file_fail_open(true);
    EXPECT_FALSE(LogViewOpen(view));
    EXPECT_EQ(view.lines.size(), 1u);  // left as it was
}

TEST_F(CallLog, DeleteRemovesOnlyTheSelectedLines) {
    const std::string x300(300, 'x');
    struct Case {
        std::string file;
        std::vector<size_t> rows;  // 0 = newest
        std::string after;
    } cases[] = {
        {"A\r\nB\r\nC\r\n", {1}, "A\r\nC\r\n"},
        {"A\r\nB\r\nC\r\n", {2, 0, 2}, "B\r\n"},
        {"A\nB\rC", {0}, "A\nB\r"},
        {"A\r\n" + x300 + "\r\nB\r\n", {2}, x300 + "\r\nB\r\n"},  // the long line stays whole
        {"A\r\nB\r\n", {7}, "A\r\nB\r\n"},
    };
    for (const Case& c : cases) {
        memplat::file_put(LogFilePath(), c.file);
        LogView view;
        ASSERT_TRUE(LogViewOpen(view));
        EXPECT_TRUE(LogDeleteLines(view, c.rows));
        EXPECT_EQ(File(), c.after);
        EXPECT_EQ(view.bytesRead, c.after.size());
    }

    // Text older than the window stays in the file.
    std::vector<std::string> lines;
    const std::string big = NumberedLog(100000, &lines);
    memplat::file_put(LogFilePath(), big);
    LogView view;
    ASSERT_TRUE(LogViewOpen(view));
    const size_t newest[] = {0};
    ASSERT_TRUE(LogDeleteLines(view, newest));
    EXPECT_EQ(File(), big.substr(0, big.size() - lines.back().size() - 2));
    EXPECT_EQ(view.lines.front().text, lines[lines.size() - 2]);

    // A file changed behind the window's back is left alone.
    memplat::file_put(LogFilePath(), "Q\r\nR\r\nS\r\nT\r\n");
    ASSERT_TRUE(LogViewOpen(view));
    memplat::file_put(LogFilePath(), "Q\r\nR\r\nX\r\nT\r\n");
    const size_t s[] = {1};
    EXPECT_FALSE(LogDeleteLines(view, s));
    EXPECT_EQ(File(), "Q\r\nR\r\nX\r\nT\r\n");
}

TEST_F(CallLog, CopyAndDialFromTheLog) {
    struct Case {
        std::string line, number;
    } cases[] = {
        {"From:\tAlice\t0612345678\tOn:\t201\t12/08/26\t10:20am\t2 min", "0612345678"},
        {"To:\tBob\t555", "555"},
        {"From:\t \tUnknown\t \t \t\t12/08/26\t10:20am", ""},
        {"From:\tBob\t 123\t \t \t", ""},
        {"From:\tBob\t\t", ""},
        {"From:\tBob", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(LogLineNumber(c.line), c.number) << c.line;

    memplat::file_put(LogFilePath(), "To:\tA\t1\r\nTo:\tB\t2\r\n");
    LogView view;
    ASSERT_TRUE(LogViewOpen(view));
    const size_t one[] = {1}, both[] = {1, 0, 9};
    EXPECT_EQ(LogDialNumber(view, one), "1");
    EXPECT_EQ(LogDialNumber(view, both), "");
    EXPECT_EQ(LogCopyText(view, both), "To:\tB\t2\r\nTo:\tA\t1\r\n");
}

TEST_F(CallLog, MenuEnabling) {
    struct Case {
        size_t rows, selected;
        const char* enabled;  // Cut, Copy, Delete, Clear All, Dial
    } cases[] = {{0, 0, "00000"}, {3, 0, "00010"}, {3, 1, "11111"}, {3, 2, "11110"}};
    for (const Case& c : cases) {
        const LogMenuState s = LogMenuEnabling(c.rows, c.selected);
        std::string enabled;
        for (bool on : {s.cut, s.copy, s.del, s.clearAll, s.dial})
            enabled += on ? '1' : '0';
        EXPECT_EQ(enabled, c.enabled) << c.rows << " " << c.selected;
    }
}

TEST_F(CallLog, RowsAreDrawnInColumns) {
    const LogTextWidth width = [](std::string_view text) { return static_cast<int>(text.size()) * 10; };
    const LogColumnWidths columns = ComputeLogColumns(width, Intl(), kNow);
    EXPECT_EQ(columns, (LogColumnWidths{62, 150, 166, 32, 112, 86, 90, 60}));
    EXPECT_EQ(FitLogField("Alexander", 60, width), "Ale...");
    EXPECT_EQ(FitLogField("Alex", 60, width), "Alex");
    EXPECT_EQ(FitLogField("Alexander", 20, width), "...");

    const std::vector<LogCell> cells =
        LayoutLogRow("Trans:\tAlexandra Longname\t0612\t \t \t\t12/08/26\t10:20am\t3 min", columns, width);
    std::vector<int> xs;
    for (const LogCell& cell : cells)
        xs.push_back(cell.x);
    EXPECT_EQ(xs, (std::vector<int>{0, 62, 212, 378, 410, 522, 608, 698}));
    EXPECT_EQ(cells[0].text, "Trans:");
    EXPECT_EQ(cells[1].text, "Alexandra Lo...");
}

}  // namespace
}  // namespace zq::dialer
