#include "link/serial_link.h"

#include <array>

#include "core/config.h"
#include "core/trace.h"
#include "link/fifo.h"
#include "link/receive.h"
#include "link/setconfig.h"
#include "link/supervision.h"

namespace zq {

PortState g_port;

namespace {

constexpr uint32_t kTickMs = 100;
constexpr int kResetHoldOff = 49;

// The line settings; on a failure to read or write them the caller decides
// whether the handle is kept.
uint32_t ConfigurePort(plat::SerialPort* port, std::string_view speed, plat::AbortOnError abort) {
    plat::SerialSettings s;
    s.baud = static_cast<uint32_t>(std::max<int32_t>(0, DecimalValue(std::string(speed).c_str())));
    s.abort_on_error = abort;
    return plat::serial_configure(port, s);
}

uint32_t ReadAfterL2Timeout() {
    std::array<char, 16> text{};
    ReadProviderValue("ZQ_Info", "After_L2_timeout", "10", text);
    const int32_t v = DecimalValue(text.data());
    return (v < 1 || v > 150) ? 10u : static_cast<uint32_t>(v);
}

}  // namespace

plat::SerialPort* SerialOpenComms(std::string_view portName, std::string_view speed) {
    TspTrace(TRACE_TSPI, "SerialOpenComms (%s,%s)", portName, speed);
    g_port.openError = plat::kErrSuccess;
    if (g_port.openFailed) return nullptr;
    if (PortIsOpen()) SerialCloseComms();
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
    g_port.hcd = port;
    plat::serial_set_timeouts(port);
    const uint32_t rts = plat::serial_set_rts(port, true);
    if (rts != plat::kErrSuccess) TspTrace(TRACE_TSPI, "SETRTS refused %ld", rts);
    ResetComPort(3);
    g_port.afterL2Timeout = ReadAfterL2Timeout();
    g_port.l2Sent = false;
    TspTrace(TRACE_ERROR, "* After_L2_timeout = %d *", g_port.afterL2Timeout);
    StartSetConfiguration();
    SerialStartTimer();
    return port;
}

void SerialCloseComms() {
    ResetComPort(3);
    FifoClear();
    if (PortIsOpen()) {
        plat::serial_set_rts(g_port.hcd, false);
        plat::serial_close(g_port.hcd);
        g_port.hcd = nullptr;
        if (g_port.timerId != 0) plat::timer_kill(g_port.timerId);
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
    plat::CommStatus status;
    plat::serial_clear_error(g_port.hcd, &status);
    plat::serial_flush(g_port.hcd);
    plat::serial_clear_error(g_port.hcd, &status);
    g_port.sendHoldOff = kResetHoldOff;
}

void SerialStartTimer() {
    TspTrace(TRACE_ERROR, "SerialStartTimer");
    if (g_port.timerId == 0) g_port.timerId = plat::timer_start(kTickMs, SerialTimerProc);
}

}  // namespace zq
