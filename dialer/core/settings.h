// The dialer's settings: per user, in the registry under HKEY_CURRENT_USER,
// every value a REG_SZ string. Missing keys and values give the default;
// writing errors are not reported.
#pragma once

#include <string>
#include <string_view>

namespace zq::dialer {

inline constexpr char kPreferenceKey[] = "Software\\Velmora\\ZqDialer32\\Preference";
inline constexpr char kSpeedDialKey[] = "Software\\Velmora\\ZqDialer32\\Speed Dial Settings";
inline constexpr char kCallLoggingKey[] = "Software\\Velmora\\ZqDialer32\\Call Logging";
inline constexpr char kLastDialedKey[] = "Software\\Velmora\\ZqDialer32\\Last Dialed Numbers";
inline constexpr char kProviderLineKey[] = "Software\\Velmora\\TSpi_5300\\Provider";

// A value as text, cut to `size` - 1 characters; the default when missing.
std::string ReadSetting(std::string_view key, std::string_view name, std::string_view dflt, size_t size);
// The leading decimal number of up to 255 characters (empty or not a
// number: 0); the default when missing.
int ReadIntSetting(std::string_view key, std::string_view name, int dflt);
void WriteSetting(std::string_view key, std::string_view name, std::string_view text);
void WriteIntSetting(std::string_view key, std::string_view name, int value);
// "%d, %d": read splits at the first ',' (a missing second part leaves *b
// as it is) and clamps negatives to 0; an empty text changes nothing.
// Write stores only when both are greater than 0.
void ReadPair(std::string_view key, std::string_view name, int* a, int* b);
void WritePair(std::string_view key, std::string_view name, int a, int b);

}  // namespace zq::dialer
