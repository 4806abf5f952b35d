// The Linux shell of the telephony library: applications are woken through
// an eventfd, the provider named in the registry is looked for beside this
// library, and the hooks are in place as soon as the library is loaded
// (nothing is loaded or started before the first lineInitializeExA).
#include <dlfcn.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "core/tapiapp.h"
#include "request_socket.h"
#include "zq/zqtapi.h"

namespace zq::tapiapp {
namespace {

bool CreateEventFd(intptr_t* value, HANDLE* event) {
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0)
        return false;
    *value = fd;
    *event = reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
    return true;
}

// Readable while the queue holds messages: one count when it fills, read
// away when it empties.
void SetEventFd(intptr_t value) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(static_cast<int>(value), &one, sizeof one);
}

void ResetEventFd(intptr_t value) {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = read(static_cast<int>(value), &count, sizeof count);
}

void CloseEventFd(intptr_t value) {
    close(static_cast<int>(value));
}

const Waker kEventFdWaker{CreateEventFd, SetEventFd, ResetEventFd, CloseEventFd};

// "zq_6232.tsp" is libzq_6232.so in this library's directory; a name with
// a directory is used as it is.
std::string ProviderPath(std::string_view file) {
    if (file.find('/') != std::string_view::npos)
        return std::string(file);
    std::string base(file);
    if (const size_t dot = base.rfind('.'); dot != std::string::npos)
        base.resize(dot);
    std::string directory;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ProviderPath), &info) != 0 && info.dli_fname != nullptr) {
        directory = info.dli_fname;
        const size_t slash = directory.rfind('/');
        directory.resize(slash == std::string::npos ? 0 : slash + 1);
    }
    return directory + "lib" + base + ".so";
}

__attribute__((constructor)) void InstallShell() {
    SetWakers(&kEventFdWaker, nullptr);
    SetProviderPathMapper(ProviderPath);
    SetRequestTransport(RequestSocketTransport());
}

}  // namespace
}  // namespace zq::tapiapp

extern "C" {

int zqtapiEventFd(HLINEAPP hLineApp) {
    intptr_t value = -1;
    return zq::tapiapp::AppWakerValue(hLineApp, &value) ? static_cast<int>(value) : -1;
}

}  // extern "C"
