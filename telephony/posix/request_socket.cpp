#include "request_socket.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "zq/platform.h"
#include "zq/platform_posix.h"

namespace zq::tapiapp {

namespace {

struct Listener {
    int socket = -1;
    int stop = -1;  // an eventfd that ends the receiving thread
    std::thread thread;
    // A process that ends without lineShutdown: the receiving thread is
    // stopped, as a joinable thread would abort the exit.
    ~Listener() {
        if (!thread.joinable())
            return;
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(stop, &one, sizeof one);
        thread.join();
    }
};

// Listen and unlisten are serialised by the core.
Listener g_listener;

bool SocketAddress(sockaddr_un* address, socklen_t* length) {
    const std::string path = RequestSocketPath();
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address->sun_path))
        return false;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

const sockaddr* AsSockaddr(const sockaddr_un* address) {
    return reinterpret_cast<const sockaddr*>(address);
}

// Whether a process receives on the socket: a socket file that nobody has
// bound any more refuses the connection.
bool Alive(const sockaddr_un& address, socklen_t length) {
    const int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return false;
    const bool alive = ::connect(probe, AsSockaddr(&address), length) == 0;
    ::close(probe);
    return alive;
}

// Every datagram of exactly one request goes to the core, its fields cut
// to their NULs; anything else is dropped.
void Receive(int socket, int stop) {
    for (;;) {
        pollfd fds[2] = {{socket, POLLIN, 0}, {stop, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        LINEREQMAKECALL request{};
        const ssize_t got = ::recv(socket, &request, sizeof request, MSG_TRUNC | MSG_DONTWAIT);
        if (got != static_cast<ssize_t>(sizeof request))
            continue;
        request.szDestAddress[sizeof request.szDestAddress - 1] = '\0';
        request.szAppName[sizeof request.szAppName - 1] = '\0';
        request.szCalledParty[sizeof request.szCalledParty - 1] = '\0';
        request.szComment[sizeof request.szComment - 1] = '\0';
        DeliverMakeCallRequest(request);
    }
}

void CloseListener() {
    if (g_listener.socket >= 0)
        ::close(g_listener.socket);
    if (g_listener.stop >= 0)
        ::close(g_listener.stop);
    g_listener.socket = -1;
    g_listener.stop = -1;
}

bool Listen() {
    const std::string prefix = plat::prefix_directory();
    if (plat::file_create_directory(prefix) != plat::kErrSuccess ||
        plat::file_create_directory(prefix + "/run") != plat::kErrSuccess)
        return false;
    sockaddr_un address{};
    socklen_t length = 0;
    if (!SocketAddress(&address, &length) || Alive(address, length))
        return false;
    ::unlink(address.sun_path);
    g_listener.socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    g_listener.stop = eventfd(0, EFD_CLOEXEC);
    if (g_listener.socket < 0 || g_listener.stop < 0 ||
        ::bind(g_listener.socket, AsSockaddr(&address), length) != 0) {
        CloseListener();
        return false;
    }
    ::chmod(address.sun_path, S_IRUSR | S_IWUSR);
    g_listener.thread = std::thread(Receive, g_listener.socket, g_listener.stop);
    return true;
}

void Unlisten() {
    if (g_listener.socket < 0)
        return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_listener.stop, &one, sizeof one);
    if (g_listener.thread.joinable())
        g_listener.thread.join();
    sockaddr_un address{};
    socklen_t length = 0;
    if (SocketAddress(&address, &length))
        ::unlink(address.sun_path);
    CloseListener();
}

LONG Send(const LINEREQMAKECALL& request) {
    sockaddr_un address{};
    socklen_t length = 0;
    if (!SocketAddress(&address, &length))
        return TAPIERR_NOREQUESTRECIPIENT;
    const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket < 0)
        return TAPIERR_REQUESTFAILED;
    const ssize_t sent =
        ::sendto(socket, &request, sizeof request, MSG_DONTWAIT | MSG_NOSIGNAL, AsSockaddr(&address), length);
    const int err = errno;
    ::close(socket);
    if (sent == static_cast<ssize_t>(sizeof request))
        return 0;
    return err == EAGAIN || err == EWOULDBLOCK ? TAPIERR_REQUESTQUEUEFULL : TAPIERR_NOREQUESTRECIPIENT;
}

}  // namespace

std::string RequestSocketPath() {
    const std::string prefix = plat::prefix_directory();
    return prefix.empty() ? std::string() : prefix + "/run/tapi-requests";
}

RequestTransport RequestSocketTransport() {
    return RequestTransport{Listen, Unlisten, Send};
}

}  // namespace zq::tapiapp
