// The prefix directory, in the manner of a Wine prefix, and the file
// operations of the POSIX backend:
//
//   $ZQ_PREFIX (default $XDG_DATA_HOME/zq6232, else ~/.local/share/zq6232)
//     registry/           hklm.reg, hkcu.reg: the hives, with their .lock files
//     windows/            the Windows directory: zq62cfg.ini, spitrace/, messages.log
//     windows/system32/   the system directory
//     dosdevices/com1..4  symbolic links to the serial devices
//
// Directories are created when first needed.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "posix_internal.h"
#include "zq/platform.h"
#include "zq/platform_posix.h"

namespace zq::plat {

struct File {
    int fd = -1;
};

namespace posix {

namespace {

constexpr uint32_t kErrTooManyOpenFiles = 4;

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

std::atomic<ReplaceWriteHook> g_replace_write_hook{nullptr};

// With a hook, each write carries no more than the hook lets through.
uint32_t write_all(int fd, std::string_view bytes, ReplaceWriteHook hook = nullptr) {
    const size_t total = bytes.size();
    while (!bytes.empty()) {
        size_t step = bytes.size();
        if (hook != nullptr) {
            step = std::min(step, hook(total - bytes.size(), total));
            if (step == 0) {
                return kErrWriteFault;
            }
        }
        const ssize_t n = ::write(fd, bytes.data(), step);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? win32_from_errno(errno) : kErrWriteFault;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return kErrSuccess;
}

}  // namespace

uint32_t win32_from_errno(int err) {
    switch (err) {
        case 0:
            return kErrSuccess;
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return kErrFileNotFound;
        case ENOTDIR:
            return kErrPathNotFound;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS:
        case EBUSY:
            return kErrAccessDenied;
        case EBADF:
            return kErrInvalidHandle;
        case ENOMEM:
            return kErrNotEnoughMemory;
        case EMFILE:
        case ENFILE:
            return kErrTooManyOpenFiles;
        case EEXIST:
            return kErrFileExists;
        case EINVAL:
            return kErrInvalidParameter;
        case ENOTTY:
        case ENOSYS:
        case EOPNOTSUPP:
            return kErrNotSupported;
        case ENAMETOOLONG:
        case ELOOP:
            return kErrBadPathname;
        case ENOSPC:
        case EDQUOT:
            return kErrDiskFull;
        default:
            return kErrGenFailure;
    }
}

std::string native_path(std::string_view path) {
    std::string out(path);
    for (char& c : out) {
        if (c == '\\') {
            c = '/';
        }
    }
    return out;
}

uint32_t make_directories(const std::string& path) {
    if (path.empty()) {
        return kErrPathNotFound;
    }
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            return win32_from_errno(errno);
        }
        if (slash == std::string::npos) {
            break;
        }
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return win32_from_errno(errno);
    }
    return S_ISDIR(st.st_mode) ? kErrSuccess : kErrAlreadyExists;
}

uint32_t prefix_subdir(std::string_view sub, std::string* path) {
    const std::string prefix = prefix_directory();
    if (prefix.empty()) {
        return kErrPathNotFound;
    }
    *path = sub.empty() ? prefix : prefix + "/" + std::string(sub);
    return make_directories(*path);
}

uint32_t lock_file(const std::string& path, int* fd) {
    *fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (*fd < 0) {
        return win32_from_errno(errno);
    }
    while (::flock(*fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            const uint32_t err = win32_from_errno(errno);
            ::close(*fd);
            *fd = -1;
            return err;
        }
    }
    return kErrSuccess;
}

void unlock_file(int fd) {
    if (fd >= 0) {
        ::close(fd);  // releases the lock
    }
}

uint32_t read_whole_file(const std::string& path, std::string* text) {
    text->clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return win32_from_errno(errno);
    }
    char buffer[16384];
    uint32_t result = kErrSuccess;
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            result = win32_from_errno(errno);
        }
        if (n <= 0) {
            break;
        }
        text->append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return result;
}

void set_replace_write_hook(ReplaceWriteHook hook) {
    g_replace_write_hook.store(hook, std::memory_order_relaxed);
}

uint32_t replace_file(const std::string& path, std::string_view text) {
    // One writer at a time holds the lock, so one temporary name is enough; a
    // writer that died leaves a stale one that the next truncates.
    const std::string temp = path + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return win32_from_errno(errno);
    }
    uint32_t result = write_all(fd, text, g_replace_write_hook.load(std::memory_order_relaxed));
    if (result == kErrSuccess && ::fsync(fd) != 0) {
        result = win32_from_errno(errno);
    }
    if (::close(fd) != 0 && result == kErrSuccess) {
        result = win32_from_errno(errno);
    }
    if (result == kErrSuccess && ::rename(temp.c_str(), path.c_str()) != 0) {
        result = win32_from_errno(errno);
    }
    if (result != kErrSuccess) {
        ::unlink(temp.c_str());
    }
    return result;
}

}  // namespace posix

