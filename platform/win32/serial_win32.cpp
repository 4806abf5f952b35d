// The COM port through the Win32 communications API, overlapped.
#include <windows.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "zq/platform.h"

namespace zq::plat {

namespace {

// A write that may still be going out when WriteFile returns: the driver
// keeps using its OVERLAPPED record and, with some drivers, its bytes until
// it completes, so both stay here and are reused only once it has finished.
struct WriteSlot {
    OVERLAPPED ov{};
    std::vector<uint8_t> bytes;
    bool busy = false;
};

// Writes held back by CTS pile up in these slots; once all are taken the
// adapter has not accepted a byte for a long time and writes fail.
constexpr size_t kWriteSlots = 8;

}  // namespace

struct SerialPort {
    HANDLE handle = INVALID_HANDLE_VALUE;
    OVERLAPPED readOv{};
    std::array<WriteSlot, kWriteSlots> writes{};
};

namespace {

// "COMn" or "\\.\COMn", n from 1 to 999; the device path always gets the
// "\\.\" prefix so that ports above COM9 open too.
bool DevicePath(std::string_view name, std::string* path) {
    constexpr std::string_view kPrefix = "\\\\.\\";
    if (name.starts_with(kPrefix)) {
        name.remove_prefix(kPrefix.size());
    }
    if (name.size() < 4 || name.size() > 6 || !name.starts_with("COM") || name[3] == '0') {
        return false;
    }
    const bool digits =
        std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits) {
        return false;
    }
    *path = std::string(kPrefix) + std::string(name);
    return true;
}

void ResetOverlapped(OVERLAPPED* ov) {
    const HANDLE event = ov->hEvent;
    *ov = OVERLAPPED{};
    ov->hEvent = event;
}

uint32_t CreateManualEvent(OVERLAPPED* ov) {
    ov->hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return ov->hEvent != nullptr ? kErrSuccess : GetLastError();
}

void CloseEvent(OVERLAPPED* ov) {
    if (ov->hEvent != nullptr) {
        CloseHandle(ov->hEvent);
        ov->hEvent = nullptr;
    }
}

// Waits out a write cancelled by the caller, or one that has finished.
void FinishWrite(SerialPort* port, WriteSlot* slot) {
    DWORD done = 0;
    GetOverlappedResult(port->handle, &slot->ov, &done, TRUE);
    slot->busy = false;
}

WriteSlot* FreeWriteSlot(SerialPort* port) {
    for (WriteSlot& slot : port->writes) {
        if (slot.busy && HasOverlappedIoCompleted(&slot.ov)) {
            FinishWrite(port, &slot);
        }
        if (!slot.busy) {
            return &slot;
        }
    }
    return nullptr;
}

void FreePort(SerialPort* port) {
    CloseEvent(&port->readOv);
    for (WriteSlot& slot : port->writes) {
        CloseEvent(&slot.ov);
    }
    delete port;
}

}  // namespace

uint32_t serial_open(std::string_view name, SerialPort** port) {
    *port = nullptr;
    std::string path;
    if (!DevicePath(name, &path)) {
        return kErrFileNotFound;
    }
    auto* p = new SerialPort;
    uint32_t err = CreateManualEvent(&p->readOv);
    for (WriteSlot& slot : p->writes) {
        if (err == kErrSuccess) {
            err = CreateManualEvent(&slot.ov);
        }
    }
    if (err != kErrSuccess) {
        FreePort(p);
        return err;
    }
    p->handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
    if (p->handle == INVALID_HANDLE_VALUE) {
        err = GetLastError();
        FreePort(p);
        return err;
    }
    // A port opens empty: bytes that came while nobody held it belong to
    // an earlier session. Windows' serial driver drops them at opening; a
    // device that keeps them (Wine's COM port on a pseudo-terminal) would
    // hand an old ACK to the new session.
    PurgeComm(p->handle, PURGE_RXCLEAR);
    *port = p;
    return kErrSuccess;
}

