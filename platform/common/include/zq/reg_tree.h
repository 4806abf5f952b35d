// The registry as a tree of keys and values, with the Win32 semantics of
// the registry calls. The in-memory backend keeps one tree per root; the
// POSIX backend loads a tree from its hive file, works on it and writes it
// back. The hive text format is described in the README.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zq::plat::common {

struct CaseLess {
    bool operator()(const std::string& a, const std::string& b) const;
};

struct RegValue {
    std::string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

struct RegNode {
    std::map<std::string, RegNode, CaseLess> keys;  // enumerated in name order
    std::vector<RegValue> values;                   // enumerated in order of creation
};

// Path lookup: levels separated by '\' (or '/'), case-insensitive; "" is the
// node itself. nullptr when a level is missing.
RegNode* reg_find(RegNode& root, std::string_view path);
// Creates missing levels. nullptr for an invalid path (an empty level).
RegNode* reg_make(RegNode& root, std::string_view path);

// The Win32 behaviour of RegQueryValueEx, RegSetValueEx, RegDeleteValue,
// RegEnumValue, RegEnumKeyEx and RegDeleteKey on one node. A data span
// without storage (data() == nullptr) asks for the size only, as a NULL
// lpData does. On ERROR_MORE_DATA *size or *name_len still tells the size
// needed (a name's length without its NUL). reg_tree_delete_key takes a
// path below parent and refuses a key with subkeys (ERROR_ACCESS_DENIED).
uint32_t reg_tree_query(const RegNode& key, std::string_view name, uint32_t* type, std::span<uint8_t> dest,
                        uint32_t* size);
uint32_t reg_tree_set(RegNode& key, std::string_view name, uint32_t type, std::span<const uint8_t> data);
uint32_t reg_tree_delete_value(RegNode& key, std::string_view name);
uint32_t reg_tree_enum_value(const RegNode& key, uint32_t index, std::span<char> name, uint32_t* name_len,
                             uint32_t* type, std::span<uint8_t> data, uint32_t* data_len);
uint32_t reg_tree_enum_key(const RegNode& key, uint32_t index, std::span<char> name, uint32_t* name_len);
uint32_t reg_tree_delete_key(RegNode& parent, std::string_view subkey);

// Hive text: the format is described at the top of reg_tree.cpp (and in the
// README). Parsing skips lines it cannot read; it never fails on any input.
std::string reg_serialize(const RegNode& root);
RegNode reg_parse(std::string_view text);

}  // namespace zq::plat::common
