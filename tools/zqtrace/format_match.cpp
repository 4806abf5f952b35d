#include "format_match.h"

#include <algorithm>
#include <cctype>

namespace zq::trace {

namespace {

// One directive of a format: %[flags][width][.precision][size]conv. A directive that
// is no conversion ("%%", "%q") prints one character as it is.
struct Directive {
    char conv = 0;                // 0: no conversion
    std::optional<char> printed;  // what a directive that is no conversion prints
    bool left = false;
    bool alt = false;
    size_t width = 0;
    size_t precision = SIZE_MAX;
    size_t end = 0;  // format position after the directive
};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsHexDigit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// The directive at format[at] == '%'.
Directive ReadDirective(std::string_view format, size_t at) {
    Directive s;
    size_t i = at + 1;
    for (; i < format.size() && std::string_view("-0#+ ").find(format[i]) != std::string_view::npos; ++i) {
        s.left = s.left || format[i] == '-';
        s.alt = s.alt || format[i] == '#';
    }
    for (; i < format.size() && IsDigit(format[i]); ++i)
        s.width = std::min<size_t>(s.width * 10 + static_cast<size_t>(format[i] - '0'), 4096);
    if (i < format.size() && format[i] == '.') {
        s.precision = 0;
        for (++i; i < format.size() && IsDigit(format[i]); ++i)
            s.precision = std::min<size_t>(s.precision * 10 + static_cast<size_t>(format[i] - '0'), 4096);
    }
    while (i < format.size() && (format[i] == 'l' || format[i] == 'h'))
        ++i;
    s.end = std::min(i + 1, format.size());
    if (i >= format.size())
        return s;
    if (std::string_view("diuxXcsS").find(format[i]) != std::string_view::npos)
        s.conv = format[i];
    else
        s.printed = format[i];
    return s;
}

constexpr int kBudget = 20000;

struct Matcher {
    std::string_view format;
    std::string_view text;
    std::vector<Capture> captures;
    int budget = kBudget;

