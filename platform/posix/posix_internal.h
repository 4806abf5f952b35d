// Helpers shared by the POSIX backend's files: prefix paths, the errno
// mapping, file locks and atomic file replacement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zq::plat::posix {

// Win32 numbers that platform.h does not name.
inline constexpr uint32_t kErrNotOwner = 288;
inline constexpr uint32_t kErrDiskFull = 112;

// errno as the nearest Win32 error number.
uint32_t win32_from_errno(int err);

// A path written with '\' or '/' in the host's form.
std::string native_path(std::string_view path);

// mkdir -p. Success when the directory exists.
uint32_t make_directories(const std::string& path);

// prefix/sub (sub uses '/'), created when missing.
uint32_t prefix_subdir(std::string_view sub, std::string* path);

// An exclusive flock on a lock file, held until unlock_file. Blocks.
uint32_t lock_file(const std::string& path, int* fd);
void unlock_file(int fd);

// The whole file; ERROR_FILE_NOT_FOUND when it does not exist.
uint32_t read_whole_file(const std::string& path, std::string* text);

// Writes text to path.tmp, syncs it and renames it over path, so a reader
// sees the old or the new file, never a part. Callers hold the file's lock.
uint32_t replace_file(const std::string& path, std::string_view text);

// Test hook of replace_file, for programs that must stop a writer at a chosen
// point of a write: called before each write, with the bytes written so far
// and the total, the first time right after the file being written was
// created, before any byte. It returns how many bytes the next write may
// carry; 0 fails the write with ERROR_WRITE_FAULT. It may also end the
// process there, as a kill would. Unset (nullptr) in production, where it
// costs one load per replacement.
using ReplaceWriteHook = size_t (*)(size_t written, size_t total);
void set_replace_write_hook(ReplaceWriteHook hook);

}  // namespace zq::plat::posix
