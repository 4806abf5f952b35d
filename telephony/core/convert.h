// A and W forms of TAPI's variable-size structures. The provider speaks
// UTF-16 ("W"); applications call the A functions, whose strings are UTF-8
// on Linux and the ANSI code page on Windows (the Win32 shell passes its own
// converters). Each structure is described by one table of (size field,
// offset field) pairs; every size and offset read from a buffer is checked
// against that buffer before it is used.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zq/tapi.h"
#include "zq/utf16.h"

namespace zq::tapiapp {

// TAPI 2.0's fixed parts: the variable part starts here, whatever size the
// SDK headers give the structures (the provider uses the same sizes).
inline constexpr uint32_t LINEDEVCAPS_FIXED_SIZE = 252;
inline constexpr uint32_t LINEADDRESSCAPS_FIXED_SIZE = 228;
inline constexpr uint32_t LINEADDRESSSTATUS_FIXED_SIZE = 64;
inline constexpr uint32_t LINECALLINFO_FIXED_SIZE = 324;
inline constexpr uint32_t VARSTRING_FIXED_SIZE = 24;
inline constexpr uint32_t LINECALLPARAMS_FIXED_SIZE = 176;
inline constexpr uint32_t LINEFORWARDLIST_FIXED_SIZE = 8;
// One LINEFORWARD entry of TAPI 2.x (without the 3.0 address types).
inline constexpr uint32_t LINEFORWARD_SIZE = 24;

enum class StructKind { DevCaps, AddressCaps, AddressStatus, CallInfo, VarString };

constexpr uint32_t kFixedSize(StructKind kind) {
    switch (kind) {
        case StructKind::DevCaps:
            return LINEDEVCAPS_FIXED_SIZE;
        case StructKind::AddressCaps:
            return LINEADDRESSCAPS_FIXED_SIZE;
        case StructKind::AddressStatus:
            return LINEADDRESSSTATUS_FIXED_SIZE;
        case StructKind::CallInfo:
            return LINECALLINFO_FIXED_SIZE;
        case StructKind::VarString:
            return VARSTRING_FIXED_SIZE;
    }
    return 0;
}

using zq::Utf8ToWide;
using zq::WideToUtf8;

// The narrow and wide conversions the structure functions use.
using NarrowFn = std::string (*)(std::u16string_view);
using WidenFn = std::u16string (*)(std::string_view);

// The provider filled `wide` (a scratch buffer as long as the caller's
// dwTotalSize) with the W structure; `caller` (exactly dwTotalSize bytes)
// gets the A structure: the fixed part copied, the strings converted and the
// other variable data copied as bytes, each placed after the fixed part with
// its size and offset recomputed, written only when it fits. dwNeededSize is
// what the A structure needs (an upper bound for strings the provider could
// not fit into `wide`), dwUsedSize what was written. Returns 0, or
// LINEERR_STRUCTURETOOSMALL when caller is shorter than the fixed part
// (nothing written).
LONG WideToAnsiStruct(StructKind kind, std::span<const uint8_t> wide, std::span<uint8_t> caller,
                      NarrowFn narrow = WideToUtf8);

// The application's LINECALLPARAMS, read only inside its dwTotalSize, as a W
// copy for the provider: the string fields converted, the others (user-user
// information, compatibility, device-specific, configuration and call data)
// copied as bytes. LINEERR_INVALPOINTER for no structure or a field outside
// dwTotalSize, LINEERR_STRUCTURETOOSMALL below the fixed size.
LONG AnsiToWideCallParams(const LINECALLPARAMS* in, std::vector<uint8_t>& out, WidenFn widen = Utf8ToWide);

// The same for a LINEFORWARDLIST: each entry's caller and destination
// addresses converted. LINEERR_INVALPARAM when the entries do not fit in
// dwTotalSize.
LONG AnsiToWideForwardList(const LINEFORWARDLIST* in, std::vector<uint8_t>& out, WidenFn widen = Utf8ToWide);

}  // namespace zq::tapiapp
