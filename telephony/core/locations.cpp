#include "locations.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "reg_values.h"
#include "zq/platform.h"

namespace zq::tapiapp {

static_assert(sizeof(LINETRANSLATECAPS) == 44);
static_assert(sizeof(LINELOCATIONENTRY) == 68);
static_assert(sizeof(LINECARDENTRY) == 44);
static_assert(sizeof(LINETRANSLATEOUTPUT) == 40);

namespace {

using Bytes = std::vector<uint8_t>;

LONG Err(uint32_t code) {
    return static_cast<LONG>(code);
}

// The location and card entries have their 2.0 layout from 2.0 to 3.1.
constexpr uint32_t kLowestApiVersion = 0x00020000;
constexpr uint32_t kHighestApiVersion = 0x00030001;

// Bit of a location's Flags: tone dialling (clear: pulse).
constexpr uint32_t kFlagToneDialing = 0x1;
constexpr uint32_t kCardOptions = LINECARDOPTION_PREDEFINED | LINECARDOPTION_HIDDEN;

constexpr std::string_view kDefaultLocationName = "My Location";
constexpr uint32_t kDefaultCountry = 1;
constexpr uint32_t kDirectDialCard = 0;
constexpr std::string_view kDirectDialName = "None (Direct Dial)";

// Enough for any real store; a registry that enumerates without end stops here.
constexpr uint32_t kMaxEntries = 1000;
constexpr size_t kMaxAddress = 512;
// Digits of a subscriber number that form its prefix in a toll list.
constexpr size_t kTollPrefixDigits = 3;

std::atomic<AppCheck> g_appCheck{nullptr};
// Serialises the reading, repairing and writing of the store.
std::mutex g_storeLock;

// --------------------------------------------------------------- registry

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin(),
                                                      [&](char a, char b) { return lower(a) == lower(b); });
}

// The number that follows `prefix` in a key name such as "Location3".
std::optional<uint32_t> NumberAfter(std::string_view name, std::string_view prefix) {
    if (!StartsWithNoCase(name, prefix) || name.size() == prefix.size())
        return std::nullopt;
    uint64_t n = 0;
    for (const char c : name.substr(prefix.size())) {
        if (c < '0' || c > '9' || n > 0xFFFFFFF)
            return std::nullopt;
        n = n * 10 + static_cast<uint32_t>(c - '0');
    }
    return static_cast<uint32_t>(n);
}

// The names of the subkeys that start with `prefix`.
std::vector<std::string> SubkeysNamed(plat::RegKey* key, std::string_view prefix) {
    std::vector<std::string> names;
    std::array<char, 261> name{};
    for (uint32_t index = 0; index < kMaxEntries; ++index) {
        uint32_t length = 0;
        if (plat::reg_enum_key(key, index, name, &length) != plat::kErrSuccess)
            break;
        const std::string_view text(name.data(), std::min<size_t>(length, name.size() - 1));
        if (StartsWithNoCase(text, prefix))
            names.emplace_back(text);
    }
    return names;
}

// --------------------------------------------------------------- the store

struct Location {
    std::string key{};
    uint32_t id = 0;
    std::string name{};
    std::string areaCode{};
    uint32_t country = 0;
    std::string outsideAccess{};
    std::string longDistanceAccess{};
    uint32_t flags = 0;
    std::string cancelCallWaiting{};
    std::string tollList{};
};

struct Card {
    uint32_t id = 0;
    std::string name{};
    std::string localRule{};
    std::string longDistanceRule{};
    std::string internationalRule{};
    uint32_t flags = 0;
};

struct Store {
    std::vector<Location> locations;
    std::vector<Card> cards;
    uint32_t currentId = 0;

    // LoadStore makes sure the current location exists.
    const Location& Current() const {
        for (const Location& l : locations)
            if (l.id == currentId)
                return l;
        return locations.front();
    }
};

// An entry's identifier: its ID value, else the number in its key name,
// which is then written as ID (the provider finds the current location by
// that value).
std::optional<uint32_t> EntryId(plat::RegKey* key, std::string_view keyName, std::string_view prefix) {
    if (const auto id = ReadDword(key, "ID"))
        return id;
    const auto fromName = NumberAfter(keyName, prefix);
    if (fromName)
        plat::reg_set_dword(key, "ID", *fromName);
    return fromName;
}

