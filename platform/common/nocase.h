// ASCII comparison without regard to case, as the registry and profile
// files compare names.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

namespace zq::plat::common {

inline unsigned char upper_ascii(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'a' && u <= 'z') ? static_cast<unsigned char>(u - 'a' + 'A') : u;
}

// Ordered as the upper-case names, like the registry's key order.
inline int compare_nocase(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const unsigned char ca = upper_ascii(a[i]);
        const unsigned char cb = upper_ascii(b[i]);
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

inline bool equal_nocase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && compare_nocase(a, b) == 0;
}

// For hash tables of names: FNV-1a over the upper-case bytes.
struct NoCaseHash {
    size_t operator()(const std::string& s) const {
        uint64_t h = 14695981039346656037ull;
        for (const char c : s) {
            h = (h ^ upper_ascii(c)) * 1099511628211ull;
        }
        return static_cast<size_t>(h);
    }
};

struct NoCaseEqual {
    bool operator()(const std::string& a, const std::string& b) const { return equal_nocase(a, b); }
};

}  // namespace zq::plat::common
