// Private-profile text: "[section]" lines, "key=value" lines under them,
// ";" comments and anything else kept as it stands.
#include "zq/ini_text.h"

#include <vector>

#include "nocase.h"
#include "text_lines.h"

namespace zq::plat::common {
namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

std::string_view trim(std::string_view s) {
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

struct IniLines {
    std::vector<std::string> lines;
    std::string_view eol;
};

IniLines split_lines(std::string_view text) {
    IniLines ini;
    ini.eol = (text.empty() || text.find("\r\n") != std::string_view::npos) ? "\r\n" : "\n";
    for_each_line(text, [&](std::string_view line) { ini.lines.emplace_back(line); });
    return ini;
}

std::string join_lines(const IniLines& ini) {
    std::string out;
    for (const std::string& line : ini.lines) {
        out += line;
        out += ini.eol;
    }
    return out;
}

bool is_section_line(std::string_view line) {
    return trim(line).starts_with('[');
}

// The name in a "[name]" line; false for any other line.
bool section_name(std::string_view line, std::string_view* name) {
    line = trim(line);
    const size_t close = line.find(']');
    if (!line.starts_with('[') || close == std::string_view::npos) {
        return false;
    }
    *name = trim(line.substr(1, close - 1));
    return true;
}

// The key of a "key=value" line; false for comments, sections and lines
// without '='.
bool key_name(std::string_view line, std::string_view* key) {
    line = trim(line);
    const size_t eq = line.find('=');
    if (line.starts_with(';') || line.starts_with('[') || eq == std::string_view::npos) {
        return false;
    }
    *key = trim(line.substr(0, eq));
    return true;
}

size_t find_section(const IniLines& ini, std::string_view section, size_t from) {
    for (size_t i = from; i < ini.lines.size(); ++i) {
        std::string_view name;
        if (section_name(ini.lines[i], &name) && equal_nocase(name, section)) {
            return i;
        }
    }
    return kNone;
}

// The line after the last line of the section whose header is at `header`.
size_t section_end(const IniLines& ini, size_t header) {
    size_t i = header + 1;
    while (i < ini.lines.size() && !is_section_line(ini.lines[i])) {
        ++i;
    }
    return i;
}

size_t find_key(const IniLines& ini, size_t header, std::string_view key) {
    const size_t end = section_end(ini, header);
    for (size_t i = header + 1; i < end; ++i) {
        std::string_view name;
        if (key_name(ini.lines[i], &name) && equal_nocase(name, key)) {
            return i;
        }
    }
    return kNone;
}

// The value of a "key=value" line without the blanks around it and without
// one pair of enclosing quotes.
std::string_view entry_value(std::string_view line) {
    std::string_view value = trim(line.substr(line.find('=') + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return value;
}

// Built by appending: GCC 12 warns wrongly about chained operator+ here.
std::string joined(std::string_view a, std::string_view b, std::string_view c) {
    std::string out;
    out.reserve(a.size() + b.size() + c.size());
    out.append(a).append(b).append(c);
    return out;
}

bool has_line_break(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

bool ini_valid_entry(std::string_view section, std::string_view key, std::string_view value) {
    const std::string_view s = trim(section);
    const std::string_view k = trim(key);
    return !has_line_break(section) && !has_line_break(key) && !has_line_break(value) && !s.empty() &&
           s.find(']') == std::string_view::npos && !k.empty() && k.find('=') == std::string_view::npos &&
           !k.starts_with('[') && !k.starts_with(';');
}

std::string ini_write_string(std::string_view text, std::string_view section, std::string_view key,
                             std::string_view value) {
    if (!ini_valid_entry(section, key, value)) {
        return std::string(text);
    }
    IniLines ini = split_lines(text);
    const size_t header = find_section(ini, trim(section), 0);
    if (header == kNone) {
        if (!ini.lines.empty() && !trim(ini.lines.back()).empty()) {
            ini.lines.emplace_back();
        }
        ini.lines.push_back(joined("[", trim(section), "]"));
        ini.lines.push_back(joined(trim(key), "=", value));
        return join_lines(ini);
    }
    const size_t line = find_key(ini, header, trim(key));
    if (line != kNone) {
        std::string_view written;
        key_name(ini.lines[line], &written);
        ini.lines[line] = joined(written, "=", value);
        return join_lines(ini);
    }
    // After the section's last non-blank line, before the blank that parts it
    // from the next section.
    size_t at = section_end(ini, header);
    while (at > header + 1 && trim(ini.lines[at - 1]).empty()) {
        --at;
    }
    ini.lines.insert(ini.lines.begin() + static_cast<std::ptrdiff_t>(at), joined(trim(key), "=", value));
    return join_lines(ini);
}

std::string ini_delete_section(std::string_view text, std::string_view section) {
    IniLines ini = split_lines(text);
    bool changed = false;
    for (size_t header = find_section(ini, trim(section), 0); header != kNone;
         header = find_section(ini, trim(section), header)) {
        // The blank lines after a section go with it; a last section also
        // takes the blank lines that parted it from the one before.
        const size_t end = section_end(ini, header);
        if (end == ini.lines.size()) {
            while (header > 0 && trim(ini.lines[header - 1]).empty()) {
                --header;
            }
        }
        ini.lines.erase(ini.lines.begin() + static_cast<std::ptrdiff_t>(header),
                        ini.lines.begin() + static_cast<std::ptrdiff_t>(end));
        changed = true;
    }
    return changed ? join_lines(ini) : std::string(text);
}

std::optional<std::string> ini_read_string(std::string_view text, std::string_view section,
                                           std::string_view key) {
    const IniLines ini = split_lines(text);
    const size_t header = find_section(ini, trim(section), 0);
    if (header == kNone) {
        return std::nullopt;
    }
    const size_t line = find_key(ini, header, trim(key));
    if (line == kNone) {
        return std::nullopt;
    }
    return std::string(entry_value(ini.lines[line]));
}

std::vector<std::pair<std::string, std::string>> ini_read_section(std::string_view text,
                                                                  std::string_view section) {
    std::vector<std::pair<std::string, std::string>> entries;
    const IniLines ini = split_lines(text);
    const size_t header = find_section(ini, trim(section), 0);
    if (header == kNone) {
        return entries;
    }
    const size_t end = section_end(ini, header);
    for (size_t i = header + 1; i < end; ++i) {
        std::string_view key;
        if (key_name(ini.lines[i], &key)) {
            entries.emplace_back(std::string(key), std::string(entry_value(ini.lines[i])));
        }
    }
    return entries;
}

}  // namespace zq::plat::common
