#include "output.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "zq/tapi.h"
#include "zq/tapi_words.h"
#include "zq/utf16.h"

namespace zq::trace {

namespace {

std::string Escape(unsigned code) {
    std::array<char, 8> hex{};
    std::snprintf(hex.data(), hex.size(), "\\u%04x", code);
    return hex.data();
}

std::string Num(uint64_t v) {
    return std::to_string(v);
}

std::string AtJson(const At& at) {
    return "{\"clock\":" + Num(at.clock) +
           ",\"time\":" + (at.wall ? JsonString(WallText(*at.wall)) : "null") +
           ",\"file\":" + JsonString(at.file) + ",\"line\":" + Num(at.line) + "}";
}

std::string PartyJson(const Party& p) {
    return p.empty() ? "null"
                     : "{\"number\":" + JsonString(p.number) + ",\"name\":" + JsonString(p.name) + "}";
}

template <typename T, typename F>
std::string JsonList(const std::vector<T>& items, F f) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i)
        out += (i == 0 ? "" : ",") + f(items[i]);
    return out + "]";
}

std::string PartyText(const char* role, const Party& p) {
    if (p.empty())
        return {};
    std::string text = std::string(role) + " " + (p.number.empty() ? "(no number)" : p.number);
    if (!p.name.empty())
        text += " '" + p.name + "'";
    return text;
}

std::string AtText(const At& at) {
    return TimeText(at.clock, at.wall);
}

std::string OutcomeText(const Request& q) {
    switch (q.outcome) {
        case Request::Outcome::Completed:
            return words::Result(q.result) + " at " + AtText(*q.done);
        case Request::Outcome::Refused:
            return "refused " + words::Result(q.result);
        case Request::Outcome::NoReply:
            return "no completion expected";
        case Request::Outcome::Outstanding:
            break;
    }
    return q.neverCompleted ? "NEVER COMPLETED" : "not known (completions not traced)";
}

const char* OutcomeWord(const Request& q) {
    switch (q.outcome) {
        case Request::Outcome::Completed:
            return "completed";
        case Request::Outcome::Refused:
            return "refused";
        case Request::Outcome::NoReply:
            return "no_reply";
        case Request::Outcome::Outstanding:
            break;
    }
    return "outstanding";
}

// "call 0 CONNECTED" → "CONNECTED", "new call 0" → "new".
std::string EventWord(const std::string& e) {
    if (e.starts_with("new call"))
        return "new";
    if (e.starts_with("call ")) {
        const size_t space = e.find(' ', 5);
        return space == std::string::npos ? e : e.substr(space + 1);
    }
    return e;
}

// Whether a run's trace mask is known to leave out a level.
bool LeftOut(const Run& r, uint32_t level) {
    return r.mask && (*r.mask & level) == 0;
}

std::string RunText(const Run& r, size_t index) {
    std::string text = "Run " + Num(index + 1) + ": ";
    text += r.header ? "provider started " + r.date + " " + r.time : "(its start is not in the trace)";
    text += r.mask ? ", trace mask " + Num(*r.mask) : ", trace mask not known";
    text += ", " + Num(r.lines) + " lines, clock " + Num(r.firstClock) + " to " + Num(r.lastClock) + "\n";
    return text;
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b == '"' || b == '\\') {
            out += '\\';
            out += static_cast<char>(b);
        } else if (b == '\n') {
            out += "\\n";
        } else if (b < 0x20 || b == 0x7F) {
            out += Escape(b);
        } else if (b >= 0x80) {
            const size_t n = utf8_detail::DecodeUtf8(text.substr(i)).second;
            if (n == 0) {
                out += Escape(b);
            } else {
                out.append(text.substr(i, n));
                i += n;
                continue;
            }
        } else {
            out += static_cast<char>(b);
        }
        ++i;
    }
    return out + "\"";
}

std::string TimeText(uint32_t clock, const std::optional<int64_t>& wall) {
    return wall ? WallText(*wall) : "@" + Num(clock);
}

std::string LineText(const LineView& v, bool clock) {
    std::string message;
    for (const char c : v.line.message)
        message += c == '\n' ? std::string("\\n") : std::string(1, c);
    const std::string when = clock ? Num(v.line.clock) : TimeText(v.line.clock, v.stamp.wall);
    std::array<char, 16> level{};
    std::snprintf(level.data(), level.size(), "%5s", v.classified.levels.Text().c_str());
    std::string out = when + " " + level.data() + "  " + message + (v.line.cut ? "  [cut]" : "") + "\n";
    // Words under the message.
    const std::string indent(when.size() + 8, ' ');
    for (const std::string& w : v.words)
        out += indent + "> " + w + "\n";
    return out;
}

