// The COM port towards the adapter and the direct writing of link frames.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "zq/platform.h"

namespace zq {

inline constexpr size_t LAST_SENT_SIZE = 1024;
inline constexpr size_t RESEND_SIZE = 16;

struct PortState {
    plat::SerialPort* hcd = nullptr;
    bool openFailed = false;
    uint32_t openError = 0;  // error of the last failed opening
    uint32_t timerId = 0;
    std::array<uint8_t, LAST_SENT_SIZE> lastSent{};
    uint32_t lastSentLen = 0;
    std::array<uint8_t, RESEND_SIZE> resend{};
    uint32_t resendLen = 0;
    bool resendPending = false;
    uint32_t lastSendTime = 0;
    bool l2Sent = false;
    uint32_t l2SendTime = 0;
    uint32_t afterL2Timeout = 10;
    int sendHoldOff = 0;
    bool superAllowed = false;
    bool piggyAllowed = false;
};

extern PortState g_port;

inline bool PortIsOpen() {
    return g_port.hcd != nullptr;
}

// Opens and configures the port, sends the opening sequence, starts the
// configuration download and the tick. nullptr on failure (the error is in
// g_port.openError).
plat::SerialPort* SerialOpenComms(std::string_view portName, std::string_view speed);
// Reopens the port after a link loss, from inside a tick.
void RestartSerialLink();
void SerialCloseComms();
void ResetComPort(int reason);
void SerialStartTimer();

// Writes a link-control or answer frame at once, or a piggy-back frame
// carrying it with the queue's head frame.
void SendL2Msg(std::span<const uint8_t> frame);
void Resend_Last_Msg();
bool L2TimeoutElapsed();

// A bare write of bytes to the port; the Win32-style error, 0 or
// ERROR_IO_PENDING when accepted.
uint32_t WritePort(std::span<const uint8_t> bytes);
// ClearCommError; the queue sizes of an open port, zeros otherwise.
plat::CommStatus ClearPortError();

}  // namespace zq
