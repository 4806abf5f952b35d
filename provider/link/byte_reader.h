// Reads fields from a received message without ever going past its end: a
// field that is not there reads as empty and marks the reader as short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace zq {

struct ByteReader {
    std::span<const uint8_t> bytes;
    size_t pos = 0;
    bool shortRead = false;

    uint8_t U8() {
        if (pos >= bytes.size()) {
            shortRead = true;
            return 0;
        }
        return bytes[pos++];
    }
    std::span<const uint8_t> Take(size_t n) {
        if (n > bytes.size() - pos) {
            shortRead = true;
            pos = bytes.size();
            return {};
        }
        const auto out = bytes.subspan(pos, n);
        pos += n;
        return out;
    }
    bool AtEnd() const { return pos >= bytes.size(); }
    bool Ok() const { return !shortRead; }
};

inline std::string_view AsText(std::span<const uint8_t> b) {
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

}  // namespace zq