std::vector<Location> ReadLocations(plat::RegKey* locations) {
    std::vector<Location> list;
    for (const std::string& keyName : SubkeysNamed(locations, "Location")) {
        KeyHolder key;
        if (plat::reg_open_key(locations, keyName, &key.key) != plat::kErrSuccess)
            continue;
        const auto id = EntryId(key.key, keyName, "Location");
        if (!id || std::any_of(list.begin(), list.end(), [&](const Location& l) { return l.id == *id; }))
            continue;
        list.push_back({.key = keyName,
                        .id = *id,
                        .name = ReadText(key.key, "Name"),
                        .areaCode = ReadText(key.key, "AreaCode"),
                        .country = ReadDword(key.key, "Country").value_or(kDefaultCountry),
                        .outsideAccess = ReadText(key.key, "OutsideAccess"),
                        .longDistanceAccess = ReadText(key.key, "LongDistanceAccess"),
                        .flags = ReadDword(key.key, "Flags").value_or(kFlagToneDialing),
                        .cancelCallWaiting = ReadText(key.key, "DisableCallWaiting"),
                        .tollList = ReadText(key.key, "TollList")});
    }
    return list;
}

std::vector<Card> ReadCards(plat::RegKey* cards) {
    std::vector<Card> list;
    for (const std::string& keyName : SubkeysNamed(cards, "Card")) {
        KeyHolder key;
        if (plat::reg_open_key(cards, keyName, &key.key) != plat::kErrSuccess)
            continue;
        const auto id = EntryId(key.key, keyName, "Card");
        if (!id || std::any_of(list.begin(), list.end(), [&](const Card& c) { return c.id == *id; }))
            continue;
        list.push_back({.id = *id,
                        .name = ReadText(key.key, "Name"),
                        .localRule = ReadText(key.key, "LocalRule"),
                        .longDistanceRule = ReadText(key.key, "LDRule"),
                        .internationalRule = ReadText(key.key, "InternationalRule"),
                        .flags = ReadDword(key.key, "Flags").value_or(0)});
    }
    return list;
}

// A location or card as it is created when the store has none.
Location DefaultLocation(uint32_t id) {
    return {.key = "Location" + std::to_string(id),
            .id = id,
            .name = std::string(kDefaultLocationName),
            .country = kDefaultCountry,
            .flags = kFlagToneDialing};
}

void WriteLocation(plat::RegKey* locations, const Location& l) {
    KeyHolder key;
    if (plat::reg_create_key(locations, l.key, &key.key) != plat::kErrSuccess)
        return;
    plat::reg_set_dword(key.key, "ID", l.id);
    plat::reg_set_string(key.key, "Name", l.name);
    plat::reg_set_string(key.key, "AreaCode", l.areaCode);
    plat::reg_set_dword(key.key, "Country", l.country);
    plat::reg_set_string(key.key, "OutsideAccess", l.outsideAccess);
    plat::reg_set_string(key.key, "LongDistanceAccess", l.longDistanceAccess);
    plat::reg_set_dword(key.key, "Flags", l.flags);
    plat::reg_set_string(key.key, "DisableCallWaiting", l.cancelCallWaiting);
}

void WriteCard(plat::RegKey* cards, const Card& c) {
    KeyHolder key;
    if (plat::reg_create_key(cards, "Card" + std::to_string(c.id), &key.key) != plat::kErrSuccess)
        return;
    plat::reg_set_dword(key.key, "ID", c.id);
    plat::reg_set_string(key.key, "Name", c.name);
    plat::reg_set_string(key.key, "LocalRule", c.localRule);
    plat::reg_set_string(key.key, "LDRule", c.longDistanceRule);
    plat::reg_set_string(key.key, "InternationalRule", c.internationalRule);
    plat::reg_set_dword(key.key, "Flags", c.flags);
}

// Sets a DWORD unless it already holds `value`.
void KeepDword(plat::RegKey* key, std::string_view name, uint32_t value) {
    if (ReadDword(key, name) != value)
        plat::reg_set_dword(key, name, value);
}

