// Locations and number translation on the in-memory registry: the store
// as it is created and repaired, the caller's structures at their edge
// sizes, the translation table, the location switch and the toll list.
#include "core/locations.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "zq/memplat.h"
#include "zq/platform.h"

namespace zq::tapiapp {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kGuard = 16;
constexpr DWORD kVersion = 0x00020000;
constexpr HLINEAPP kLiveApp = 7;
const std::string kLocations(kLocationsKey);
const std::string kCards(kCardsKey);

LONG E(uint32_t code) {
    return static_cast<LONG>(code);
}

uint32_t Dword(const Bytes& b, size_t at) {
    uint32_t v = 0;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}

std::string Text(const Bytes& b, size_t sizeAt, size_t offsetAt) {
    const uint32_t size = Dword(b, sizeAt), at = Dword(b, offsetAt);
    if (size == 0 || at + size > b.size())
        return "<none>";
    return std::string(b.begin() + at, b.begin() + at + size - 1);
}

std::optional<uint32_t> RegDword(plat::RegRoot root, const std::string& path, std::string_view name) {
    plat::RegKey* key = nullptr;
    if (plat::reg_open_key(plat::reg_root(root), path, &key) != plat::kErrSuccess)
        return std::nullopt;
    std::array<uint8_t, 4> data{};
    uint32_t type = 0, size = 0;
    const uint32_t err = plat::reg_query_value(key, name, &type, data, &size);
    plat::reg_close_key(key);
    if (err != plat::kErrSuccess || type != plat::kRegDword)
        return std::nullopt;
    uint32_t v = 0;
    std::memcpy(&v, data.data(), sizeof v);
    return v;
}

struct LocationSpec {
    uint32_t id;
    const char* name;
    uint32_t country;
    const char* area;
    const char* outside;
    const char* longDistance;
    const char* tollList;
};

void PutLocation(const LocationSpec& l) {
    const std::string key = kLocations + "\\Location" + std::to_string(l.id);
    const auto lm = plat::RegRoot::LocalMachine;
    memplat::reg_put_dword(lm, key, "ID", l.id);
    memplat::reg_put_string(lm, key, "Name", l.name);
    memplat::reg_put_dword(lm, key, "Country", l.country);
    memplat::reg_put_string(lm, key, "AreaCode", l.area);
    memplat::reg_put_string(lm, key, "OutsideAccess", l.outside);
    memplat::reg_put_string(lm, key, "LongDistanceAccess", l.longDistance);
    memplat::reg_put_dword(lm, key, "Flags", 1);
    memplat::reg_put_string(lm, key, "TollList", l.tollList);
}

bool AcceptLiveApp(HLINEAPP app) {
    return app == kLiveApp;
}

class LocationsTest : public testing::Test {
protected:
    void SetUp() override {
        memplat::reset();
        saved_ = SetAppCheck(AcceptLiveApp);
    }
    void TearDown() override { SetAppCheck(saved_); }

    // Two locations, New York (current) and Paris, as a dialog would write them.
    static void PutTwoLocations() {
        PutLocation({1, "New York", 1, "212", "9", "8", "777"});
        PutLocation({2, "Paris", 33, "1", "0", "0", ""});
        memplat::reg_put_dword(plat::RegRoot::LocalMachine, kLocations, "CurrentID", 1);
    }

    // lineGetTranslateCapsA into a buffer of `size` bytes followed by a guard.
    static LONG Caps(uint32_t size, Bytes& out, uint8_t fill = 0, HLINEAPP app = 0,
                     DWORD version = kVersion) {
        out.assign(size + kGuard, fill);
        std::memcpy(out.data(), &size, sizeof size);
        const LONG rc =
            lineGetTranslateCapsA(app, version, reinterpret_cast<LPLINETRANSLATECAPS>(out.data()));
        for (size_t i = size; i < out.size(); ++i)
            EXPECT_EQ(out[i], fill) << "guard byte " << i;
        out.resize(size);
        return rc;
    }

