// The transmit queue: data frames leave one at a time, stop-and-wait.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace zq {

inline constexpr int FIFO_SLOTS = 30;

struct FifoSlot {
    std::unique_ptr<uint8_t[]> data;
    uint32_t length = 0;
};

struct TxQueue {
    FifoSlot slots[FIFO_SLOTS];
    int write = 0;
    int read = 0;
    int unackedKicks = 0;
    int aborts = 0;
};

extern TxQueue g_fifo;

inline constexpr int KICK_LIMIT = 150;
inline constexpr int ABORT_LIMIT = 2;

// 1 when queued, 0 when the queue is full (the frame is lost) or the frame
// has no bytes or is longer than a frame can be.
int FifoPut(std::span<const uint8_t> frame);
// Copies the head frame; its length, 0 when empty or when it does not fit.
uint32_t FifoPeek(std::span<uint8_t> dest);
void FifoDrop();
void FifoClear();
int FifoCount();

// Queues the frame (none: a kick) and tries to send the head. 0 when
// nothing was written or a write was attempted, -1 when the head cannot be
// written, -3 when the provider is stopped, or the test-mode counter while
// transmission is suspended.
int PostZQMsg(std::span<const uint8_t> frame = {});
bool IsSendingBlocked();
int TxZQMsgFromFifo();
// The adapter acknowledged the head frame.
void FifoAcknowledged();
// Merges runs of queued set key messages into super frames.
void PackSuperMsg();

}  // namespace zq
