// Status and capability answers to TAPI, taken from the provider's tables
// without sending anything to the set.
#pragma once

#include <cstdint>
#include <string>

#include "zq/tapi.h"

namespace zq {

// TAPI 2.0's fixed parts: the variable parts start here, whatever size the
// SDK headers give the structures.
inline constexpr uint32_t LINEDEVCAPS_FIXED_SIZE = 252;
inline constexpr uint32_t LINEADDRESSCAPS_FIXED_SIZE = 228;
inline constexpr uint32_t LINEADDRESSSTATUS_FIXED_SIZE = 64;
inline constexpr uint32_t LINEDEVSTATUS_FIXED_SIZE = 88;
inline constexpr uint32_t LINECALLSTATUS_FIXED_SIZE = 56;
inline constexpr uint32_t LINEFORWARD_SIZE = 24;
inline constexpr uint32_t VARSTRING_FIXED_SIZE = 24;
inline constexpr uint32_t PHONECAPS_FIXED_SIZE = 180;
inline constexpr uint32_t PHONESTATUS_FIXED_SIZE = 104;
inline constexpr uint32_t PHONEBUTTONINFO_FIXED_SIZE = 40;
inline constexpr uint32_t LINECALLPARAMS_FIXED_SIZE = 176;

// The one TSPI version the provider speaks.
inline constexpr uint32_t TSPI_VERSION = 0x00020000;
inline constexpr uint32_t NEGOTIATE_ANY_DEVICE = 0xFFFFFFFF;

// The phone's lamps: 0..19 the set's lamps, then one per key icon.
inline constexpr uint32_t LAMP_ICON_BASE = 20;

// The line name (stored as UTF-16) without its NUL, for the device
// capabilities of line and phone.
std::u16string LineNameWide();

// TSPI version negotiation for line and phone: `deviceId` or any device,
// one version offered; the error codes are the device's own.
LONG NegotiateVersion(DWORD dwDeviceID, DWORD deviceId, DWORD low, DWORD high, LPDWORD lpdwVersion,
                      uint32_t badDevice, uint32_t incompatible, uint32_t badPointer);

}  // namespace zq