// NextID above every identifier, NumEntries the count.
template <typename Entry>
void KeepCounters(plat::RegKey* key, const std::vector<Entry>& entries) {
    uint32_t next = ReadDword(key, "NextID").value_or(0);
    for (const Entry& e : entries)
        next = std::max(next, e.id + 1);
    KeepDword(key, "NextID", next);
    KeepDword(key, "NumEntries", static_cast<uint32_t>(entries.size()));
}

// Reads the store, creating and repairing what is missing. The repairs
// are written as far as the registry lets us; the answer does not depend
// on them.
LONG LoadStore(Store& store) {
    KeyHolder locations, cards;
    if (plat::reg_create_key(plat::reg_root(plat::RegRoot::LocalMachine), kLocationsKey, &locations.key) !=
            plat::kErrSuccess ||
        plat::reg_create_key(plat::reg_root(plat::RegRoot::CurrentUser), kCardsKey, &cards.key) !=
            plat::kErrSuccess)
        return Err(LINEERR_INIFILECORRUPT);

    store.locations = ReadLocations(locations.key);
    if (store.locations.empty()) {
        store.locations.push_back(
            DefaultLocation(std::max<uint32_t>(ReadDword(locations.key, "NextID").value_or(1), 1)));
        WriteLocation(locations.key, store.locations.back());
    }
    const auto current = ReadDword(locations.key, "CurrentID");
    const bool known = current && std::any_of(store.locations.begin(), store.locations.end(),
                                              [&](const Location& l) { return l.id == *current; });
    store.currentId = known ? *current : store.locations.front().id;
    KeepDword(locations.key, "CurrentID", store.currentId);
    KeepCounters(locations.key, store.locations);

    store.cards = ReadCards(cards.key);
    if (std::none_of(store.cards.begin(), store.cards.end(),
                     [](const Card& c) { return c.id == kDirectDialCard; })) {
        const Card direct{
            .id = kDirectDialCard, .name = std::string(kDirectDialName), .flags = LINECARDOPTION_PREDEFINED};
        store.cards.insert(store.cards.begin(), direct);
        WriteCard(cards.key, direct);
    }
    KeepCounters(cards.key, store.cards);
    return 0;
}

LONG WriteLocationValue(const Location& l, std::string_view name, std::string_view text) {
    KeyHolder key;
    if (plat::reg_open_key(plat::reg_root(plat::RegRoot::LocalMachine),
                           std::string(kLocationsKey) + "\\" + l.key, &key.key) != plat::kErrSuccess ||
        plat::reg_set_string(key.key, name, text) != plat::kErrSuccess)
        return Err(LINEERR_OPERATIONFAILED);
    return 0;
}

// ------------------------------------------------------- caller structures

LONG CheckApp(HLINEAPP app) {
    if (app == 0)
        return 0;
    const AppCheck check = g_appCheck.load();
    return check != nullptr && check(app) ? 0 : Err(LINEERR_INVALAPPHANDLE);
}

bool ApiVersionOk(DWORD version) {
    return version >= kLowestApiVersion && version <= kHighestApiVersion;
}

// The caller's structure is only as long as its dwTotalSize says.
std::span<uint8_t> CallerBytes(void* structure) {
    auto* raw = static_cast<uint8_t*>(structure);
    DWORD total = 0;
    std::memcpy(&total, raw, sizeof total);
    return {raw, total};
}

// The variable part of a structure being built: texts with their NUL.
struct Texts {
    uint32_t base;  // where the texts start in the structure
    Bytes bytes;

    struct Placed {
        DWORD size;
        DWORD offset;
    };
    Placed Add(std::string_view text) {
        const Placed p{static_cast<DWORD>(text.size() + 1), static_cast<DWORD>(base + bytes.size())};
        bytes.insert(bytes.end(), text.begin(), text.end());
        bytes.push_back(0);
        return p;
    }
};

template <typename T>
void Put(Bytes& out, const T& value) {
    out.resize(out.size() + sizeof value);
    std::memcpy(out.data() + out.size() - sizeof value, &value, sizeof value);
}

