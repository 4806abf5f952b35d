// The A side of the application functions meets the W side of the
// provider: string arguments converted for a call, and structures the
// provider fills in a scratch buffer converted into the caller's.
// Internal to telephony/core.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "convert.h"
#include "zq/tapi.h"

namespace zq::tapiapp {

// The most the provider is given to fill, whatever the caller claims.
inline constexpr DWORD kMaxScratch = 1u << 20;

// An optional UTF-8 argument as the provider's UTF-16; null stays null.
class WideArg {
public:
    explicit WideArg(LPCSTR text) : present_(text != nullptr) {
        if (present_)
            text_ = Utf8ToWide(text);
    }
    LPCWSTR get() const { return present_ ? reinterpret_cast<LPCWSTR>(text_.c_str()) : nullptr; }

private:
    bool present_;
    std::u16string text_;
};

// A DWORD of a caller's structure, read or written at its offset.
inline DWORD ReadDword(const void* base, size_t offset) {
    DWORD value = 0;
    std::memcpy(&value, static_cast<const uint8_t*>(base) + offset, sizeof value);
    return value;
}

inline void WriteDword(void* base, size_t offset, DWORD value) {
    std::memcpy(static_cast<uint8_t*>(base) + offset, &value, sizeof value);
}

// A zeroed scratch structure of the caller's size (bounded), its
// dwTotalSize set.
inline std::vector<uint8_t> Scratch(DWORD total) {
    std::vector<uint8_t> scratch(total < kMaxScratch ? total : kMaxScratch);
    WriteDword(scratch.data(), 0, static_cast<DWORD>(scratch.size()));
    return scratch;
}

// The provider fills a wide scratch copy of the caller's structure (fill
// returns its result), which then goes into the caller's buffer with
// UTF-8 strings. A caller's structure smaller than the fixed part is
// refused before the provider is asked.
template <typename Fill>
LONG QueryConverted(StructKind kind, void* caller, Fill fill) {
    if (caller == nullptr)
        return LINEERR_INVALPOINTER;
    const DWORD total = ReadDword(caller, 0);
    if (total < kFixedSize(kind))
        return LINEERR_STRUCTURETOOSMALL;
    std::vector<uint8_t> wide = Scratch(total);
    if (const LONG result = fill(wide); result != 0)
        return result;
    return WideToAnsiStruct(kind, wide, std::span(static_cast<uint8_t*>(caller), total));
}

}  // namespace zq::tapiapp
