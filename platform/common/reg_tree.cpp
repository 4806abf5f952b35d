// The registry tree and its hive text.
//
// Hive text, one file per root (registry/hklm.reg, registry/hkcu.reg):
//
//   ZQREG 1
//   [SOFTWARE\\Velmora\\TSpi_6200\\Provider]
//   "Port"=sz:"COM1"
//   "Speed"=dword:00002580
//   "Blob"=hex(3):01,02,ff
//
// The first line names the format. A line in brackets opens a key by its full
// path from the root ("[]" is the root itself); the value lines after it
// belong to that key. Every key has its line, so empty keys are kept. Names
// and texts are written with three escapes: \\ for a backslash, \" for a
// quote, \xNN for any byte outside printable ASCII; key lines use them too,
// so the level separator reads \\. A REG_SZ that ends in a NUL is written as
// sz:"text" without that NUL, a 4-byte REG_DWORD as dword: and 8 hex digits,
// anything else as hex(type):bytes. Lines end in LF; a CR before it is
// ignored. A line that cannot be read is skipped, and so are the value lines
// of an unreadable key line. A value named twice keeps the last one.
#include "zq/reg_tree.h"

#include <zq/platform.h>

#include "nocase.h"
#include "text_lines.h"

#include <algorithm>
#include <optional>
#include <unordered_map>

namespace zq::plat::common {
namespace {

// Win32 limits; the depth limit also bounds the recursion over the tree.
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxDepth = 512;
constexpr std::string_view kHiveHeader = "ZQREG 1";
constexpr std::string_view kHexDigits = "0123456789abcdef";

bool is_separator(char c) {
    return c == '\\' || c == '/';
}

// The levels of a key path. One trailing separator is accepted ("Software\");
// an empty level elsewhere, an over-long level or too many levels are not.
bool split_path(std::string_view path, std::vector<std::string_view>* levels) {
    levels->clear();
    if (path.empty()) {
        return true;
    }
    if (is_separator(path.back())) {
        path.remove_suffix(1);
    }
    size_t start = 0;
    while (true) {
        size_t end = start;
        while (end < path.size() && !is_separator(path[end])) {
            ++end;
        }
        const std::string_view level = path.substr(start, end - start);
        if (level.empty() || level.size() > kMaxKeyName || levels->size() == kMaxDepth) {
            return false;
        }
        levels->push_back(level);
        if (end == path.size()) {
            return true;
        }
        start = end + 1;
    }
}

RegNode* walk(RegNode& root, std::span<const std::string_view> levels) {
    RegNode* node = &root;
    for (const std::string_view level : levels) {
        auto it = node->keys.find(std::string(level));
        if (it == node->keys.end()) {
            return nullptr;
        }
        node = &it->second;
    }
    return node;
}

size_t value_index(const RegNode& key, std::string_view name) {
    for (size_t i = 0; i < key.values.size(); ++i) {
        if (equal_nocase(key.values[i].name, name)) {
            return i;
        }
    }
    return key.values.size();
}

// The data half of RegQueryValueEx and RegEnumValue: a buffer without
// storage asks for the size only.
uint32_t copy_data(const std::vector<uint8_t>& data, std::span<uint8_t> dest, uint32_t* size) {
    if (size != nullptr) {
        *size = static_cast<uint32_t>(data.size());
    }
    if (dest.data() == nullptr) {
        return kErrSuccess;
    }
    if (dest.size() < data.size()) {
        return kErrMoreData;
    }
    std::copy(data.begin(), data.end(), dest.begin());
    return kErrSuccess;
}

// A name with its NUL when it fits; *len is its length without the NUL
// either way.
uint32_t copy_name(const std::string& text, std::span<char> dest, uint32_t* len) {
    if (len != nullptr) {
        *len = static_cast<uint32_t>(text.size());
    }
    if (dest.size() <= text.size()) {
        return kErrMoreData;
    }
    std::copy(text.begin(), text.end(), dest.begin());
    dest[text.size()] = '\0';
    return kErrSuccess;
}

// ------------------------------------------------------------- hive text out

bool plain(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x20 && u < 0x7f && c != '\\' && c != '"';
}

void append_escaped(std::string& out, std::string_view text) {
    while (!text.empty()) {
        // Runs of plain characters go in whole.
        size_t run = 0;
        while (run < text.size() && plain(text[run])) {
            ++run;
        }
        out.append(text.substr(0, run));
        text.remove_prefix(run);
        if (text.empty()) {
            break;
        }
        const auto u = static_cast<unsigned char>(text.front());
        if (text.front() == '\\' || text.front() == '"') {
            out += '\\';
            out += text.front();
        } else {
            out += "\\x";
            out += kHexDigits[u >> 4];
            out += kHexDigits[u & 0x0f];
        }
        text.remove_prefix(1);
    }
}

void append_hex32(std::string& out, uint32_t v, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        out += kHexDigits[(v >> shift) & 0x0f];
    }
}

void append_value(std::string& out, const RegValue& value) {
    out += '"';
    append_escaped(out, value.name);
    out += "\"=";
    const std::span<const uint8_t> data(value.data);
    if (value.type == kRegSz && !data.empty() && data.back() == 0) {
        out += "sz:\"";
        append_escaped(out, std::string_view(reinterpret_cast<const char*>(data.data()), data.size() - 1));
        out += '"';
    } else if (value.type == kRegDword && data.size() == 4) {
        out += "dword:";
        append_hex32(out, data[0] | (data[1] << 8) | (data[2] << 16) | (uint32_t{data[3]} << 24), 8);
    } else {
        out += "hex(";
        std::string type;
        append_hex32(type, value.type, 8);
        const size_t first = std::min(type.find_first_not_of('0'), type.size() - 1);
        out += type.substr(first);
        out += "):";
        for (size_t i = 0; i < data.size(); ++i) {
            if (i != 0) {
                out += ',';
            }
            append_hex32(out, data[i], 2);
        }
    }
    out += '\n';
}

void append_key(std::string& out, const RegNode& node, std::string& path) {
    if (!path.empty() || !node.values.empty()) {
        out += '[';
        append_escaped(out, path);
        out += "]\n";
    }
    for (const RegValue& value : node.values) {
        append_value(out, value);
    }
    for (const auto& [name, child] : node.keys) {
        const size_t mark = path.size();
        if (!path.empty()) {
            path += '\\';
        }
        path += name;
        append_key(out, child, path);
        path.resize(mark);
    }
}

// -------------------------------------------------------------- hive text in

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// 1 to 8 hex digits, nothing else.
bool parse_hex(std::string_view s, uint32_t* out) {
    if (s.empty() || s.size() > 8) {
        return false;
    }
    uint32_t v = 0;
    for (const char c : s) {
        const int d = hex_digit(c);
        if (d < 0) {
            return false;
        }
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    *out = v;
    return true;
}

std::optional<std::string> unescape(std::string_view s) {
    if (s.find('\\') == std::string_view::npos) {
        return std::string(s);
    }
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out += s[i];
        } else if (i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
            out += s[i + 1];
            i += 1;
        } else if (s.size() - i >= 4 && s[i + 1] == 'x' && hex_digit(s[i + 2]) >= 0 &&
                   hex_digit(s[i + 3]) >= 0) {
            out += static_cast<char>(hex_digit(s[i + 2]) * 16 + hex_digit(s[i + 3]));
            i += 3;
        } else {
            return std::nullopt;
        }
    }
    return out;
}