LINELOCATIONENTRY LocationEntry(const Location& l, Texts& texts) {
    LINELOCATIONENTRY e{};
    e.dwPermanentLocationID = l.id;
    const auto name = texts.Add(l.name);
    e.dwLocationNameSize = name.size;
    e.dwLocationNameOffset = name.offset;
    e.dwCountryCode = l.country;
    const auto city = texts.Add(l.areaCode);
    e.dwCityCodeSize = city.size;
    e.dwCityCodeOffset = city.offset;
    e.dwPreferredCardID = kDirectDialCard;
    const auto local = texts.Add(l.outsideAccess);
    e.dwLocalAccessCodeSize = local.size;
    e.dwLocalAccessCodeOffset = local.offset;
    const auto longDistance = texts.Add(l.longDistanceAccess);
    e.dwLongDistanceAccessCodeSize = longDistance.size;
    e.dwLongDistanceAccessCodeOffset = longDistance.offset;
    const auto toll = texts.Add(l.tollList);
    e.dwTollPrefixListSize = toll.size;
    e.dwTollPrefixListOffset = toll.offset;
    e.dwCountryID = l.country;
    e.dwOptions = (l.flags & kFlagToneDialing) != 0 ? 0 : LINELOCATIONOPTION_PULSEDIAL;
    const auto cancel = texts.Add(l.cancelCallWaiting);
    e.dwCancelCallWaitingSize = cancel.size;
    e.dwCancelCallWaitingOffset = cancel.offset;
    return e;
}

LINECARDENTRY CardEntry(const Card& c, Texts& texts) {
    LINECARDENTRY e{};
    e.dwPermanentCardID = c.id;
    const auto name = texts.Add(c.name);
    e.dwCardNameSize = name.size;
    e.dwCardNameOffset = name.offset;
    e.dwCardNumberDigits = 0;
    const auto same = texts.Add(c.localRule);
    e.dwSameAreaRuleSize = same.size;
    e.dwSameAreaRuleOffset = same.offset;
    const auto longDistance = texts.Add(c.longDistanceRule);
    e.dwLongDistanceRuleSize = longDistance.size;
    e.dwLongDistanceRuleOffset = longDistance.offset;
    const auto international = texts.Add(c.internationalRule);
    e.dwInternationalRuleSize = international.size;
    e.dwInternationalRuleOffset = international.offset;
    e.dwOptions = c.flags & kCardOptions;
    return e;
}

// The lists and their texts are written whole or not at all.
void FillTranslateCaps(const Store& store, std::span<uint8_t> caller) {
    const auto numLocations = static_cast<uint32_t>(store.locations.size());
    const auto numCards = static_cast<uint32_t>(store.cards.size());
    LINETRANSLATECAPS caps{};
    caps.dwTotalSize = static_cast<DWORD>(caller.size());
    caps.dwNumLocations = numLocations;
    caps.dwCurrentLocationID = store.currentId;
    caps.dwNumCards = numCards;
    caps.dwCurrentPreferredCardID = kDirectDialCard;

    Bytes lists;
    const uint32_t locationsAt = sizeof caps;
    const uint32_t cardsAt = locationsAt + numLocations * uint32_t{sizeof(LINELOCATIONENTRY)};
    Texts texts{cardsAt + numCards * uint32_t{sizeof(LINECARDENTRY)}, {}};
    for (const Location& l : store.locations)
        Put(lists, LocationEntry(l, texts));
    for (const Card& c : store.cards)
        Put(lists, CardEntry(c, texts));

    const size_t needed = sizeof caps + lists.size() + texts.bytes.size();
    caps.dwNeededSize = static_cast<DWORD>(needed);
    caps.dwUsedSize = sizeof caps;
    if (needed <= caller.size()) {
        caps.dwUsedSize = caps.dwNeededSize;
        caps.dwLocationListSize = cardsAt - locationsAt;
        caps.dwLocationListOffset = locationsAt;
        caps.dwCardListSize = texts.base - cardsAt;
        caps.dwCardListOffset = cardsAt;
        std::copy(lists.begin(), lists.end(), caller.begin() + locationsAt);
        std::copy(texts.bytes.begin(), texts.bytes.end(), caller.begin() + texts.base);
    }
    std::memcpy(caller.data(), &caps, sizeof caps);
}

