#include "link/receive.h"

#include <algorithm>

#include "callmodel/setmsg.h"
#include "callmodel/tables.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "link/fifo.h"
#include "link/frames.h"
#include "link/serial_link.h"
#include "link/setconfig.h"
#include "link/supervision.h"
#include "link/tqla.h"
#include "tapi/events.h"

namespace zq {

ReceiveState g_rx;

namespace {

constexpr int kLinkHoldOff = 50;

bool TestModeOn() {
    return g_rx.inputCounter != -1;
}

void SendAck(bool ack) {
    if (ack)
        SendL2Msg(kAckFrame.span());
}

bool IsLinkMessage(std::span<const uint8_t> bytes, size_t pos, uint8_t code) {
    return pos + 2 < bytes.size() && bytes[pos] == 2 && bytes[pos + 1] == FT_LINK && bytes[pos + 2] == code;
}

// The adapter restarted after a long silence: start the link again and tell
// TAPI the calls are gone.
void AdapterRestarted() {
    FifoClear();
    PostZQMsg(kPollFrame.span());
    PostZQMsg(kSpecialFrame.span());
    PostZQMsg(kConfigRequestFrame.span());
    for (int cref = 0; cref < MAX_CALLS; ++cref) {
        const uint32_t state = g_line.calls.lineCallState[static_cast<size_t>(cref)];
        if (state == 0 || state == LINECALLSTATE_IDLE)
            continue;
        TspTrace(TRACE_ERROR, "Çontact rompu avec le subdevice -> Redemarrage");
        DoLineEvent(LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, cref);
    }
}

// The read is given up as a whole, with the frame it was continuing.
void DropRead() {
    g_rx.collecting = false;
    g_rx.collected = 0;
    g_rx.expected = 0;
}

// Where the first frame boundary of a read lies: a read that continues a
// frame begins inside it, and its bytes there are no length byte.
size_t FirstBoundary() {
    return g_rx.collecting ? g_rx.expected - g_rx.collected : 0;
}

// Looks at whole reads holding several frames for the adapter's signs of
// trouble. Returns true when the read has been dealt with as a whole
// (*keep bytes to keep).
bool PreScan(std::span<const uint8_t> bytes, uint32_t* keep) {
    size_t pos = FirstBoundary();
    int nacks = 0;
    bool runsPast = false;
    while (pos < bytes.size()) {
        if (IsLinkMessage(bytes, pos, L2_ENQUIRY)) {
            if (plat::time_ms() - g_port.lastSendTime < ENQUIRY_SILENCE_MS)
                SendL2Msg(kNackSyncFrame.span());
            else
                AdapterRestarted();
            DropRead();
            *keep = 0;
            return true;
        }
        if (IsLinkMessage(bytes, pos, L2_NACK_LENGTH) || IsLinkMessage(bytes, pos, L2_NACK_CHECKSUM) ||
            IsLinkMessage(bytes, pos, L2_NACK_SYNC))
            ++nacks;
        const size_t next = pos + bytes[pos] + 2;
        if (next > bytes.size())
            runsPast = true;
        pos = next;
    }
    if (nacks < 2)
        return false;
    if (runsPast) {
        // The read buffer full is as good as the wait being over.
        const bool full = bytes.size() >= RX_BUFFER_SIZE;
        if (!full && plat::time_ms() - g_rx.lastReceiveTime < NACK_WAIT_MS) {
            TspTrace(TRACE_ERROR, "Deux msgs type 60.8x détectés - Dernier msg incomplet - Attente ");
            *keep = static_cast<uint32_t>(bytes.size());
            return true;
        }
        TspTrace(TRACE_ERROR, "Deux msgs type 60.8x détectés - dernier msg incomplet - Tempo atteinte !!!");
    } else {
        TspTrace(TRACE_ERROR, "Deux msgs type 60.8x détectés dans la trame !!!");
    }
    Resend_Last_Msg();
    DropRead();
    *keep = 0;
    return true;
}

// The messages of a super frame (or of a super frame inside a piggy-back
// frame), from index `from` of the frame's data bytes. A sub-message that
// runs past the frame ends the walk.
void OpenContainer(std::span<const uint8_t> data, size_t from) {
    size_t i = from;
    while (i < data.size()) {
        const size_t s = data[i];
        if (i + 1 + s > data.size()) {
            TspTrace(TRACE_ERROR, "ProcessInput - super message length %d at %d out of frame", s, i);
            return;
        }
        // An empty message is stepped over.
        if (s != 0)
            ProcessZQMsg(data.subspan(i + 1, s), false);
        i += s + 1;
    }
}

void OnCompleteFrame() {
    const uint32_t L = g_rx.expected - 1;
    uint8_t sum = static_cast<uint8_t>(L);
    for (uint32_t i = 0; i < g_rx.expected; ++i)
        sum = static_cast<uint8_t>(sum + g_rx.frame[i]);
    if (sum != 0) {
        TspTrace(TRACE_ERROR, "Process input - CS: Wrong CS Nack cs: %d, msglen: %d", sum, g_rx.expected);
        ResetComPort(3);
        SendL2Msg(kNackChecksumFrame.span());
        return;
    }
    if (TraceEnabled(TRACE_RX))
        TspTrace(TRACE_RX, "ProcessInput(%s)", HexDump({g_rx.frame.data(), g_rx.expected}));
    if (g_rx.inputCounter != -1 && g_rx.inputCounter != -2 && g_rx.inputCounter != 0)
        --g_rx.inputCounter;
    const bool ack = g_rx.inputCounter != 0 && g_rx.inputCounter != -2;

    // The frame's data bytes, type first, without the checksum.
    const std::span<const uint8_t> data(g_rx.frame.data(), L);
    switch (data[0]) {
        case FT_SUPER_OLD:
        case FT_SUPER:
            SendAck(ack);
            OpenContainer(data, 1);
            break;
        case FT_SEGMENT:
            if (g_rx.ready)
                Rebuild_ZQ_Segmented_Error_Msg(data, ack);
            else
                SendL2Msg(kAckFrame.span());
            break;
        case FT_PIGGY: {
            SendAck(ack);
            // [6F][02][60][code][L][type][body...]
            if (data.size() < 4)
                break;
            ProcessZQMsg(data.subspan(2, 2), false);
            if (data.size() < 6)
                break;
            const size_t embL = data[4];
            if (data[5] == FT_SUPER || data[5] == FT_SUPER_OLD)
                OpenContainer(data, 6);
            else if (embL >= 1 && 5 + embL <= data.size())
                ProcessZQMsg(data.subspan(5, embL), false);
            else
                TspTrace(TRACE_ERROR, "ProcessInput - piggy-back length %d out of frame", embL);
            break;
        }
        default:
            ProcessZQMsg(data, ack);
            break;
    }
}

void OnLinkControl(std::span<const uint8_t> m, bool ack) {
    g_port.sendHoldOff = kLinkHoldOff;
    const uint8_t code = m[1];
    const auto param = [&](size_t i) -> uint8_t { return i < m.size() ? m[i] : 0; };
    switch (code) {
        case L2_ACK:
            FifoAcknowledged();
            break;
        case L2_READY:
            g_rx.ready = true;
            FifoAcknowledged();
            g_superv.pollCounter = 0;
            break;
        case L2_POLL_02:
        case L2_POLL_80:
            if (PortIsOpen()) {
                SendL2Msg(kAckFrame.span());
                g_port.lastSendTime = plat::time_ms();
            }
            break;
        case L2_SPECIAL:
            TspTrace(TRACE_TSPI, "RX: Special Function Ack");
            g_rx.ready = true;
            FifoAcknowledged();
            break;
        case L2_CONFIG:
            TspTrace(TRACE_TSPI, "RX: Config Response ");
            g_rx.ready = true;
            g_fifo.unackedKicks = 0;
            g_fifo.aborts = 0;
            if (m.size() >= 5) {
                g_rx.versionMajor = m[2];
                g_rx.versionMinor = m[3];
                g_rx.adapterParam = m[4];
                g_port.superAllowed = (param(5) & 0x01) != 0;
                g_port.piggyAllowed = (param(5) & 0x02) != 0;
                g_rx.optionByte = param(6);
            }
            FifoDrop();
            if (g_rx.versionMajor >= 3 && g_rx.versionMinor > 5)
                PostZQMsg(kTimeoutChangeFrame.span());
            else
                PostZQMsg();
            TspTrace(TRACE_ERROR, "* Subdevice Vex/pc %d.%.02d *", g_rx.versionMajor, g_rx.versionMinor);
            g_superv.pollCounter = 0;
            g_superv.pollPeriod = POLL_PERIOD_CONFIGURED;
            if (g_superv.linkLossEpisode && !g_dl.ConfigComplete)
                g_superv.configWaitCount = 0;
            break;
        case L2_TIMEOUT_CHANGE:
        case L2_TIMEOUT_ENQUIRY:
            if (code == L2_TIMEOUT_CHANGE)
                TspTrace(TRACE_TSPI, "RX:Tempo Modification Ack:WaitAckTimer %d", param(2));
            else
                TspTrace(TRACE_TSPI, "RX:Tempo Enquiry Response:WaitAckTimer %d", param(2));
            FifoAcknowledged();
            g_superv.pollCounter = 0;
            g_superv.pollPeriod = POLL_PERIOD_CONFIGURED;
            break;
        case L2_NACK_LENGTH:
        case L2_NACK_CHECKSUM:
        case L2_NACK_SYNC:
            if (code == L2_NACK_LENGTH)
                TspTrace(TRACE_ERROR, "RX: Wrong length (NACK)");
            if (code == L2_NACK_CHECKSUM)
                TspTrace(TRACE_ERROR, "RX: Wrong CheckSum (NACK)\n");
            if (code == L2_NACK_SYNC) {
                TspTrace(TRACE_ERROR, "RX: Physical loss of synchro (NACK)\n");
                ResetComPort(1);
            }
            if (PortIsOpen()) {
                Resend_Last_Msg();
                g_port.lastSendTime = plat::time_ms();
            }
            break;
        case L2_ABORT:
            TspTrace(TRACE_ERROR, "RX: ABORT - ResetCommPort(3)");
            ResetComPort(3);
            SendL2Msg(kAckFrame.span());
            break;
        case L2_ENQUIRY:
            ResetComPort(1);
            if (g_rx.enquiryCounter == 0) {
                g_rx.inputCounter = -1;
                if (PortIsOpen())
                    SendL2Msg(g_rx.answerNack ? kNackChecksumFrame.span() : kAckFrame.span());
            }
            if (g_rx.enquiryCounter > 0)
                --g_rx.enquiryCounter;
            break;
        case L2_RESET:
            ResetComPort(1);
            SendAck(ack);
            break;
        default:
            ResetComPort(1);
            break;
    }
}

bool ModulePresent(uint8_t address) {
    return std::any_of(g_set.AomTable.begin(), g_set.AomTable.end(),
                       [&](const AomEntry& a) { return a.present && a.address == address; });
}

}  // namespace

uint32_t ProcessInput(std::span<const uint8_t> bytes) {
    const size_t n = bytes.size();
    // Only a read holding more than its first frame is scanned.
    const size_t firstEnd = g_rx.collecting ? FirstBoundary() : (n > 0 ? size_t{bytes[0]} + 2 : 0);
    if (firstEnd < n && !TestModeOn()) {
        uint32_t keep = 0;
        if (PreScan(bytes, &keep))
            return keep;
    }
    size_t i = 0;
    while (i < n) {
        if (!g_rx.collecting) {
            const uint8_t L = bytes[i++];
            // A length of 0 announces no frame: the byte is noise.
            if (L == 0)
                continue;
            g_rx.expected = uint32_t{L} + 1;
            g_rx.collected = 0;
            g_rx.collecting = true;
            continue;
        }
        g_rx.inactivity = 0;
        const size_t take = std::min<size_t>(g_rx.expected - g_rx.collected, n - i);
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(i), take,
                    g_rx.frame.begin() + static_cast<std::ptrdiff_t>(g_rx.collected));
        g_rx.collected += static_cast<uint32_t>(take);
        i += take;
        if (g_rx.collected < g_rx.expected)
            break;
        // The frame buffer holds L data bytes and the checksum; the length
        // byte itself is expected - 1.
        OnCompleteFrame();
        g_rx.collecting = false;
        g_rx.collected = 0;
        g_rx.expected = 0;
    }
    return 0;
}

