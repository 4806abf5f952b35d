// The dialer's settings: per user, in the registry under HKEY_CURRENT_USER,
// every value a REG_SZ string. Missing keys and values give the default;
// writing errors are not reported.
#pragma once

#include <string>
#include <string_view>

#include "zq/platform.h"

namespace zq::dialer {

inline constexpr char kPreferenceKey[] = "Software\\Velmora\\ZqDialer32\\Preference";
inline constexpr char kSpeedDialKey[] = "Software\\Velmora\\ZqDialer32\\Speed Dial Settings";
inline constexpr char kCallLoggingKey[] = "Software\\Velmora\\ZqDialer32\\Call Logging";
inline constexpr char kLastDialedKey[] = "Software\\Velmora\\ZqDialer32\\Last Dialed Numbers";
inline constexpr char kProviderLineKey[] = "Software\\Velmora\\TSpi_5300\\Provider";

inline constexpr char kMainWindowValue[] = "Main Window Left/Top";
inline constexpr char kPreferredLineValue[] = "Preferred Line";
inline constexpr char kPreferredAddressValue[] = "Preferred Address";

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

// Whether a value exists, under either root (the first-run location check
// looks under HKEY_LOCAL_MACHINE).
bool SettingExists(plat::RegRoot root, std::string_view key, std::string_view name);

// Before anything else is read: when the preference key cannot be opened,
// creates every key of the dialer with its first values. True on a first run.
bool CreateFirstRunKeys();

// The main window's left and top: 100, 100 unless stored. A position of 0
// or less is not stored (a minimised window must not come back off-screen).
struct WindowPosition {
    int left = 100;
    int top = 100;
};
WindowPosition LoadMainWindowPosition();
void SaveMainWindowPosition(int left, int top);

}  // namespace zq::dialer
