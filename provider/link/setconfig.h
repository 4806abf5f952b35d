// The download of the set's configuration from the PBX: association, line
// keys, special keys, display strings, soft keys and service codes, each
// answer asking for the next; the result installed in the tables and saved.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "callmodel/tables.h"

namespace zq {

enum class PrevDownload { Never, Success, Failed };

// A list being downloaded: the keys received so far and how many were
// announced.
template <int N>
struct WorkingList {
    KeyList<N> list{};
    int announced = 0;
};

// The longest answer payload: a reassembled message holds at most 2048
// bytes with its type byte and 6-byte header.
inline constexpr size_t TQLA_MAX_ANSWER = 2048;

// The last list answer taken, kept whole to recognise a copy of it.
struct LastAnswer {
    bool valid = false;
    uint8_t code = 0;
    uint8_t seq = 0;
    size_t size = 0;
    std::array<uint8_t, TQLA_MAX_ANSWER> payload{};
};

struct DownloadState {
    PrevDownload prev = PrevDownload::Never;
    std::array<uint16_t, 34> requestCounters{};
    int entriesReceived = 0;
    int announcedMulti = 0;
    int announcedStrings = 0;
    int announcedSoftKeys = 0;
    int announcedCodes = 0;
    bool AssocAck = false;
    bool ConfigComplete = false;
    bool ReadyForCalls = false;
    bool StringsChanged = false;
    bool SoftKeysChanged = false;
    bool CodesChanged = false;
    bool LanguageDiffers = false;
    bool setDesRewritten = false;
    uint8_t PbxLanguage = 0;
    uint8_t DevType = 0;
    uint8_t FwdStatus = 4;
    std::array<char, 40> FwdDest{};
    std::array<int, MAX_AOM> AomOrder{0, 1, 2};
    std::array<uint32_t, MAX_TOUCH + 1> NewKind{};
    int NewMultiLineCount = -1;
    KeyList<MAX_MULTILINE> newMulti{};
    WorkingList<MAX_SUPERV> newSuperv;
    WorkingList<MAX_SPECIAL> newPatron;
    WorkingList<MAX_SPECIAL> newSecretaire;
    WorkingList<MAX_SPECIAL> newSecrDebord;
    LastAnswer lastAnswer;
};

extern DownloadState g_dl;

inline bool PreviousDownloadExists() {
    return g_dl.prev != PrevDownload::Never;
}

// At worker start: nothing acknowledged or complete yet.
void ResetDownloadState();
// At line initialisation: the set is not forwarded.
void InitForwarding();
void StartSetConfiguration();

// Display strings and soft-key labels: leading blanks skipped, control
// bytes as '#', the set's characters translated, trailing blanks cut.
std::string NormaliseLabel(std::span<const uint8_t> text);

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
