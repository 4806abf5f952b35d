// A prefix of its own for one run of a real-time test program: a fresh
// folder in /tmp, ZQ_PREFIX pointing at it, COM1 at 9600 baud in the
// provider's registry key, and the hive lines given after it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace zq::test {

// Empty when the folder or the hive cannot be made.
inline std::filesystem::path MakeTempPrefix(std::string_view name, std::string_view moreHive = {}) {
    std::string dir = "/tmp/" + std::string(name) + "-XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr)
        return {};
    ::setenv("ZQ_PREFIX", dir.c_str(), 1);
    const std::filesystem::path prefix = dir;
    std::error_code error;
    std::filesystem::create_directories(prefix / "registry", error);
    std::filesystem::create_directories(prefix / "dosdevices", error);
    std::ofstream hive(prefix / "registry" / "hklm.reg");
    hive << "ZQREG 1\n[SOFTWARE\\\\Velmora\\\\TSpi_6200\\\\Provider]\n\"Port\"=sz:\"COM1\"\n"
            "\"Speed\"=sz:\"9600\"\n"
         << moreHive;
    return hive && !error ? prefix : std::filesystem::path{};
}

}  // namespace zq::test
