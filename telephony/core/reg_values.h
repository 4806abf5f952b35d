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

using KeyHolder = plat::RegKeyHolder;

inline std::optional<uint32_t> ReadDword(plat::RegKey* key, std::string_view name) {
    uint32_t type = 0;
    const auto data = plat::reg_read_value(key, name, &type);
    return data ? plat::reg_dword_of(type, *data) : std::nullopt;
}

// A REG_SZ up to its NUL; empty when missing or of another type.
inline std::string ReadText(plat::RegKey* key, std::string_view name) {
    uint32_t type = 0;
    const auto data = plat::reg_read_value(key, name, &type);
    return data && type == plat::kRegSz ? plat::reg_text_of(*data) : std::string();
}

}  // namespace zq::tapiapp
