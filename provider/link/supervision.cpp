#include "link/supervision.h"

#include <array>
#include <string>

#include "callmodel/tables.h"
#include "core/config.h"
#include "core/lifecycle.h"
#include "core/trace.h"
#include "link/fifo.h"
#include "link/receive.h"
#include "link/serial_link.h"
#include "link/setconfig.h"
#include "zq/platform.h"

namespace zq {

Supervision g_superv;

void ResetLinkState() {
    g_port.hcd = nullptr;
    g_port.openFailed = false;
    g_port.openError = 0;
    g_port.timerId = 0;
    g_port.lastSentLen = 0;
    g_port.resendLen = 0;
    g_port.resendPending = false;
    g_port.l2Sent = false;
    g_port.sendHoldOff = 0;
    g_port.superAllowed = false;
    g_port.piggyAllowed = false;
    FifoClear();
    g_fifo.write = 0;
    g_fifo.read = 0;
    g_fifo.unackedKicks = 0;
    g_fifo.aborts = 0;
    g_rx = ReceiveState{};
    g_superv = Supervision{};
    g_dl.AssocAck = false;
    g_dl.ConfigComplete = false;
    g_dl.ReadyForCalls = false;
    for (AomEntry& aom : g_set.AomTable) aom = AomEntry{false, 255, false, 255};
    ReadLastAction();
}

void SerialTimerProc() {
    WAITLINEMUTEX();
    if (PortIsOpen()) {
        // Drains what has arrived; the frames are taken apart by the link
        // layer once it receives.
        plat::CommStatus status;
        plat::serial_clear_error(g_port.hcd, &status);
        for (;;) {
            uint32_t got = 0;
            const uint32_t err = plat::serial_read(g_port.hcd, g_rx.rxBuf, &got);
            if ((err != plat::kErrSuccess && err != plat::kErrIoPending) || got == 0) break;
        }
    }
    REL_LINE_MUTEX(0);
}

int ErrorBox(std::string_view text) {
    return plat::message_box(text, "Velmora 6200 SP Error",
                             plat::kMbOk | plat::kMbIconHand | plat::kMbSystemModal | plat::kMbTaskModal |
                                 plat::kMbDefaultDesktopOnly);
}

}  // namespace zq