std::string prefix_directory() {
    std::string dir = posix::env("ZQ_PREFIX");
    if (!dir.empty()) {
        return dir;
    }
    dir = posix::env("XDG_DATA_HOME");
    if (!dir.empty()) {
        return dir + "/zq6232";
    }
    dir = posix::env("HOME");
    return dir.empty() ? std::string() : dir + "/.local/share/zq6232";
}

// A directory that cannot be created still has its name; what is done in it
// then fails with its own error.
std::string windows_directory() {
    std::string path;
    posix::prefix_subdir("windows", &path);
    return path;
}

std::string system_directory() {
    std::string path;
    posix::prefix_subdir("windows/system32", &path);
    return path;
}

uint32_t file_create_directory(std::string_view path) {
    const std::string p = posix::native_path(path);
    if (::mkdir(p.c_str(), 0755) == 0) {
        return kErrSuccess;
    }
    const int err = errno;
    struct stat st {};
    if (err == EEXIST) {
        return (::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ? kErrSuccess : kErrAlreadyExists;
    }
    return err == ENOENT ? kErrPathNotFound : posix::win32_from_errno(err);
}

uint32_t file_delete(std::string_view path) {
    const std::string p = posix::native_path(path);
    return ::unlink(p.c_str()) == 0 ? kErrSuccess : posix::win32_from_errno(errno);
}

uint32_t file_rename(std::string_view from, std::string_view to) {
    const std::string f = posix::native_path(from);
    const std::string t = posix::native_path(to);
    if (::renameat2(AT_FDCWD, f.c_str(), AT_FDCWD, t.c_str(), RENAME_NOREPLACE) == 0) {
        return kErrSuccess;
    }
    if (errno == EINVAL) {
        // A file system without RENAME_NOREPLACE: link() also refuses an
        // existing target.
        if (::link(f.c_str(), t.c_str()) == 0) {
            ::unlink(f.c_str());
            return kErrSuccess;
        }
    }
    return errno == EEXIST ? kErrAlreadyExists : posix::win32_from_errno(errno);
}

File* file_open_write(std::string_view path, bool truncate) {
    const std::string p = posix::native_path(path);
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : O_APPEND), 0644);
    if (fd < 0) {
        return nullptr;
    }
    return new File{fd};
}

bool file_write(File* file, std::string_view bytes) {
    return file != nullptr && posix::write_all(file->fd, bytes) == kErrSuccess;
}

// Writes reach the kernel at once (there is no user-space buffer), so they
// survive the process; syncing to the disk at every trace line would cost a
// disk write per line.
void file_flush(File* /*file*/) {}

void file_close(File* file) {
    if (file != nullptr) {
        ::close(file->fd);
        delete file;
    }
}

uint32_t file_size(std::string_view path, uint64_t* size) {
    *size = 0;
    const std::string p = posix::native_path(path);
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) {
        return posix::win32_from_errno(errno);
    }
    if (S_ISDIR(st.st_mode)) {
        return kErrAccessDenied;
    }
    *size = static_cast<uint64_t>(st.st_size);
    return kErrSuccess;
}

uint32_t file_read_at(std::string_view path, uint64_t offset, std::span<uint8_t> dest, size_t* got) {
    *got = 0;
    const auto last = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
    if (offset > last) {
        return kErrInvalidParameter;
    }
    if (dest.size() > last - offset) {
        dest = dest.first(static_cast<size_t>(last - offset));
    }
    const std::string p = posix::native_path(path);
    const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return posix::win32_from_errno(errno);
    }
    uint32_t result = kErrSuccess;
    while (*got < dest.size()) {
        const std::span<uint8_t> rest = dest.subspan(*got);
        const ssize_t n = ::pread(fd, rest.data(), rest.size(), static_cast<off_t>(offset + *got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            result = posix::win32_from_errno(errno);
        }
        if (n <= 0) {
            break;
        }
        *got += static_cast<size_t>(n);
    }
    ::close(fd);
    return result;
}

uint32_t file_write_tail(std::string_view path, uint64_t offset, std::string_view bytes) {
    const std::string p = posix::native_path(path);
    const int fd = ::open(p.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return posix::win32_from_errno(errno);
    }
    struct stat st {};
    uint32_t result = kErrSuccess;
    if (::fstat(fd, &st) != 0) {
        result = posix::win32_from_errno(errno);
    } else if (offset > static_cast<uint64_t>(st.st_size)) {
        result = kErrInvalidParameter;
    }
    size_t done = 0;
    while (result == kErrSuccess && done < bytes.size()) {
        const std::string_view rest = bytes.substr(done);
        const ssize_t n = ::pwrite(fd, rest.data(), rest.size(), static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            result = n < 0 ? posix::win32_from_errno(errno) : kErrWriteFault;
        } else {
            done += static_cast<size_t>(n);
        }
    }
    if (result == kErrSuccess && ::ftruncate(fd, static_cast<off_t>(offset + bytes.size())) != 0) {
        result = posix::win32_from_errno(errno);
    }
    ::close(fd);
    return result;
}

}  // namespace zq::plat