int ProcessZQMsg(std::span<const uint8_t> m, bool ack) {
    if (m.empty())
        return 1;
    if (TestModeOn() && m.size() >= 2 && m[0] == FT_LINK && m[1] == L2_ENQUIRY && g_rx.enquiryCounter > 0)
        g_rx.inputCounter = -2;
    switch (m[0]) {
        case FT_ANSWER_00:
            if (PortIsOpen()) {
                WritePort(kAnswer00Frame.span());
                g_port.lastSendTime = plat::time_ms();
            }
            break;
        case FT_03:
        case FT_SUPER_OLD:
        case FT_10:
        case FT_21:
        case FT_22:
        case FT_11:
        case FT_1F:
            SendAck(ack);
            break;
        case FT_SEGMENT:
            if (g_rx.ready)
                Rebuild_ZQ_Segmented_Error_Msg(m, ack);
            else
                SendAck(ack);
            break;
        case FT_0E:
            SendAck(ack);
            PostZQMsg(k0EAnswerFrame.span());
            break;
        case FT_TQLA:
            SendAck(ack);
            if (g_rx.ready)
                DispatchTQLAMsg(m.subspan(1));
            break;
        case FT_ANSWER_20:
            SendAck(ack);
            if (PortIsOpen()) {
                ClearPortError();
                WritePort(kAnswer20Frame.span());
                g_port.lastSendTime = plat::time_ms();
            }
            g_fifo.aborts = 0;
            break;
        case FT_LINK:
            if (m.size() >= 2)
                OnLinkControl(m, ack);
            else
                TspTrace(TRACE_ERROR, "ProcessZQMsg - link control without code");
            break;
        case FT_SYS_TRACE:
            if (!g_rx.traceModeSeen)
                TspTrace(TRACE_TSPI, "RX: First TRACEMODE System Trace Header WaitTrace %d - ProcessData:%d",
                         g_superv.traceWaitCount, g_rx.ready ? 1 : 0);
            g_rx.traceModeSeen = true;
            g_superv.pollCounter = 0;
            SendAck(ack);
            if (g_rx.ready)
                VtaDisplayIconMsg(m.subspan(1), ack, false, 255);
            break;
        case FT_VTA_TRACE:
            if (!g_rx.traceModeSeen)
                TspTrace(TRACE_TSPI, "RX: First TRACEMODE VTA Trace Header WaitTrace %d",
                         g_superv.traceWaitCount);
            g_rx.traceModeSeen = true;
            g_superv.pollCounter = 0;
            SendAck(ack);
            if (m.size() >= 2 && (m[1] & 0x7F) == 0x22)
                break;
            if (g_rx.ready)
                VtaKeyMsg(m.subspan(1), false, 255);
            break;
        case FT_SYS_OPT_TRACE:
        case FT_OPT_SYS_TRACE: {
            SendAck(ack);
            g_rx.traceModeSeen = true;
            const uint8_t a = m.size() >= 2 ? m[1] : 0;
            const uint8_t op = m.size() >= 3 ? m[2] : 0;
            if (m[0] == FT_SYS_OPT_TRACE)
                TspTrace(TRACE_TSPI, "RX: System to Option Trace Header(address %x) OP %x", a, op);
            else
                TspTrace(TRACE_TSPI, "RX: Option to System Trace Header(address %x) OP %x", a & 7, op);
            const uint8_t address = a & 7;
            if (m.size() < 3 || !ModulePresent(address))
                break;
            if (m[0] == FT_SYS_OPT_TRACE && (op == 0x46 || op == 0x47) && g_rx.ready)
                VtaDisplayIconMsg(m.subspan(2), ack, true, address);
            if (m[0] == FT_OPT_SYS_TRACE && op == 0x20 && g_rx.ready)
                VtaKeyMsg(m.subspan(2), true, address);
            break;
        }
        default:
            break;
    }
    return 1;
}

