// Test helper: writes `count` REG_DWORD values named "<tag>_<i>" = i into
// HKLM\SOFTWARE\ZqTest\Hive of the prefix given, one registry call each,
// and prints i on its own line after each write has returned.
//
//   hive_writer PREFIX TAG COUNT
#include <cstdio>
#include <cstdlib>
#include <string>

#include "zq/platform.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: hive_writer PREFIX TAG COUNT\n");
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
    zq::plat::reg_close_key(key);
    if (err != 0) {
        std::fprintf(stderr, "hive_writer %s: error %u\n", tag.c_str(), err);
        return 1;
    }
    return 0;
}
