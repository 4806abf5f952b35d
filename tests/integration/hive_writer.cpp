// Test helper: writes `count` REG_DWORD values named "<tag>_<i>" = i into
// HKLM\SOFTWARE\ZqTest\Hive of the prefix given, one registry call each,
// and prints i on its own line after each write has returned.
//
//   hive_writer PREFIX TAG COUNT [STOP]
//
// With STOP, one more value (i = COUNT) is written and that hive write is
// stopped: "die-empty" or "die-half" ends the process (exit status 3) once
// the new hive file is created, before its first byte, or once half of it
// is written, as a kill there would; "fail-empty" and "fail-half" make the
// write fail at those points instead (exit status 4 when the registry call
// returned ERROR_WRITE_FAULT).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "posix_internal.h"
#include "zq/platform.h"

namespace {

constexpr int kExitDied = 3;
constexpr int kExitFailedAsAsked = 4;

bool g_die = false;
bool g_half = false;

size_t stop_write(size_t written, size_t total) {
    const size_t stop = g_half ? total / 2 : 0;
    if (written < stop) {
        return stop - written;
    }
    if (g_die) {
        ::_exit(kExitDied);
    }
    return 0;
}

bool parse_stop(std::string_view stop) {
    const size_t dash = stop.find('-');
    const std::string_view how = stop.substr(0, dash);
    const std::string_view where =
        dash == std::string_view::npos ? std::string_view() : stop.substr(dash + 1);
    g_die = how == "die";
    g_half = where == "half";
    return (g_die || how == "fail") && (g_half || where == "empty");
}

}  // namespace

int main(int argc, char** argv) {
    if ((argc != 4 && argc != 5) || (argc == 5 && !parse_stop(argv[4]))) {
        std::fprintf(stderr,
                     "usage: hive_writer PREFIX TAG COUNT [die-empty|die-half|fail-empty|fail-half]\n");
        return 2;
    }
    ::setenv("ZQ_PREFIX", argv[1], 1);
    const std::string tag = argv[2];
    const long count = std::strtol(argv[3], nullptr, 10);
    zq::plat::RegKey* key = nullptr;
    uint32_t err = zq::plat::reg_create_key(zq::plat::reg_root(zq::plat::RegRoot::LocalMachine),
                                            "SOFTWARE\\ZqTest\\Hive", &key);
    for (long i = 0; err == 0 && i < count; ++i) {
        err = zq::plat::reg_set_dword(key, tag + "_" + std::to_string(i), static_cast<uint32_t>(i));
        if (err == 0) {
            std::printf("%ld\n", i);
            std::fflush(stdout);
        }
    }
    if (err == 0 && argc == 5) {
        zq::plat::posix::set_replace_write_hook(stop_write);
        err = zq::plat::reg_set_dword(key, tag + "_" + std::to_string(count), static_cast<uint32_t>(count));
        zq::plat::reg_close_key(key);
        if (err == zq::plat::kErrWriteFault) {
            return kExitFailedAsAsked;
        }
        std::fprintf(stderr, "hive_writer %s: the stopped write returned %u\n", tag.c_str(), err);
        return 1;
    }
    zq::plat::reg_close_key(key);
    if (err != 0) {
        std::fprintf(stderr, "hive_writer %s: error %u\n", tag.c_str(), err);
        return 1;
    }
    return 0;
}
