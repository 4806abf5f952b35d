// The records the setup dialogs exchange with the running provider through
// TAPI's dialog-data channel: a 4-byte header (command, length of the data
// after the header, two reserved zero bytes), then the data. Both halves
// use these layouts; every size is checked before a field is read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zq_version.h"

namespace zq::setup {

// Commands.
inline constexpr uint8_t CMD_TRACE_TEXT = 0;
inline constexpr uint8_t CMD_BASIC_GET = 1;
inline constexpr uint8_t CMD_PORT_SET = 2;
inline constexpr uint8_t UI_SPI_EI_CFGDLG_ADV_GET = 3;
inline constexpr uint8_t UI_SPI_EI_CFGDLG_ADV_SET = 4;

// Object types of the TUISPI calls and of the exchange.
inline constexpr uint32_t OBJECT_LINE = 1;
inline constexpr uint32_t OBJECT_PHONE = 2;
inline constexpr uint32_t OBJECT_PROVIDER = 3;
inline constexpr uint32_t OBJECT_DIALOG_INSTANCE = 4;

inline constexpr size_t RECORD_HEADER_SIZE = 4;
inline constexpr size_t BASIC_RECORD_SIZE = 176;
inline constexpr size_t ADVANCED_RECORD_SIZE = 36;

// The basic record (commands 1 and 2).
inline constexpr size_t BASIC_LINE_ID = 4;
inline constexpr size_t BASIC_PHONE_ID = 8;
inline constexpr size_t BASIC_PORT = 12;
inline constexpr size_t BASIC_PORT_SIZE = 40;
inline constexpr size_t BASIC_LINE_NAME = 52;
inline constexpr size_t BASIC_LINE_NAME_SIZE = 80;  // bytes: 40 UTF-16 units
inline constexpr size_t BASIC_VERSION = 132;
inline constexpr size_t BASIC_VERSION_SIZE = 40;
inline constexpr size_t BASIC_ADAPTER_MAJOR = 172;
inline constexpr size_t BASIC_ADAPTER_MINOR = 173;
inline constexpr size_t BASIC_TQLA_VERSION = 174;
inline constexpr size_t BASIC_PROVIDER_BYTE = 175;

// The advanced record (commands 3 and 4).
inline constexpr size_t ADV_MAX_DIGITS = 4;
inline constexpr size_t ADV_ENQUIRY_MODE = 8;
inline constexpr size_t ADV_PREFIX_DISPLAYED = 12;
inline constexpr size_t ADV_PREFIX = 16;
inline constexpr size_t ADV_PREFIX_SIZE = 20;  // 19 characters and the NUL
// The provider reads a stored prefix with 5 bytes: a longer prefix could not
// be read back, so neither half accepts one.
inline constexpr size_t PREFIX_KEPT_CHARS = 4;

// The digit count of an internal call: its range and default.
inline constexpr int MAX_DIGITS_LOW = 2;
inline constexpr int MAX_DIGITS_HIGH = 19;
inline constexpr int MAX_DIGITS_DEFAULT = 8;

// The provider's version text in the basic record: the project's.
inline constexpr char kProviderVersionText[] = ZQ_VERSION_TEXT;

struct BasicConfig {
    uint32_t lineDeviceId = 0;
    uint32_t phoneDeviceId = 0;
    std::string port;
    std::u16string lineName;
    std::string versionText;
    uint8_t adapterMajor = 0;
    uint8_t adapterMinor = 0;
    uint8_t tqlaVersion = 0;
    uint8_t providerByte = 0;
};

struct AdvancedConfig {
    int maxDigitLocal = MAX_DIGITS_DEFAULT;
    bool pbxMode = false;          // enquiry on the same line
    bool prefixDisplayed = false;  // on incoming calls
    std::string prefix = "0";
};

// The command of a record, or -1 when it is shorter than its header.
int RecordCommand(std::span<const uint8_t> record);

// Encoders write the header (command, data length) and the fields; texts
// are cut to their field and always NUL-terminated.
std::array<uint8_t, BASIC_RECORD_SIZE> EncodeBasic(uint8_t command, const BasicConfig& config);
std::array<uint8_t, ADVANCED_RECORD_SIZE> EncodeAdvanced(uint8_t command, const AdvancedConfig& config);
// A trace text: byte 1 is the text's length plus 1; a text longer than
// 254 characters is cut.
std::vector<uint8_t> EncodeTraceText(std::string_view text);

// Decoders: false when the record has the wrong size. A text field without
// its NUL is read up to the end of the field.
bool DecodeBasic(std::span<const uint8_t> record, BasicConfig* config);
bool DecodeAdvanced(std::span<const uint8_t> record, AdvancedConfig* config);
// false when byte 1 does not match the text's length plus 1, or the record
// is shorter than it says.
bool DecodeTraceText(std::span<const uint8_t> record, std::string* text);

}  // namespace zq::setup
