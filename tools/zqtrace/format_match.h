// Trace messages read back against the provider's wsprintf-style formats:
// which format wrote a message, and the text each conversion produced.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace zq::trace {

// The text one conversion (%d, %lx, %s …) produced, and its conversion
// character.
struct Capture {
    std::string_view text;
    char conv = 's';
};

// Whether `message` is what `format` writes, with the conversions' texts in
// *captures. The work is bounded: a message that would need too many trials
// (many %s against a long text) does not match.
bool MatchFormat(std::string_view format, std::string_view message, std::vector<Capture>* captures);

// The number of characters a format prints as they are.
size_t LiteralCount(std::string_view format);

// The number a %d, %u or %x capture holds (hexadecimal for x and X); nullopt
// for text or a number out of 32 bits. Negative %d values wrap as in C.
std::optional<uint32_t> CaptureNumber(const Capture& capture);

// A call reference a message names: the integer conversions that follow a
// "cref", "Ref" or "consultref" of its format ("LinEv cref=%d", "Ref:%04x").
std::vector<int32_t> CallRefs(std::string_view format, std::span<const Capture> captures);

// Formats searched by their literal beginning; of several formats that
// match, those with the most literal characters win.
class FormatIndex {
public:
    explicit FormatIndex(std::span<const std::string_view> formats);

    struct Found {
        std::vector<size_t> entries;    // the best formats (indexes given at construction)
        std::vector<Capture> captures;  // of the first of them
    };
    Found Find(std::string_view message) const;

private:
    struct Entry {
        std::string_view format;
        std::string_view prefix;  // literal text before the first conversion
        size_t literals = 0;
        size_t index = 0;
    };
    std::vector<Entry> entries_;  // sorted by prefix
};

}  // namespace zq::trace