uint32_t serial_configure(SerialPort* port, const SerialSettings& settings) {
    if (port == nullptr) {
        return kErrInvalidHandle;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(port->handle, &dcb)) {
        return GetLastError();
    }
    dcb.BaudRate = settings.baud;
    dcb.fBinary = 1;
    dcb.fOutxCtsFlow = 1;
    dcb.fParity = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    if (settings.abort_on_error == AbortOnError::Set) {
        dcb.fAbortOnError = 1;
    }
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.XonLim = 0;
    dcb.XoffLim = 0;
    dcb.XonChar = 0;
    dcb.XoffChar = 0;
    dcb.ErrorChar = 0;
    dcb.EofChar = 0;
    dcb.EvtChar = 0;
    if (!SetCommState(port->handle, &dcb)) {
        return GetLastError();
    }
    return kErrSuccess;
}

uint32_t serial_set_timeouts(SerialPort* port) {
    if (port == nullptr) {
        return kErrInvalidHandle;
    }
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (!SetCommTimeouts(port->handle, &timeouts)) {
        return GetLastError();
    }
    return kErrSuccess;
}

uint32_t serial_set_rts(SerialPort* port, bool raised) {
    if (port == nullptr) {
        return kErrInvalidHandle;
    }
    const uint32_t err =
        EscapeCommFunction(port->handle, raised ? SETRTS : CLRRTS) ? kErrSuccess : GetLastError();
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(port->handle, &dcb) && err == kErrSuccess) {
        return GetLastError();
    }
    return err;
}

uint32_t serial_clear_error(SerialPort* port, CommStatus* status) {
    *status = CommStatus{};
    if (port == nullptr) {
        return kErrInvalidHandle;
    }
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(port->handle, &errors, &stat)) {
        return GetLastError();
    }
    status->errors = errors;
    status->in_queue = stat.cbInQue;
    status->out_queue = stat.cbOutQue;
    return kErrSuccess;
}

uint32_t serial_flush(SerialPort* port) {
    if (port == nullptr) {
        return kErrInvalidHandle;
    }
    return FlushFileBuffers(port->handle) ? kErrSuccess : GetLastError();
}

uint32_t serial_read(SerialPort* port, std::span<uint8_t> dest, uint32_t* got) {
    *got = 0;
    CommStatus status;
    const uint32_t err = serial_clear_error(port, &status);
    if (err != kErrSuccess) {
        return err;
    }
    // Only what has arrived: a read for more stays pending under Wine even
    // with the zero time-outs.
    const auto want = static_cast<DWORD>(std::min<size_t>(status.in_queue, dest.size()));
    if (want == 0) {
        return kErrSuccess;
    }
    ResetOverlapped(&port->readOv);
    if (!ReadFile(port->handle, dest.data(), want, nullptr, &port->readOv) &&
        GetLastError() != ERROR_IO_PENDING) {
        return GetLastError();
    }
    // The bytes are already waiting, so this returns at once.
    DWORD done = 0;
    if (!GetOverlappedResult(port->handle, &port->readOv, &done, TRUE)) {
        return GetLastError();
    }
    *got = std::min<DWORD>(done, want);
    return kErrSuccess;
}

uint32_t serial_write(SerialPort* port, std::span<const uint8_t> bytes) {
    if (port == nullptr) {
        return kErrInvalidHandle;
    }
    if (bytes.size() > MAXDWORD) {
        return kErrInvalidParameter;
    }
    WriteSlot* slot = FreeWriteSlot(port);
    if (slot == nullptr) {
        return kErrWriteFault;
    }
    slot->bytes.assign(bytes.begin(), bytes.end());
    ResetOverlapped(&slot->ov);
    const auto size = static_cast<DWORD>(slot->bytes.size());
    if (!WriteFile(port->handle, slot->bytes.data(), size, nullptr, &slot->ov)) {
        const uint32_t err = GetLastError();
        slot->busy = err == ERROR_IO_PENDING;
        return err;
    }
    DWORD done = 0;
    if (!GetOverlappedResult(port->handle, &slot->ov, &done, FALSE)) {
        return GetLastError();
    }
    return done == size ? kErrSuccess : kErrWriteFault;
}

void serial_close(SerialPort* port) {
    if (port == nullptr) {
        return;
    }
    // Writes still held by CTS are dropped; the driver must be done with
    // their records before they are freed.
    for (WriteSlot& slot : port->writes) {
        if (slot.busy) {
            CancelIoEx(port->handle, &slot.ov);
            FinishWrite(port, &slot);
        }
    }
    CloseHandle(port->handle);
    FreePort(port);
}

}  // namespace zq::plat
