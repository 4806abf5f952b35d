// The provider's settings in the registry, under the provider's key
// HKEY_LOCAL_MACHINE SOFTWARE Velmora TSpi_6200, and in its INI file, and the
// loading of the stored set configuration.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zq {

inline constexpr char kIniFile[] = "zq62cfg.ini";

// Copies the default, then the value when it can be read; the result is
// always NUL-terminated inside dest. Returns the length of the text read,
// else that of the default.
int ReadProviderValue(std::string_view subkey, std::string_view name, std::string_view dflt,
                      std::span<char> dest);
// 1 on success, 0 on failure.
int WriteProviderValue(std::string_view subkey, std::string_view name, std::string_view text);
int DeleteProviderSubkey(std::string_view subkey);
// Every text value of a subkey, by name, in one enumeration; empty when the
// subkey is missing. Names and texts longer than 63 characters are skipped.
std::vector<std::pair<std::string, std::string>> ReadProviderValues(std::string_view subkey);

// "0", then the outside-line prefix of the current telephony location.
void ReadOutsideAccess(std::span<char> dest);

void LoadIniStrings(uint32_t permanentProviderId);
void ReadLastAction();
int LoadSetData();
int LoadKeyConfig();

// Text helpers shared by every reader of settings.
// atoi: leading blanks, a sign, digits; anything else ends the number; no
// digits read as 0; saturates at the 32-bit limits.
int32_t DecimalValue(const char* text);
// Copies src into dest, cut to fit, NUL-terminated (nothing when dest is empty).
void CopyText(std::span<char> dest, std::string_view src);
// The text of a fixed buffer up to its first NUL.
std::string_view TextOf(std::span<const char> buf);

}  // namespace zq
