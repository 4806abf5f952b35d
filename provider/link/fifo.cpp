#include "link/fifo.h"

#include <algorithm>
#include <array>
#include <new>

#include "core/trace.h"
#include "link/frames.h"
#include "link/receive.h"
#include "link/serial_link.h"
#include "link/supervision.h"

namespace zq {

TxQueue g_fifo;

namespace {

constexpr int kSentHoldOff = 20;
constexpr size_t kSuperFrameLimit = 250;

int Next(int index) {
    return (index + 1) % FIFO_SLOTS;
}

}  // namespace

int FifoPut(std::span<const uint8_t> frame) {
    if (frame.empty() || frame.size() > MAX_FRAME)
        return 0;
    if (Next(g_fifo.write) == g_fifo.read)
        return 0;
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

uint32_t FifoPeek(std::span<uint8_t> dest) {
    if (g_fifo.read == g_fifo.write)
        return 0;
    const FifoSlot& slot = g_fifo.slots[g_fifo.read];
    if (slot.length > dest.size())
        return 0;
    std::copy_n(slot.data.get(), slot.length, dest.begin());
    return slot.length;
}

void FifoDrop() {
    if (g_fifo.read == g_fifo.write)
        return;
    FifoSlot& slot = g_fifo.slots[g_fifo.read];
    slot.data.reset();
    slot.length = 0;
    g_fifo.read = Next(g_fifo.read);
}

void FifoClear() {
    while (g_fifo.read != g_fifo.write)
        FifoDrop();
}

int FifoCount() {
    const int n = g_fifo.write - g_fifo.read;
    return n < 0 ? n + FIFO_SLOTS : n;
}

int PostZQMsg(std::span<const uint8_t> frame) {
    if (g_superv.stoppedConfigError)
        return -3;
    if (!frame.empty())
        FifoPut(frame);
    else
        ++g_fifo.unackedKicks;

    if (g_fifo.unackedKicks > KICK_LIMIT) {
        g_fifo.unackedKicks = 0;
        FifoDrop();
        if (++g_fifo.aborts > ABORT_LIMIT)
            return 0;
        if (PortIsOpen())
            WritePort(kAbortFrame.span());
    }
    if (IsSendingBlocked())
        return 0;
    if (g_rx.inputCounter == 0 || g_rx.inputCounter == -2)
        return g_rx.inputCounter;
    return TxZQMsgFromFifo();
}

bool IsSendingBlocked() {
    const plat::CommStatus status = ClearPortError();
    if (g_port.l2Sent) {
        if (!L2TimeoutElapsed()) {
            TspTrace(TRACE_TX, "L2 sent - sending_blocked - waiting timeout");
            return true;
        }
        g_port.l2Sent = false;
    }
    if (status.out_queue != 0 || g_rx.collecting || g_port.sendHoldOff != 0) {
        TspTrace(TRACE_TX, "sending blocked");
        return true;
    }
    return false;
}

int TxZQMsgFromFifo() {
    // Peeked into a buffer of its own: the last-sent frame changes only when
    // the head is really written, so a resend never mixes two frames.
    std::array<uint8_t, MAX_FRAME> head{};
    const bool hasHead = g_fifo.read != g_fifo.write;
    if (!hasHead)
        return 0;
    const uint32_t len = FifoPeek(head);
    if (len == 0 || len > LAST_SENT_SIZE || !PortIsOpen())
        return -1;
    if (ClearPortError().in_queue != 0) {
        TspTrace(TRACE_TX, "InQueue not empty - exiting TxZQMsgFromFifo");
        return 0;
    }
    const std::span<const uint8_t> frame(head.data(), len);
    const uint32_t err = WritePort(frame);
    if (err != plat::kErrSuccess && err != plat::kErrIoPending) {
        TspTrace(TRACE_ERROR, "TxZQMsgFromFifo - failed to write to port,GetLastError %lx", err);
        return 0;
    }
    std::copy(frame.begin(), frame.end(), g_port.lastSent.begin());
    g_port.lastSentLen = len;
    g_port.lastSendTime = plat::time_ms();
    if (TraceEnabled(TRACE_TX))
        TspTrace(TRACE_TX, "TxZQMsgFromFifo(%s)", HexDump(frame));
    g_port.sendHoldOff = kSentHoldOff;
    return 0;
}

void FifoAcknowledged() {
    g_fifo.unackedKicks = 0;
    g_fifo.aborts = 0;
    FifoDrop();
    PostZQMsg();
}

void PackSuperMsg() {
    const int n = FifoCount();
    if (n < 2)
        return;
    std::array<uint8_t, kSuperFrameLimit + 1> super{};
    size_t fill = 2;
    const auto close = [&] {
        if (fill > 2) {
            super[0] = static_cast<uint8_t>(fill - 1);
            super[1] = FT_SUPER;
            super[fill] = Checksum({super.data(), fill});
            FifoPut({super.data(), fill + 1});
        }
        fill = 2;
    };
    for (int round = 0; round < n; ++round) {
        std::array<uint8_t, MAX_FRAME> m{};
        const uint32_t len = FifoPeek(m);
        if (len == 0) {
            ErrorBox("FIFO - ZQsuperfifo - in_siz = 0");
            FifoDrop();
            continue;
        }
        FifoDrop();
        if (fill + len > kSuperFrameLimit)
            close();
        if (len >= 3 && m[1] == FT_KEY && 2 + len <= kSuperFrameLimit) {
            std::copy_n(m.begin(), len - 1, super.begin() + static_cast<std::ptrdiff_t>(fill));
            fill += len - 1;
        } else {
            close();
            FifoPut({m.data(), len});
        }
    }
    close();
}

}  // namespace zq