    // Where an integer conversion written at text[t] may end, longest first.
    std::vector<size_t> IntegerEnds(const Directive& s, size_t t) const {
        size_t i = t;
        if (!s.left)
            while (i < text.size() && text[i] == ' ')
                ++i;
        if ((s.conv == 'd' || s.conv == 'i') && i < text.size() && text[i] == '-')
            ++i;
        if (s.alt && i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X'))
            i += 2;
        const bool hex = s.conv == 'x' || s.conv == 'X';
        const size_t first = i;
        while (i < text.size() && (hex ? IsHexDigit(text[i]) : IsDigit(text[i])))
            ++i;
        std::vector<size_t> ends;
        if (i == first)
            return ends;
        size_t last = i;
        if (s.left)
            while (last < text.size() && text[last] == ' ' && last - t < s.width)
                ++last;
        for (size_t e = last; e > i; --e)
            ends.push_back(e);
        for (size_t e = i; e > first; --e)
            ends.push_back(e);
        return ends;
    }

    bool At(size_t f, size_t t) {
        if (--budget < 0)
            return false;
        while (f < format.size()) {
            if (format[f] != '%') {
                if (t >= text.size() || text[t] != format[f])
                    return false;
                ++f;
                ++t;
                continue;
            }
            const Directive s = ReadDirective(format, f);
            if (s.conv == 0) {
                if (s.printed) {
                    if (t >= text.size() || text[t] != *s.printed)
                        return false;
                    ++t;
                }
                f = s.end;
                continue;
            }
            return Conversion(s, t);
        }
        return t == text.size();
    }

    bool Try(const Directive& s, size_t t, size_t end) {
        captures.push_back({text.substr(t, end - t), s.conv});
        if (At(s.end, end))
            return true;
        captures.pop_back();
        return false;
    }

    bool Conversion(const Directive& s, size_t t) {
        switch (s.conv) {
            case 'c':
                return t < text.size() && Try(s, t, t + 1);
            case 's':
            case 'S': {
                // Shortest first: a literal after the text decides where it ends.
                const size_t room = text.size() - t;
                const size_t most =
                    s.precision == SIZE_MAX ? room : std::min(room, std::max(s.precision, s.width));
                const char next = s.end < format.size() && format[s.end] != '%' ? format[s.end] : 0;
                for (size_t n = 0; n <= most; ++n) {
                    if (next != 0 && t + n < text.size() && text[t + n] != next)
                        continue;
                    if (next != 0 && t + n >= text.size())
                        return false;
                    if (Try(s, t, t + n))
                        return true;
                    if (budget < 0)
                        return false;
                }
                return false;
            }
            default:
                for (const size_t end : IntegerEnds(s, t)) {
                    if (Try(s, t, end))
                        return true;
                    if (budget < 0)
                        return false;
                }
                return false;
        }
    }
};

// The literal text before a format's first conversion, and the number of
// literal characters in the whole format.
std::pair<std::string_view, size_t> Literals(std::string_view format) {
    std::string_view prefix;
    bool prefixDone = false;
    size_t count = 0;
    for (size_t f = 0; f < format.size();) {
        if (format[f] != '%') {
            ++count;
            ++f;
            continue;
        }
        const Directive s = ReadDirective(format, f);
        // The prefix stops at any directive: "%%" prints one character for two.
        if (!prefixDone) {
            prefix = format.substr(0, f);
            prefixDone = true;
        }
        count += s.printed ? 1 : 0;
        f = std::max(s.end, f + 1);
    }
    if (!prefixDone)
        prefix = format;
    return {prefix, count};
}

}  // namespace

size_t LiteralCount(std::string_view format) {
    return Literals(format).second;
}

bool MatchFormat(std::string_view format, std::string_view message, std::vector<Capture>* captures) {
    Matcher m{format, message, {}, kBudget};
    if (!m.At(0, 0))
        return false;
    if (captures != nullptr)
        *captures = std::move(m.captures);
    return true;
}

std::optional<uint32_t> CaptureNumber(const Capture& capture) {
    std::string_view t = capture.text;
    while (!t.empty() && t.front() == ' ')
        t.remove_prefix(1);
    while (!t.empty() && t.back() == ' ')
        t.remove_suffix(1);
    const bool hex = capture.conv == 'x' || capture.conv == 'X';
    if (capture.conv != 'd' && capture.conv != 'i' && capture.conv != 'u' && !hex)
        return std::nullopt;
    bool negative = false;
    if (!hex && !t.empty() && t.front() == '-') {
        negative = true;
        t.remove_prefix(1);
    }
    if (hex && t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
        t.remove_prefix(2);
    if (t.empty())
        return std::nullopt;
    uint64_t value = 0;
    for (const char c : t) {
        const int digit = IsDigit(c) ? c - '0' : hex && IsHexDigit(c) ? std::tolower(c) - 'a' + 10 : -1;
        if (digit < 0)
            return std::nullopt;
        value = value * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
        if (value > UINT32_MAX)
            return std::nullopt;
    }
    const auto v = static_cast<uint32_t>(value);
    return negative ? 0u - v : v;
}

std::vector<int32_t> CallRefs(std::string_view format, std::span<const Capture> captures) {
    std::vector<int32_t> refs;
    size_t literalStart = 0;
    size_t n = 0;
    for (size_t f = 0; f < format.size() && n < captures.size();) {
        if (format[f] != '%') {
            ++f;
            continue;
        }
        const Directive s = ReadDirective(format, f);
        if (s.conv == 0) {
            f = std::max(s.end, f + 1);
            continue;
        }
        // The label before the conversion, without separators and digits
        // ("cref=", "Ref:", "cref1 ").
        std::string_view label = format.substr(literalStart, f - literalStart);
        while (!label.empty() &&
               std::string_view(" :=(0123456789").find(label.back()) != std::string_view::npos)
            label.remove_suffix(1);
        const bool isRef = label.size() >= 3 && std::tolower(label[label.size() - 3]) == 'r' &&
                           label[label.size() - 2] == 'e' && label[label.size() - 1] == 'f';
        if (isRef && s.conv != 's' && s.conv != 'S' && s.conv != 'c') {
            if (const std::optional<uint32_t> v = CaptureNumber(captures[n]))
                refs.push_back(static_cast<int32_t>(*v));
        }
        ++n;
        f = s.end;
        literalStart = f;
    }
    return refs;
}

FormatIndex::FormatIndex(std::span<const std::string_view> formats) {
    for (size_t i = 0; i < formats.size(); ++i) {
        const auto [prefix, literals] = Literals(formats[i]);
        entries_.push_back({formats[i], prefix, literals, i});
    }
    std::sort(entries_.begin(), entries_.end(),
              [](const Entry& a, const Entry& b) { return a.prefix < b.prefix; });
}

FormatIndex::Found FormatIndex::Find(std::string_view message) const {
    Found found;
    size_t best = 0;
    std::vector<Capture> captures;
    const auto consider = [&](const Entry& e) {
        if (!message.starts_with(e.prefix) || (e.literals < best && !found.entries.empty()))
            return;
        if (!MatchFormat(e.format, message, &captures))
            return;
        if (found.entries.empty() || e.literals > best) {
            found.entries.clear();
            found.captures = captures;
            best = e.literals;
        }
        found.entries.push_back(e.index);
    };
    // Formats that begin with a conversion, then those whose first literal
    // character is the message's.
    const auto firstLiteral =
        std::find_if(entries_.begin(), entries_.end(), [](const Entry& e) { return !e.prefix.empty(); });
    std::for_each(entries_.begin(), firstLiteral, consider);
    if (!message.empty()) {
        const auto from = std::lower_bound(firstLiteral, entries_.end(), message.substr(0, 1),
                                           [](const Entry& e, std::string_view p) { return e.prefix < p; });
        for (auto it = from; it != entries_.end() && it->prefix.front() == message.front(); ++it)
            consider(*it);
    }
    return found;
}

}  // namespace zq::trace
