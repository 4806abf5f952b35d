#include "core/settings.h"

#include <array>
#include <climits>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/redial.h"

namespace zq::dialer {
namespace {

constexpr size_t kIntTextSize = 256;
constexpr size_t kPairTextSize = 256;
using KeyHolder = plat::RegKeyHolder;

// A value as text: a string up to its first NUL, a number in decimal;
// nothing when the key or the value is missing or cannot be read.
std::optional<std::string> QueryText(plat::RegRoot root, std::string_view key, std::string_view name) {
    KeyHolder k;
    if (plat::reg_open_key(plat::reg_root(root), key, &k.key) != plat::kErrSuccess)
        return std::nullopt;
    uint32_t type = 0;
    const auto data = plat::reg_read_value(k.key, name, &type);
    if (!data)
        return std::nullopt;
    if (const auto number = plat::reg_dword_of(type, *data))
        return std::to_string(*number);
    if (type != plat::kRegSz)
        return std::nullopt;
    return plat::reg_text_of(*data);
}

std::string Cut(std::string_view text, size_t size) {
    if (size == 0)
        return {};
    return std::string(text.substr(0, size - 1));
}

// atoi without its overflow: leading blanks, a sign, digits; saturates.
int LeadingNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX)
            return negative ? INT_MIN : INT_MAX;
    }
    return static_cast<int>(negative ? -value : value);
}

int NotNegative(int v) {
    return v < 0 ? 0 : v;
}

void CreateKey(std::string_view key) {
    KeyHolder k;
    plat::reg_create_key(plat::reg_root(plat::RegRoot::CurrentUser), key, &k.key);
}

}  // namespace

std::string ReadSetting(std::string_view key, std::string_view name, std::string_view dflt, size_t size) {
    const std::optional<std::string> text = QueryText(plat::RegRoot::CurrentUser, key, name);
    return Cut(text ? *text : dflt, size);
}

int ReadIntSetting(std::string_view key, std::string_view name, int dflt) {
    const std::optional<std::string> text = QueryText(plat::RegRoot::CurrentUser, key, name);
    return text ? LeadingNumber(Cut(*text, kIntTextSize)) : dflt;
}

void WriteSetting(std::string_view key, std::string_view name, std::string_view text) {
    KeyHolder k;
    if (plat::reg_create_key(plat::reg_root(plat::RegRoot::CurrentUser), key, &k.key) == plat::kErrSuccess)
        plat::reg_set_string(k.key, name, text);
}

void WriteIntSetting(std::string_view key, std::string_view name, int value) {
    WriteSetting(key, name, std::to_string(value));
}

void ReadPair(std::string_view key, std::string_view name, int* a, int* b) {
    const std::string text = ReadSetting(key, name, "", kPairTextSize);
    if (text.empty() || a == nullptr || b == nullptr)
        return;
    const size_t comma = text.find(',');
    *a = NotNegative(LeadingNumber(std::string_view(text).substr(0, comma)));
    if (comma != std::string::npos)
        *b = NotNegative(LeadingNumber(std::string_view(text).substr(comma + 1)));
}

void WritePair(std::string_view key, std::string_view name, int a, int b) {
    if (a > 0 && b > 0)
        WriteSetting(key, name, std::to_string(a) + ", " + std::to_string(b));
}

bool SettingExists(plat::RegRoot root, std::string_view key, std::string_view name) {
    KeyHolder k;
    if (plat::reg_open_key(plat::reg_root(root), key, &k.key) != plat::kErrSuccess)
        return false;
    uint32_t type = 0, size = 0;
    std::array<uint8_t, 1> probe{};
    const uint32_t err = plat::reg_query_value(k.key, name, &type, probe, &size);
    return err == plat::kErrSuccess || err == plat::kErrMoreData;
}

bool CreateFirstRunKeys() {
    {
        KeyHolder k;
        if (plat::reg_open_key(plat::reg_root(plat::RegRoot::CurrentUser), kPreferenceKey, &k.key) ==
            plat::kErrSuccess)
            return false;
    }
    WriteSetting(kPreferenceKey, kMainWindowValue, "100, 100");
    CreateKey(kSpeedDialKey);
    CreateKey(kCallLoggingKey);
    SaveRedialList(RedialList{});
    return true;
}

WindowPosition LoadMainWindowPosition() {
    WindowPosition pos;
    ReadPair(kPreferenceKey, kMainWindowValue, &pos.left, &pos.top);
    return pos;
}

void SaveMainWindowPosition(int left, int top) {
    WritePair(kPreferenceKey, kMainWindowValue, left, top);
}

}  // namespace zq::dialer
