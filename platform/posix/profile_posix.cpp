// Private-profile files: text files in the Windows directory, changed under
// a lock file beside them and replaced as a whole.
#include <algorithm>

#include "posix_internal.h"
#include "zq/ini_text.h"
#include "zq/platform.h"

namespace zq::plat {
namespace {

// A bare name is in the Windows directory; a path is taken as it is.
std::string profile_path(std::string_view file) {
    if (file.find_first_of("\\/") != std::string_view::npos) {
        return posix::native_path(file);
    }
    return windows_directory() + "/" + std::string(file);
}

template <typename Change>
bool update_profile(std::string_view file, Change change) {
    const std::string path = profile_path(file);
    int lock = -1;
    if (posix::lock_file(path + ".lock", &lock) != kErrSuccess) {
        return false;
    }
    std::string text;
    uint32_t err = posix::read_whole_file(path, &text);
    if (err == kErrSuccess || err == kErrFileNotFound) {
        const std::string next = change(text);
        err = next == text ? kErrSuccess : posix::replace_file(path, next);
    }
    posix::unlock_file(lock);
    return err == kErrSuccess;
}

}  // namespace

bool profile_write_string(std::string_view file, std::string_view section, std::string_view key,
                          std::string_view value) {
    if (!common::ini_valid_entry(section, key, value)) {
        return false;
    }
    return update_profile(
        file, [&](const std::string& text) { return common::ini_write_string(text, section, key, value); });
}

bool profile_delete_section(std::string_view file, std::string_view section) {
    return update_profile(file,
                          [&](const std::string& text) { return common::ini_delete_section(text, section); });
}

uint32_t profile_read_string(std::string_view file, std::string_view section, std::string_view key,
                             std::string_view dflt, std::span<char> dest) {
    if (dest.empty()) {
        return 0;
    }
    // The file is only ever replaced whole, so it is read without the lock.
    std::string text;
    posix::read_whole_file(profile_path(file), &text);
    const std::optional<std::string> found = common::ini_read_string(text, section, key);
    std::string_view value = found ? std::string_view(*found) : dflt;
    if (!found) {
        // As on Windows, a default loses its trailing blanks.
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) {
            value.remove_suffix(1);
        }
    }
    const size_t n = std::min(value.size(), dest.size() - 1);
    std::copy_n(value.begin(), n, dest.begin());
    dest[n] = '\0';
    return static_cast<uint32_t>(n);
}

std::vector<std::pair<std::string, std::string>> profile_read_section(std::string_view file,
                                                                      std::string_view section) {
    std::string text;
    posix::read_whole_file(profile_path(file), &text);
    return common::ini_read_section(text, section);
}

}  // namespace zq::plat