std::string LineJson(const LineView& v) {
    std::string levels = "[";
    for (size_t i = 0; i < v.classified.levels.count; ++i)
        levels += (i == 0 ? "" : ",") + Num(v.classified.levels.values[i]);
    levels += "]";
    return "{\"file\":" + JsonString(v.line.file) + ",\"line\":" + Num(v.line.number) +
           ",\"run\":" + Num(v.stamp.run + 1) + ",\"clock\":" + Num(v.line.clock) +
           ",\"time\":" + (v.stamp.wall ? JsonString(WallText(*v.stamp.wall)) : "null") +
           ",\"levels\":" + levels + ",\"message\":" + JsonString(v.line.message) +
           ",\"cut\":" + (v.line.cut ? "true" : "false") +
           ",\"words\":" + JsonList(v.words, [](const std::string& w) { return JsonString(w); }) + "}\n";
}

std::string SummaryText(const Summary& s, const std::vector<Problem>& problems) {
    std::string out;
    for (size_t r = 0; r < s.runs.size(); ++r) {
        out += (r == 0 ? "" : "\n") + RunText(s.runs[r], r);

        out += "\n  Link\n";
        for (const LinkEvent& e : s.link)
            if (e.at.run == r)
                out += "    " + AtText(e.at) + "  " + e.what + "\n";

        out += "\n  Downloads\n";
        bool any = false;
        for (const Download& d : s.downloads) {
            if (d.start.run != r)
                continue;
            any = true;
            const char* open = LeftOut(s.runs[r], 32)
                                   ? "result not known (the trace mask leaves out level 32)"
                                   : "not finished";
            out += "    " + AtText(d.start) + (d.end ? " to " + AtText(*d.end) : std::string()) + "  " +
                   (d.result.empty() ? open : d.result);
            if (d.tqlaVersion)
                out += ", TQLA version " + Num(*d.tqlaVersion);
            if (!d.mcdu.empty())
                out += ", set " + d.mcdu;
            out += "\n";
            if (!d.answers.empty()) {
                out += "      answers:";
                for (const std::string& a : d.answers)
                    out += " " + a;
                out += "\n";
            }
            for (const std::string& n : d.notes)
                out += "      " + n + "\n";
        }
        if (!any)
            out += "    none\n";

        out += "\n  Calls\n";
        any = false;
        for (const Call& c : s.calls) {
            if (c.start.run != r)
                continue;
            any = true;
            out += "    call " + Num(static_cast<uint32_t>(c.cref)) + "  " + AtText(c.start) + " to " +
                   AtText(c.last) + (c.ended ? "" : " (not ended)");
            if (!c.direction.empty())
                out += "  " + c.direction;
            for (const std::string& p : {PartyText("caller", c.caller), PartyText("called", c.called),
                                         PartyText("connected", c.connected)})
                if (!p.empty())
                    out += ", " + p;
            out += "\n      ";
            for (size_t i = 0; i < c.events.size(); ++i)
                out += (i == 0 ? "" : ", ") + EventWord(c.events[i]);
            out += "\n";
        }
        if (!any)
            out += LeftOut(s.runs[r], 16) ? "    not known (the trace mask leaves out level 16)\n"
                                          : "    none\n";

        out += "\n  Requests\n";
        any = false;
        for (const Request& q : s.requests) {
            if (q.at.run != r)
                continue;
            any = true;
            std::array<char, 96> head{};
            std::snprintf(head.data(), head.size(), "    %-4s %-28s %-8s %s  ",
                          q.id != 0 ? Num(q.id).c_str() : "-", q.name.c_str(),
                          q.cref >= 0 ? ("call " + Num(static_cast<uint32_t>(q.cref))).c_str() : "",
                          AtText(q.at).c_str());
            out += head.data() + OutcomeText(q) + "\n";
        }
        if (!any)
            out += "    none\n";
        if (std::find(s.runsWithoutCompletions.begin(), s.runsWithoutCompletions.end(), r) !=
            s.runsWithoutCompletions.end())
            out += "    (the trace mask leaves out level 1: completions are not in the trace)\n";
    }
    const LinkCounts& k = s.counts;
    const auto count = [](int n) { return Num(static_cast<uint32_t>(n)); };
    out += "\nLink: losses " + count(k.losses) + ", NACKs from the adapter " + count(k.nacks) +
           ", frames received with a wrong checksum " + count(k.badChecksums) + ", partial frames dropped " +
           count(k.flushes) + ", frames sent again after NACKs " + count(k.resyncs) + ", ABORTs " +
           count(k.aborts) + "\n";
    const auto never = std::count_if(s.requests.begin(), s.requests.end(),
                                     [](const Request& q) { return q.neverCompleted; });
    if (never > 0)
        out += "Requests never completed (outstanding when their run's trace ends): " +
               Num(static_cast<uint64_t>(never)) + "\n";
    if (!problems.empty()) {
        out += "\nProblems\n";
        for (const Problem& p : problems)
            out += "  " + ProblemText(p) + "\n";
    }
    return out;
}