// ------------------------------------------------------------ translation

// How a country is dialled into: the trunk prefix before an area code and
// the international prefix. Countries not listed use 0 and 00.
struct CountryRule {
    uint32_t country;
    std::string_view trunk;
    std::string_view international;
    bool tollList;  // local prefixes may be toll calls
};

constexpr std::array<CountryRule, 6> kCountryRules = {{
    {1, "1", "011", true},
    {34, "", "00", false},
    {39, "", "00", false},
    {45, "", "00", false},
    {61, "0", "0011", false},
    {81, "0", "010", false},
}};
constexpr CountryRule kDefaultRule = {0, "0", "00", false};

const CountryRule& RuleOf(uint32_t country) {
    for (const CountryRule& r : kCountryRules)
        if (r.country == country)
            return r;
    return kDefaultRule;
}

// "+Country (Area) Subscriber" with the subscriber's formatting removed.
struct Canonical {
    uint32_t country = 0;
    std::string area;
    std::string number;
};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Dial digits and modifiers a subscriber number may hold.
bool IsDialable(char c) {
    return IsDigit(c) || std::string_view("ABCDabcd*#!WwPpTt@$?,;:").find(c) != std::string_view::npos;
}

bool IsFormatting(char c) {
    return std::string_view(" -./()").find(c) != std::string_view::npos;
}

// The first address of a canonical string, up to its subaddress, name or
// line end; nullopt when it is not well formed.
std::optional<Canonical> ParseCanonical(std::string_view text) {
    Canonical c;
    size_t i = 1;  // past '+'
    size_t digits = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i, ++digits)
        c.country = c.country * 10 + static_cast<uint32_t>(text[i] - '0');
    if (digits == 0 || digits > 3)
        return std::nullopt;
    while (i < text.size() && text[i] == ' ')
        ++i;
    if (i < text.size() && text[i] == '(') {
        const size_t close = text.find(')', i);
        if (close == std::string_view::npos)
            return std::nullopt;
        c.area = text.substr(i + 1, close - i - 1);
        if (!std::all_of(c.area.begin(), c.area.end(), IsDigit))
            return std::nullopt;
        i = close + 1;
    }
    for (; i < text.size(); ++i) {
        if (IsDialable(text[i]))
            c.number.push_back(text[i]);
        else if (!IsFormatting(text[i]))
            return std::nullopt;
    }
    if (std::none_of(c.number.begin(), c.number.end(), IsDigit))
        return std::nullopt;
    return c;
}

// The prefixes of a toll list ("555,556").
std::vector<std::string> TollPrefixes(std::string_view list) {
    std::vector<std::string> prefixes;
    while (!list.empty()) {
        const size_t comma = std::min(list.find(','), list.size());
        if (comma > 0)
            prefixes.emplace_back(list.substr(0, comma));
        list.remove_prefix(std::min(comma + 1, list.size()));
    }
    return prefixes;
}

std::string TollPrefixOf(const Canonical& c) {
    std::string prefix;
    for (const char ch : c.number)
        if (IsDigit(ch) && prefix.size() < kTollPrefixDigits)
            prefix.push_back(ch);
    return prefix.size() == kTollPrefixDigits ? prefix : std::string();
}

uint32_t DialModifierResults(std::string_view dialable) {
    struct Modifier {
        char c;
        uint32_t result;
    };
    static constexpr std::array<Modifier, 6> kModifiers = {{
        {'$', LINETRANSLATERESULT_DIALBILLING},
        {'@', LINETRANSLATERESULT_DIALQUIET},
        {'W', LINETRANSLATERESULT_DIALDIALTONE},
        {'w', LINETRANSLATERESULT_DIALDIALTONE},
        {'?', LINETRANSLATERESULT_DIALPROMPT},
        {':', LINETRANSLATERESULT_VOICEDETECT},
    }};
    uint32_t results = 0;
    for (const Modifier& m : kModifiers)
        if (dialable.find(m.c) != std::string_view::npos)
            results |= m.result;
    return results;
}

struct Translation {
    std::string dialable;
    std::string displayable;
    uint32_t results = 0;
    uint32_t destCountry = 0;
};