bool take_prefix(std::string_view& s, std::string_view prefix) {
    if (!s.starts_with(prefix)) {
        return false;
    }
    s.remove_prefix(prefix.size());
    return true;
}

// A quoted, escaped string at the start of s; s is left after its quote.
bool take_quoted(std::string_view& s, std::string* out) {
    if (!take_prefix(s, "\"")) {
        return false;
    }
    size_t i = 0;
    while (i < s.size() && s[i] != '"') {
        i += (s[i] == '\\') ? 2 : 1;
    }
    if (i >= s.size()) {
        return false;
    }
    std::optional<std::string> text = unescape(s.substr(0, i));
    if (!text) {
        return false;
    }
    *out = std::move(*text);
    s.remove_prefix(i + 1);
    return true;
}

// "01,02,ff" or nothing.
bool parse_bytes(std::string_view s, std::vector<uint8_t>* out) {
    while (!s.empty()) {
        uint32_t byte = 0;
        if (s.size() < 2 || !parse_hex(s.substr(0, 2), &byte)) {
            return false;
        }
        out->push_back(static_cast<uint8_t>(byte));
        s.remove_prefix(2);
        if (!s.empty() && (!take_prefix(s, ",") || s.empty())) {
            return false;
        }
    }
    return true;
}

bool parse_data(std::string_view s, RegValue* value) {
    if (take_prefix(s, "sz:")) {
        std::string text;
        if (!take_quoted(s, &text) || !s.empty()) {
            return false;
        }
        value->type = kRegSz;
        value->data.assign(text.begin(), text.end());
        value->data.push_back(0);
        return true;
    }
    if (take_prefix(s, "dword:")) {
        uint32_t v = 0;
        if (s.size() != 8 || !parse_hex(s, &v)) {
            return false;
        }
        value->type = kRegDword;
        value->data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                       static_cast<uint8_t>(v >> 24)};
        return true;
    }
    if (take_prefix(s, "hex(")) {
        const size_t close = s.find(')');
        if (close == std::string_view::npos || !parse_hex(s.substr(0, close), &value->type)) {
            return false;
        }
        s.remove_prefix(close + 1);
        return take_prefix(s, ":") && parse_bytes(s, &value->data);
    }
    return false;
}

RegNode* parse_key_line(RegNode& root, std::string_view line) {
    if (line.size() < 2 || line.front() != '[' || line.back() != ']') {
        return nullptr;
    }
    const std::optional<std::string> path = unescape(line.substr(1, line.size() - 2));
    return path ? reg_make(root, *path) : nullptr;
}