    AppCheck saved_ = nullptr;
};

TEST_F(LocationsTest, AMissingStoreIsCreatedWithNumEntries) {
    Bytes caps;
    ASSERT_EQ(Caps(1024, caps), 0);
    const auto lm = plat::RegRoot::LocalMachine;
    EXPECT_EQ(RegDword(lm, kLocations, "NumEntries"), 1u);
    EXPECT_EQ(RegDword(lm, kLocations, "CurrentID"), 1u);
    EXPECT_EQ(RegDword(lm, kLocations, "NextID"), 2u);
    EXPECT_EQ(RegDword(lm, kLocations + "\\Location1", "ID"), 1u);
    EXPECT_TRUE(memplat::reg_get_string(lm, kLocations + "\\Location1", "OutsideAccess").has_value());
    EXPECT_EQ(memplat::reg_get_string(plat::RegRoot::CurrentUser, kCards + "\\Card0", "Name"),
              "None (Direct Dial)");
    EXPECT_EQ(RegDword(plat::RegRoot::CurrentUser, kCards + "\\Card0", "ID"), 0u);

    EXPECT_EQ(Dword(caps, offsetof(LINETRANSLATECAPS, dwNumLocations)), 1u);
    EXPECT_EQ(Dword(caps, offsetof(LINETRANSLATECAPS, dwCurrentLocationID)), 1u);
    EXPECT_EQ(Dword(caps, offsetof(LINETRANSLATECAPS, dwNumCards)), 1u);
    const size_t card = Dword(caps, offsetof(LINETRANSLATECAPS, dwCardListOffset));
    EXPECT_EQ(Text(caps, card + offsetof(LINECARDENTRY, dwCardNameSize),
                   card + offsetof(LINECARDENTRY, dwCardNameOffset)),
              "None (Direct Dial)");

    // A second reading writes nothing more.
    const int writes = memplat::reg_write_count();
    ASSERT_EQ(Caps(1024, caps), 0);
    EXPECT_EQ(memplat::reg_write_count(), writes);
}

// What another implementation leaves: a location without ID, no NumEntries,
// a card numbered 1. The ID the provider looks for, NumEntries and card 0
// are added; the rest is read as it is.
TEST_F(LocationsTest, AnOlderStoreIsCompleted) {
    const auto lm = plat::RegRoot::LocalMachine;
    memplat::reg_put_string(lm, kLocations + "\\Location1", "Name", "New Location");
    memplat::reg_put_string(lm, kLocations + "\\Location1", "AreaCode", "010");
    memplat::reg_put_dword(lm, kLocations, "CurrentID", 1);
    memplat::reg_put_dword(lm, kLocations, "NextID", 2);
    memplat::reg_put_string(plat::RegRoot::CurrentUser, kCards + "\\Card1", "Name", "None (Direct Call)");
    Bytes caps;
    ASSERT_EQ(Caps(1024, caps), 0);
    EXPECT_EQ(RegDword(lm, kLocations, "NumEntries"), 1u);
    EXPECT_EQ(RegDword(lm, kLocations + "\\Location1", "ID"), 1u);
    EXPECT_EQ(RegDword(plat::RegRoot::CurrentUser, kCards, "NumEntries"), 2u);
    EXPECT_EQ(Dword(caps, offsetof(LINETRANSLATECAPS, dwNumCards)), 2u);
    const size_t loc = Dword(caps, offsetof(LINETRANSLATECAPS, dwLocationListOffset));
    EXPECT_EQ(Text(caps, loc + offsetof(LINELOCATIONENTRY, dwCityCodeSize),
                   loc + offsetof(LINELOCATIONENTRY, dwCityCodeOffset)),
              "010");
}

TEST_F(LocationsTest, TranslateCapsAtEverySize) {
    PutTwoLocations();
    Bytes full;
    ASSERT_EQ(Caps(4096, full), 0);
    const uint32_t needed = Dword(full, offsetof(LINETRANSLATECAPS, dwNeededSize));
    ASSERT_EQ(Dword(full, offsetof(LINETRANSLATECAPS, dwUsedSize)), needed);
    EXPECT_EQ(Dword(full, offsetof(LINETRANSLATECAPS, dwNumLocations)), 2u);
    const size_t paris =
        Dword(full, offsetof(LINETRANSLATECAPS, dwLocationListOffset)) + sizeof(LINELOCATIONENTRY);
    EXPECT_EQ(Text(full, paris + offsetof(LINELOCATIONENTRY, dwLocationNameSize),
                   paris + offsetof(LINELOCATIONENTRY, dwLocationNameOffset)),
              "Paris");
    EXPECT_EQ(Dword(full, paris + offsetof(LINELOCATIONENTRY, dwCountryCode)), 33u);
    EXPECT_EQ(Text(full, paris + offsetof(LINELOCATIONENTRY, dwLocalAccessCodeSize),
                   paris + offsetof(LINELOCATIONENTRY, dwLocalAccessCodeOffset)),
              "0");

    const uint32_t fixed = sizeof(LINETRANSLATECAPS);
    for (const uint32_t size : {fixed - 1, fixed, needed - 1, needed}) {
        for (const uint8_t fill : {uint8_t{0x00}, uint8_t{0xFF}}) {
            SCOPED_TRACE(testing::Message() << "size " << size << " fill " << int{fill});
            Bytes caps;
            const LONG rc = Caps(size, caps, fill);
            if (size < fixed) {
                EXPECT_EQ(rc, E(LINEERR_STRUCTURETOOSMALL));
                continue;
            }
            ASSERT_EQ(rc, 0);
            EXPECT_EQ(Dword(caps, offsetof(LINETRANSLATECAPS, dwNeededSize)), needed);
            EXPECT_EQ(Dword(caps, offsetof(LINETRANSLATECAPS, dwCurrentLocationID)), 1u);
            const bool whole = size == needed;
            EXPECT_EQ(Dword(caps, offsetof(LINETRANSLATECAPS, dwUsedSize)), whole ? needed : fixed);
            EXPECT_EQ(Dword(caps, offsetof(LINETRANSLATECAPS, dwLocationListSize)),
                      whole ? 2 * sizeof(LINELOCATIONENTRY) : 0u);
            if (whole) {
                EXPECT_EQ(Bytes(caps.begin() + 4, caps.end()),
                          Bytes(full.begin() + 4, full.begin() + needed));
            }
        }
    }

    Bytes caps;
    EXPECT_EQ(Caps(1024, caps, 0, kLiveApp), 0);
    EXPECT_EQ(Caps(1024, caps, 0, kLiveApp + 1), E(LINEERR_INVALAPPHANDLE));
    EXPECT_EQ(Caps(1024, caps, 0, 0, 0x00010004), E(LINEERR_INCOMPATIBLEAPIVERSION));
    EXPECT_EQ(lineGetTranslateCapsA(0, kVersion, nullptr), E(LINEERR_INVALPOINTER));
}

struct Translated {
    LONG rc = 0;
    std::string dialable;
    std::string displayable;
    DWORD results = 0;
    DWORD destCountry = 0;
};

Translated Translate(const char* address, DWORD options = 0, DWORD card = 0, HLINEAPP app = 0) {
    Bytes out(512, 0xEE);
    const uint32_t size = 512 - kGuard;
    std::memcpy(out.data(), &size, sizeof size);
    Translated t;
    t.rc = lineTranslateAddressA(app, 0, kVersion, address, card, options,
                                 reinterpret_cast<LPLINETRANSLATEOUTPUT>(out.data()));
    for (size_t i = size; i < out.size(); ++i)
        EXPECT_EQ(out[i], 0xEE);
    if (t.rc != 0)
        return t;
    t.dialable = Text(out, offsetof(LINETRANSLATEOUTPUT, dwDialableStringSize),
                      offsetof(LINETRANSLATEOUTPUT, dwDialableStringOffset));
    t.displayable = Text(out, offsetof(LINETRANSLATEOUTPUT, dwDisplayableStringSize),
                         offsetof(LINETRANSLATEOUTPUT, dwDisplayableStringOffset));
    t.results = Dword(out, offsetof(LINETRANSLATEOUTPUT, dwTranslateResults));
    t.destCountry = Dword(out, offsetof(LINETRANSLATEOUTPUT, dwDestCountry));
    return t;
}

TEST_F(LocationsTest, TranslationTable) {
    PutTwoLocations();
    constexpr DWORD C = LINETRANSLATERESULT_CANONICAL;
    constexpr DWORD kLocal = LINETRANSLATERESULT_LOCAL;
    constexpr DWORD kLong = LINETRANSLATERESULT_LONGDISTANCE;
    constexpr DWORD kIntl = LINETRANSLATERESULT_INTERNATIONAL;
    constexpr DWORD kNotToll = LINETRANSLATERESULT_NOTINTOLLLIST;
    struct Case {
        DWORD location;
        const char* address;
        DWORD options;
        DWORD card;
        LONG rc;
        const char* dialable = "";
        const char* displayable = "";
        DWORD results = 0;
        DWORD destCountry = 0;
    };
    const Case cases[] = {
        // New York: outside access 9, long distance 8, toll prefix 777.
        {1, "+1 (212) 555-1234", 0, 0, 0, "95551234", "95551234", C | kLocal | kNotToll, 1},
        {1, "+1 (212) 777-1234", 0, 0, 0, "812127771234", "812127771234",
         C | kLong | LINETRANSLATERESULT_INTOLLLIST, 1},
        {1, "+1 (415) 555 0100", 0, 0, 0, "814155550100", "814155550100", C | kLong, 1},
        {1, "+33 (1) 23456789", 0, 0, 0, "801133123456789", "801133123456789", C | kIntl, 33},
        {1, "+1 (212) 555 1234", LINETRANSLATEOPTION_FORCELD, 0, 0, "812125551234", "812125551234",
         C | kLong | kNotToll, 1},
        {1, "+1 (415) 555 0100", LINETRANSLATEOPTION_FORCELOCAL, 0, 0, "95550100", "95550100", C | kLocal, 1},
        {1, "+1 (212) 555 1234 ^John|x", 0, 0, 0, "95551234^John|x", "95551234", C | kLocal | kNotToll, 1},
        {1, "0612345678", 0, 0, 0, "0612345678", "0612345678", 0, 0},
        {1, "9W123$456", 0, 0, 0, "9W123$456", "9W123$456",
         LINETRANSLATERESULT_DIALDIALTONE | LINETRANSLATERESULT_DIALBILLING, 0},
        {1, "+1 (212) 555 1234", LINETRANSLATEOPTION_CARDOVERRIDE, 0, 0, "95551234", "95551234",
         C | kLocal | kNotToll, 1},
        {1, "+1 (212) 555 1234", LINETRANSLATEOPTION_CARDOVERRIDE, 5, E(LINEERR_INVALCARD)},
        {1, "+1 (212) 555 1234", LINETRANSLATEOPTION_FORCELOCAL | LINETRANSLATEOPTION_FORCELD, 0,
         E(LINEERR_INVALPARAM)},
        {1, "+1 (212 5551234", 0, 0, E(LINEERR_INVALADDRESS)},
        {1, "+", 0, 0, E(LINEERR_INVALADDRESS)},
        {1, "+1 (212) 555 xyz", 0, 0, E(LINEERR_INVALADDRESS)},
        {1, "", 0, 0, E(LINEERR_INVALADDRESS)},
        // Paris: outside access 0 for every call, trunk prefix 0.
        {2, "+33 (1) 23456789", 0, 0, 0, "023456789", "023456789", C | kLocal, 33},
        {2, "+33 (4) 12345678", 0, 0, 0, "00412345678", "00412345678", C | kLong, 33},
        {2, "+1 (212) 5551234", 0, 0, 0, "00012125551234", "00012125551234", C | kIntl, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "location " << c.location << " " << c.address);
        ASSERT_EQ(lineSetCurrentLocation(0, c.location), 0);
        const Translated t = Translate(c.address, c.options, c.card);
        ASSERT_EQ(t.rc, c.rc);
        if (c.rc != 0)
            continue;
        EXPECT_EQ(t.dialable, c.dialable);
        EXPECT_EQ(t.displayable, c.displayable);
        EXPECT_EQ(t.results, c.results);
        EXPECT_EQ(t.destCountry, c.destCountry);
    }
    EXPECT_EQ(Translate("+1 (212) 555 1234", 0, 0, kLiveApp + 1).rc, E(LINEERR_INVALAPPHANDLE));
    EXPECT_EQ(Translate("+1 (212) 555 1234", 0, 0, kLiveApp).rc, 0);
    EXPECT_EQ(Translate(nullptr).rc, E(LINEERR_INVALPOINTER));
}

TEST_F(LocationsTest, TranslateOutputAtEverySize) {
    PutTwoLocations();
    const char* address = "+1 (212) 555 1234 ^John";
    // dialable "95551234^John" and displayable "95551234", with their NULs.
    const uint32_t fixed = sizeof(LINETRANSLATEOUTPUT);
    const uint32_t needed = fixed + 14 + 9;
    for (const uint32_t size : {fixed - 1, fixed, needed - 1, needed}) {
        SCOPED_TRACE(size);
        Bytes out(size + kGuard, 0xFF);
        std::memcpy(out.data(), &size, sizeof size);
        const LONG rc = lineTranslateAddressA(0, 0, kVersion, address, 0, 0,
                                              reinterpret_cast<LPLINETRANSLATEOUTPUT>(out.data()));
        for (size_t i = size; i < out.size(); ++i)
            EXPECT_EQ(out[i], 0xFF);
        if (size < fixed) {
            EXPECT_EQ(rc, E(LINEERR_STRUCTURETOOSMALL));
            continue;
        }
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(Dword(out, offsetof(LINETRANSLATEOUTPUT, dwNeededSize)), needed);
        EXPECT_EQ(Dword(out, offsetof(LINETRANSLATEOUTPUT, dwUsedSize)), size == needed ? needed : fixed);
        EXPECT_EQ(Dword(out, offsetof(LINETRANSLATEOUTPUT, dwDialableStringSize)), size == needed ? 14u : 0u);
        EXPECT_EQ(Dword(out, offsetof(LINETRANSLATEOUTPUT, dwCurrentCountry)), 1u);
        EXPECT_NE(Dword(out, offsetof(LINETRANSLATEOUTPUT, dwTranslateResults)), 0u);
    }
}

TEST_F(LocationsTest, SwitchingLocation) {
    PutTwoLocations();
    const auto lm = plat::RegRoot::LocalMachine;
    EXPECT_EQ(lineSetCurrentLocation(0, 2), 0);
    EXPECT_EQ(RegDword(lm, kLocations, "CurrentID"), 2u);
    Bytes caps;
    ASSERT_EQ(Caps(1024, caps), 0);
    EXPECT_EQ(Dword(caps, offsetof(LINETRANSLATECAPS, dwCurrentLocationID)), 2u);

    EXPECT_EQ(lineSetCurrentLocation(0, 99), E(LINEERR_INVALLOCATION));
    EXPECT_EQ(lineSetCurrentLocation(kLiveApp + 1, 1), E(LINEERR_INVALAPPHANDLE));
    EXPECT_EQ(RegDword(lm, kLocations, "CurrentID"), 2u);
    EXPECT_EQ(lineSetCurrentLocation(kLiveApp, 1), 0);
    EXPECT_EQ(RegDword(lm, kLocations, "CurrentID"), 1u);
    // Before the core says which applications live, none does.
    SetAppCheck(nullptr);
    EXPECT_EQ(lineSetCurrentLocation(kLiveApp, 2), E(LINEERR_INVALAPPHANDLE));

    // A CurrentID naming no location falls back to the first one.
    memplat::reg_put_dword(lm, kLocations, "CurrentID", 42);
    ASSERT_EQ(Caps(1024, caps), 0);
    EXPECT_EQ(Dword(caps, offsetof(LINETRANSLATECAPS, dwCurrentLocationID)), 1u);
    EXPECT_EQ(RegDword(lm, kLocations, "CurrentID"), 1u);
}

TEST_F(LocationsTest, TollList) {
    PutTwoLocations();
    const auto lm = plat::RegRoot::LocalMachine;
    const std::string ny = kLocations + "\\Location1";
    EXPECT_EQ(lineSetTollListA(0, 0, "+1 (212) 555-0000", LINETOLLLISTOPTION_ADD), 0);
    EXPECT_EQ(lineSetTollListA(0, 0, "+1 (212) 555-0001", LINETOLLLISTOPTION_ADD), 0);
    EXPECT_EQ(memplat::reg_get_string(lm, ny, "TollList"), "777,555");
    EXPECT_EQ(Translate("+1 (212) 555 1234").results & LINETRANSLATERESULT_INTOLLLIST,
              DWORD{LINETRANSLATERESULT_INTOLLLIST});
    // Another area has no place in this location's list.
    EXPECT_EQ(lineSetTollListA(0, 0, "+1 (415) 666-0000", LINETOLLLISTOPTION_ADD), 0);
    EXPECT_EQ(lineSetTollListA(0, 0, "+1 (212) 777-0000", LINETOLLLISTOPTION_REMOVE), 0);
    EXPECT_EQ(memplat::reg_get_string(lm, ny, "TollList"), "555");

    EXPECT_EQ(lineSetTollListA(0, 0, "+1 (212) 555-0000", 3), E(LINEERR_INVALPARAM));
    EXPECT_EQ(lineSetTollListA(0, 0, "5550000", LINETOLLLISTOPTION_ADD), E(LINEERR_INVALADDRESS));
    EXPECT_EQ(lineSetTollListA(0, 0, "+1 (212) 55", LINETOLLLISTOPTION_ADD), E(LINEERR_INVALADDRESS));
    EXPECT_EQ(lineSetTollListA(kLiveApp + 1, 0, "+1 (212) 555-0000", LINETOLLLISTOPTION_ADD),
              E(LINEERR_INVALAPPHANDLE));
}

}  // namespace
}  // namespace zq::tapiapp
