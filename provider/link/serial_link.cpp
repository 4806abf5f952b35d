#include "link/serial_link.h"

#include <algorithm>
#include <array>

#include "core/config.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "link/fifo.h"
#include "link/frames.h"
#include "link/receive.h"
#include "link/setconfig.h"
#include "link/supervision.h"

namespace zq {

PortState g_port;

namespace {

constexpr uint32_t kTickMs = 100;
constexpr int kResetHoldOff = 49;
constexpr int kSentHoldOff = 20;

uint32_t ReadAfterL2Timeout() {
    std::array<char, 16> text{};
    ReadProviderValue("ZQ_Info", "After_L2_timeout", "10", text);
    const int32_t v = DecimalValue(text.data());
    return (v < 1 || v > 150) ? 10u : static_cast<uint32_t>(v);
}

uint32_t ConfigurePort(plat::SerialPort* port, std::string_view speed, plat::AbortOnError abort) {
    plat::SerialSettings s;
    // The speed is read as digits only, without a sign.
    uint32_t baud = 0;
    for (char c : speed) {
        if (c < '0' || c > '9')
            break;
        baud = std::min<uint32_t>(baud * 10 + static_cast<uint32_t>(c - '0'), 10'000'000);
    }
    s.baud = baud;
    s.abort_on_error = abort;
    return plat::serial_configure(port, s);
}

// Steps shared by the first opening and the reopening after a link loss,
// once the port is configured.
void StartLink(plat::SerialPort* port, const char* l2Trace) {
    g_port.hcd = port;
    plat::serial_set_timeouts(port);
    const uint32_t rts = plat::serial_set_rts(port, true);
    if (rts != plat::kErrSuccess)
        TspTrace(TRACE_TSPI, "SETRTS refused %ld", rts);
    ResetComPort(3);
    g_port.afterL2Timeout = ReadAfterL2Timeout();
    g_port.l2Sent = false;
    TspTrace(TRACE_ERROR, l2Trace, g_port.afterL2Timeout);

    g_port.sendHoldOff = 0;
    g_fifo.unackedKicks = 0;
    g_fifo.aborts = 0;
    g_rx.collecting = false;
    g_rx.expected = 0;
    g_rx.collected = 0;
    g_rx.rxFill = 0;
    g_port.superAllowed = false;
    g_port.piggyAllowed = false;
    g_rx.adapterParam = 25;
    g_port.resendPending = false;
    g_port.resendLen = 0;
    g_superv.pollCounter = 0;

    SendL2Msg(kNackSyncFrame.span());
    PostZQMsg(kPollFrame.span());
    PostZQMsg(kSpecialFrame.span());
    PostZQMsg(kConfigRequestFrame.span());
    StartSetConfiguration();
}

void NoteLastSent(std::span<const uint8_t> frame) {
    const size_t n = std::min(frame.size(), g_port.lastSent.size());
    std::copy_n(frame.begin(), n, g_port.lastSent.begin());
    g_port.lastSentLen = static_cast<uint32_t>(n);
}

}  // namespace

uint32_t WritePort(std::span<const uint8_t> bytes) {
    if (!PortIsOpen())
        return plat::kErrInvalidHandle;
    return plat::serial_write(g_port.hcd, bytes);
}

plat::CommStatus ClearPortError() {
    plat::CommStatus status;
    if (PortIsOpen())
        plat::serial_clear_error(g_port.hcd, &status);
    return status;
}

plat::SerialPort* SerialOpenComms(std::string_view portName, std::string_view speed) {
    TspTrace(TRACE_TSPI, "SerialOpenComms (%s,%s)", portName, speed);
    g_port.openError = plat::kErrSuccess;
    if (g_port.openFailed)
        return nullptr;
    if (PortIsOpen())
        SerialCloseComms();
    if (portName.find("COM") == std::string_view::npos) {
        g_port.openError = plat::kErrFileNotFound;
        return nullptr;
    }
    plat::SerialPort* port = nullptr;
    uint32_t err = plat::serial_open(portName, &port);
    if (err == plat::kErrSuccess) {
        err = ConfigurePort(port, speed, plat::AbortOnError::Keep);
        if (err != plat::kErrSuccess) {
            plat::serial_close(port);
            port = nullptr;
        }
    }
    if (err != plat::kErrSuccess) {
        g_port.openError = err;
        TspTrace(TRACE_ERROR, "***Comm port failed to open");
        return nullptr;
    }
    StartLink(port, "* After_L2_timeout = %d *");
    SerialStartTimer();
    return port;
}

void RestartSerialLink() {
    if (PortIsOpen())
        plat::serial_close(g_port.hcd);
    g_port.hcd = nullptr;
    const std::string_view name = TextOf(g_line.PortName);
    if (name.find("COM") == std::string_view::npos)
        return;
    plat::SerialPort* port = nullptr;
    if (plat::serial_open(name, &port) != plat::kErrSuccess) {
        TspTrace(TRACE_ERROR, "***Comm port failed to open");
        return;
    }
    g_port.hcd = port;
    if (ConfigurePort(port, TextOf(g_line.Speed), plat::AbortOnError::Set) != plat::kErrSuccess) {
        TspTrace(TRACE_ERROR, "***Comm port failed to open");
        return;
    }
    StartLink(port, "After_L2_timeout = %d");
}

void SerialCloseComms() {
    ResetComPort(3);
    FifoClear();
    if (PortIsOpen()) {
        plat::serial_set_rts(g_port.hcd, false);
        plat::serial_close(g_port.hcd);
        g_port.hcd = nullptr;
        if (g_port.timerId != 0)
            plat::timer_kill(g_port.timerId);
    }
    g_port.timerId = 0;
}

void ResetComPort(int reason) {
    TspTrace(TRACE_TSPI, "ResetComPort:%d", reason);
    if (!PortIsOpen()) {
        TspTrace(TRACE_TSPI, "No hcd ");
        return;
    }
    g_rx.collecting = false;
    ClearPortError();
    plat::serial_flush(g_port.hcd);
    ClearPortError();
    g_port.sendHoldOff = kResetHoldOff;
}

void SerialStartTimer() {
    TspTrace(TRACE_ERROR, "SerialStartTimer");
    if (g_port.timerId == 0)
        g_port.timerId = plat::timer_start(kTickMs, SerialTimerProc);
}

void SendL2Msg(std::span<const uint8_t> frame) {
    if (g_port.superAllowed && g_port.sendHoldOff == 0)
        PackSuperMsg();
    std::array<uint8_t, MAX_FRAME> head{};
    const uint32_t headLen = FifoPeek(head);

    // A link-control frame rides with the head data frame when the adapter
    // allows it: [L+3][6F][L ctl][60][code][head without its checksum][CS].
    if (g_port.sendHoldOff == 0 && g_port.piggyAllowed && headLen >= 2 && headLen + 3 <= 255 &&
        frame.size() >= 3) {
        Frame piggy;
        FrameWriter w{piggy.bytes};
        w.Put(static_cast<uint8_t>(headLen + 3));
        w.Put(FT_PIGGY);
        w.Put(frame.first(3));
        w.Put(std::span<const uint8_t>(head.data(), headLen - 1));
        w.Put(Checksum({piggy.bytes.data(), w.n}));
        piggy.size = w.n;
        if (!w.overflow) {
            NoteLastSent(piggy.span());
            if (PortIsOpen()) {
                WritePort(piggy.span());
                g_port.lastSendTime = plat::time_ms();
                if (TraceEnabled(TRACE_TX))
                    TspTrace(TRACE_TX, "SendL2Msg(%s)", HexDump(piggy.span()));
            }
            g_port.sendHoldOff = kSentHoldOff;
            g_rx.collecting = false;
            return;
        }
    }

    if (PortIsOpen()) {
        g_port.l2Sent = true;
        const uint32_t err = WritePort(frame);
        g_port.l2SendTime = plat::time_ms();
        if (err != plat::kErrSuccess && err != plat::kErrIoPending) {
            const plat::CommStatus st = ClearPortError();
            TspTrace(TRACE_ERROR, " ");
            TspTrace(TRACE_ERROR, "SendL2Msg - WriteCommResult :%d", err);
            TspTrace(TRACE_ERROR, "COMSTAT  - cbInQue:%d - cbOutQue:%d", st.in_queue, st.out_queue);
            TspTrace(TRACE_ERROR, " ");
            g_port.resendPending = true;
            const size_t n = std::min(frame.size(), g_port.resend.size());
            std::copy_n(frame.begin(), n, g_port.resend.begin());
            g_port.resendLen = static_cast<uint32_t>(n);
        }
    }
    NoteLastSent(frame);
    g_port.lastSendTime = plat::time_ms();
    if (TraceEnabled(TRACE_TX))
        TspTrace(TRACE_TX, "SendL2Msg(%s)", HexDump(frame));
    g_rx.collecting = false;
}

void Resend_Last_Msg() {
    if (!PortIsOpen())
        return;
    const std::span<const uint8_t> last(g_port.lastSent.data(), g_port.lastSentLen);
    WritePort(last);
    g_port.lastSendTime = plat::time_ms();
    if (TraceEnabled(TRACE_TX))
        TspTrace(TRACE_TX, "Resend_Last_Msg(%s)", HexDump(last));
}

bool L2TimeoutElapsed() {
    return plat::time_ms() - g_port.l2SendTime >= g_port.afterL2Timeout;
}

}  // namespace zq
