// The registry on text hives: registry/hklm.reg and registry/hkcu.reg in the
// prefix. Every call locks the hive's lock file, loads the hive, works on the
// tree and, when it changed something, replaces the hive file as a whole, so
// processes writing at once lose nothing and a writer killed half-way leaves
// the previous hive.
//
// A handle holds its root and its path. A handle whose key was deleted fails
// with ERROR_FILE_NOT_FOUND (Windows says ERROR_KEY_DELETED) and works again
// if a key of that name is created.
#include <array>
#include <vector>

#include "posix_internal.h"
#include "zq/platform.h"
#include "zq/reg_tree.h"

namespace zq::plat {

struct RegKey {
    RegRoot root = RegRoot::LocalMachine;
    std::string path;  // from the root, levels separated by '\'
};

namespace {

using common::RegNode;

RegKey g_local_machine{RegRoot::LocalMachine, {}};
RegKey g_current_user{RegRoot::CurrentUser, {}};

bool is_root(const RegKey* key) {
    return key == &g_local_machine || key == &g_current_user;
}

const char* hive_file(RegRoot root) {
    return root == RegRoot::LocalMachine ? "/hklm.reg" : "/hkcu.reg";
}

std::string child_path(const RegKey& parent, std::string_view subkey) {
    if (!subkey.empty() && (subkey.back() == '\\' || subkey.back() == '/')) {
        subkey.remove_suffix(1);
    }
    if (parent.path.empty() || subkey.empty()) {
        return parent.path.empty() ? std::string(subkey) : parent.path;
    }
    return parent.path + "\\" + std::string(subkey);
}

// Runs op(tree, changed) on the root's hive under its lock; writes the tree
// back when op succeeded and set changed.
template <typename Op>
uint32_t with_hive(RegRoot root, Op op) {
    std::string dir;
    uint32_t err = posix::prefix_subdir("registry", &dir);
    if (err != kErrSuccess) {
        return err;
    }
    const std::string hive = dir + hive_file(root);
    int lock = -1;
    err = posix::lock_file(hive + ".lock", &lock);
    if (err != kErrSuccess) {
        return err;
    }
    std::string text;
    err = posix::read_whole_file(hive, &text);
    if (err == kErrSuccess || err == kErrFileNotFound) {
        RegNode tree = common::reg_parse(text);
        bool changed = false;
        err = op(tree, changed);
        if (err == kErrSuccess && changed) {
            err = posix::replace_file(hive, common::reg_serialize(tree));
        }
    }
    posix::unlock_file(lock);
    return err;
}

uint32_t set_value(RegKey* key, std::string_view name, uint32_t type, std::span<const uint8_t> data) {
    if (key == nullptr) {
        return kErrInvalidHandle;
    }
    return with_hive(key->root, [&](RegNode& tree, bool& changed) {
        RegNode* node = common::reg_find(tree, key->path);
        if (node == nullptr) {
            return kErrFileNotFound;
        }
        changed = true;
        return common::reg_tree_set(*node, name, type, data);
    });
}

}  // namespace

RegKey* reg_root(RegRoot root) {
    return root == RegRoot::LocalMachine ? &g_local_machine : &g_current_user;
}

uint32_t reg_open_key(RegKey* parent, std::string_view subkey, RegKey** out) {
    if (parent == nullptr || out == nullptr) {
        return kErrInvalidHandle;
    }
    *out = nullptr;
    std::string path = child_path(*parent, subkey);
    const uint32_t err = with_hive(parent->root, [&](RegNode& tree, bool&) {
        return common::reg_find(tree, path) != nullptr ? kErrSuccess : kErrFileNotFound;
    });
    if (err == kErrSuccess) {
        *out = new RegKey{parent->root, std::move(path)};
    }
    return err;
}

uint32_t reg_create_key(RegKey* parent, std::string_view subkey, RegKey** out) {
    if (parent == nullptr || out == nullptr) {
        return kErrInvalidHandle;
    }
    *out = nullptr;
    std::string path = child_path(*parent, subkey);
    const uint32_t err = with_hive(parent->root, [&](RegNode& tree, bool& changed) {
        if (common::reg_find(tree, parent->path) == nullptr) {
            return kErrFileNotFound;
        }
        if (common::reg_find(tree, path) != nullptr) {
            return kErrSuccess;
        }
        changed = true;
        return common::reg_make(tree, path) != nullptr ? kErrSuccess : kErrBadPathname;
    });
    if (err == kErrSuccess) {
        *out = new RegKey{parent->root, std::move(path)};
    }
    return err;
}

void reg_close_key(RegKey* key) {
    if (!is_root(key)) {
        delete key;
    }
}

uint32_t reg_query_value(RegKey* key, std::string_view name, uint32_t* type, std::span<uint8_t> dest,
                         uint32_t* size) {
    if (key == nullptr) {
        return kErrInvalidHandle;
    }
    return with_hive(key->root, [&](RegNode& tree, bool&) {
        const RegNode* node = common::reg_find(tree, key->path);
        return node != nullptr ? common::reg_tree_query(*node, name, type, dest, size) : kErrFileNotFound;
    });
}

uint32_t reg_set_string(RegKey* key, std::string_view name, std::string_view text) {
    std::vector<uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    return set_value(key, name, kRegSz, data);
}

uint32_t reg_set_dword(RegKey* key, std::string_view name, uint32_t value) {
    const std::array<uint8_t, 4> data{static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                      static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return set_value(key, name, kRegDword, data);
}

uint32_t reg_delete_value(RegKey* key, std::string_view name) {
    if (key == nullptr) {
        return kErrInvalidHandle;
    }
    return with_hive(key->root, [&](RegNode& tree, bool& changed) {
        RegNode* node = common::reg_find(tree, key->path);
        if (node == nullptr) {
            return kErrFileNotFound;
        }
        const uint32_t err = common::reg_tree_delete_value(*node, name);
        changed = err == kErrSuccess;
        return err;
    });
}

uint32_t reg_enum_value(RegKey* key, uint32_t index, std::span<char> name, uint32_t* name_len, uint32_t* type,
                        std::span<uint8_t> data, uint32_t* data_len) {
    if (key == nullptr) {
        return kErrInvalidHandle;
    }
    return with_hive(key->root, [&](RegNode& tree, bool&) {
        const RegNode* node = common::reg_find(tree, key->path);
        return node != nullptr
                   ? common::reg_tree_enum_value(*node, index, name, name_len, type, data, data_len)
                   : kErrFileNotFound;
    });
}

uint32_t reg_enum_key(RegKey* key, uint32_t index, std::span<char> name, uint32_t* name_len) {
    if (key == nullptr) {
        return kErrInvalidHandle;
    }
    return with_hive(key->root, [&](RegNode& tree, bool&) {
        const RegNode* node = common::reg_find(tree, key->path);
        return node != nullptr ? common::reg_tree_enum_key(*node, index, name, name_len) : kErrFileNotFound;
    });
}

uint32_t reg_delete_key(RegKey* parent, std::string_view subkey) {
    if (parent == nullptr) {
        return kErrInvalidHandle;
    }
    const std::string path = child_path(*parent, subkey);
    return with_hive(parent->root, [&](RegNode& tree, bool& changed) {
        if (common::reg_find(tree, parent->path) == nullptr) {
            return kErrFileNotFound;
        }
        const uint32_t err = common::reg_tree_delete_key(tree, path);
        changed = err == kErrSuccess;
        return err;
    });
}

}  // namespace zq::plat
