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
// "LastAction" holds the download results; the longest is 59 characters.
inline constexpr size_t LAST_ACTION_SIZE = 80;

// A value that is stored but does not fit the reader's buffer: the default
// is used in memory and the stored value is left as it is.
inline constexpr int PROVIDER_VALUE_TOO_LONG = -1;

// Copies the default, then the value when it can be read; the result is
// always NUL-terminated inside dest. Returns the length of the text read,
// PROVIDER_VALUE_TOO_LONG, or the length of the default when the value
// cannot be read. Callers passing "" as default take 0 as "missing" (the
// one case where a default may be written back) and > 0 as "found".
int ReadProviderValue(std::string_view subkey, std::string_view name, std::string_view dflt,
                      std::span<char> dest);
// 1 on success, 0 on failure.
int WriteProviderValue(std::string_view subkey, std::string_view name, std::string_view text);
int DeleteProviderSubkey(std::string_view subkey);
// Every text value of a subkey, by name, in one enumeration of at most
// MAX_ENUM_VALUES indexes; empty when the subkey is missing. Names and texts
// longer than 63 characters are skipped; any other error ends the
// enumeration (the key may have been deleted under it).
inline constexpr uint32_t MAX_ENUM_VALUES = 90;
std::vector<std::pair<std::string, std::string>> ReadProviderValues(std::string_view subkey);
// A flag stored as text: anything but "0" is on and is rewritten as "1"; a
// missing or empty one is `missingOn`, written as "0" when `writeMissing`.
bool ReadFlagValue(std::string_view subkey, std::string_view name, bool missingOn, bool writeMissing);

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