// Same area: the destination names none (a country without area codes) or
// the location's.
bool SameArea(const Location& loc, const Canonical& c) {
    return c.country == loc.country && (c.area.empty() || c.area == loc.areaCode);
}

// A canonical number from the location: local numbers with the outside-line
// access, others with the long-distance access and the country's prefixes.
// In a country with toll lists, a local number whose prefix is listed is
// dialled as long distance.
Translation TranslateCanonical(const Location& loc, const Canonical& c, DWORD options) {
    const CountryRule& rule = RuleOf(loc.country);
    Translation t;
    t.destCountry = c.country;
    t.results = LINETRANSLATERESULT_CANONICAL;
    std::string prefix;
    if (c.country != loc.country) {
        t.results |= LINETRANSLATERESULT_INTERNATIONAL;
        prefix =
            loc.longDistanceAccess + std::string(rule.international) + std::to_string(c.country) + c.area;
    } else {
        bool local = SameArea(loc, c);
        if (local && rule.tollList) {
            const std::vector<std::string> tolls = TollPrefixes(loc.tollList);
            const bool listed = std::find(tolls.begin(), tolls.end(), TollPrefixOf(c)) != tolls.end();
            t.results |= listed ? LINETRANSLATERESULT_INTOLLLIST : LINETRANSLATERESULT_NOTINTOLLLIST;
            local = !listed;
        }
        if (options & LINETRANSLATEOPTION_FORCELOCAL)
            local = true;
        if (options & LINETRANSLATEOPTION_FORCELD)
            local = false;
        t.results |= local ? LINETRANSLATERESULT_LOCAL : LINETRANSLATERESULT_LONGDISTANCE;
        prefix = local ? loc.outsideAccess : loc.longDistanceAccess + std::string(rule.trunk) + c.area;
    }
    if (options & LINETRANSLATEOPTION_CANCELCALLWAITING)
        prefix = loc.cancelCallWaiting + prefix;
    t.displayable = prefix + c.number;
    t.dialable = t.displayable;
    return t;
}

// The dialable string keeps the subaddress, the name and the further
// addresses; the displayable one has the first address only.
std::optional<Translation> Translate(const Location& loc, std::string_view address, DWORD options) {
    const size_t cut = std::min(address.find_first_of("|^\r\n"), address.size());
    const std::string_view first = address.substr(0, cut);
    Translation t;
    if (!first.empty() && first.front() == '+') {
        const auto c = ParseCanonical(first);
        if (!c)
            return std::nullopt;
        t = TranslateCanonical(loc, *c, options);
    } else {
        t.displayable = first;
        t.dialable = first;
    }
    t.results |= DialModifierResults(t.dialable);
    t.dialable += address.substr(cut);
    return t;
}

void FillTranslateOutput(const Translation& t, uint32_t country, std::span<uint8_t> caller) {
    LINETRANSLATEOUTPUT out{};
    out.dwTotalSize = static_cast<DWORD>(caller.size());
    out.dwCurrentCountry = country;
    out.dwDestCountry = t.destCountry;
    out.dwTranslateResults = t.results;
    Texts texts{sizeof out, {}};
    const auto dialable = texts.Add(t.dialable);
    const auto displayable = texts.Add(t.displayable);
    out.dwNeededSize = static_cast<DWORD>(sizeof out + texts.bytes.size());
    out.dwUsedSize = sizeof out;
    if (out.dwNeededSize <= caller.size()) {
        out.dwUsedSize = out.dwNeededSize;
        out.dwDialableStringSize = dialable.size;
        out.dwDialableStringOffset = dialable.offset;
        out.dwDisplayableStringSize = displayable.size;
        out.dwDisplayableStringOffset = displayable.offset;
        std::copy(texts.bytes.begin(), texts.bytes.end(), caller.begin() + texts.base);
    }
    std::memcpy(caller.data(), &out, sizeof out);
}

// The caller's address, read no further than kMaxAddress characters.
std::optional<std::string_view> AddressText(LPCSTR text) {
    if (text == nullptr)
        return std::nullopt;
    for (size_t n = 0; n <= kMaxAddress; ++n)
        if (text[n] == '\0')
            return std::string_view(text, n);
    return std::nullopt;
}

