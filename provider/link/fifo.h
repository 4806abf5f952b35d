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

int FifoPut(std::span<const uint8_t> frame);
void FifoDrop();
void FifoClear();
int FifoCount();

}  // namespace zq
