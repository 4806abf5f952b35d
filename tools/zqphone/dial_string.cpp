#include "dial_string.h"

#include <cstddef>

namespace zq::phone {

namespace {

// TAPI's destination addresses hold 80 bytes with the NUL.
constexpr size_t kMaxDialString = 79;

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool StartsWithNoCase(std::string_view text, std::string_view start) {
    if (text.size() < start.size())
        return false;
    for (size_t i = 0; i < start.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != start[i])
            return false;
    }
    return true;
}

std::string_view Trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// %XX escapes decoded; nullopt for a broken escape.
std::optional<std::string> PercentDecoded(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = HexValue(text[i + 1]);
        const int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

bool IsVisualSeparator(char c) {
    return c == ' ' || c == '-' || c == '.' || c == '(' || c == ')';
}

bool IsDialCharacter(char c) {
    if (c >= '0' && c <= '9')
        return true;
    constexpr std::string_view kOthers = "*#ABCDabcd,WwPpTt!@";
    return kOthers.find(c) != std::string_view::npos;
}

}  // namespace

std::optional<std::string> DialString(std::string_view text) {
    text = Trimmed(text);
    if (StartsWithNoCase(text, "tel:")) {
        text.remove_prefix(4);
        if (text.substr(0, 2) == "//")
            text.remove_prefix(2);
        // Parameters (phone-context, ext, isub) and anything after a '?'
        // name no digits to dial.
        text = text.substr(0, text.find_first_of(";?"));
    }
    const std::optional<std::string> decoded = PercentDecoded(text);
    if (!decoded)
        return std::nullopt;
    // A number in canonical form keeps its separators: they tell the
    // country code and the area code apart for the translation.
    const std::string_view kept = Trimmed(*decoded);
    const bool canonical = !kept.empty() && kept.front() == '+';
    std::string number;
    bool digits = false;
    for (const char c : kept) {
        if (IsVisualSeparator(c)) {
            if (canonical)
                number += c;
            continue;
        }
        if (c == '+' && number.empty()) {
            number += c;
            continue;
        }
        if (!IsDialCharacter(c))
            return std::nullopt;
        digits = digits || (c >= '0' && c <= '9');
        number += c;
    }
    if (!digits || number.size() > kMaxDialString)
        return std::nullopt;
    return number;
}

}  // namespace zq::phone
