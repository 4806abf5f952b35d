#include "setup/records.h"

#include <algorithm>
#include <cstring>

namespace zq::setup {
namespace {

void PutDword(std::span<uint8_t> record, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; ++i)
        record[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetDword(std::span<const uint8_t> record, size_t offset) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i)
        value |= static_cast<uint32_t>(record[offset + i]) << (8 * i);
    return value;
}

void PutText(std::span<uint8_t> record, size_t offset, size_t size, std::string_view text) {
    const size_t n = std::min(text.size(), size - 1);
    std::memcpy(record.data() + offset, text.data(), n);
    record[offset + n] = 0;
}

std::string GetText(std::span<const uint8_t> record, size_t offset, size_t size) {
    const auto field = record.subspan(offset, size);
    const auto end = std::find(field.begin(), field.end(), uint8_t{0});
    return std::string(field.begin(), end);
}

void PutWide(std::span<uint8_t> record, size_t offset, size_t size, std::u16string_view text) {
    const size_t n = std::min(text.size(), size / 2 - 1);
    for (size_t i = 0; i <= n; ++i) {
        const char16_t c = i < n ? text[i] : u'\0';
        record[offset + 2 * i] = static_cast<uint8_t>(c);
        record[offset + 2 * i + 1] = static_cast<uint8_t>(c >> 8);
    }
}

std::u16string GetWide(std::span<const uint8_t> record, size_t offset, size_t size) {
    std::u16string text;
    for (size_t i = 0; i + 1 < size; i += 2) {
        const auto c = static_cast<char16_t>(record[offset + i] | (record[offset + i + 1] << 8));
        if (c == u'\0')
            break;
        text.push_back(c);
    }
    return text;
}

template <size_t N>
std::array<uint8_t, N> Header(uint8_t command) {
    std::array<uint8_t, N> record{};
    record[0] = command;
    record[1] = static_cast<uint8_t>(N - RECORD_HEADER_SIZE);
    return record;
}

}  // namespace

int RecordCommand(std::span<const uint8_t> record) {
    return record.size() < RECORD_HEADER_SIZE ? -1 : record[0];
}

std::array<uint8_t, BASIC_RECORD_SIZE> EncodeBasic(uint8_t command, const BasicConfig& config) {
    auto record = Header<BASIC_RECORD_SIZE>(command);
    PutDword(record, BASIC_LINE_ID, config.lineDeviceId);
    PutDword(record, BASIC_PHONE_ID, config.phoneDeviceId);
    PutText(record, BASIC_PORT, BASIC_PORT_SIZE, config.port);
    PutWide(record, BASIC_LINE_NAME, BASIC_LINE_NAME_SIZE, config.lineName);
    PutText(record, BASIC_VERSION, BASIC_VERSION_SIZE, config.versionText);
    record[BASIC_ADAPTER_MAJOR] = config.adapterMajor;
    record[BASIC_ADAPTER_MINOR] = config.adapterMinor;
    record[BASIC_TQLA_VERSION] = config.tqlaVersion;
    record[BASIC_PROVIDER_BYTE] = config.providerByte;
    return record;
}

std::array<uint8_t, ADVANCED_RECORD_SIZE> EncodeAdvanced(uint8_t command, const AdvancedConfig& config) {
    auto record = Header<ADVANCED_RECORD_SIZE>(command);
    PutDword(record, ADV_MAX_DIGITS, static_cast<uint32_t>(config.maxDigitLocal));
    PutDword(record, ADV_ENQUIRY_MODE, config.pbxMode ? 1 : 0);
    PutDword(record, ADV_PREFIX_DISPLAYED, config.prefixDisplayed ? 1 : 0);
    PutText(record, ADV_PREFIX, ADV_PREFIX_SIZE, config.prefix);
    return record;
}

std::vector<uint8_t> EncodeTraceText(std::string_view text) {
    const size_t n = std::min<size_t>(text.size(), 254);
    std::vector<uint8_t> record(RECORD_HEADER_SIZE + n + 1, 0);
    record[0] = CMD_TRACE_TEXT;
    record[1] = static_cast<uint8_t>(n + 1);
    std::memcpy(record.data() + RECORD_HEADER_SIZE, text.data(), n);
    return record;
}

bool DecodeBasic(std::span<const uint8_t> record, BasicConfig* config) {
    if (record.size() != BASIC_RECORD_SIZE)
        return false;
    config->lineDeviceId = GetDword(record, BASIC_LINE_ID);
    config->phoneDeviceId = GetDword(record, BASIC_PHONE_ID);
    config->port = GetText(record, BASIC_PORT, BASIC_PORT_SIZE);
    config->lineName = GetWide(record, BASIC_LINE_NAME, BASIC_LINE_NAME_SIZE);
    config->versionText = GetText(record, BASIC_VERSION, BASIC_VERSION_SIZE);
    config->adapterMajor = record[BASIC_ADAPTER_MAJOR];
    config->adapterMinor = record[BASIC_ADAPTER_MINOR];
    config->tqlaVersion = record[BASIC_TQLA_VERSION];
    config->providerByte = record[BASIC_PROVIDER_BYTE];
    return true;
}

bool DecodeAdvanced(std::span<const uint8_t> record, AdvancedConfig* config) {
    if (record.size() != ADVANCED_RECORD_SIZE)
        return false;
    config->maxDigitLocal = static_cast<int>(GetDword(record, ADV_MAX_DIGITS));
    config->pbxMode = GetDword(record, ADV_ENQUIRY_MODE) != 0;
    config->prefixDisplayed = GetDword(record, ADV_PREFIX_DISPLAYED) != 0;
    config->prefix = GetText(record, ADV_PREFIX, ADV_PREFIX_SIZE);
    return true;
}

bool DecodeTraceText(std::span<const uint8_t> record, std::string* text) {
    if (record.size() < RECORD_HEADER_SIZE + 1)
        return false;
    const size_t length = record[1];
    if (length == 0 || RECORD_HEADER_SIZE + length > record.size())
        return false;
    const auto data = record.subspan(RECORD_HEADER_SIZE, length);
    // The length byte counts the text and its NUL.
    if (std::find(data.begin(), data.end(), uint8_t{0}) != data.end() - 1)
        return false;
    text->assign(data.begin(), data.end() - 1);
    return true;
}

}  // namespace zq::setup
