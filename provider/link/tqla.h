// TQLA application messages: [length:2][version][code:2][sequence][payload],
// carried in frames of type 0x12 or, from 16 bytes on, in segments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zq {

inline constexpr size_t TQLA_HEADER = 6;
inline constexpr uint8_t TQLA_VERSION_SENT = 2;
inline constexpr int TQLA_REQUEST_CODES = 34;

// Request and answer codes.
inline constexpr uint8_t TQLA_DEVICE_ASSOC = 2;
inline constexpr uint8_t TQLA_DEVICE_ASSOC_ACK = 3;
inline constexpr uint8_t TQLA_NOT_MULTILINE = 4;
inline constexpr uint8_t TQLA_KEY = 6;
inline constexpr uint8_t TQLA_KEY_ACK = 7;
inline constexpr uint8_t TQLA_KEY_INFO = 8;
inline constexpr uint8_t TQLA_KEY_INFO_ACK = 9;
inline constexpr uint8_t TQLA_STRING = 10;
inline constexpr uint8_t TQLA_STRING_ACK = 11;
inline constexpr uint8_t TQLA_STRING_INFO = 12;
inline constexpr uint8_t TQLA_STRING_INFO_ACK = 13;
inline constexpr uint8_t TQLA_SK = 14;
inline constexpr uint8_t TQLA_SK_ACK = 15;
inline constexpr uint8_t TQLA_SK_INFO = 16;
inline constexpr uint8_t TQLA_SK_INFO_ACK = 17;
inline constexpr uint8_t TQLA_CODE = 18;
inline constexpr uint8_t TQLA_CODE_ACK = 19;
inline constexpr uint8_t TQLA_CODE_INFO = 20;
inline constexpr uint8_t TQLA_CODE_INFO_ACK = 21;
inline constexpr uint8_t TQLA_EVENT_INCOMING_CHANGE = 23;
inline constexpr uint8_t TQLA_EVENT_OUTGOING_CALL = 24;
inline constexpr uint8_t TQLA_EVENT_CONNECTED_CALL = 25;
inline constexpr uint8_t TQLA_EVENT_TRANSFERED_CALL = 28;
inline constexpr uint8_t TQLA_KEY_SPE = 30;
inline constexpr uint8_t TQLA_KEY_SPE_ACK = 31;
inline constexpr uint8_t TQLA_KEY_SPE_INFO = 32;
inline constexpr uint8_t TQLA_KEY_SPE_INFO_ACK = 33;

inline constexpr size_t TQLA_MAX_REQUEST = 64;

// The message T starts at its length field. Dispatched to the handler of
// its code with its sequence byte and payload.
void DispatchTQLAMsg(std::span<const uint8_t> message);

// Writes the 6-byte header and the payload into out; the message length.
size_t BuildTQLARequest(uint8_t code, std::span<const uint8_t> payload, std::span<uint8_t> out);

// Frames the message (one frame, or segments from 16 bytes on) and queues
// or sends it.
void SendTQLAMsg(std::span<const uint8_t> message);

// Builds and sends a request with no payload or with one byte.
void SendTQLARequest(uint8_t code);
void SendTQLARequest(uint8_t code, uint8_t parameter);

}  // namespace zq
