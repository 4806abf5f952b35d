// The caller's TAPI structures: a fixed part of the TAPI 2.0 size, then
// strings appended after it as far as dwTotalSize allows.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "zq/tapi.h"

namespace zq {

// A provider string (ANSI, Windows code page 1252) as TAPI's UTF-16.
std::u16string AnsiToWide(std::string_view ansi);
// A caller's NUL-terminated UTF-16 string into `out` as ANSI, read no
// further than `out` can hold: its length, or out.size() when it does not
// fit (out then holds what fitted). `out` is always terminated; a null
// string is empty.
size_t WideToAnsi(LPCWSTR text, std::span<char> out);

// The caller's structure is only as long as it says: read and written as
// bytes, never as a whole SDK structure, whose size may be larger.
inline std::span<uint8_t> CallerBytes(void* structure) {
    auto* raw = static_cast<uint8_t*>(structure);
    DWORD total = 0;
    std::memcpy(&total, raw, sizeof total);
    return {raw, total};
}

// Copies the first `fixed` bytes of a structure built whole into the
// caller's; the caller has checked that they fit.
template <typename T>
void PutFixed(std::span<uint8_t> dest, const T& built, uint32_t fixed) {
    static_assert(std::is_trivially_copyable_v<T>);
    std::memcpy(dest.data(), &built, fixed <= sizeof built ? fixed : sizeof built);
}

// The needed size grows by every string; a string is written only when the
// structure up to its end fits in dwTotalSize, so the used size stops at
// the first one that does not.
struct VarPart {
    std::span<uint8_t> bytes;  // the whole structure, dwTotalSize bytes
    uint32_t needed;
    uint32_t used;
};

inline VarPart StartVarPart(std::span<uint8_t> bytes, uint32_t fixed) {
    return {bytes, fixed, fixed};
}

// Appends a UTF-16 string with its NUL; its size and offset stay as they
// were when it does not fit. The size in bytes is returned.
inline uint32_t AppendWide(VarPart& v, DWORD& size, DWORD& offset, std::u16string_view wide) {
    const uint32_t bytes = static_cast<uint32_t>((wide.size() + 1) * sizeof(char16_t));
    const uint32_t at = v.needed;
    v.needed += bytes;
    if (v.needed > v.bytes.size())
        return bytes;
    std::span<uint8_t> dest = v.bytes.subspan(at, bytes);
    if (!wide.empty())
        std::memcpy(dest.data(), wide.data(), bytes - sizeof(char16_t));
    const std::span<uint8_t> nul = dest.subspan(bytes - sizeof(char16_t));
    std::memset(nul.data(), 0, nul.size());
    size = bytes;
    offset = at;
    v.used = v.needed;
    return bytes;
}

inline uint32_t Append(VarPart& v, DWORD& size, DWORD& offset, std::string_view ansi) {
    return AppendWide(v, size, offset, AnsiToWide(ansi));
}

}  // namespace zq
