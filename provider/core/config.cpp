#include "core/config.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <vector>

#include "core/line_record.h"
#include "core/trace.h"
#include "link/receive.h"
#include "link/setconfig.h"
#include "link/supervision.h"
#include "zq/platform.h"

namespace zq {
namespace {

using KeyHolder = plat::RegKeyHolder;

// Opens HKEY_LOCAL_MACHINE\SOFTWARE\Velmora\TSpi_6200, creating the last two
// levels when they are missing. Every failing step is traced.
bool OpenProviderKey(KeyHolder& provider) {
    KeyHolder software, velmora;
    uint32_t err = plat::reg_open_key(plat::reg_root(plat::RegRoot::LocalMachine), "SOFTWARE", &software.key);
    if (err != plat::kErrSuccess) {
        TspTrace(TRACE_REGISTRY, "ERROR HKEY_LOCAL_MACHINE SOFTWARE %ld", err);
        return false;
    }
    err = plat::reg_create_key(software.key, "Velmora", &velmora.key);
    if (err != plat::kErrSuccess) {
        TspTrace(TRACE_REGISTRY, "ERROR HKEY_LOCAL_MACHINE SOFTWARE Velmora %ld", err);
        return false;
    }
    err = plat::reg_create_key(velmora.key, "TSpi_6200", &provider.key);
    if (err != plat::kErrSuccess) {
        TspTrace(TRACE_REGISTRY, "ERROR HKEY_LOCAL_MACHINE SOFTWARE Velmora Spi62 %ld", err);
        return false;
    }
    return true;
}

// A value read as text: a string is cut at its NUL and to the room left for
// one; a number is written in decimal.
void ValueAsText(uint32_t type, std::span<const uint8_t> data, std::span<char> dest) {
    if (type == plat::kRegDword && data.size() == 4) {
        const uint32_t v =
            uint32_t{data[0]} | uint32_t{data[1]} << 8 | uint32_t{data[2]} << 16 | uint32_t{data[3]} << 24;
        CopyText(dest, std::to_string(v));
        return;
    }
    size_t n = 0;
    while (n < data.size() && data[n] != 0)
        ++n;
    CopyText(dest, std::string_view(reinterpret_cast<const char*>(data.data()), n));
}

bool OpenLocationsKey(KeyHolder& locations) {
    struct Step {
        const char* name;
        const char* error;
    };
    static constexpr std::array<Step, 5> kSteps = {{
        {"SOFTWARE\\Microsoft", "ERROR HKEY_LOCAL_MACHINE SOFTWARE Microsoft %ld"},
        {"Windows", "ERROR HKEY_LOCAL_MACHINE SOFTWARE Microsoft Windows %ld"},
        {"CurrentVersion", "ERROR HKEY_LOCAL_MACHINE SOFTWARE ..CurrentVersion %ld"},
        {"Telephony", "ERROR HKEY_LOCAL_MACHINE SOFTWARE ..Telephony %ld"},
        {"Locations", "ERROR HKEY_LOCAL_MACHINE SOFTWARE ..Locations %ld"},
    }};
    std::array<KeyHolder, kSteps.size()> keys;
    plat::RegKey* parent = plat::reg_root(plat::RegRoot::LocalMachine);
    for (size_t i = 0; i < kSteps.size(); ++i) {
        const uint32_t err = plat::reg_open_key(parent, kSteps[i].name, &keys[i].key);
        if (err != plat::kErrSuccess) {
            TspTrace(TRACE_REGISTRY, kSteps[i].error, err);
            return false;
        }
        parent = keys[i].key;
    }
    std::swap(locations.key, keys.back().key);
    return true;
}

// A 32-bit value; the registry's error, or ERROR_INVALID_PARAMETER for a
// value of another type.
uint32_t QueryDword(plat::RegKey* key, std::string_view name, uint32_t* out) {
    std::array<uint8_t, 4> data{};
    uint32_t type = 0, size = 0;
    const uint32_t err = plat::reg_query_value(key, name, &type, data, &size);
    if (err != plat::kErrSuccess)
        return err;
    if (type != plat::kRegDword || size != 4)
        return plat::kErrInvalidParameter;
    *out = uint32_t{data[0]} | uint32_t{data[1]} << 8 | uint32_t{data[2]} << 16 | uint32_t{data[3]} << 24;
    return plat::kErrSuccess;
}

}  // namespace

bool ReadFlagValue(std::string_view subkey, std::string_view name, bool missingOn, bool writeMissing) {
    std::array<char, 25> text{};
    const int n = ReadProviderValue(subkey, name, "", text);
    if (n <= 0) {
        if (n == 0 && writeMissing)
            WriteProviderValue(subkey, name, missingOn ? "1" : "0");
        return missingOn;
    }
    if (TextOf(text) == "0")
        return false;
    if (TextOf(text) != "1")
        WriteProviderValue(subkey, name, "1");
    return true;
}

int32_t DecimalValue(const char* text) {
    if (text == nullptr)
        return 0;
    const char* p = text;
    while (*p == ' ' || *p == '\t')
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    int64_t v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        v = v * 10 + (*p - '0');
        if (v > int64_t{INT32_MAX} + 1)
            v = int64_t{INT32_MAX} + 1;
    }
    if (negative)
        v = -v;
    return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

void CopyText(std::span<char> dest, std::string_view src) {
    if (dest.empty())
        return;
    const size_t n = std::min(src.size(), dest.size() - 1);
    std::copy_n(src.data(), n, dest.data());
    dest[n] = '\0';
}

std::string_view TextOf(std::span<const char> buf) {
    size_t n = 0;
    while (n < buf.size() && buf[n] != '\0')
        ++n;
    return {buf.data(), n};
}

int ReadProviderValue(std::string_view subkey, std::string_view name, std::string_view dflt,
                      std::span<char> dest) {
    CopyText(dest, dflt);
    const int dfltLen = static_cast<int>(TextOf(dest).size());
    KeyHolder provider, sub;
    if (!OpenProviderKey(provider))
        return dfltLen;
    uint32_t err = plat::reg_open_key(provider.key, subkey, &sub.key);
    if (err != plat::kErrSuccess) {
        TspTrace(TRACE_REGISTRY, "ERROR HKEY_LOCAL_MACHINE SOFTWARE Velmora Spi62 '%s' %ld", subkey, err);
        return dfltLen;
    }
    std::vector<uint8_t> data(dest.size());
    uint32_t type = 0, size = 0;
    err = plat::reg_query_value(sub.key, name, &type, data, &size);
    if (err != plat::kErrSuccess) {
        TspTrace(TRACE_REGISTRY, "ERROR HKEY_LOCAL_MACHINE SOFTWARE Velmora Spi62 '%s''%s' %ld", subkey, name,
                 err);
        if (err != plat::kErrMoreData)
            return dfltLen;
        TspTrace(TRACE_ERROR, "Value '%s''%s' longer than %d - default '%s' used, stored value kept", subkey,
                 name, static_cast<uint32_t>(dest.size() - 1), dflt);
        return PROVIDER_VALUE_TOO_LONG;
    }
    ValueAsText(type, std::span<const uint8_t>(data.data(), std::min<size_t>(size, data.size())), dest);
    return static_cast<int>(TextOf(dest).size());
}

int WriteProviderValue(std::string_view subkey, std::string_view name, std::string_view text) {
    KeyHolder provider, sub;
    if (!OpenProviderKey(provider))
        return 0;
    uint32_t err = plat::reg_create_key(provider.key, subkey, &sub.key);
    if (err != plat::kErrSuccess) {
        TspTrace(TRACE_REGISTRY, "ERROR HKEY_LOCAL_MACHINE SOFTWARE Velmora Spi62 '%s' %ld", subkey, err);
        return 0;
    }
    err = plat::reg_set_string(sub.key, name, text);
    if (err != plat::kErrSuccess) {
        TspTrace(TRACE_REGISTRY, "ERROR HKEY_LOCAL_MACHINE SOFTWARE Velmora Spi62 '%s''%s' %ld", subkey, name,
                 err);
        return 0;
    }
    return 1;
}

int DeleteProviderSubkey(std::string_view subkey) {
    KeyHolder provider;
    if (!OpenProviderKey(provider))
        return 0;
    const uint32_t err = plat::reg_delete_key(provider.key, subkey);
    if (err == plat::kErrSuccess)
        return 1;
    if (err != plat::kErrFileNotFound)
        TspTrace(TRACE_REGISTRY, "ERROR Deleting HKEY_LOCAL_MACHINE SOFTWARE Velmora Spi62 '%s' %ld", subkey,
                 err);
    return 0;
}

std::vector<std::pair<std::string, std::string>> ReadProviderValues(std::string_view subkey) {
    std::vector<std::pair<std::string, std::string>> values;
    KeyHolder provider, sub;
    if (!OpenProviderKey(provider))
        return values;
    const uint32_t err = plat::reg_open_key(provider.key, subkey, &sub.key);
    if (err != plat::kErrSuccess) {
        TspTrace(TRACE_REGISTRY, "ERROR HKEY_LOCAL_MACHINE SOFTWARE Velmora Spi62 '%s' %ld", subkey, err);
        return values;
    }
    for (uint32_t index = 0; index < MAX_ENUM_VALUES; ++index) {
        std::array<char, 64> name{};
        std::array<uint8_t, 64> data{};
        std::array<char, 64> text{};
        uint32_t nameLen = 0, type = 0, dataLen = 0;
        const uint32_t e = plat::reg_enum_value(sub.key, index, name, &nameLen, &type, data, &dataLen);
        if (e == plat::kErrMoreData)
            continue;
        if (e != plat::kErrSuccess)
            break;
        ValueAsText(type, std::span<const uint8_t>(data.data(), std::min<size_t>(dataLen, data.size())),
                    text);
        values.emplace_back(std::string(TextOf(name)), std::string(TextOf(text)));
    }
    return values;
}

void ReadOutsideAccess(std::span<char> dest) {
    CopyText(dest, "0");
    KeyHolder locations;
    if (!OpenLocationsKey(locations))
        return;
    uint32_t currentId = 0;
    if (const uint32_t err = QueryDword(locations.key, "CurrentID", &currentId); err != plat::kErrSuccess) {
        TspTrace(TRACE_REGISTRY, "ERROR HKEY_LOCAL_MACHINE SOFTWARE ..CurrentID %ld", err);
        return;
    }
    std::array<char, 261> name{};
    for (uint32_t index = 0;; ++index) {
        uint32_t nameLen = 0;
        if (plat::reg_enum_key(locations.key, index, name, &nameLen) != plat::kErrSuccess)
            return;
        KeyHolder location;
        const uint32_t err = plat::reg_open_key(locations.key, TextOf(name), &location.key);
        if (err != plat::kErrSuccess) {
            TspTrace(TRACE_REGISTRY, "ERROR HKEY_LOCAL_MACHINE SOFTWARE ..Locations %s %ld", TextOf(name),
                     err);
            continue;
        }
        uint32_t id = 0;
        if (const uint32_t e = QueryDword(location.key, "ID", &id); e != plat::kErrSuccess) {
            TspTrace(TRACE_REGISTRY, "ERROR HKEY_LOCAL_MACHINE SOFTWARE ..Sub ID %ld", e);
            continue;
        }
        if (id != currentId)
            continue;
        std::array<uint8_t, 20> data{};
        uint32_t type = 0, size = 0;
        if (plat::reg_query_value(location.key, "OutsideAccess", &type, data, &size) == plat::kErrSuccess)
            ValueAsText(type, std::span<const uint8_t>(data.data(), std::min<size_t>(size, data.size())),
                        dest);
        return;
    }
}

void LoadIniStrings(uint32_t permanentProviderId) {
    g_line.PermanentProviderID = permanentProviderId;
    const auto readOrDefault = [](std::string_view name, std::string_view dflt, std::span<char> dest) {
        const int n = ReadProviderValue("Provider", name, "", dest);
        if (n <= 0)
            CopyText(dest, dflt);
        if (n == 0)
            WriteProviderValue("Provider", name, dflt);
    };
    readOrDefault("Port", "NONE", g_line.PortName);
    readOrDefault("Speed", "9600", g_line.Speed);
    static constexpr std::u16string_view kLineName = u"VELMORA_ZQ_6200";
    std::copy(kLineName.begin(), kLineName.end(), g_line.LineName.begin());
    g_line.LineName[kLineName.size()] = 0;
    ReadProviderValue("SetConfig", "SetMCDU", "", g_line.Address);
    TspTrace(TRACE_TSPI, "LoadIniStrings port '%s' speed '%s'", g_line.PortName, g_line.Speed);
    TspTrace(TRACE_TSPI, "LoadIniStrings linename '%S' lineaddr '%s'", g_line.LineName, g_line.Address);
    if (g_lineSettings.TqlaVersion != 1) {
        ReadOutsideAccess(g_lineSettings.ExtPrefix);
        TspTrace(TRACE_CONFIG, "LoadIniStrings ExtPrefix  '%s'", g_lineSettings.ExtPrefix);
    }
    std::array<char, 20> op{};
    if (ReadProviderValue("Prefix", "PublicOperator", "", op) > 0) {
        CopyText(g_lineSettings.OperatorPrefix, TextOf(op));
        TspTrace(TRACE_CONFIG, "LoadIniStrings PublicOperator trouve '%s'", g_lineSettings.OperatorPrefix);
    } else {
        CopyText(g_lineSettings.OperatorPrefix, "0");
        TspTrace(TRACE_CONFIG, "LoadIniStrings PublicOperator defaut '%s'", g_lineSettings.OperatorPrefix);
    }
}

void ReadLastAction() {
    g_superv.stringDefError = false;
    // Room for every result the provider records.
    std::array<char, LAST_ACTION_SIZE> text{};
    ReadProviderValue("Dynamic_Set_Conf", "LastAction", "never", text);
    const std::string_view last = TextOf(text);
    if (last.find("never") != std::string_view::npos) {
        g_dl.prev = PrevDownload::Never;
        g_lineSettings.WaitDynamicConfig = true;
        if (!g_rx.traceModeSeen)
            g_superv.traceWaitArmed = true;
    } else {
        g_dl.prev =
            last.find("success") != std::string_view::npos ? PrevDownload::Success : PrevDownload::Failed;
        g_lineSettings.StaticConfig = true;
        g_lineSettings.WaitDynamicConfig = false;
    }
}

int LoadKeyConfig() {
    struct KindPrefix {
        std::string_view prefix;
        uint32_t kind;
        const char* trace;
    };
    static constexpr std::array<KindPrefix, 5> kKinds = {{
        {"M", KEY_MULTILIGNE, "Touche %02d Multiligne '%s'"},
        {"SU", KEY_SUPERV, "line.Touche %02d Superv '%s'"},
        {"EX", KEY_PATRON, "line.Touche %02d Patron '%s'"},
        {"SE", KEY_SECRETAIRE, "line.Touche %02d Secretaire '%s'"},
        {"RS", KEY_SECR_DEBORD, "line.Touche %02d Secr Debord'%s'"},
    }};
    KeyLists& lists = g_line.lists;
    lists = KeyLists{};
    for (const auto& [name, text] : ReadProviderValues("Set_Des")) {
        // Names T1 to T88 (up to three digits); texts of at most 19
        // characters, as the configuration download writes them.
        if (name.size() < 2 || name.size() > 4 || name[0] != 'T' || text.size() >= 20 ||
            !std::all_of(name.begin() + 1, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        const int key = DecimalValue(name.c_str() + 1);
        if (key < 1 || key > MAX_TOUCH)
            continue;
        for (const KindPrefix& k : kKinds) {
            if (!std::string_view(text).starts_with(k.prefix))
                continue;
            // A key beyond its list's capacity is ignored altogether.
            bool appended = false;
            switch (k.kind) {
                case KEY_MULTILIGNE:
                    appended = AppendKey(lists.MultiLineKeys, static_cast<uint32_t>(key));
                    break;
                case KEY_SUPERV:
                    appended = AppendKey(lists.SupervKeys, static_cast<uint32_t>(key));
                    break;
                case KEY_PATRON:
                    appended = AppendKey(lists.PatronKeys, static_cast<uint32_t>(key));
                    break;
                case KEY_SECRETAIRE:
                    appended = AppendKey(lists.SecretaireKeys, static_cast<uint32_t>(key));
                    break;
                default:
                    appended = AppendKey(lists.SecrDebordKeys, static_cast<uint32_t>(key));
                    break;
            }
            if (!appended)
                break;
            TouchEntry& entry = g_line.TouchTable[static_cast<size_t>(key)];
            entry.Kind = k.kind;
            CopyText(entry.Label, std::string_view(text).substr(k.prefix.size()));
            TspTrace(TRACE_CONFIG, k.trace, key, entry.Label);
            break;
        }
    }
    TspTrace(TRACE_CONFIG, "nbre de tou multi: %d superv %d pat %d secret %d secret debord %d",
             lists.MultiLineKeys.count, lists.SupervKeys.count, lists.PatronKeys.count,
             lists.SecretaireKeys.count, lists.SecrDebordKeys.count);
    return lists.MultiLineKeys.count;
}

int LoadSetData() {
    TspTrace(TRACE_CONFIG, "Initialisation des datas");
    // As long as the association can make it, so that it always reads back.
    std::array<char, std::tuple_size_v<decltype(g_lineSettings.Mcdu)>> mcdu{};
    if (ReadProviderValue("SetConfig", "SetMCDU", "", mcdu) > 0) {
        CopyText(g_lineSettings.Mcdu, TextOf(mcdu));
        TspTrace(TRACE_CONFIG, "lecture mcdu -%s-", g_lineSettings.Mcdu);
        plat::profile_write_string(kIniFile, "SetConfig", "SetMCDU", TextOf(g_lineSettings.Mcdu));
    } else {
        g_lineSettings.Mcdu[0] = '\0';
        TspTrace(TRACE_CONFIG, "no mcdu stored ");
    }
    LoadKeyConfig();
    for (int k = 1; k <= MAX_TOUCH; ++k) {
        TouchEntry& entry = g_line.TouchTable[static_cast<size_t>(k)];
        entry.CrefSlot = {-1, -1};
        entry.IconState = IDLE_ICON;
    }
    g_set.WaitInfo.fill(-1);

    g_lineSettings.SupervService = ReadFlagValue("SetConfig", "SupervService", true, false);
    TspTrace(TRACE_CONFIG, "Service Supervision %d", g_lineSettings.SupervService ? 1 : 0);

    std::array<char, 25> text{};
    for (size_t i = 0; i < SOFTKEY_COUNT; ++i) {
        const bool found = ReadProviderValue("SoftKey_Des", kSoftKeyNames[i], "", text) > 0;
        CopyText(g_set.SoftKeyLabel[i], TextOf(text));
        if (found) {
            TspTrace(TRACE_CONFIG, "%s:-%s-", kSoftKeyNames[i], g_set.SoftKeyLabel[i]);
        } else {
            TspTrace(TRACE_CONFIG, "Soft Key Reading:StringInitError TRUE %s:-%s-", kSoftKeyNames[i],
                     g_set.SoftKeyLabel[i]);
            g_superv.stringDefError = true;
        }
    }
    // Display strings are up to 31 characters: read them into a buffer of
    // their own size, so that a full-length string is not taken as missing.
    std::array<char, LCDSTRING_LEN + 1> lcd{};
    for (size_t i = 0; i < LCDSTRING_COUNT; ++i) {
        const bool found = ReadProviderValue("String_Des", kLcdStringNames[i], "", lcd) > 0;
        CopyText(g_set.LcdString[i], TextOf(lcd));
        if (found) {
            TspTrace(TRACE_CONFIG, "%s:-%s-", kLcdStringNames[i], g_set.LcdString[i]);
        } else {
            TspTrace(TRACE_CONFIG, "LCD String Reading:StringInitError TRUE %s:-%s-", kLcdStringNames[i],
                     g_set.LcdString[i]);
            g_superv.stringDefError = true;
        }
    }
    for (size_t i = 0; i < SERVICECODE_COUNT; ++i) {
        const bool found = ReadProviderValue("Service_Code", kServiceCodeNames[i], "", text) > 0;
        CopyText(g_set.ServiceCode[i], TextOf(text));
        if (found)
            TspTrace(TRACE_CONFIG, "%s:-%s-", kServiceCodeNames[i], g_set.ServiceCode[i]);
        else
            TspTrace(TRACE_CONFIG, "Service Codes Empty Reading: %s:-%s-", kServiceCodeNames[i],
                     g_set.ServiceCode[i]);
    }

    // Test mode counts frames down from a positive number; any other value
    // (a negative one, one too large to count) leaves it off.
    std::array<char, 25> test{};
    const bool stored = ReadProviderValue("Subdevice_Test", "NbInputBeforeSuspend", "", test) > 0;
    const int32_t suspend = stored ? DecimalValue(test.data()) : 0;
    if (suspend <= 0 || suspend == INT32_MAX) {
        if (suspend != 0)
            TspTrace(TRACE_CONFIG, "NbInputBeforeSuspend '%s' hors limites - mode test inactif", test);
        g_rx.inputCounter = -1;
        g_rx.enquiryCounter = 0;
        g_rx.answerNack = false;
    } else {
        g_rx.inputCounter = suspend;
        ReadProviderValue("Subdevice_Test", "NbWaitAckBeforeResponse", "", test);
        g_rx.enquiryCounter = std::max(DecimalValue(test.data()), 0);
        ReadProviderValue("Subdevice_Test", "WaitAckResponse", "", test);
        g_rx.answerNack = TextOf(test) == "NACK";
    }
    return 0;
}

}  // namespace zq