LONG GetTranslateCaps(HLINEAPP hLineApp, DWORD dwAPIVersion, LPLINETRANSLATECAPS lpTranslateCaps) {
    if (const LONG err = CheckApp(hLineApp))
        return err;
    if (!ApiVersionOk(dwAPIVersion))
        return Err(LINEERR_INCOMPATIBLEAPIVERSION);
    if (lpTranslateCaps == nullptr)
        return Err(LINEERR_INVALPOINTER);
    const std::span<uint8_t> caller = CallerBytes(lpTranslateCaps);
    if (caller.size() < sizeof(LINETRANSLATECAPS))
        return Err(LINEERR_STRUCTURETOOSMALL);
    const std::lock_guard lock(g_storeLock);
    Store store;
    if (const LONG err = LoadStore(store))
        return err;
    FillTranslateCaps(store, caller);
    return 0;
}

LONG SetCurrentLocation(HLINEAPP hLineApp, DWORD dwLocation) {
    if (const LONG err = CheckApp(hLineApp))
        return err;
    const std::lock_guard lock(g_storeLock);
    Store store;
    if (const LONG err = LoadStore(store))
        return err;
    if (std::none_of(store.locations.begin(), store.locations.end(),
                     [&](const Location& l) { return l.id == dwLocation; }))
        return Err(LINEERR_INVALLOCATION);
    KeyHolder locations;
    if (plat::reg_open_key(plat::reg_root(plat::RegRoot::LocalMachine), kLocationsKey, &locations.key) !=
            plat::kErrSuccess ||
        plat::reg_set_dword(locations.key, "CurrentID", dwLocation) != plat::kErrSuccess)
        return Err(LINEERR_OPERATIONFAILED);
    return 0;
}

// Every line dials alike: the device is not looked at.
LONG TranslateAddress(HLINEAPP hLineApp, DWORD dwAPIVersion, LPCSTR lpszAddressIn, DWORD dwCard,
                      DWORD dwTranslateOptions, LPLINETRANSLATEOUTPUT lpTranslateOutput) {
    constexpr DWORD kKnownOptions = LINETRANSLATEOPTION_CARDOVERRIDE | LINETRANSLATEOPTION_CANCELCALLWAITING |
                                    LINETRANSLATEOPTION_FORCELOCAL | LINETRANSLATEOPTION_FORCELD;
    if (const LONG err = CheckApp(hLineApp))
        return err;
    if (!ApiVersionOk(dwAPIVersion))
        return Err(LINEERR_INCOMPATIBLEAPIVERSION);
    if (lpszAddressIn == nullptr || lpTranslateOutput == nullptr)
        return Err(LINEERR_INVALPOINTER);
    if ((dwTranslateOptions & ~kKnownOptions) != 0 || (dwTranslateOptions & LINETRANSLATEOPTION_FORCELOCAL &&
                                                       dwTranslateOptions & LINETRANSLATEOPTION_FORCELD))
        return Err(LINEERR_INVALPARAM);
    const std::span<uint8_t> caller = CallerBytes(lpTranslateOutput);
    if (caller.size() < sizeof(LINETRANSLATEOUTPUT))
        return Err(LINEERR_STRUCTURETOOSMALL);
    const auto address = AddressText(lpszAddressIn);
    if (!address || address->empty())
        return Err(LINEERR_INVALADDRESS);
    const std::lock_guard lock(g_storeLock);
    Store store;
    if (const LONG err = LoadStore(store))
        return err;
    // Calling cards are offered for choice; their dialling rules are not
    // applied (the only card created is direct dialling).
    if ((dwTranslateOptions & LINETRANSLATEOPTION_CARDOVERRIDE) &&
        std::none_of(store.cards.begin(), store.cards.end(), [&](const Card& c) { return c.id == dwCard; }))
        return Err(LINEERR_INVALCARD);
    const Location& loc = store.Current();
    const auto translation = Translate(loc, *address, dwTranslateOptions);
    if (!translation)
        return Err(LINEERR_INVALADDRESS);
    FillTranslateOutput(*translation, loc.country, caller);
    return 0;
}

