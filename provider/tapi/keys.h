// Key presses for the set: the messages a user would send by pressing the
// set's keys.
#pragma once

#include <cstdint>

namespace zq {

inline constexpr uint8_t KEY_CODE_SOFTKEY_BASE = 0x1C;  // + position 1..5
inline constexpr uint8_t KEY_CODE_RELEASE = 0x29;
inline constexpr uint8_t KEY_CODE_OFFHOOK = 0x30;

// The function-key message for key code k, queued and sent.
void SendFunctionKey(uint8_t code);
// Presses the soft key at position 1..5; returns it, or 0 (nothing sent)
// for another position.
int PressSoftKey(int position);

}  // namespace zq
