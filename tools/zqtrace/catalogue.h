// The provider's trace formats and the levels they are written at, taken
// from the provider's sources at build time (catalogue.cmake): a trace
// line carries no level of its own.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "format_match.h"

namespace zq::trace {

struct CatalogueEntry {
    uint32_t level;
    std::string_view format;
};

std::span<const CatalogueEntry> Catalogue();

// The levels a message may have been written at: none when no format of
// the provider writes it, several when formats of different levels do.
struct Levels {
    std::array<uint32_t, 4> values{};
    uint8_t count = 0;

    void Add(uint32_t level);
    // Whether a provider with this trace mask writes the message: level 0
    // always, another level when it shares a bit with the mask. A message of
    // unknown level is always shown.
    bool Shown(uint32_t mask) const;
    // "16", "32/64", "?".
    std::string Text() const;
};

// A message classified: its levels, the provider format that wrote it and
// what the format's conversions produced.
struct Classified {
    Levels levels;
    std::string_view format;  // empty when unknown
    std::vector<Capture> captures;
};

Classified Classify(std::string_view message);

}  // namespace zq::trace
