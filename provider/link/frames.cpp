#include "link/frames.h"

#include "core/trace.h"

namespace zq {

std::string HexDump(std::span<const uint8_t> bytes, size_t capacity) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    size_t i = 0;
    for (; i < bytes.size() && capacity >= 4 && 3 * i < capacity - 4; ++i) {
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 0x0F];
        out += '.';
    }
    if (i < bytes.size())
        TspTrace(TRACE_CUT, "Tronquage chaine");
    return out;
}

}  // namespace zq