std::string SummaryJson(const Summary& s, const std::vector<Problem>& problems) {
    std::string out = "{\"runs\":";
    size_t index = 0;
    out += JsonList(s.runs, [&index](const Run& r) {
        return "{\"run\":" + Num(++index) + ",\"header\":" + (r.header ? "true" : "false") +
               ",\"date\":" + (r.header ? JsonString(r.date) : "null") +
               ",\"time\":" + (r.header ? JsonString(r.time) : "null") +
               ",\"mask\":" + (r.mask ? Num(*r.mask) : "null") + ",\"first_clock\":" + Num(r.firstClock) +
               ",\"last_clock\":" + Num(r.lastClock) + ",\"lines\":" + Num(r.lines) + "}";
    });
    out += ",\"link\":" + JsonList(s.link, [](const LinkEvent& e) {
               return "{\"run\":" + Num(e.at.run + 1) + ",\"at\":" + AtJson(e.at) +
                      ",\"event\":" + JsonString(e.what) + "}";
           });
    const LinkCounts& k = s.counts;
    out += ",\"link_errors\":{\"losses\":" + Num(static_cast<uint32_t>(k.losses)) +
           ",\"nacks\":" + Num(static_cast<uint32_t>(k.nacks)) +
           ",\"bad_checksums\":" + Num(static_cast<uint32_t>(k.badChecksums)) +
           ",\"flushes\":" + Num(static_cast<uint32_t>(k.flushes)) +
           ",\"resyncs\":" + Num(static_cast<uint32_t>(k.resyncs)) +
           ",\"aborts\":" + Num(static_cast<uint32_t>(k.aborts)) + "}";
    const auto strings = [](const std::vector<std::string>& v) {
        return JsonList(v, [](const std::string& x) { return JsonString(x); });
    };
    out += ",\"downloads\":" + JsonList(s.downloads, [&](const Download& d) {
               return "{\"run\":" + Num(d.start.run + 1) + ",\"start\":" + AtJson(d.start) +
                      ",\"end\":" + (d.end ? AtJson(*d.end) : "null") +
                      ",\"result\":" + (d.result.empty() ? "null" : JsonString(d.result)) +
                      ",\"tqla_version\":" + (d.tqlaVersion ? Num(*d.tqlaVersion) : "null") +
                      ",\"mcdu\":" + JsonString(d.mcdu) + ",\"answers\":" + strings(d.answers) +
                      ",\"notes\":" + strings(d.notes) + "}";
           });
    out += ",\"calls\":" + JsonList(s.calls, [&](const Call& c) {
               return "{\"run\":" + Num(c.start.run + 1) + ",\"cref\":" + std::to_string(c.cref) +
                      ",\"start\":" + AtJson(c.start) + ",\"last\":" + AtJson(c.last) +
                      ",\"ended\":" + (c.ended ? "true" : "false") +
                      ",\"direction\":" + (c.direction.empty() ? "null" : JsonString(c.direction)) +
                      ",\"caller\":" + PartyJson(c.caller) + ",\"called\":" + PartyJson(c.called) +
                      ",\"connected\":" + PartyJson(c.connected) + ",\"events\":" + strings(c.events) + "}";
           });
    out += ",\"requests\":" + JsonList(s.requests, [](const Request& q) {
               return "{\"run\":" + Num(q.at.run + 1) + ",\"id\":" + (q.id != 0 ? Num(q.id) : "null") +
                      ",\"code\":" + Num(q.code) + ",\"name\":" + JsonString(q.name) +
                      ",\"cref\":" + (q.cref >= 0 ? std::to_string(q.cref) : "null") +
                      ",\"at\":" + AtJson(q.at) + ",\"outcome\":" + JsonString(OutcomeWord(q)) +
                      ",\"result\":" +
                      (q.outcome == Request::Outcome::Completed || q.outcome == Request::Outcome::Refused
                           ? JsonString(words::Result(q.result))
                           : "null") +
                      ",\"done\":" + (q.done ? AtJson(*q.done) : "null") +
                      ",\"never_completed\":" + (q.neverCompleted ? "true" : "false") + "}";
           });
    out += ",\"tapi_events\":" + strings(s.tapiEvents);
    out += ",\"runs_without_completions\":" +
           JsonList(s.runsWithoutCompletions, [](size_t r) { return Num(r + 1); });
    out += ",\"problems\":" + JsonList(problems, [](const Problem& p) {
               return "{\"file\":" + JsonString(p.file) + ",\"line\":" + Num(p.line) +
                      ",\"text\":" + JsonString(p.text) + ",\"fatal\":" + (p.fatal ? "true" : "false") + "}";
           });
    return out + "}\n";
}

}  // namespace zq::trace
