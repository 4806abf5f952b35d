// Lines of a text file as the hive and INI readers take them.
#pragma once

#include <string_view>

namespace zq::plat::common {

// Calls f with each line of text, without its LF or CR LF.
template <typename F>
void for_each_line(std::string_view text, F f) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        f(line);
        pos = end + 1;
    }
}

}  // namespace zq::plat::common
