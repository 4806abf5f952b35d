#include "catalogue.h"

#include <algorithm>
#include <vector>

namespace zq::trace {

namespace {

constexpr CatalogueEntry kEntries[] = {
#include "trace_catalogue.inc"
};

// A format with conversions needs this much literal text to say which
// message it wrote ("%s" alone says nothing).
constexpr size_t kMinLiterals = 3;

bool Telling(std::string_view format) {
    if (format.find('%') == std::string_view::npos)
        return !format.empty();
    return LiteralCount(format) >= kMinLiterals;
}

struct Index {
    std::vector<CatalogueEntry> entries;
    std::vector<std::string_view> formats;
    FormatIndex index;

    static Index Build() {
        std::vector<CatalogueEntry> kept;
        for (const CatalogueEntry& e : kEntries)
            if (Telling(e.format))
                kept.push_back(e);
        std::vector<std::string_view> formats;
        for (const CatalogueEntry& e : kept)
            formats.push_back(e.format);
        FormatIndex index(formats);
        return Index{std::move(kept), std::move(formats), std::move(index)};
    }
};

const Index& TheIndex() {
    static const Index index = Index::Build();
    return index;
}

}  // namespace

std::span<const CatalogueEntry> Catalogue() {
    return kEntries;
}

void Levels::Add(uint32_t level) {
    if (std::find(values.begin(), values.begin() + count, level) != values.begin() + count)
        return;
    if (count < values.size())
        values[count++] = level;
}

bool Levels::Shown(uint32_t mask) const {
    if (count == 0)
        return true;
    return std::any_of(values.begin(), values.begin() + count,
                       [mask](uint32_t level) { return level == 0 || (level & mask) != 0; });
}

std::string Levels::Text() const {
    if (count == 0)
        return "?";
    // A vector: GCC 12 at -O3 takes std::sort over a 4-element array for an
    // overrun.
    std::vector<uint32_t> sorted(values.begin(), values.begin() + std::min<size_t>(count, values.size()));
    std::sort(sorted.begin(), sorted.end());
    std::string text;
    for (size_t i = 0; i < sorted.size(); ++i)
        text += (i == 0 ? "" : "/") + std::to_string(sorted[i]);
    return text;
}

Classified Classify(std::string_view message) {
    const Index& index = TheIndex();
    FormatIndex::Found found = index.index.Find(message);
    Classified c;
    for (const size_t i : found.entries)
        c.levels.Add(index.entries[i].level);
    if (!found.entries.empty()) {
        c.format = index.entries[found.entries.front()].format;
        c.captures = std::move(found.captures);
    }
    return c;
}

}  // namespace zq::trace