// The key being read, with its values indexed by name so that a large hive
// loads in linear time.
struct ParseKey {
    RegNode* node = nullptr;
    std::unordered_map<std::string, size_t, NoCaseHash, NoCaseEqual> index;
};

void open_parse_key(ParseKey& key, RegNode* node) {
    key.node = node;
    key.index.clear();
    if (node != nullptr) {
        for (size_t i = 0; i < node->values.size(); ++i) {
            key.index.emplace(node->values[i].name, i);
        }
    }
}

void parse_value_line(ParseKey& key, std::string_view line) {
    RegValue value;
    if (!take_quoted(line, &value.name) || !take_prefix(line, "=") || !parse_data(line, &value)) {
        return;
    }
    auto [it, added] = key.index.emplace(value.name, key.node->values.size());
    if (added) {
        key.node->values.push_back(std::move(value));
    } else {
        RegValue& old = key.node->values[it->second];
        old.type = value.type;
        old.data = std::move(value.data);
    }
}

}  // namespace

bool CaseLess::operator()(const std::string& a, const std::string& b) const {
    return compare_nocase(a, b) < 0;
}

RegNode* reg_find(RegNode& root, std::string_view path) {
    std::vector<std::string_view> levels;
    return split_path(path, &levels) ? walk(root, levels) : nullptr;
}

RegNode* reg_make(RegNode& root, std::string_view path) {
    std::vector<std::string_view> levels;
    if (!split_path(path, &levels)) {
        return nullptr;
    }
    RegNode* node = &root;
    for (const std::string_view level : levels) {
        node = &node->keys.try_emplace(std::string(level)).first->second;
    }
    return node;
}

uint32_t reg_tree_query(const RegNode& key, std::string_view name, uint32_t* type, std::span<uint8_t> dest,
                        uint32_t* size) {
    const size_t i = value_index(key, name);
    if (i == key.values.size()) {
        return kErrFileNotFound;
    }
    if (type != nullptr) {
        *type = key.values[i].type;
    }
    return copy_data(key.values[i].data, dest, size);
}

uint32_t reg_tree_set(RegNode& key, std::string_view name, uint32_t type, std::span<const uint8_t> data) {
    const size_t i = value_index(key, name);
    if (i == key.values.size()) {
        key.values.push_back(RegValue{std::string(name), type, {data.begin(), data.end()}});
    } else {
        // Keeps its place in the enumeration and the case of its name.
        key.values[i].type = type;
        key.values[i].data.assign(data.begin(), data.end());
    }
    return kErrSuccess;
}

uint32_t reg_tree_delete_value(RegNode& key, std::string_view name) {
    const size_t i = value_index(key, name);
    if (i == key.values.size()) {
        return kErrFileNotFound;
    }
    key.values.erase(key.values.begin() + static_cast<std::ptrdiff_t>(i));
    return kErrSuccess;
}

uint32_t reg_tree_enum_value(const RegNode& key, uint32_t index, std::span<char> name, uint32_t* name_len,
                             uint32_t* type, std::span<uint8_t> data, uint32_t* data_len) {
    if (index >= key.values.size()) {
        return kErrNoMoreItems;
    }
    const RegValue& value = key.values[index];
    if (type != nullptr) {
        *type = value.type;
    }
    const uint32_t name_result = copy_name(value.name, name, name_len);
    const uint32_t data_result = copy_data(value.data, data, data_len);
    return name_result != kErrSuccess ? name_result : data_result;
}

uint32_t reg_tree_enum_key(const RegNode& key, uint32_t index, std::span<char> name, uint32_t* name_len) {
    if (index >= key.keys.size()) {
        return kErrNoMoreItems;
    }
    auto it = key.keys.begin();
    std::advance(it, index);
    return copy_name(it->first, name, name_len);
}

uint32_t reg_tree_delete_key(RegNode& parent, std::string_view subkey) {
    std::vector<std::string_view> levels;
    if (!split_path(subkey, &levels)) {
        return kErrFileNotFound;
    }
    if (levels.empty()) {
        return kErrAccessDenied;  // a node cannot delete itself; a root is never deleted
    }
    RegNode* holder = walk(parent, std::span(levels).first(levels.size() - 1));
    if (holder == nullptr) {
        return kErrFileNotFound;
    }
    auto it = holder->keys.find(std::string(levels.back()));
    if (it == holder->keys.end()) {
        return kErrFileNotFound;
    }
    if (!it->second.keys.empty()) {
        return kErrAccessDenied;
    }
    holder->keys.erase(it);
    return kErrSuccess;
}

std::string reg_serialize(const RegNode& root) {
    std::string out(kHiveHeader);
    out += '\n';
    std::string path;
    append_key(out, root, path);
    return out;
}

RegNode reg_parse(std::string_view text) {
    RegNode root;
    ParseKey key;
    for_each_line(text, [&](std::string_view line) {
        if (line.starts_with('[')) {
            open_parse_key(key, parse_key_line(root, line));
        } else if (line.starts_with('"') && key.node != nullptr) {
            parse_value_line(key, line);
        }
    });
    return root;
}

}  // namespace zq::plat::common