LONG SetTollList(HLINEAPP hLineApp, LPCSTR lpszAddressIn, DWORD dwTollListOption) {
    if (const LONG err = CheckApp(hLineApp))
        return err;
    if (dwTollListOption != LINETOLLLISTOPTION_ADD && dwTollListOption != LINETOLLLISTOPTION_REMOVE)
        return Err(LINEERR_INVALPARAM);
    const auto address = AddressText(lpszAddressIn);
    if (!address || address->empty() || address->front() != '+')
        return Err(LINEERR_INVALADDRESS);
    const auto canonical = ParseCanonical(address->substr(0, address->find_first_of("|^\r\n")));
    if (!canonical || TollPrefixOf(*canonical).empty())
        return Err(LINEERR_INVALADDRESS);
    const std::lock_guard lock(g_storeLock);
    Store store;
    if (const LONG err = LoadStore(store))
        return err;
    const Location& loc = store.Current();
    // Only the current location's own area has toll prefixes; other
    // numbers are accepted and leave the list as it is.
    if (!RuleOf(loc.country).tollList || !SameArea(loc, *canonical))
        return 0;
    std::vector<std::string> prefixes = TollPrefixes(loc.tollList);
    const std::string prefix = TollPrefixOf(*canonical);
    const auto found = std::find(prefixes.begin(), prefixes.end(), prefix);
    if (dwTollListOption == LINETOLLLISTOPTION_ADD && found == prefixes.end())
        prefixes.push_back(prefix);
    else if (dwTollListOption == LINETOLLLISTOPTION_REMOVE && found != prefixes.end())
        prefixes.erase(found);
    else
        return 0;
    std::string list;
    for (const std::string& p : prefixes)
        list += (list.empty() ? "" : ",") + p;
    return WriteLocationValue(loc, "TollList", list);
}

}  // namespace

LONG ReadLocationFields(LocationFields* fields) {
    const std::lock_guard lock(g_storeLock);
    Store store;
    if (const LONG err = LoadStore(store))
        return err;
    const Location& l = store.Current();
    *fields = {l.name, l.areaCode, l.outsideAccess};
    return 0;
}

LONG WriteLocationFields(const LocationFields& fields) {
    const std::lock_guard lock(g_storeLock);
    Store store;
    if (const LONG err = LoadStore(store))
        return err;
    const Location& l = store.Current();
    if (const LONG err = WriteLocationValue(l, "Name", fields.name))
        return err;
    if (const LONG err = WriteLocationValue(l, "AreaCode", fields.areaCode))
        return err;
    return WriteLocationValue(l, "OutsideAccess", fields.outsideAccess);
}

AppCheck SetAppCheck(AppCheck check) {
    return g_appCheck.exchange(check);
}

}  // namespace zq::tapiapp

extern "C" LONG WINAPI lineGetTranslateCapsA(HLINEAPP hLineApp, DWORD dwAPIVersion,
                                             LPLINETRANSLATECAPS lpTranslateCaps) {
    return zq::tapiapp::GetTranslateCaps(hLineApp, dwAPIVersion, lpTranslateCaps);
}

extern "C" LONG WINAPI lineSetCurrentLocation(HLINEAPP hLineApp, DWORD dwLocation) {
    return zq::tapiapp::SetCurrentLocation(hLineApp, dwLocation);
}

extern "C" LONG WINAPI lineTranslateAddressA(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion,
                                             LPCSTR lpszAddressIn, DWORD dwCard, DWORD dwTranslateOptions,
                                             LPLINETRANSLATEOUTPUT lpTranslateOutput) {
    static_cast<void>(dwDeviceID);
    return zq::tapiapp::TranslateAddress(hLineApp, dwAPIVersion, lpszAddressIn, dwCard, dwTranslateOptions,
                                         lpTranslateOutput);
}

extern "C" LONG WINAPI lineSetTollListA(HLINEAPP hLineApp, DWORD dwDeviceID, LPCSTR lpszAddressIn,
                                        DWORD dwTollListOption) {
    static_cast<void>(dwDeviceID);
    return zq::tapiapp::SetTollList(hLineApp, lpszAddressIn, dwTollListOption);
}
