// The registry values the core reads, through the platform layer: a key
// closed when it goes out of scope, a REG_DWORD, a REG_SZ. Internal to
// telephony/core.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zq/platform.h"

namespace zq::tapiapp {

// A longer value is no value of ours.
inline constexpr size_t kMaxRegValueSize = 64 * 1024;

struct KeyHolder {
    plat::RegKey* key = nullptr;
    KeyHolder() = default;
    KeyHolder(const KeyHolder&) = delete;
    KeyHolder& operator=(const KeyHolder&) = delete;
    ~KeyHolder() {
        if (key != nullptr)
            plat::reg_close_key(key);
    }
};

inline std::optional<uint32_t> ReadDword(plat::RegKey* key, std::string_view name) {
    std::array<uint8_t, 4> data{};
    uint32_t type = 0, size = 0;
    if (plat::reg_query_value(key, name, &type, data, &size) != plat::kErrSuccess ||
        type != plat::kRegDword || size != data.size())
        return std::nullopt;
    return uint32_t{data[0]} | uint32_t{data[1]} << 8 | uint32_t{data[2]} << 16 | uint32_t{data[3]} << 24;
}

// A REG_SZ up to its NUL; empty when missing or of another type.
inline std::string ReadText(plat::RegKey* key, std::string_view name) {
    std::vector<uint8_t> data(256);
    uint32_t type = 0, size = 0;
    uint32_t err = plat::reg_query_value(key, name, &type, data, &size);
    if (err == plat::kErrMoreData && size <= kMaxRegValueSize) {
        data.resize(size);
        err = plat::reg_query_value(key, name, &type, data, &size);
    }
    if (err != plat::kErrSuccess || type != plat::kRegSz)
        return {};
    const auto end = std::find(data.begin(), data.begin() + std::min<size_t>(size, data.size()), uint8_t{0});
    return std::string(data.begin(), end);
}

}  // namespace zq::tapiapp
