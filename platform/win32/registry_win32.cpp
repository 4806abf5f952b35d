// The registry and private-profile files through the Win32 API.
#include <windows.h>

#include <algorithm>
#include <string>

#include "zq/platform.h"

namespace zq::plat {

struct RegKey {
    HKEY hkey = nullptr;
};

namespace {

RegKey g_localMachine{HKEY_LOCAL_MACHINE};
RegKey g_currentUser{HKEY_CURRENT_USER};

HKEY Handle(RegKey* key) {
    return key != nullptr ? key->hkey : nullptr;
}

bool IsRoot(const RegKey* key) {
    return key == &g_localMachine || key == &g_currentUser;
}

DWORD Room(size_t size) {
    return static_cast<DWORD>(std::min<size_t>(size, MAXDWORD));
}

BYTE* DataOrNull(std::span<uint8_t> data) {
    return data.empty() ? nullptr : data.data();
}

uint32_t WrapKey(LONG result, HKEY hkey, RegKey** out) {
    if (result == ERROR_SUCCESS) {
        *out = new RegKey{hkey};
    }
    return static_cast<uint32_t>(result);
}

// A REG_SZ stored without its terminating NUL gets one, so that callers can
// always treat the data as a C string.
uint32_t TerminateString(uint32_t result, DWORD type, std::span<uint8_t> data, DWORD* len) {
    if (result != ERROR_SUCCESS || type != REG_SZ || (*len > 0 && data[*len - 1] == 0)) {
        return result;
    }
    if (*len >= data.size()) {
        *len += 1;
        return kErrMoreData;
    }
    data[*len] = 0;
    *len += 1;
    return result;
}

}  // namespace

RegKey* reg_root(RegRoot root) {
    return root == RegRoot::LocalMachine ? &g_localMachine : &g_currentUser;
}

// The provider runs as the Telephony service and writes its keys; a user
// without write access still gets to read them.
uint32_t reg_open_key(RegKey* parent, std::string_view subkey, RegKey** out) {
    *out = nullptr;
    const std::string sub(subkey);
    HKEY hkey = nullptr;
    LONG result = RegOpenKeyExA(Handle(parent), sub.c_str(), 0, KEY_ALL_ACCESS, &hkey);
    if (result == ERROR_ACCESS_DENIED) {
        result = RegOpenKeyExA(Handle(parent), sub.c_str(), 0, KEY_READ, &hkey);
    }
    return WrapKey(result, hkey, out);
}

uint32_t reg_create_key(RegKey* parent, std::string_view subkey, RegKey** out) {
    *out = nullptr;
    const std::string sub(subkey);
    HKEY hkey = nullptr;
    LONG result = RegCreateKeyExA(Handle(parent), sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &hkey, nullptr);
    if (result == ERROR_ACCESS_DENIED) {
        result = RegCreateKeyExA(Handle(parent), sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ,
                                 nullptr, &hkey, nullptr);
    }
    return WrapKey(result, hkey, out);
}

void reg_close_key(RegKey* key) {
    if (key == nullptr || IsRoot(key)) {
        return;
    }
    RegCloseKey(key->hkey);
    delete key;
}

uint32_t reg_query_value(RegKey* key, std::string_view name, uint32_t* type, std::span<uint8_t> dest,
                         uint32_t* size) {
    const std::string value(name);
    DWORD kind = REG_NONE;
    DWORD len = 0;
    // The size first, so that a value too large leaves dest untouched.
    auto result =
        static_cast<uint32_t>(RegQueryValueExA(Handle(key), value.c_str(), nullptr, &kind, nullptr, &len));
    if (result == ERROR_SUCCESS && len > dest.size()) {
        result = kErrMoreData;
    }
    if (result == ERROR_SUCCESS) {
        len = Room(dest.size());
        result = static_cast<uint32_t>(
            RegQueryValueExA(Handle(key), value.c_str(), nullptr, &kind, DataOrNull(dest), &len));
        result = TerminateString(result, kind, dest, &len);
    }
    if (type != nullptr) {
        *type = kind;
    }
    *size = len;
    return result;
}

uint32_t reg_set_string(RegKey* key, std::string_view name, std::string_view text) {
    const std::string value(name);
    const std::string data(text);
    return static_cast<uint32_t>(RegSetValueExA(Handle(key), value.c_str(), 0, REG_SZ,
                                                reinterpret_cast<const BYTE*>(data.c_str()),
                                                static_cast<DWORD>(data.size() + 1)));
}

uint32_t reg_set_dword(RegKey* key, std::string_view name, uint32_t value) {
    const std::string valueName(name);
    const DWORD data = value;
    return static_cast<uint32_t>(RegSetValueExA(Handle(key), valueName.c_str(), 0, REG_DWORD,
                                                reinterpret_cast<const BYTE*>(&data), sizeof(data)));
}

uint32_t reg_delete_value(RegKey* key, std::string_view name) {
    const std::string value(name);
    return static_cast<uint32_t>(RegDeleteValueA(Handle(key), value.c_str()));
}

uint32_t reg_enum_value(RegKey* key, uint32_t index, std::span<char> name, uint32_t* name_len, uint32_t* type,
                        std::span<uint8_t> data, uint32_t* data_len) {
    DWORD nameLen = Room(name.size());
    DWORD kind = REG_NONE;
    DWORD len = Room(data.size());
    auto result =
        static_cast<uint32_t>(RegEnumValueA(Handle(key), index, name.empty() ? nullptr : name.data(),
                                            &nameLen, nullptr, &kind, DataOrNull(data), &len));
    // Without a data buffer Windows reports only the size; the data then
    // did not fit.
    if (result == ERROR_SUCCESS && data.empty() && len > 0) {
        result = kErrMoreData;
    }
    result = TerminateString(result, kind, data, &len);
    *name_len = nameLen;
    if (type != nullptr) {
        *type = kind;
    }
    *data_len = len;
    return result;
}

uint32_t reg_enum_key(RegKey* key, uint32_t index, std::span<char> name, uint32_t* name_len) {
    DWORD len = Room(name.size());
    const auto result = static_cast<uint32_t>(RegEnumKeyExA(
        Handle(key), index, name.empty() ? nullptr : name.data(), &len, nullptr, nullptr, nullptr, nullptr));
    *name_len = len;
    return result;
}

uint32_t reg_delete_key(RegKey* parent, std::string_view subkey) {
    const std::string sub(subkey);
    return static_cast<uint32_t>(RegDeleteKeyA(Handle(parent), sub.c_str()));
}

// ------------------------------------------------------ private-profile files

bool profile_write_string(std::string_view file, std::string_view section, std::string_view key,
                          std::string_view value) {
    const std::string f(file);
    const std::string s(section);
    const std::string k(key);
    const std::string v(value);
    return WritePrivateProfileStringA(s.c_str(), k.c_str(), v.c_str(), f.c_str()) != FALSE;
}

bool profile_delete_section(std::string_view file, std::string_view section) {
    const std::string f(file);
    const std::string s(section);
    return WritePrivateProfileStringA(s.c_str(), nullptr, nullptr, f.c_str()) != FALSE;
}

uint32_t profile_read_string(std::string_view file, std::string_view section, std::string_view key,
                             std::string_view dflt, std::span<char> dest) {
    if (dest.empty()) {
        return 0;
    }
    const std::string f(file);
    const std::string s(section);
    const std::string k(key);
    const std::string d(dflt);
    return GetPrivateProfileStringA(s.c_str(), k.c_str(), d.c_str(), dest.data(), Room(dest.size()),
                                    f.c_str());
}

std::vector<std::pair<std::string, std::string>> profile_read_section(std::string_view file,
                                                                      std::string_view section) {
    const std::string f(file);
    const std::string s(section);
    // The buffer grows until the section fits: a section that does not fit
    // is reported as the buffer's size less two.
    std::vector<char> buffer(4096);
    DWORD got = 0;
    for (;;) {
        got = GetPrivateProfileSectionA(s.c_str(), buffer.data(), Room(buffer.size()), f.c_str());
        if (got + 2 < buffer.size() || buffer.size() >= (1u << 20))
            break;
        buffer.resize(buffer.size() * 2);
    }
    std::vector<std::pair<std::string, std::string>> entries;
    std::string_view rest(buffer.data(), std::min<size_t>(got, buffer.size()));
    while (!rest.empty()) {
        const std::string_view line = rest.substr(0, rest.find('\0'));
        rest.remove_prefix(std::min(rest.size(), line.size() + 1));
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos || line.starts_with(';'))
            continue;
        entries.emplace_back(std::string(line.substr(0, eq)), std::string(line.substr(eq + 1)));
    }
    return entries;
}

}  // namespace zq::plat
