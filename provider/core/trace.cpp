#include "core/trace.h"

#include <cstdio>

#include "core/config.h"
#include "zq/platform.h"

namespace zq {
namespace {

struct TraceState {
    uint32_t mask = 0;
    plat::Mutex* debugMutex = nullptr;
    int lineCounter = 0;
    bool headerPending = true;
    bool firstWrite = true;
    int fileIndex = 0;
    plat::File* file = nullptr;
};

TraceState g_trace;

constexpr uint32_t kDebugMutexWaitMs = 10000;

void AppendPadded(std::string& out, std::string_view body, std::string_view sign, size_t width, bool left,
                  bool zero) {
    const size_t len = sign.size() + body.size();
    const size_t pad = width > len ? width - len : 0;
    if (left) {
        out += sign;
        out += body;
        out.append(pad, ' ');
    } else if (zero) {
        out += sign;
        out.append(pad, '0');
        out += body;
    } else {
        out.append(pad, ' ');
        out += sign;
        out += body;
    }
}

std::string Digits(uint32_t v, unsigned base, bool upper) {
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char buf[16];
    size_t n = 0;
    do {
        buf[n++] = set[v % base];
        v /= base;
    } while (v != 0);
    std::string s;
    while (n > 0)
        s += buf[--n];
    return s;
}

// UTF-16 to the single-byte text of the trace: Latin-1 characters as they
// are, anything else as '?'.
std::string Narrow(std::u16string_view w, size_t max) {
    std::string s;
    for (char16_t c : w) {
        if (s.size() >= max)
            break;
        s += c < 0x100 ? static_cast<char>(c) : '?';
    }
    return s;
}

void WriteTraceLine(int counter, std::string_view text) {
    const std::string dir = plat::windows_directory() + "\\spitrace";
    if (g_trace.firstWrite) {
        plat::file_create_directory(dir);
        plat::file_delete(dir + "\\tsptrac0.old");
        plat::file_rename(dir + "\\tsptrac0.tr", dir + "\\tsptrac0.old");
        plat::file_delete(dir + "\\tsptrac1.old");
        plat::file_rename(dir + "\\tsptrac1.tr", dir + "\\tsptrac1.old");
        g_trace.file = plat::file_open_write(dir + "\\tsptrac0.tr", true);
        g_trace.fileIndex = 0;
        if (g_trace.file == nullptr)
            return;
        g_trace.firstWrite = false;
    } else if (counter == 0) {
        if (g_trace.file != nullptr)
            plat::file_close(g_trace.file);
        g_trace.fileIndex = 1 - g_trace.fileIndex;
        g_trace.file =
            plat::file_open_write(dir + "\\tsptrac" + std::to_string(g_trace.fileIndex) + ".tr", true);
    }
    if (g_trace.file != nullptr) {
        plat::file_write(g_trace.file, text);
        plat::file_flush(g_trace.file);
    }
}

std::string TimedLine(std::string_view message) {
    std::string line = std::to_string(plat::time_ms());
    line += ' ';
    line += message;
    line += '\n';
    return line;
}

}  // namespace

std::string FormatTrace(std::string_view format, std::span<const TraceArg> args) {
    std::string out;
    size_t next = 0;
    const auto take = [&]() -> const TraceArg* { return next < args.size() ? &args[next++] : nullptr; };
    size_t i = 0;
    while (i < format.size() && out.size() < TRACE_MESSAGE_MAX) {
        const char c = format[i++];
        if (c != '%') {
            out += c;
            continue;
        }
        bool left = false, zero = false, alt = false;
        for (; i < format.size(); ++i) {
            if (format[i] == '-')
                left = true;
            else if (format[i] == '0')
                zero = true;
            else if (format[i] == '#')
                alt = true;
            else
                break;
        }
        size_t width = 0;
        while (i < format.size() && format[i] >= '0' && format[i] <= '9')
            width = std::min<size_t>(width * 10 + static_cast<size_t>(format[i++] - '0'), TRACE_MESSAGE_MAX);
        bool hasPrecision = false;
        size_t precision = 0;
        if (i < format.size() && format[i] == '.') {
            hasPrecision = true;
            ++i;
            while (i < format.size() && format[i] >= '0' && format[i] <= '9')
                precision = std::min<size_t>(precision * 10 + static_cast<size_t>(format[i++] - '0'),
                                             TRACE_MESSAGE_MAX);
        }
        bool wide = false;
        while (i < format.size() && (format[i] == 'l' || format[i] == 'h' || format[i] == 'w')) {
            wide = wide || format[i] == 'l' || format[i] == 'w';
            ++i;
        }
        if (i >= format.size())
            break;
        const char conv = format[i++];
        switch (conv) {
            case 'd':
            case 'i':
            case 'u':
            case 'x':
            case 'X': {
                const TraceArg* a = take();
                const uint32_t v = (a != nullptr && a->kind == TraceArg::Kind::Int) ? a->value : 0;
                std::string sign;
                std::string body;
                if (conv == 'd' || conv == 'i') {
                    const auto sv = static_cast<int32_t>(v);
                    if (sv < 0)
                        sign = "-";
                    body = Digits(sv < 0 ? 0u - v : v, 10, false);
                } else if (conv == 'u') {
                    body = Digits(v, 10, false);
                } else {
                    body = Digits(v, 16, conv == 'X');
                    if (alt && v != 0)
                        sign = conv == 'X' ? "0X" : "0x";
                }
                if (hasPrecision && body.size() < precision)
                    body.insert(0, precision - body.size(), '0');
                AppendPadded(out, body, sign, width, left, zero && !hasPrecision);
                break;
            }
            case 'c': {
                const TraceArg* a = take();
                const char ch =
                    (a != nullptr && a->kind == TraceArg::Kind::Int) ? static_cast<char>(a->value) : ' ';
                AppendPadded(out, std::string_view(&ch, 1), {}, width, left, zero);
                break;
            }
            case 's':
            case 'S': {
                const TraceArg* a = take();
                std::string text;
                const size_t max = hasPrecision ? precision : TRACE_MESSAGE_MAX;
                // %s is the caller's kind of string, %S the other; with both
                // kinds at hand the argument's own kind decides.
                (void)wide;
                if (a != nullptr && a->kind == TraceArg::Kind::Str)
                    text = std::string(a->str.substr(0, std::min(max, a->str.size())));
                else if (a != nullptr && a->kind == TraceArg::Kind::WStr)
                    text = Narrow(a->wstr, max);
                else
                    text = "(null)";
                AppendPadded(out, text, {}, width, left, false);
                break;
            }
            case '%':
                out += '%';
                break;
            default:
                out += conv;
                break;
        }
    }
    if (out.size() > TRACE_MESSAGE_MAX)
        out.resize(TRACE_MESSAGE_MAX);
    return out;
}

bool TraceEnabled(uint32_t level) {
    return level == 0 || (level & g_trace.mask) != 0;
}

void TspTraceArgs(uint32_t level, std::string_view format, std::span<const TraceArg> args) {
    if (!TraceEnabled(level))
        return;
    const plat::Wait w = plat::mutex_wait(g_trace.debugMutex, kDebugMutexWaitMs);
    if (w != plat::Wait::Object0 && w != plat::Wait::Abandoned)
        return;

    if (++g_trace.lineCounter > TRACE_LINES_PER_FILE)
        g_trace.lineCounter = 0;
    if (g_trace.headerPending) {
        g_trace.headerPending = false;
        const plat::LocalTime t = plat::local_time();
        char date[16];
        char time[16];
        std::snprintf(date, sizeof date, "%02d/%02d/%02d", t.day % 100, t.month % 100, t.year % 100);
        std::snprintf(time, sizeof time, "%02d:%02d:%02d", t.hour % 100, t.minute % 100, t.second % 100);
        const std::array<TraceArg, 2> dateArgs{TraceArg(date), TraceArg(time)};
        WriteTraceLine(g_trace.lineCounter,
                       TimedLine(FormatTrace("TSP VELMORA 6200 DebugFile - date: %s - %s", dateArgs)));
        const std::array<TraceArg, 1> maskArgs{TraceArg(g_trace.mask)};
        WriteTraceLine(g_trace.lineCounter, TimedLine(FormatTrace("* OutputTraceMode:%d *", maskArgs)));
        ++g_trace.lineCounter;
    }
    WriteTraceLine(g_trace.lineCounter, TimedLine(FormatTrace(format, args)));
    plat::mutex_release(g_trace.debugMutex);
}

uint32_t ReadDebugMode() {
    std::array<char, 256> text{};
    const int n = ReadProviderValue("Debug_Mode", "DebugOutput", "", text);
    // Text that is not a number reads as 0, like atoi, and is left as it is.
    const int32_t v = DecimalValue(text.data());
    if (n > 0 && v >= 0)
        return static_cast<uint32_t>(v);
    if (n >= 0)
        WriteProviderValue("Debug_Mode", "DebugOutput", "0");
    return 0;
}

void TraceAttach() {
    plat::mutex_create("SP62DebugMutex", false, &g_trace.debugMutex);
    g_trace.mask = ReadDebugMode();
}

void TraceDetach() {
    if (g_trace.debugMutex != nullptr)
        plat::mutex_close(g_trace.debugMutex);
    g_trace.debugMutex = nullptr;
    // An unloaded library leaves no file open; a later load starts a new
    // trace, as a new process would.
    if (g_trace.file != nullptr)
        plat::file_close(g_trace.file);
    g_trace = TraceState{};
}

uint32_t TraceMask() {
    return g_trace.mask;
}

void TraceResetForTest(uint32_t mask) {
    if (g_trace.file != nullptr)
        plat::file_close(g_trace.file);
    const plat::Mutex* keep = g_trace.debugMutex;
    g_trace = TraceState{};
    g_trace.debugMutex = const_cast<plat::Mutex*>(keep);
    g_trace.mask = mask;
}

}  // namespace zq
