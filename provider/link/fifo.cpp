#include "link/fifo.h"

#include <algorithm>
#include <new>

#include "link/supervision.h"

namespace zq {

TxQueue g_fifo;

namespace {
int Next(int index) { return (index + 1) % FIFO_SLOTS; }
}  // namespace

int FifoPut(std::span<const uint8_t> frame) {
    if (Next(g_fifo.write) == g_fifo.read) return 0;
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[frame.size() + 1]());
    if (block == nullptr) {
        ErrorBox("FIFO - GlobalAlloc - failed");
        return 0;
    }
    std::copy(frame.begin(), frame.end(), block.get());
    FifoSlot& slot = g_fifo.slots[g_fifo.write];
    slot.data = std::move(block);
    slot.length = static_cast<uint32_t>(frame.size());
    g_fifo.write = Next(g_fifo.write);
    return 1;
}

void FifoDrop() {
    if (g_fifo.read == g_fifo.write) return;
    FifoSlot& slot = g_fifo.slots[g_fifo.read];
    slot.data.reset();
    slot.length = 0;
    g_fifo.read = Next(g_fifo.read);
}

void FifoClear() {
    while (g_fifo.read != g_fifo.write) FifoDrop();
}

int FifoCount() {
    const int n = g_fifo.write - g_fifo.read;
    return n < 0 ? n + FIFO_SLOTS : n;
}

}  // namespace zq