void Rebuild_ZQ_Segmented_Error_Msg(std::span<const uint8_t> m, bool ack) {
    const auto reset = [] {
        g_rx.reasmReceived = 0;
        g_rx.reasmExpected = 0;
        g_rx.reasmTotal = 0;
        g_rx.reasmPos = 0;
    };
    const auto store = [&](size_t from) {
        const std::span<const uint8_t> part = from < m.size() ? m.subspan(from) : std::span<const uint8_t>();
        if (g_rx.reasmPos + part.size() > REASSEMBLY_SIZE) {
            TspTrace(TRACE_ERROR, "Rebuild_ZQ_Segmented_Error_Msg - message trop long (%d) - abandonne",
                     g_rx.reasmPos + part.size());
            return false;
        }
        std::copy(part.begin(), part.end(), g_rx.reasm.begin() + g_rx.reasmPos);
        g_rx.reasmPos += static_cast<uint32_t>(part.size());
        return true;
    };
    const Frame* answer = &kAckFrame;
    if (m.size() < 2) {
        // Resending cannot mend it: taken and dropped.
        TspTrace(TRACE_ERROR, "Rebuild_ZQ_Segmented_Error_Msg - segment sans en-tete");
        if (ack)
            SendL2Msg(answer->span());
        return;
    }
    const uint8_t header = m[1];
    if ((header & 0x80) != 0) {
        // A first segment starts a new message: one left unfinished is
        // given up rather than spoiling this one.
        g_rx.reasmReceived = 0;
        g_rx.reasmPos = 0;
        g_rx.reasmTotal = m.size() >= 4 ? uint32_t{m[2]} << 8 | m[3] : 0;
        g_rx.reasmExpected = (header & 0x7Fu) + 1;
        if (m.size() < 5 || !store(4)) {
            reset();
        } else {
            ++g_rx.reasmReceived;
        }
    } else if (g_rx.reasmExpected == (header & 0x7Fu) + g_rx.reasmReceived + 1) {
        if (store(2))
            ++g_rx.reasmReceived;
        else
            reset();
    } else {
        TspTrace(TRACE_ERROR, "Rebuild_ZQ_Segmented_Error_Msg - segment non attendu");
        answer = &kNackSyncFrame;
    }
    if (g_rx.reasmExpected != 0 && g_rx.reasmReceived == g_rx.reasmExpected) {
        if (g_rx.reasm[0] == FT_TQLA) {
            if (g_rx.reasmPos == g_rx.reasmTotal && g_rx.reasmTotal >= 1)
                DispatchTQLAMsg({g_rx.reasm.data() + 1, g_rx.reasmTotal - 1});
            else
                TspTrace(TRACE_ERROR,
                         "Rebuild_ZQ_Segmented_Error_Msg - Pb de longueur - Message reconstruit errone");
        }
        reset();
    }
    if (ack)
        SendL2Msg(answer->span());
}

}  // namespace zq
