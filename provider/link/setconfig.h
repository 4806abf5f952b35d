// The download of the set's configuration from the PBX.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace zq {

enum class PrevDownload { Never, Success, Failed };

struct DownloadState {
    PrevDownload prev = PrevDownload::Never;
    std::array<uint16_t, 34> requestCounters{};
    bool AssocAck = false;
    bool ConfigComplete = false;
    bool ReadyForCalls = false;
};

extern DownloadState g_dl;

inline bool PreviousDownloadExists() { return g_dl.prev != PrevDownload::Never; }

void StartSetConfiguration();

// Answers of the PBX, by TQLA code.
void TqlaDeviceAssocAck(uint8_t seq, std::span<const uint8_t> payload);
void TqlaKeyAck(uint8_t seq, std::span<const uint8_t> payload);
void TqlaKeyInfoAck(uint8_t seq, std::span<const uint8_t> payload);
void TqlaKeySpeAck(uint8_t seq, std::span<const uint8_t> payload);
void TqlaKeySpeInfoAck(uint8_t seq, std::span<const uint8_t> payload);
void TqlaStringAck(uint8_t seq, std::span<const uint8_t> payload);
void TqlaStringInfoAck(uint8_t seq, std::span<const uint8_t> payload);
void TqlaSkAck(uint8_t seq, std::span<const uint8_t> payload);
void TqlaSkInfoAck(uint8_t seq, std::span<const uint8_t> payload);
void TqlaCodeAck(uint8_t seq, std::span<const uint8_t> payload);
void TqlaCodeInfoAck(uint8_t seq, std::span<const uint8_t> payload);

}  // namespace zq
