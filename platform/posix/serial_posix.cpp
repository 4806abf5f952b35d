// The serial port on termios. COMn is the device that the prefix's
// dosdevices/comN link points to: a real adapter (/dev/ttyUSB0) or the slave
// of a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <ctime>

#include "posix_internal.h"
#include "zq/platform.h"

namespace zq::plat {

struct SerialPort {
    int fd = -1;
};

namespace {

using posix::win32_from_errno;

// A write that cannot go out (CTS held low, nobody reading) gives up after
// this long instead of blocking the worker.
constexpr int kWriteBoundMs = 1000;
constexpr int kFlushStepMs = 2;

struct BaudRate {
    uint32_t baud;
    speed_t speed;
};

constexpr std::array kBaudRates{
    BaudRate{110, B110},     BaudRate{300, B300},     BaudRate{600, B600},       BaudRate{1200, B1200},
    BaudRate{2400, B2400},   BaudRate{4800, B4800},   BaudRate{9600, B9600},     BaudRate{19200, B19200},
    BaudRate{38400, B38400}, BaudRate{57600, B57600}, BaudRate{115200, B115200}, BaudRate{230400, B230400},
};

// "COM1".."COM9", also "\\.\COMn", in any case: the digit, or 0.
int com_number(std::string_view name) {
    if (name.starts_with("\\\\.\\")) {
        name.remove_prefix(4);
    }
    if (name.size() != 4) {
        return 0;
    }
    const bool com = (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
                     (name[2] == 'M' || name[2] == 'm');
    return (com && name[3] >= '1' && name[3] <= '9') ? name[3] - '0' : 0;
}

bool set_modem_line(int fd, int line, bool raised) {
    return ::ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &line) == 0;
}

int64_t monotonic_ms() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

uint32_t serial_open(std::string_view name, SerialPort** port) {
    if (port == nullptr) {
        return kErrInvalidParameter;
    }
    *port = nullptr;
    const int number = com_number(name);
    std::string dir;
    if (number == 0 || posix::prefix_subdir("dosdevices", &dir) != kErrSuccess) {
        return kErrFileNotFound;
    }
    const std::string path = dir + "/com" + std::to_string(number);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return win32_from_errno(errno);
    }
    // TIOCEXCL keeps other users out but not root; the flock keeps out every
    // process that opens the port through this backend.
    ::ioctl(fd, TIOCEXCL);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        return err == EWOULDBLOCK ? kErrAccessDenied : win32_from_errno(err);
    }
    // A port opens empty, as on Windows: bytes that came while nobody held
    // it (a pseudo-terminal keeps them) belong to an earlier session.
    ::tcflush(fd, TCIFLUSH);
    *port = new SerialPort{fd};
    return kErrSuccess;
}

uint32_t serial_configure(SerialPort* port, const SerialSettings& settings) {
    if (port == nullptr) {
        return kErrInvalidHandle;
    }
    speed_t speed = B0;
    for (const BaudRate& rate : kBaudRates) {
        if (rate.baud == settings.baud) {
            speed = rate.speed;
        }
    }
    if (speed == B0) {
        return kErrInvalidParameter;
    }
    termios tio{};
    if (::tcgetattr(port->fd, &tio) != 0) {
        return win32_from_errno(errno);
    }
    ::cfmakeraw(&tio);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | HUPCL);
    tio.c_cflag |= CS8 | CSTOPB | CRTSCTS | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) {
        return kErrInvalidParameter;
    }
    // There is no abort-on-error state here: a read or write error is
    // reported by the call that meets it.
    if (::tcsetattr(port->fd, TCSANOW, &tio) != 0) {
        return win32_from_errno(errno);
    }
    // DTR control disabled: the line is lowered, where the device has one.
    set_modem_line(port->fd, TIOCM_DTR, false);
    return kErrSuccess;
}

uint32_t serial_set_timeouts(SerialPort* port) {
    // O_NONBLOCK with VMIN = VTIME = 0 already returns at once with what has
    // arrived.
    return port != nullptr ? kErrSuccess : kErrInvalidHandle;
}

uint32_t serial_set_rts(SerialPort* port, bool raised) {
    if (port == nullptr) {
        return kErrInvalidHandle;
    }
    if (!set_modem_line(port->fd, TIOCM_RTS, raised)) {
        // A pseudo-terminal has no modem lines.
        return (errno == ENOTTY || errno == EINVAL) ? kErrNotSupported : win32_from_errno(errno);
    }
    termios tio{};
    return ::tcgetattr(port->fd, &tio) == 0 ? kErrSuccess : win32_from_errno(errno);
}

uint32_t serial_clear_error(SerialPort* port, CommStatus* status) {
    if (port == nullptr) {
        return kErrInvalidHandle;
    }
    if (status == nullptr) {
        return kErrInvalidParameter;
    }
    *status = CommStatus{};
    int count = 0;
    if (::ioctl(port->fd, FIONREAD, &count) != 0) {
        return win32_from_errno(errno);
    }
    status->in_queue = count > 0 ? static_cast<uint32_t>(count) : 0;
    count = 0;
    if (::ioctl(port->fd, TIOCOUTQ, &count) == 0 && count > 0) {
        status->out_queue = static_cast<uint32_t>(count);
    }
    return kErrSuccess;
}

uint32_t serial_flush(SerialPort* port) {
    if (port == nullptr) {
        return kErrInvalidHandle;
    }
    // tcdrain alone would wait for ever on an adapter that holds CTS low:
    // wait for the queue with a bound first, then for the last bytes.
    const int64_t deadline = monotonic_ms() + kWriteBoundMs;
    int queued = 0;
    while (::ioctl(port->fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
        if (monotonic_ms() >= deadline) {
            return kErrWriteFault;
        }
        const timespec step{0, kFlushStepMs * 1000000L};
        ::nanosleep(&step, nullptr);
    }
    while (::tcdrain(port->fd) != 0) {
        if (errno != EINTR) {
            return win32_from_errno(errno);
        }
    }
    return kErrSuccess;
}

uint32_t serial_read(SerialPort* port, std::span<uint8_t> dest, uint32_t* got) {
    if (got == nullptr) {
        return kErrInvalidParameter;
    }
    *got = 0;
    if (port == nullptr) {
        return kErrInvalidHandle;
    }
    if (dest.empty()) {
        return kErrSuccess;
    }
    while (true) {
        const ssize_t n = ::read(port->fd, dest.data(), dest.size());
        if (n >= 0) {
            *got = static_cast<uint32_t>(n);
            return kErrSuccess;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return kErrSuccess;
        }
        if (errno != EINTR) {
            return win32_from_errno(errno);
        }
    }
}

uint32_t serial_write(SerialPort* port, std::span<const uint8_t> bytes) {
    if (port == nullptr) {
        return kErrInvalidHandle;
    }
    const int64_t deadline = monotonic_ms() + kWriteBoundMs;
    while (!bytes.empty()) {
        const ssize_t n = ::write(port->fd, bytes.data(), bytes.size());
        if (n > 0) {
            bytes = bytes.subspan(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return win32_from_errno(errno);
        }
        const int64_t left = deadline - monotonic_ms();
        if (left <= 0) {
            return kErrWriteFault;
        }
        pollfd pfd{port->fd, POLLOUT, 0};
        ::poll(&pfd, 1, static_cast<int>(left));
    }
    return kErrSuccess;
}

void serial_close(SerialPort* port) {
    if (port != nullptr) {
        ::ioctl(port->fd, TIOCNXCL);
        ::close(port->fd);  // releases the flock
        delete port;
    }
}

}  // namespace zq::plat
